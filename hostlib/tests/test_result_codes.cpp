/*
 * test_result_codes.cpp - names and descriptions of result words.
 *
 * Table-driven: every row names the word it checks. The constants of
 * vqx_result.h are read from the header and checked against their own
 * spelling, which the name table was not generated from.
 */

#include <fstream>

#include "support/hostlib_fixture.h"

namespace {

std::string ErrorString(VQX_RESULT result, u32 size = 256) {
  char sz[256];
  memset(sz, 'x', sizeof(sz));
  EXPECT_EQ(VQXGetErrorString(result, size, sz), VQX_RESULT_API_OK);
  return sz;
}

/* Every constant of vqx_result.h, read from the header as spelled there (the name table comes from elsewhere). */
TEST(ResultNames, EveryConstantIsNamedAsSpelled) {
  const char* pszRoot = getenv("VQX_SOURCE_DIR");
  std::ifstream in(std::string(pszRoot != nullptr ? pszRoot : ".") + "/utillib/vqx_result.h");
  u32 un32Count = 0;
  for (std::string line; std::getline(in, line);) {
    char szName[96];
    unsigned int uValue = 0;
    if (sscanf(line.c_str(), "#define %95s 0x%x", szName, &uValue) != 2 || strncmp(szName, "VQX_RESULT_", 11) != 0) {
      continue;
    }
    EXPECT_EQ(ErrorString(uValue), szName) << line;
    un32Count++;
  }
  EXPECT_EQ(un32Count, 86u) << "every constant of the header was read";
}

/* Names built from source and code, and descriptions: tests/data/result_names.txt. */
TEST(ResultNames, BuiltNamesAndDescriptionsTable) {
  for (const auto& row : DataRows("result_names.txt")) {
    ASSERT_EQ(row.size(), 3u);
    const VQX_RESULT result = static_cast<VQX_RESULT>(DataNum(row[1]));
    const std::string expected = row[2].substr(1, row[2].size() - 2);
    const char* psz = nullptr;
    if (row[0] == "name") {
      EXPECT_EQ(ErrorString(result), expected) << row[1];
    } else {
      EXPECT_EQ(VQXGetErrorDescription(result, &psz), VQX_RESULT_API_OK);
      EXPECT_EQ(std::string(psz != nullptr ? psz : "(null)"), expected) << row[1];
    }
  }
}

TEST(ResultNames, CutToBufferAndArgumentChecks) {
  EXPECT_EQ(ErrorString(0x82010206, 8), "VQX_RES");
  EXPECT_EQ(ErrorString(0x82010206, 1), "");
  EXPECT_EQ(ErrorString(0x84170001, 10), "VQ500_RES");
  char sz[4];
  EXPECT_EQ(VQXGetErrorString(0x82010206, 4, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXGetErrorString(0x82010206, 0, sz), VQX_RESULT_API_INVALID_PARAM);
  EXPECT_EQ(VQXGetErrorDescription(0x82010003, nullptr), VQX_RESULT_API_NULL_PARAM);
}

}  // namespace
