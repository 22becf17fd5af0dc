// Bounded formatting, case-blind comparison, hex conversion and path helpers.
#include <gtest/gtest.h>

#include <stdarg.h>
#include <string.h>

#include <string>

#include "vqx_string.h"

namespace {

struct SnprintfRow {
  const char* pszName;
  size_t size;
  const char* pszArg;
  int nExpected;
  const char* pszExpected;
};

TEST(Snprintf, TruncatesAndTerminatesWithinSize) {
  const SnprintfRow rows[] = {
      {"fits", 16, "hello", 5, "hello"},
      {"exactly size-1", 6, "hello", 5, "hello"},
      {"one short", 5, "hello", 4, "hell"},
      {"size 1", 1, "hello", 0, ""},
      {"size 2", 2, "hello", 1, "h"},
      {"empty text", 4, "", 0, ""},
  };
  for (const auto& row : rows) {
    char sz[32];
    memset(sz, 'X', sizeof(sz));
    const int n = Snprintf(sz, row.size, "%s", row.pszArg);
    EXPECT_EQ(n, row.nExpected) << row.pszName;
    EXPECT_STREQ(sz, row.pszExpected) << row.pszName;
    EXPECT_EQ(sz[row.size], 'X') << row.pszName << ": wrote beyond size";
  }
}

TEST(Snprintf, SizeZeroAndNullWriteNothing) {
  char sz[4] = {'X', 'X', 'X', 'X'};
  EXPECT_EQ(Snprintf(sz, 0, "%s", "abc"), 0);
  EXPECT_EQ(sz[0], 'X');
  EXPECT_EQ(Snprintf(nullptr, 10, "%s", "abc"), 0);
}

TEST(Snprintf, FormattingFailureReturnsSize) {
  char sz[8] = "junk";
  // A wide character that cannot be encoded in the C locale fails the format.
  const wchar_t wsz[] = {static_cast<wchar_t>(0xD800), 0};
  EXPECT_EQ(Snprintf(sz, sizeof(sz), "%ls", wsz), static_cast<int>(sizeof(sz)));
  EXPECT_STREQ(sz, "");
  // An appending caller now has no room: the next piece writes nothing.
  char szLine[12];
  memset(szLine, 'X', sizeof(szLine));
  int n = Snprintf(szLine, 8, "%ls", wsz);
  ASSERT_EQ(n, 8);
  EXPECT_EQ(Snprintf(szLine + n, 8 - n, "%s", "tail"), 0);
  EXPECT_EQ(szLine[0], '\0');
  EXPECT_EQ(szLine[8], 'X') << "nothing written past the line";
}

TEST(Snprintf, AppendWithRemainingSizeNeverOverruns) {
  char sz[12];
  memset(sz, 'X', sizeof(sz));
  int n = 0;
  for (int i = 0; i < 10; ++i) n += Snprintf(sz + n, 10 - n, "%d,", i);
  EXPECT_EQ(n, 9);
  EXPECT_STREQ(sz, "0,1,2,3,4");
  EXPECT_EQ(sz[10], 'X');
  // Room left is 1: every further call writes only the NUL and returns 0.
  EXPECT_EQ(Snprintf(sz + n, 10 - n, "%s", "more"), 0);
  EXPECT_STREQ(sz, "0,1,2,3,4");
}

// Vsnprintf is what callers with their own variadic wrappers (log lines) use.
int FormatThroughVaList(char* psz, size_t size, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  const int n = Vsnprintf(psz, size, pszFormat, args);
  va_end(args);
  return n;
}

TEST(Vsnprintf, SameContractAsSnprintf) {
  char sz[8];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(FormatThroughVaList(sz, 6, "%s=%u", "key", 1234u), 5) << "capped at size - 1";
  EXPECT_STREQ(sz, "key=1");
  EXPECT_EQ(sz[6], 'X');
  EXPECT_EQ(FormatThroughVaList(sz, sizeof(sz), "%d", -7), 2);
  EXPECT_STREQ(sz, "-7");
  EXPECT_EQ(FormatThroughVaList(sz, 0, "%d", 1), 0);
  EXPECT_EQ(FormatThroughVaList(sz, sizeof(sz), nullptr), static_cast<int>(sizeof(sz))) << "null format fails";
  EXPECT_STREQ(sz, "");
}

TEST(Snprintf, DefaultApplicationName) {
  char sz[128];
  EXPECT_EQ(Snprintf(sz, sizeof(sz), "UnnamedApp_0x%08X", 0xABCu), 21);
  EXPECT_STREQ(sz, "UnnamedApp_0x00000ABC");
}

struct CompareRow {
  const char* pszA;
  const char* pszB;
  size_t n;       // for Strnicmp
  int nSignFull;  // sign of Stricmp
  int nSignN;     // sign of Strnicmp
};

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(Stricmp, CaseBlindRows) {
  const CompareRow rows[] = {
      {"abc", "ABC", 3, 0, 0},
      {"abc", "abd", 2, -1, 0},
      {"abd", "abc", 3, 1, 1},
      {"ab", "abc", 3, -1, -1},
      {"ab", "abc", 2, -1, 0},
      {"ab", "AB", 10, 0, 0},  // both end before n
      {"x", "y", 0, -1, 0},    // n = 0 always equal
      {"", "", 1, 0, 0},
      {"[", "{", 1, -1, -1},   // '{' is not a letter: no folding
      {"_a", "_A", 2, 0, 0},
      {"_", "a", 1, 1, 1},     // letters fold to upper case: '_' (0x5F) sorts after 'A' (0x41)
      {nullptr, "a", 1, -1, -1},
      {nullptr, nullptr, 1, 0, 0},
  };
  for (const auto& row : rows) {
    const std::string label = std::string(row.pszA ? row.pszA : "(null)") + "|" + (row.pszB ? row.pszB : "(null)");
    EXPECT_EQ(Sign(Stricmp(row.pszA, row.pszB)), row.nSignFull) << label;
    EXPECT_EQ(Sign(Strnicmp(row.pszA, row.pszB, row.n)), row.nSignN) << label << " n=" << row.n;
  }
}

struct HexRow {
  const char* pszName;
  const char* pszText;
  u64 un64Room;
  u64 un64Digits;
  std::string bytes;
};

TEST(HexStringToByteArray, Rows) {
  const HexRow rows[] = {
      {"pairs", "00ff7F80", 8, 8, std::string("\x00\xff\x7f\x80", 4)},
      {"mixed case", "aBcD", 8, 4, "\xab\xcd"},
      {"odd last digit", "abc", 8, 3, "\xab\xc0"},
      {"single digit", "7", 8, 1, "\x70"},
      {"room reached", "a1b2c3", 2, 4, "\xa1\xb2"},
      {"room exact", "a1b2", 2, 4, "\xa1\xb2"},
      {"odd digit with no room", "a1b", 1, 2, "\xa1"},
      {"bad char stops", "a1zz", 8, 2, "\xa1"},
      {"bad char after one digit", "a1bz", 8, 3, "\xa1\xb0"},
      {"space stops", "a1 b2", 8, 2, "\xa1"},
      {"empty", "", 8, 0, ""},
      {"zero room", "a1", 0, 0, ""},
      {"leading bad char", "x1", 8, 0, ""},
  };
  for (const auto& row : rows) {
    u8 aby[16];
    memset(aby, 0xEE, sizeof(aby));
    u64 un64Count = row.un64Room;
    EXPECT_EQ(HexStringToByteArray(row.pszText, aby, &un64Count), row.un64Digits) << row.pszName;
    ASSERT_EQ(un64Count, row.bytes.size()) << row.pszName;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(aby), un64Count), row.bytes) << row.pszName;
    EXPECT_EQ(aby[un64Count], 0xEE) << row.pszName << ": wrote beyond the count";
  }
}

