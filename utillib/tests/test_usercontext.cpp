// Base-38 user-context names: golden words both ways, words the encoder never makes, two words, bounded output,
// refusals, and round trips of every length and character.
#include <optional>

#include "support/vqx_test_support.h"
#include "vqx_usercontext.h"

namespace {

constexpr u64 Pow38(u32 n) { return n == 0 ? 1 : 38 * Pow38(n - 1); }
constexpr u64 kAllEnd = Pow38(12) - 1;  // twelve end-of-text digits: ""

// The text of two words (one word when w2 is absent), in a buffer of that size; 'Z' marks what was not written.
std::string Decode(u64 w1, std::optional<u64> w2 = {}, u32 un32Size = 64) {
  char sz[70];
  memset(sz, 'Z', sizeof(sz));
  EXPECT_EQ(w2 ? HaManagerExtractUserContexts(w1, *w2, sz, un32Size) : HaManagerExtractOneUserContext(w1, sz, un32Size),
            VQX_RESULT_OK);
  EXPECT_EQ(sz[un32Size], 'Z') << "written past the size";
  return sz;
}

TEST(UserContext, GoldenWordsBothWays) {
  // An independent encoder (Python: v = v * 38 + digit over 12 digits) and words worked out by hand from
  // d1*38^11 + ... + d12. Rows that do not pack are words the encoder never makes: they only decode.
  const struct { const char* pszName; u64 un64Word; bool fPacks; } rows[] = {
      {"", 9065737908494995455ull, true},          {"A", 238572050223552511ull, true},
      {"B", 477144100447105023ull, true},          {"Z9_", 6190151666015126015ull, true},
      {"QUELLAN", 3943426990335880383ull, true},   {"SIGTRACE_APP", 4345598448699750441ull, true},
      {"AAAAAAAAAAAA", 0, true},                   {"AAAAAAAAAAAB", 1ull, true},
      {"____________", 8820717965022157740ull, true}, {"_", 36 * Pow38(11) + kAllEnd % Pow38(11), true},
      {"9", 35 * Pow38(11) + kAllEnd % Pow38(11), true}, {"AZ", 25 * Pow38(10) + kAllEnd % Pow38(10), true},
      {"C", 2 * Pow38(11) + 37 * Pow38(10) + 3, false},  // an end digit in the middle stops
      {"", Pow38(12) - 2, false}};                       // end digit first, others not
  for (const auto& row : rows) {
    EXPECT_EQ(Decode(row.un64Word), row.pszName) << row.un64Word;
    u64 w = 0;
    EXPECT_TRUE(!row.fPacks || (HaManagerPackUserContext(row.pszName, &w) == VQX_RESULT_OK && w == row.un64Word))
        << row.pszName << " packs to " << w;
  }
  for (u64 w : {Pow38(12), Pow38(12) + 1, u64(~0ull), u64(1) << 63}) EXPECT_EQ(Decode(w), Decode(w % Pow38(12))) << "modulo 38^12: " << w;
}

TEST(UserContext, TwoWordsBoundsAndRefusals) {
  u64 w1 = 0, w2 = 0;
  ASSERT_EQ(HaManagerPackUserContexts("SIGTRACE_APP_01", &w1, &w2), VQX_RESULT_OK);
  EXPECT_EQ(Decode(w1) + "|" + Decode(w2) + "|" + Decode(w1, w2), "SIGTRACE_APP|_01|SIGTRACE_APP_01");
  // A short first word ends the name: the second word is not read. Both words 0 mean no name.
  ASSERT_EQ(HaManagerPackUserContext("HOST", &w1), VQX_RESULT_OK);
  EXPECT_EQ(Decode(w1, 12345) + "|" + Decode(0, 0) + "|" + Decode(0, kAllEnd) + "|" + Decode(kAllEnd, 0),
            "HOST|[Undefined]|AAAAAAAAAAAA|");
  // Output cut to size - 1 characters, across the word boundary too.
  ASSERT_EQ(HaManagerPackUserContexts("ABCDEFGHIJKLMNOPQRSTUVWX", &w1, &w2), VQX_RESULT_OK);
  for (u32 size : {1u, 2u, 12u, 13u, 14u, 24u, 25u, 64u})
    EXPECT_EQ(Decode(w1, w2, size), std::string("ABCDEFGHIJKLMNOPQRSTUVWX").substr(0, size - 1)) << size;
  EXPECT_EQ(Decode(0, 0, 5) + "|" + Decode(w1, {}, 4), "[Und|ABC");
  char sz[4] = {'Q'};
  EXPECT_EQ((Results{HaManagerExtractOneUserContext(1, sz, 0), HaManagerExtractUserContexts(1, 2, sz, 0)}),
            Results(2, VQX_RESULT_INVALID_PARAM));
  EXPECT_EQ(sz[0], 'Q') << "size 0 writes nothing";
  w1 = w2 = 0x1234;
  for (const char* psz : {"abc", "A-B", "A B", "ABCDEFGHIJKLM", "\x80"})
    EXPECT_EQ(HaManagerPackUserContext(psz, &w1), VQX_RESULT_INVALID_PARAM) << psz;
  for (const std::string s : {"ABCDEFGHIJKLMNOPQRSTUVWXY", "AAAAAAAAAAAAAAAAAAAAAAAA", "ABCDEFGHIJKLMNOp"})
    EXPECT_EQ(HaManagerPackUserContexts(s.c_str(), &w1, &w2), VQX_RESULT_INVALID_PARAM) << s;
  EXPECT_EQ(std::pair(w1, w2), std::pair(u64(0x1234), u64(0x1234))) << "refused: words unchanged";
  EXPECT_EQ((Results{HaManagerPackUserContext(nullptr, &w1), HaManagerPackUserContext("A", nullptr),
                     HaManagerPackUserContexts("A", &w1, nullptr), HaManagerExtractOneUserContext(1, nullptr, 4),
                     HaManagerExtractUserContexts(1, 2, nullptr, 4)}),
            Results(5, VQX_RESULT_NULL_PARAM));
}

TEST(UserContext, NamesOfEveryLengthAndCharacterRoundTrip) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
  for (u32 i = 0; i < 37 * 25; ++i) {  // every length up to 24 from every start in the alphabet
    const std::string name = alphabet.substr(i % 37, i / 37);
    u64 w1 = 0, w2 = 0;
    ASSERT_EQ(HaManagerPackUserContexts(name.c_str(), &w1, &w2), VQX_RESULT_OK) << name;
    ASSERT_TRUE(w1 < Pow38(12) && w2 < Pow38(12) && Decode(w1, w2) == name) << name;
  }
}

}  // namespace
