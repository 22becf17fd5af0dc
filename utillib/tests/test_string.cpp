// Bounded formatting, case-blind comparison, hex conversion and path helpers: one table per call, each row checking
// the bytes written and that nothing was written past them.
#include <gtest/gtest.h>

#include <stdarg.h>
#include <string.h>

#include <string>

#include "vqx_string.h"

namespace {

// Vsnprintf is what callers with their own variadic wrappers (log lines) use.
int ThroughVaList(char* psz, size_t size, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  const int n = Vsnprintf(psz, size, pszFormat, args);
  va_end(args);
  return n;
}

TEST(Snprintf, TruncatesAndTerminatesWithinSize) {
  struct Row { const char* pszName; size_t size; const char* pszArg; int nExpected; const char* pszExpected; };
  const Row rows[] = {{"fits", 16, "hello", 5, "hello"}, {"exactly size-1", 6, "hello", 5, "hello"},
                      {"one short", 5, "hello", 4, "hell"},  {"size 1", 1, "hello", 0, ""},
                      {"size 2", 2, "hello", 1, "h"},        {"empty text", 4, "", 0, ""}};
  for (const auto& row : rows) {
    for (bool fVa : {false, true}) {
      char sz[32];
      memset(sz, 'X', sizeof(sz));
      const int n = fVa ? ThroughVaList(sz, row.size, "%s", row.pszArg) : Snprintf(sz, row.size, "%s", row.pszArg);
      EXPECT_EQ(n, row.nExpected) << row.pszName << (fVa ? " (Vsnprintf)" : "");
      EXPECT_STREQ(sz, row.pszExpected) << row.pszName;
      EXPECT_EQ(sz[row.size], 'X') << row.pszName << ": wrote beyond size";
    }
  }
  char sz[12];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(Snprintf(sz, 0, "%s", "abc") + Snprintf(nullptr, 10, "%s", "abc"), 0) << "size 0 or no destination";
  EXPECT_EQ(sz[0], 'X');
  EXPECT_EQ(ThroughVaList(sz, sizeof(sz), nullptr), int(sizeof(sz))) << "null format fails";
  EXPECT_STREQ(sz, "");
  // Appending with the room left never overruns; with room 1 every further call writes only the NUL.
  memset(sz, 'X', sizeof(sz));
  int n = 0;
  for (int i = 0; i < 10; ++i) n += Snprintf(sz + n, 10 - n, "%d,", i);
  EXPECT_EQ(n, 9);
  EXPECT_EQ(Snprintf(sz + n, 10 - n, "%s", "more"), 0);
  EXPECT_EQ(std::string(sz, 11), std::string("0,1,2,3,4\0X", 11));
}

TEST(Snprintf, FormattingFailureReturnsSizeSoAnAppenderStops) {
  // A wide character that cannot be encoded in the C locale fails the format.
  const wchar_t wsz[] = {static_cast<wchar_t>(0xD800), 0};
  char sz[12];
  memset(sz, 'X', sizeof(sz));
  const int n = Snprintf(sz, 8, "%ls", wsz);
  ASSERT_EQ(n, 8);
  EXPECT_EQ(Snprintf(sz + n, 8 - n, "%s", "tail"), 0);
  EXPECT_EQ(std::string(sz, 9), std::string("\0XXXXXXXX", 9)) << "\"\" and nothing written past the line";
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(Stricmp, CaseBlindRows) {
  struct Row { const char *pszA, *pszB; size_t n; int nSignFull, nSignN; };  // signs of Stricmp, Strnicmp(n)
  // "ab"/"AB" end together before n; n = 0 is always equal; '{' is not a letter; letters fold to upper case, so '_'
  // (0x5F) sorts after 'A' (0x41); null sorts first.
  const Row rows[] = {{"abc", "ABC", 3, 0, 0},  {"abc", "abd", 2, -1, 0}, {"abd", "abc", 3, 1, 1}, {"ab", "abc", 3, -1, -1},
                      {"ab", "abc", 2, -1, 0},  {"ab", "AB", 10, 0, 0},   {"x", "y", 0, -1, 0},    {"", "", 1, 0, 0},
                      {"[", "{", 1, -1, -1},    {"_a", "_A", 2, 0, 0},    {"_", "a", 1, 1, 1},     {nullptr, "a", 1, -1, -1},
                      {nullptr, nullptr, 1, 0, 0}};
  for (const auto& row : rows) {
    const std::string label = std::string(row.pszA ? row.pszA : "(null)") + "|" + (row.pszB ? row.pszB : "(null)");
    EXPECT_EQ(Sign(Stricmp(row.pszA, row.pszB)), row.nSignFull) << label;
    EXPECT_EQ(Sign(Strnicmp(row.pszA, row.pszB, row.n)), row.nSignN) << label << " n=" << row.n;
  }
}

TEST(Hex, StringToBytesRows) {
  struct Row { const char *pszName, *pszText; u64 un64Room, un64Digits; std::string bytes; };
  const Row rows[] = {
      {"pairs, either case", "00ff7F80", 8, 8, std::string("\x00\xff\x7f\x80", 4)}, {"empty", "", 8, 0, ""},
      {"odd last digit", "abc", 8, 3, "\xab\xc0"}, {"room reached", "a1b2c3", 2, 4, "\xa1\xb2"},
      {"room exact", "a1b2", 2, 4, "\xa1\xb2"},    {"odd digit with no room", "a1b", 1, 2, "\xa1"},
      {"bad char stops", "a1zz", 8, 2, "\xa1"},     {"bad char after one digit", "a1bz", 8, 3, "\xa1\xb0"},
      {"space stops", "a1 b2", 8, 2, "\xa1"},       {"zero room", "a1", 0, 0, ""},
      {"leading bad char", "x1", 8, 0, ""},         {"null text", nullptr, 2, 0, ""}};
  for (const auto& row : rows) {
    u8 aby[16];
    memset(aby, 0xEE, sizeof(aby));
    u64 un64Count = row.un64Room;
    EXPECT_EQ(HexStringToByteArray(row.pszText, aby, &un64Count), row.un64Digits) << row.pszName;
    ASSERT_EQ(un64Count, row.bytes.size()) << row.pszName;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(aby), un64Count + 1), row.bytes + '\xEE') << row.pszName;
  }
  u8 aby[2] = {0xEE, 0xEE};
  u64 un64Count = 2;
  EXPECT_EQ(HexStringToByteArray("a1", nullptr, &un64Count), 0u);
  EXPECT_EQ(un64Count, 0u);
  EXPECT_EQ(HexStringToByteArray("a1", aby, nullptr), 0u);
  EXPECT_EQ(aby[0], 0xEE);
}