TEST(HexStringToByteArray, NullArgumentsWriteNothing) {
  u8 aby[2] = {0xEE, 0xEE};
  u64 un64Count = 2;
  EXPECT_EQ(HexStringToByteArray(nullptr, aby, &un64Count), 0u);
  EXPECT_EQ(un64Count, 0u);
  un64Count = 2;
  EXPECT_EQ(HexStringToByteArray("a1", nullptr, &un64Count), 0u);
  EXPECT_EQ(un64Count, 0u);
  EXPECT_EQ(HexStringToByteArray("a1", aby, nullptr), 0u);
  EXPECT_EQ(aby[0], 0xEE);
}

TEST(ByteArrayToHexString, LowerCaseHighHalfFirst) {
  const u8 aby[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
  char sz[16];
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(ByteArrayToHexString(aby, sizeof(aby), sz), sizeof(aby));
  EXPECT_STREQ(sz, "000fa5ff10");
  EXPECT_EQ(sz[11], 'X');
  EXPECT_EQ(ByteArrayToHexString(aby, 0, sz), 0u);
  EXPECT_STREQ(sz, "");
  EXPECT_EQ(ByteArrayToHexString(nullptr, 3, sz), 0u);
  EXPECT_STREQ(sz, "");
  EXPECT_EQ(ByteArrayToHexString(aby, 3, nullptr), 0u);
}

TEST(Hex, RoundTripEveryByte) {
  u8 abyIn[256];
  for (int i = 0; i < 256; ++i) abyIn[i] = static_cast<u8>(i);
  char sz[2 * 256 + 1];
  ASSERT_EQ(ByteArrayToHexString(abyIn, 256, sz), 256u);
  u8 abyOut[256];
  u64 un64Count = sizeof(abyOut);
  EXPECT_EQ(HexStringToByteArray(sz, abyOut, &un64Count), 512u);
  ASSERT_EQ(un64Count, 256u);
  EXPECT_EQ(memcmp(abyIn, abyOut, 256), 0);
}

TEST(VqxFileNameFromPath, Rows) {
  struct Row {
    const char* pszPath;
    const char* pszExpected;
  };
  const Row rows[] = {
      {"/a/b/c.cpp", "c.cpp"},   {"c.cpp", "c.cpp"},     {"a\\b\\c.cpp", "c.cpp"},
      {"a/b\\c.cpp", "c.cpp"},   {"a\\b/c.cpp", "c.cpp"}, {"dir/", ""},
      {"", ""},                  {"/", ""},
  };
  for (const auto& row : rows) EXPECT_STREQ(VqxFileNameFromPath(row.pszPath), row.pszExpected) << row.pszPath;
  EXPECT_STREQ(VqxFileNameFromPath(nullptr), "");
}

TEST(VqxFileNameFromPath, LooksAtFirst256CharactersOnly) {
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

} // namespace
