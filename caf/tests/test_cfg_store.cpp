// The XML store read against outside oracles: values, codes and counts as the rows of
// data/cfg_store_reads.txt (counts as xmllint's XPath counts), line numbers as expat's
// (testing/golden/caf/cfg_lines.py).
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

/* Each read of data/cfg_store_reads.txt written back as it came out, so that the text compares with the file. */
TEST_F(Fixture, ReadsGiveTheirValuesAndCodes) {
  ExpectRows("cfg_store_reads.txt", 6, [this](std::vector<std::string>& a) {
    const char* pszPath = a[1].c_str();
    const u32 un32Index = static_cast<u32>(std::stoul(a[2]));
    char szText[VQCAF_CFG_VALUE_SIZE] = "stale";
    u32 un32 = 99;
    u8 by = 99;
    const VQX_RESULT res = a[0] == "text"    ? Store.Get(pszPath, un32Index, a[3].data(), sizeof(szText), szText)
                           : a[0] == "num"   ? Store.Get(pszPath, un32Index, a[3].data(), &un32)
                           : a[0] == "count" ? Store.GetCount(pszPath, &un32)
                                             : Store.Get(pszPath, un32Index, a[3].data(), &by);
    std::string strValue = a[0] == "text" ? std::string(szText) : std::to_string(a[0] == "bool" ? by : un32);
    if (a[0] == "count" && strValue + "\n" == Sh("xmllint --xpath 'count(" + a[5] + ")' " + kFixture)) strValue = a[5];
    a[4] = Hex(res);
    a[5] = strValue;
  });
}

/* More paths than the store keeps resolved: a path resolved again counts the same. */
TEST_F(Fixture, PathsPastTheCacheCountTheSame) {
  std::vector<u32> a(80, 99);
  for (u32 k = 0; k < 80; k++) ASSERT_EQ(Store.GetCount(("quellan:signaling:ss7:[" + std::to_string(k % 40) + "]:trunk").c_str(), &a[k]), VQX_RESULT_OK);
  EXPECT_EQ(std::vector<u32>(a.begin(), a.begin() + 40), std::vector<u32>(a.begin() + 40, a.end()));
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