TEST(Hex, BytesToStringAndRoundTripOfEveryByte) {
  u8 abyIn[256], abyOut[256];
  for (int i = 0; i < 256; ++i) abyIn[i] = static_cast<u8>(i);
  char sz[2 * 256 + 2];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(ByteArrayToHexString(abyIn + 0xA5, 3, sz), 3u);
  EXPECT_EQ(std::string(sz, 8), std::string("a5a6a7\0X", 8)) << "lower case, high half first";
  ASSERT_EQ(ByteArrayToHexString(abyIn, 256, sz), 256u);
  EXPECT_EQ(std::string(sz, 4), "0001");
  u64 un64Count = sizeof(abyOut);
  EXPECT_EQ(HexStringToByteArray(sz, abyOut, &un64Count), 512u);
  ASSERT_EQ(un64Count, 256u);
  EXPECT_EQ(memcmp(abyIn, abyOut, 256), 0);
  EXPECT_EQ(ByteArrayToHexString(nullptr, 3, sz), 0u);
  EXPECT_STREQ(sz, "") << "no bytes";
  EXPECT_EQ(ByteArrayToHexString(abyIn, 0, sz + 4), 0u);
  EXPECT_EQ(sz[4], '\0') << "count 0";
  EXPECT_EQ(ByteArrayToHexString(abyIn, 3, nullptr), 0u);
}

TEST(VqxFileNameFromPath, RowsAndTheScanLimit) {
  const char* rows[][2] = {{"/a/b/c.cpp", "c.cpp"}, {"c.cpp", "c.cpp"},      {"a\\b\\c.cpp", "c.cpp"},
                           {"a/b\\c.cpp", "c.cpp"}, {"a\\b/c.cpp", "c.cpp"}, {"dir/", ""},
                           {"", ""},                {"/", ""}};
  for (const auto& row : rows) EXPECT_STREQ(VqxFileNameFromPath(row[0]), row[1]) << row[0];
  EXPECT_STREQ(VqxFileNameFromPath(nullptr), "");
  // A separator at index 255 counts; one at index 256 does not.
  std::string path(300, 'x');
  path[255] = '/';
  EXPECT_EQ(VqxFileNameFromPath(path.c_str()), path.c_str() + 256);
  path[255] = 'x';
  path[256] = '/';
  EXPECT_EQ(VqxFileNameFromPath(path.c_str()), path.c_str());
  path[10] = '/';
  EXPECT_EQ(VqxFileNameFromPath(path.c_str()), path.c_str() + 11);
}

}  // namespace
