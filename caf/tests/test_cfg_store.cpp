// The XML store read against outside oracles: values, codes and counts as rows
// (counts as xmllint's XPath counts), line numbers as expat's (testing/golden/caf/cfg_lines.py).
#include <map>

#include "cli_test_support.h"
#include "support/vqcaf_test_support.h"
#include "vqcafcfgfile.h"

namespace {

const std::string kFixture = std::string(getenv("VQX_TEST_DATA")) + "/cfg_store.xml";

struct Fixture : ::testing::Test {
  CVQCAFCfgFileXml Store{kFixture.c_str()};
  void SetUp() override {
    ASSERT_EQ(Sh("xmllint --noout " + kFixture + " 2>&1; echo $?"), "0\n");
    ASSERT_EQ(Store.Open(), VQX_RESULT_OK);
    ASSERT_EQ(Store.Open(), VQX_RESULT_INVALID_STATE);
  }
};

enum Kind { kText, kBool, kNum, kCount };  // a count row gives the XPath whose count xmllint must agree with
struct Row {
  const char* pszPath;
  u32 un32Index;
  const char* pszField;
  Kind kind;
  VQX_RESULT un32Code;
  const char* pszValue;
};
const std::string k255(255, 'A');
const Row kRows[] = {
    {"quellan:params:host", 0, "applicationName", kText, VQX_RESULT_OK, "tracer"},
    {":params:host", 0, "applicationName", kText, VQX_RESULT_OK, "tracer"},
    {"quellan:params:host", 0, "absent", kText, VQX_RESULT_NOT_FOUND, ""},
    {"quellan:params:host", 0, "blank", kText, VQX_RESULT_OK, ""},
    {"quellan:signaling:isdn", 0, "text255", kText, VQX_RESULT_OK, k255.c_str()},
    {"quellan:signaling:isdn", 0, "text256", kText, VQX_RESULT_BUFFER_TOO_SMALL, ""},
    {"quellan:signaling:isdn", 0, "amp", kText, VQX_RESULT_OK, "a&b"},
    {"quellan:signaling:ss7", 2, "adapter", kText, VQX_RESULT_OK, "tb2"},
    {"quellan:signaling:ss7", 3, "adapter", kText, VQX_RESULT_NOT_FOUND, ""},
    {"quellan:signaling:ss7:[2]:trunk", 0, "idx", kNum, VQX_RESULT_OK, "7"},
    {"quellan:signaling:ss7:trunk", 2, "timeslot", kNum, VQX_RESULT_OK, "31"},
    {"quellan:signaling:ss7:[x]", 0, "adapter", kText, VQX_RESULT_NOT_FOUND, ""},
    {"quellan:params:host", 0, "hex", kNum, VQX_RESULT_OK, "31"},
    {"quellan:params:host", 0, "octal", kNum, VQX_RESULT_OK, "15"},
    {"quellan:params:host", 0, "none", kNum, VQX_RESULT_OK, "0"},
    {"quellan:params:host", 0, "max", kNum, VQX_RESULT_OK, "4294967295"},
    {"quellan:params:host", 0, "wrap", kNum, VQX_RESULT_INVALID_PARAM, "0"},
    {"quellan:params:host", 0, "hexwrap", kNum, VQX_RESULT_INVALID_PARAM, "0"},
    {"quellan:signaling:ss7", 0, "", kCount, VQX_RESULT_OK, "/quellan/signaling/ss7"},
    {"quellan:signaling:ss7:[0]:trunk", 0, "", kCount, VQX_RESULT_OK, "/quellan/signaling/ss7[1]/trunk"},
    {"quellan:signaling:ss7:[1]:trunk", 0, "", kCount, VQX_RESULT_OK, "/quellan/signaling/ss7[2]/trunk"},
    {"quellan:signaling:ss7:[3]", 0, "", kCount, VQX_RESULT_OK, "/quellan/signaling/ss7[4]"},
    {"other:signaling", 0, "", kCount, VQX_RESULT_OK, "/other/signaling"},
    {"quellan:params:log", 0, "on", kBool, VQX_RESULT_OK, "1"},
    {"quellan:params:log", 0, "off", kBool, VQX_RESULT_OK, "0"},
    {"quellan:params:log", 0, "empty", kBool, VQX_RESULT_OK, "1"},
    {"quellan:signaling:ss7", 1, "capfile", kBool, VQX_RESULT_OK, "0"},
};

TEST_F(Fixture, RowsGiveValuesAndCodes) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(std::string(r.pszPath) + " [" + std::to_string(r.un32Index) + "] " + r.pszField);
    char szText[VQCAF_CFG_VALUE_SIZE] = "stale";
    char* pszField = const_cast<char*>(r.pszField);
    u32 un32 = 99;
    u8 by = 99;
    const VQX_RESULT res = r.kind == kText    ? Store.Get(r.pszPath, r.un32Index, pszField, sizeof(szText), szText)
                           : r.kind == kNum   ? Store.Get(r.pszPath, r.un32Index, pszField, &un32)
                           : r.kind == kCount ? Store.GetCount(r.pszPath, &un32)
                                              : Store.Get(r.pszPath, r.un32Index, pszField, &by);
    const std::string strGot = r.kind == kText ? std::string(szText) : std::to_string(r.kind == kBool ? by : un32);
    EXPECT_EQ(res, r.un32Code);
    if (r.kind == kCount) {
      EXPECT_EQ(strGot + "\n", Sh(std::string("xmllint --xpath 'count(") + r.pszValue + ")' " + kFixture));
    } else {
      EXPECT_EQ(strGot, r.pszValue);
    }
  }
}

