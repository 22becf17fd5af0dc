// Bounded formatting, case-blind comparison, hex conversion and path helpers: one table per call, each row checking
// the bytes written and that nothing was written past them.
#include <stdarg.h>

#include <tuple>

#include "support/vqx_test_support.h"
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

TEST(Snprintf, TruncatesTerminatesAndLetsAnAppenderStop) {
  const struct { size_t size; const char* pszArg; int nExpected; const char* pszExpected; } rows[] = {
      {16, "hello", 5, "hello"}, {6, "hello", 5, "hello"}, {5, "hello", 4, "hell"},
      {1, "hello", 0, ""},       {2, "hello", 1, "h"},     {4, "", 0, ""}};
  char sz[32];
  for (const auto& row : rows) {
    for (bool fVa : {false, true}) {
      memset(sz, 'X', sizeof(sz));
      const int n = fVa ? ThroughVaList(sz, row.size, "%s", row.pszArg) : Snprintf(sz, row.size, "%s", row.pszArg);
      EXPECT_EQ(std::tuple(n, std::string(sz), sz[row.size]), std::tuple(row.nExpected, row.pszExpected, 'X'))
          << row.size << " " << row.pszArg << (fVa ? " (Vsnprintf)" : "");
    }
  }
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ((std::vector<int>{Snprintf(sz, 0, "%s", "abc"), Snprintf(nullptr, 10, "%s", "abc"), sz[0]}), (std::vector<int>{0, 0, 'X'}))
      << "size 0 or no destination";
  // Appending with the room left never overruns; with room 1 every further call writes only the NUL.
  int n = 0;
  for (int i = 0; i < 10; ++i) n += Snprintf(sz + n, 10 - n, "%d,", i);
  EXPECT_EQ(std::pair(n, Snprintf(sz + n, 10 - n, "%s", "more")), std::pair(9, 0));
  EXPECT_EQ(std::string(sz, 11), std::string("0,1,2,3,4\0X", 11));
  // A failing format (null, or a wide character the C locale cannot encode) gives "" and the size itself, so an
  // appender has no room left and writes nothing more.
  const wchar_t wsz[] = {static_cast<wchar_t>(0xD800), 0};
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ((std::pair{ThroughVaList(sz + 9, 3, nullptr), sz[9]}), std::pair(3, '\0'));
  n = Snprintf(sz, 8, "%ls", wsz);
  EXPECT_EQ(std::pair(n, Snprintf(sz + n, 8 - n, "%s", "tail")), std::pair(8, 0));
  EXPECT_EQ(std::string(sz, 9), std::string("\0XXXXXXXX", 9));
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(Stricmp, CaseBlindRows) {
  // "ab"/"AB" end together before n; n = 0 is always equal; '{' is not a letter; letters fold to upper case, so '_'
  // (0x5F) sorts after 'A' (0x41); null sorts first.
  const struct { const char *pszA, *pszB; size_t n; int nSignFull, nSignN; } rows[] = {
      {"abc", "ABC", 3, 0, 0}, {"abc", "abd", 2, -1, 0}, {"abd", "abc", 3, 1, 1},   {"ab", "abc", 3, -1, -1},
      {"ab", "abc", 2, -1, 0}, {"ab", "AB", 10, 0, 0},   {"x", "y", 0, -1, 0},      {"", "", 1, 0, 0},
      {"[", "{", 1, -1, -1},   {"_a", "_A", 2, 0, 0},    {"_", "a", 1, 1, 1},       {nullptr, "a", 1, -1, -1},
      {nullptr, nullptr, 1, 0, 0}, {"az", "AZ", 2, 0, 0}, {"`", "@", 1, 1, 1}};
  for (const auto& row : rows) {
    EXPECT_EQ(std::pair(Sign(Stricmp(row.pszA, row.pszB)), Sign(Strnicmp(row.pszA, row.pszB, row.n))),
              std::pair(row.nSignFull, row.nSignN))
        << (row.pszA ? row.pszA : "(null)") << "|" << (row.pszB ? row.pszB : "(null)") << " n=" << row.n;
  }
}

TEST(Hex, BothWaysEveryByteAndTheStops) {
  const struct { const char* pszText; u64 un64Room, un64Digits; std::string bytes; } rows[] = {
      {"00ff7F80", 8, 8, std::string("\x00\xff\x7f\x80", 4)}, {"", 8, 0, ""},     {"abc", 8, 3, "\xab\xc0"},
      {"a1b2c3", 2, 4, "\xa1\xb2"}, {"a1b2", 2, 4, "\xa1\xb2"}, {"a1b", 1, 2, "\xa1"}, {"a1zz", 8, 2, "\xa1"},
      {"a1bz", 8, 3, "\xa1\xb0"},   {"a1 b2", 8, 2, "\xa1"},    {"a1", 0, 0, ""},      {"x1", 8, 0, ""},
      {nullptr, 2, 0, ""}};  // lone last digit: high half; room; first non-digit; null text
  for (const auto& row : rows) {
    u8 aby[16];
    memset(aby, 0xEE, sizeof(aby));
    u64 un64Count = row.un64Room;
    EXPECT_EQ(HexStringToByteArray(row.pszText, aby, &un64Count), row.un64Digits) << (row.pszText ? row.pszText : "-");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(aby), un64Count + 1), row.bytes + '\xEE') << row.un64Room;
  }
  // Every byte to text (lower case, high half first, then a NUL and nothing after) and back.
  u8 abyIn[256], abyOut[256] = {0xEE};
  char sz[2 * 256 + 2], szWant[2 * 256 + 2] = {};
  for (int i = 0; i < 256; ++i) abyIn[i] = u8(i), std::snprintf(szWant + 2 * i, 3, "%02x", i);
  memset(sz, 'X', sizeof(sz));
  EXPECT_EQ(ByteArrayToHexString(abyIn, 256, sz), 256u);
  EXPECT_EQ(std::string(sz, 514), std::string(szWant, 513) + 'X');
  u64 un64Count = sizeof(abyOut);
  EXPECT_EQ((std::pair{HexStringToByteArray(sz, abyOut, &un64Count), un64Count}), std::pair(u64(512), u64(256)));
  EXPECT_EQ(memcmp(abyIn, abyOut, 256), 0);
  // Refusals: no bytes, no room, count 0; nothing written.
  EXPECT_EQ((std::vector<u64>{HexStringToByteArray("a1", nullptr, &un64Count), un64Count, HexStringToByteArray("a1", abyOut, nullptr),
                              ByteArrayToHexString(abyIn, 3, nullptr), abyOut[0], ByteArrayToHexString(nullptr, 3, sz), u64(sz[0]),
                              ByteArrayToHexString(abyIn, 0, sz + 4), u64(sz[4])}),
            std::vector<u64>(9, 0));
}

TEST(VqxFileNameFromPath, RowsAndTheScanLimit) {
  // A separator at index 255 counts; one at index 256 does not, an earlier one does.
  const std::string scan255 = std::string(255, 'x') + "/x", scan256 = std::string(256, 'x') + "/x", both = "a/" + scan256.substr(2);
  const std::pair<const char*, const char*> rows[] = {
      {"/a/b/c.cpp", "c.cpp"}, {"c.cpp", "c.cpp"}, {"a\\b\\c.cpp", "c.cpp"}, {"a/b\\c.cpp", "c.cpp"}, {"a\\b/c.cpp", "c.cpp"},
      {"dir/", ""}, {"", ""}, {"/", ""}, {nullptr, ""}, {scan255.c_str(), "x"}, {scan256.c_str(), scan256.c_str()},
      {both.c_str(), both.c_str() + 2}};
  for (const auto& [path, name] : rows) EXPECT_STREQ(VqxFileNameFromPath(path), name) << (path ? path : "null");
}

}  // namespace
