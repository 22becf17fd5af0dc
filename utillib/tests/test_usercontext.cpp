// Base-38 user-context names: fixed vectors, boundaries, round trips.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>

#include "vqx_usercontext.h"

namespace {

u64 Pow38(u32 n) {
  u64 v = 1;
  for (u32 i = 0; i < n; ++i) v *= 38;
  return v;
}

std::string DecodeOne(u64 w, u32 size = 64) {
  char sz[64];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(HaManagerExtractOneUserContext(w, sz, size), VQX_RESULT_OK);
  return sz;
}

std::string DecodeTwo(u64 w1, u64 w2, u32 size = 64) {
  char sz[64];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(HaManagerExtractUserContexts(w1, w2, sz, size), VQX_RESULT_OK);
  return sz;
}

TEST(UserContext, FixedVectors) {
  // Values worked out by hand from value = d1*38^11 + ... + d12, end digit 37.
  const u64 allEnd = Pow38(12) - 1;
  struct Row {
    const char* pszName;
    u64 un64Word;
    const char* pszText;
  };
  const Row rows[] = {
      {"all end digits", allEnd, ""},
      {"zero", 0, "AAAAAAAAAAAA"},
      {"last digit 1", 1, "AAAAAAAAAAAB"},
      {"'B' then end", 1 * Pow38(11) + (allEnd % Pow38(11)), "B"},
      {"'_' then end", 36 * Pow38(11) + (allEnd % Pow38(11)), "_"},
      {"'9' then end", 35 * Pow38(11) + (allEnd % Pow38(11)), "9"},
      {"'AZ' then end", 0 * Pow38(11) + 25 * Pow38(10) + (allEnd % Pow38(10)), "AZ"},
      {"end digit in the middle stops", 2 * Pow38(11) + 37 * Pow38(10) + 3, "C"},
      {"end digit first, others not", Pow38(12) - 2, ""},
      {"twelve underscores", 36 * ((Pow38(12) - 1) / 37), "____________"},
  };
  for (const auto& row : rows) EXPECT_EQ(DecodeOne(row.un64Word), row.pszText) << row.pszName;
}

TEST(UserContext, GoldenWordsFromAnIndependentEncoder) {
  // Computed outside this code base (Python: v = v * 38 + digit, 12 digits).
  struct Row {
    const char* pszName;
    u64 un64Word;
  };
  const Row rows[] = {
      {"", 9065737908494995455ull},          {"A", 238572050223552511ull},
      {"B", 477144100447105023ull},          {"Z9_", 6190151666015126015ull},
      {"QUELLAN", 3943426990335880383ull},   {"SIGTRACE_APP", 4345598448699750441ull},
      {"AAAAAAAAAAAB", 1ull},                {"____________", 8820717965022157740ull},
  };
  for (const auto& row : rows) {
    u64 w = 0;
    ASSERT_EQ(HaManagerPackUserContext(row.pszName, &w), VQX_RESULT_OK) << row.pszName;
    EXPECT_EQ(w, row.un64Word) << row.pszName;
    EXPECT_EQ(DecodeOne(row.un64Word), row.pszName);
  }
}

TEST(UserContext, PackRefusesBadNames) {
  const char* bad[] = {"abc", "A-B", "A B", "ABCDEFGHIJKLM", "\x80"};
  for (const char* psz : bad) {
    u64 w = 0x1234;
    EXPECT_EQ(HaManagerPackUserContext(psz, &w), VQX_RESULT_INVALID_PARAM) << psz;
    EXPECT_EQ(w, 0x1234u) << psz;
  }
  u64 w1 = 7, w2 = 7;
  EXPECT_EQ(HaManagerPackUserContexts("ABCDEFGHIJKLMNOPQRSTUVWXY", &w1, &w2), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(HaManagerPackUserContexts(std::string(24, 'A').c_str(), &w1, &w2), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(HaManagerPackUserContexts("ABCDEFGHIJKLMNOp", &w1, &w2), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(w1, 7u);
  EXPECT_EQ(w2, 7u);
  EXPECT_EQ(HaManagerPackUserContext(nullptr, &w1), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(HaManagerPackUserContext("A", nullptr), VQX_RESULT_NULL_PARAM);
}

TEST(UserContext, OutOfRangeWordsReadModulo38Pow12) {
  const u64 words[] = {Pow38(12), Pow38(12) + 1, ~0ull, ~0ull - 1, 0x8000000000000000ull};
  for (u64 w : words) {
    const std::string text = DecodeOne(w);
    EXPECT_LE(text.size(), 12u);
    EXPECT_EQ(text, DecodeOne(w % Pow38(12))) << std::hex << w;
  }
  EXPECT_EQ(DecodeOne(Pow38(12)), "AAAAAAAAAAAA");
}

TEST(UserContext, TwoWords) {
  u64 w1 = 0, w2 = 0;
  ASSERT_EQ(HaManagerPackUserContexts("SIGTRACE_APP_01", &w1, &w2), VQX_RESULT_OK);
  EXPECT_EQ(DecodeOne(w1), "SIGTRACE_APP");
  EXPECT_EQ(DecodeOne(w2), "_01");
  EXPECT_EQ(DecodeTwo(w1, w2), "SIGTRACE_APP_01");

  // A short first word ends the name: the second word is not read.
  ASSERT_EQ(HaManagerPackUserContext("HOST", &w1), VQX_RESULT_OK);
  EXPECT_EQ(DecodeTwo(w1, 12345), "HOST");
  EXPECT_EQ(DecodeTwo(0, 0), "[Undefined]");
  EXPECT_EQ(DecodeTwo(0, Pow38(12) - 1), "AAAAAAAAAAAA");
  EXPECT_EQ(DecodeTwo(Pow38(12) - 1, 0), "");
}

TEST(UserContext, TerminatedWithinSize) {
  u64 w1 = 0, w2 = 0;
  ASSERT_EQ(HaManagerPackUserContexts("ABCDEFGHIJKLMNOPQRSTUVWX", &w1, &w2), VQX_RESULT_OK);
  struct Row {
    u32 size;
    const char* pszExpected;
  };
  const Row rows[] = {{1, ""}, {2, "A"}, {12, "ABCDEFGHIJK"}, {13, "ABCDEFGHIJKL"},
                      {14, "ABCDEFGHIJKLM"}, {24, "ABCDEFGHIJKLMNOPQRSTUVW"},
                      {25, "ABCDEFGHIJKLMNOPQRSTUVWX"}, {64, "ABCDEFGHIJKLMNOPQRSTUVWX"}};
  for (const auto& row : rows) {
    char sz[70];
    memset(sz, 'Z', sizeof(sz));
    ASSERT_EQ(HaManagerExtractUserContexts(w1, w2, sz, row.size), VQX_RESULT_OK);
    EXPECT_STREQ(sz, row.pszExpected) << "size " << row.size;
    EXPECT_EQ(sz[row.size], 'Z') << "size " << row.size;
  }
  char szU[5];
  ASSERT_EQ(HaManagerExtractUserContexts(0, 0, szU, sizeof(szU)), VQX_RESULT_OK);
  EXPECT_STREQ(szU, "[Und");
  char szOne[4];
  ASSERT_EQ(HaManagerExtractOneUserContext(w1, szOne, sizeof(szOne)), VQX_RESULT_OK);
  EXPECT_STREQ(szOne, "ABC");
}

TEST(UserContext, BadBuffersWriteNothing) {
  char sz[4] = {'Q', 'Q', 'Q', 'Q'};
  EXPECT_EQ(HaManagerExtractOneUserContext(1, sz, 0), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(HaManagerExtractUserContexts(1, 2, sz, 0), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(sz[0], 'Q');
  EXPECT_EQ(HaManagerExtractOneUserContext(1, nullptr, 4), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(HaManagerExtractUserContexts(1, 2, nullptr, 4), VQX_RESULT_NULL_PARAM);
}

TEST(UserContext, RandomRoundTrips) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
  std::mt19937_64 rng(0x5EED);
  for (int i = 0; i < 20000; ++i) {
    // Random names of every length.
    const size_t len = rng() % 25;
    std::string name;
    for (size_t j = 0; j < len; ++j) name += kAlphabet[rng() % 37];
    u64 w1 = 0, w2 = 0;
    const VQX_RESULT r = HaManagerPackUserContexts(name.c_str(), &w1, &w2);
    if (name == std::string(24, 'A')) {
      EXPECT_EQ(r, VQX_RESULT_INVALID_PARAM);
      continue;
    }
    ASSERT_EQ(r, VQX_RESULT_OK) << name;
    EXPECT_LT(w1, Pow38(12));
    EXPECT_LT(w2, Pow38(12));
    ASSERT_EQ(DecodeTwo(w1, w2), name);

    // Random valid words: decode, re-pack, same word whenever the word has no end digit inside.
    const u64 w = rng() % Pow38(12);
    const std::string text = DecodeOne(w);
    u64 back = 0;
    ASSERT_EQ(HaManagerPackUserContext(text.c_str(), &back), VQX_RESULT_OK) << text;
    EXPECT_EQ(DecodeOne(back), text);
    if (text.size() == 12) {
      EXPECT_EQ(back, w);
    }
  }
}

} // namespace