/* Every element's line as expat numbers it, also past line 65535. */
void ExpectExpatLines(const std::string& strFile) {
  CVQCAFCfgFileXml Store(strFile.c_str());
  ASSERT_EQ(Store.Open(), VQX_RESULT_OK);
  std::map<std::string, u32> Seen;
  const std::string strSource = getenv("VQX_SOURCE_DIR");
  const std::string strOracle = Sh("python3 " + strSource + "/testing/golden/caf/cfg_lines.py " + strFile);
  for (const std::string& strLine : vqtest::SplitLines(strOracle)) {
    const size_t sp = strLine.find(' ');
    const std::string strPath = strLine.substr(0, sp);
    u32 un32Line = 0;
    EXPECT_EQ(Store.GetLineNumber(strPath.c_str(), Seen[strPath]++, nullptr, &un32Line), VQX_RESULT_OK) << strLine;
    EXPECT_EQ(std::to_string(un32Line), strLine.substr(sp + 1)) << strLine;
  }
  EXPECT_GT(Seen.size(), 1u);
  u32 un32Line = 7;
  EXPECT_EQ(Store.GetLineNumber("quellan:nothing", 0, nullptr, &un32Line), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(un32Line, 0u);
}

TEST(CfgStore, LineNumbersAreExpatsOnes) {
  ExpectExpatLines(kFixture);
  vqtest::CTempDir Dir;
  std::ofstream(Dir.Path("big.xml")) << "<quellan>\n"
                                     << std::string(70000, '\n')
                                     << "<signaling><ss7 a='1'/>\n<ss7/></signaling></quellan>\n";
  ExpectExpatLines(Dir.Path("big.xml"));
}

TEST(CfgStore, ClosedRefusesAndBadFilesFail) {
  vqtest::CTempDir Dir;
  const std::string strEntity = Dir.Path("entity.xml");
  std::ofstream(Dir.Path("secret.txt")) << "secret";
  std::ofstream(strEntity) << "<!DOCTYPE q [<!ENTITY x SYSTEM 'secret.txt'>]><q a='&x;'><e b='&x;'/></q>";
  CVQCAFCfgFileXml Closed(strEntity.c_str());
  char sz[8] = "x";
  EXPECT_EQ(Closed.Get("q", 0, const_cast<char*>("a"), sizeof(sz), sz), VQX_RESULT_INVALID_OPERATION);
  // An external entity is never read: the document is refused.
  EXPECT_EQ(Closed.Open(), VQX_RESULT_INVALID_CONFIG);
  for (const char* pszText : {"", "<q></r>", "not xml"}) {
    std::ofstream(Dir.Path("bad.xml")) << pszText;
    CVQCAFCfgFileXml Bad(Dir.Path("bad.xml").c_str());
    EXPECT_EQ(Bad.Open(), VQX_RESULT_INVALID_CONFIG) << pszText;
  }
  EXPECT_EQ(CVQCAFCfgFileXml(Dir.Path("none.xml").c_str()).Open(), VQX_RESULT_INVALID_CONFIG);
}

}  // namespace
