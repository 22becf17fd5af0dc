// Base-38 user-context names: golden words both ways, words the encoder never makes, two words, bounded output,
// refusals, and random round trips.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>

#include "vqx_usercontext.h"

namespace {

constexpr u64 Pow38(u32 n) { return n == 0 ? 1 : 38 * Pow38(n - 1); }
constexpr u64 kAllEnd = Pow38(12) - 1;  // twelve end-of-text digits: ""

std::string DecodeOne(u64 w) {
  char sz[64];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(HaManagerExtractOneUserContext(w, sz, sizeof(sz)), VQX_RESULT_OK);
  return sz;
}

std::string DecodeTwo(u64 w1, u64 w2) {
  char sz[64];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(HaManagerExtractUserContexts(w1, w2, sz, sizeof(sz)), VQX_RESULT_OK);
  return sz;
}

TEST(UserContext, GoldenWordsBothWays) {
  // Independent encoder (Python: v = v * 38 + digit over 12 digits) and words worked out by hand from
  // d1*38^11 + ... + d12. Rows that do not pack are words the encoder never makes: they only decode.
  struct Row { const char* pszName; u64 un64Word; bool fPacks; };
  const Row rows[] = {{"", 9065737908494995455ull, true},
                      {"A", 238572050223552511ull, true},
                      {"B", 477144100447105023ull, true},
                      {"Z9_", 6190151666015126015ull, true},
                      {"QUELLAN", 3943426990335880383ull, true},
                      {"SIGTRACE_APP", 4345598448699750441ull, true},
                      {"AAAAAAAAAAAA", 0, true},
                      {"AAAAAAAAAAAB", 1ull, true},
                      {"____________", 8820717965022157740ull, true},
                      {"_", 36 * Pow38(11) + kAllEnd % Pow38(11), true},
                      {"9", 35 * Pow38(11) + kAllEnd % Pow38(11), true},
                      {"AZ", 25 * Pow38(10) + kAllEnd % Pow38(10), true},
                      {"C", 2 * Pow38(11) + 37 * Pow38(10) + 3, false},  // an end digit in the middle stops
                      {"", Pow38(12) - 2, false},                        // end digit first, others not
                      {"AAAAAAAAAAAA", Pow38(12), false},                // 38^12 and above read modulo 38^12
                      {"AAAAAAAAAAAB", Pow38(12) + 1, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(DecodeOne(row.un64Word), row.pszName) << row.un64Word;
    u64 w = 0;
    EXPECT_TRUE(!row.fPacks || (HaManagerPackUserContext(row.pszName, &w) == VQX_RESULT_OK && w == row.un64Word))
        << row.pszName << " packs to " << w;
  }
  for (u64 w : {~0ull, ~0ull - 1, 0x8000000000000000ull}) EXPECT_EQ(DecodeOne(w), DecodeOne(w % Pow38(12))) << w;
}

TEST(UserContext, TwoWordsAndRefusals) {
  u64 w1 = 0, w2 = 0;
  ASSERT_EQ(HaManagerPackUserContexts("SIGTRACE_APP_01", &w1, &w2), VQX_RESULT_OK);
  EXPECT_EQ(DecodeOne(w1) + "|" + DecodeOne(w2), "SIGTRACE_APP|_01");
  EXPECT_EQ(DecodeTwo(w1, w2), "SIGTRACE_APP_01");
  // A short first word ends the name: the second word is not read. Both words 0 mean no name.
  ASSERT_EQ(HaManagerPackUserContext("HOST", &w1), VQX_RESULT_OK);
  EXPECT_EQ(DecodeTwo(w1, 12345), "HOST");
  EXPECT_EQ(DecodeTwo(0, 0), "[Undefined]");
  EXPECT_EQ(DecodeTwo(0, kAllEnd), "AAAAAAAAAAAA");
  EXPECT_EQ(DecodeTwo(kAllEnd, 0), "");
  w1 = w2 = 0x1234;
  for (const char* psz : {"abc", "A-B", "A B", "ABCDEFGHIJKLM", "\x80"})
    EXPECT_EQ(HaManagerPackUserContext(psz, &w1), VQX_RESULT_INVALID_PARAM) << psz;
  for (const std::string& s : {std::string("ABCDEFGHIJKLMNOPQRSTUVWXY"), std::string(24, 'A'), std::string("ABCDEFGHIJKLMNOp")})
    EXPECT_EQ(HaManagerPackUserContexts(s.c_str(), &w1, &w2), VQX_RESULT_INVALID_PARAM) << s;
  EXPECT_EQ(w1 + w2, 2u * 0x1234) << "refused: words unchanged";
  EXPECT_EQ(HaManagerPackUserContext(nullptr, &w1), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(HaManagerPackUserContext("A", nullptr), VQX_RESULT_NULL_PARAM);
}

TEST(UserContext, TerminatedWithinSize) {
  u64 w1 = 0, w2 = 0;
  ASSERT_EQ(HaManagerPackUserContexts("ABCDEFGHIJKLMNOPQRSTUVWX", &w1, &w2), VQX_RESULT_OK);
  const std::string full = "ABCDEFGHIJKLMNOPQRSTUVWX";
  for (u32 size : {1u, 2u, 12u, 13u, 14u, 24u, 25u, 64u}) {
    char sz[70];
    memset(sz, 'Z', sizeof(sz));
    ASSERT_EQ(HaManagerExtractUserContexts(w1, w2, sz, size), VQX_RESULT_OK);
    EXPECT_EQ(std::string(sz, size + 1).c_str(), full.substr(0, size - 1)) << "size " << size;
    EXPECT_EQ(sz[size], 'Z') << "size " << size;
  }
  char sz[5] = {'Q', 'Q', 'Q', 'Q', 'Q'};
  EXPECT_EQ(HaManagerExtractOneUserContext(1, sz, 0), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(HaManagerExtractUserContexts(1, 2, sz, 0), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(sz[0], 'Q') << "size 0 writes nothing";
  EXPECT_EQ(HaManagerExtractOneUserContext(1, nullptr, 4), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(HaManagerExtractUserContexts(1, 2, nullptr, 4), VQX_RESULT_NULL_PARAM);
  ASSERT_EQ(HaManagerExtractUserContexts(0, 0, sz, 5), VQX_RESULT_OK);
  EXPECT_STREQ(sz, "[Und");
  ASSERT_EQ(HaManagerExtractOneUserContext(w1, sz, 4), VQX_RESULT_OK);
  EXPECT_STREQ(sz, "ABC");
}

TEST(UserContext, RandomRoundTrips) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
  std::mt19937_64 rng(0x5EED);
  for (int i = 0; i < 20000; ++i) {
    std::string name(rng() % 25, ' ');  // every length up to 24
    for (char& c : name) c = kAlphabet[rng() % 37];
    u64 w1 = 0, w2 = 0;
    const bool fUndefined = name == std::string(24, 'A');
    ASSERT_EQ(HaManagerPackUserContexts(name.c_str(), &w1, &w2), fUndefined ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_OK);
    ASSERT_TRUE(fUndefined || (w1 < Pow38(12) && w2 < Pow38(12) && DecodeTwo(w1, w2) == name)) << name;
    // Random valid words: decode and pack again; the same word unless an end digit stopped the text early.
    const u64 w = rng() % Pow38(12);
    const std::string text = DecodeOne(w);
    ASSERT_EQ(HaManagerPackUserContext(text.c_str(), &w1), VQX_RESULT_OK) << text;
    ASSERT_EQ(DecodeOne(w1), text);
    ASSERT_TRUE(text.size() < 12 || w1 == w) << text;
  }
}

}  // namespace
