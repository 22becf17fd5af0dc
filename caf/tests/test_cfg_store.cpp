// The XML store read against outside oracles: values, codes and counts as the rows of
// data/cfg_store_reads.txt (counts as xmllint's XPath counts), line numbers as expat's
// (testing/golden/caf/cfg_lines.py).
#include <functional>
#include <map>
#include <optional>

#include <sys/stat.h>

#include "cli_test_support.h"
#include "peers/hostile_paths.h"
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

/* Reading every element of a section as a reader does costs the section's length, not its square: the store's
 * work (elements looked at) for 10,000 elements is at most 11 times that for 1,000, in each way of reading, over
 * sections that interleave as a file's may. Each value read is the element's own. */
TEST(CfgStore, ReadingEveryElementCostsTheLengthOfItsList) {
  vqtest::CTempDir Dir;
  using Read = std::function<bool(CVQCAFCfgFileXml&, u32)>; /* element i read right */
  const auto Text = [](CVQCAFCfgFileXml& S, const std::string& strPath, u32 i, const char* pszField) {
    char sz[VQCAF_CFG_VALUE_SIZE] = "";
    return VQX_RESULT_SUCCEEDED(S.Get(strPath.c_str(), i, const_cast<char*>(pszField), sizeof(sz), sz)) ? std::string(sz) : "";
  };
  const auto Trunks = [&](CVQCAFCfgFileXml& S, u32 i) {
    const std::string strPath = "quellan:signaling:ss7:[" + std::to_string(i) + "]:trunk";
    u32 un32Count = 0;
    return S.GetCount(strPath.c_str(), &un32Count) == VQX_RESULT_OK && un32Count == 2 &&
           Text(S, strPath, 1, "idx") == std::to_string(i) + "b";
  };
  const struct {
    const char* pszWay;
    Read fnRead;
  } aRows[] = {
      {"by index", [&](CVQCAFCfgFileXml& S, u32 i) { return Text(S, "quellan:signaling:ss7", i, "adapter") == "tb" + std::to_string(i); }},
      {"by [n]", [&](CVQCAFCfgFileXml& S, u32 i) { return Text(S, "quellan:signaling:ss7:[" + std::to_string(i) + "]", 0, "adapter") == "tb" + std::to_string(i); }},
      {"its children by [n]", Trunks},
      {"the other section's children", [&](CVQCAFCfgFileXml& S, u32 i) {
         return Text(S, "quellan:signaling:casr2:[" + std::to_string(i) + "]:trunk", 0, "idx") == std::to_string(i);
       }},
      {"a count pass, then a read pass", [&](CVQCAFCfgFileXml& S, u32 i) {
         u32 un32Count = 0;
         return Trunks(S, i) && S.GetCount("quellan:signaling:casr2", &un32Count) == VQX_RESULT_OK && Trunks(S, i);
       }},
  };
  std::map<u32, std::string> Files;
  for (const u32 un32Elements : {1000u, 10000u}) {
    Files[un32Elements] = Dir.Path((std::to_string(un32Elements) + ".xml").c_str());
    std::ofstream Out(Files[un32Elements]);
    Out << "<quellan><signaling>\n";
    for (u32 i = 0; i < un32Elements; i++)
      Out << "<ss7 adapter='tb" << i << "'><trunk idx='" << i << "a'/><trunk idx='" << i << "b'/></ss7>\n<casr2><trunk idx='"
          << i << "'/></casr2>\n";
    Out << "</signaling></quellan>\n";
  }
  for (const auto& Row : aRows) {
    std::map<u32, u64> Work;
    for (const auto& [un32Elements, strFile] : Files) {
      CVQCAFCfgFileXml Store(strFile.c_str());
      ASSERT_EQ(Store.Open(), VQX_RESULT_OK);
      u32 un32Right = 0;
      for (u32 i = 0; i < un32Elements; i++) un32Right += Row.fnRead(Store, i) ? 1 : 0;
      EXPECT_EQ(un32Right, un32Elements) << Row.pszWay;
      Work[un32Elements] = Store.GetNodesVisited();
    }
    EXPECT_GT(Work[1000], 1000u) << Row.pszWay;
    EXPECT_LE(Work[10000], 11 * Work[1000]) << Row.pszWay << ": " << Work[1000] << " then " << Work[10000];
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
  /* A read given up by its caller (asked at each element) keeps nothing. */
  CVQCAFCfgFileXml GivenUp(kFixture.c_str());
  u32 un32Asked = 0;
  GivenUp.SetGiveUp([&] { return ++un32Asked == 3; });
  EXPECT_EQ(GivenUp.Open(), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(GivenUp.IsOpened(), 0u);
  EXPECT_EQ(un32Asked, 3u) << "the parser stopped at the third element";
}

/* Lines captured so far holding strPart (the capture emptied). */
size_t Seen(CDiagCapture& Log, const std::string& strPart) {
  const auto a = Log.Texts();
  return static_cast<size_t>(std::count_if(a.begin(), a.end(), [&](const std::string& s) { return s.find(strPart) != std::string::npos; }));
}

/* Paths that are no readable file are refused at once, naming the path: a fifo (never waited on), a folder, a file
 * the user may not read (the system's reason). */
TEST(CfgStore, OnlyARegularFileIsReadWithoutWaiting) {
  vqtest::CTempDir Dir;
  CDiagCapture Log;
  peerpaths::CFifo Fifo(Dir.Path("fifo.xml"));
  ASSERT_TRUE(Fifo.Made());
  std::ofstream(Dir.Path("locked.xml")) << "<q a='1'/>";
  chmod(Dir.Path("locked.xml").c_str(), 0);
  const struct {
    std::string strPath;
    VQX_RESULT r;
    std::string strLine;
  } aRows[] = {
      {Dir.Path("fifo.xml"), VQX_RESULT_INVALID_CONFIG, "Cannot read '" + Dir.Path("fifo.xml") + "': not a regular file"},
      {Dir.Path(""), VQX_RESULT_INVALID_CONFIG, "Cannot read '" + Dir.Path("") + "': not a regular file"},
      {Dir.Path("locked.xml"), VQX_RESULT_ACCESS_DENIED, "Cannot open '" + Dir.Path("locked.xml") + "': Permission denied"},
  };
  for (const auto& Row : aRows) {
    std::optional<peerpaths::CUnprivileged> AsAnOperator; /* for the file without rights */
    if (Row.r == VQX_RESULT_ACCESS_DENIED) AsAnOperator.emplace();
    EXPECT_EQ(CVQCAFCfgFileXml(Row.strPath.c_str()).Open(), Row.r) << Row.strPath;
    EXPECT_EQ(Seen(Log, Row.strLine), 1u) << Row.strLine;
  }
  EXPECT_FALSE(Fifo.Blocked()) << "the fifo was opened as a file";
}

/* The internal entities of attribute values may add 1 MiB (or 10 times the file's size) to the document's
 * attributes: an entity of 1000 characters used 1048 times reads (as a value too long for a text field), 1049 times,
 * over two attributes, refuses the document at open with the element's line. */
TEST(CfgStore, EntityExpansionInAttributesIsBounded) {
  vqtest::CTempDir Dir;
  CDiagCapture Log;
  const auto Uses = [](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) s += "&e;";
    return s;
  };
  const std::string strHead = "<!DOCTYPE q [<!ENTITY e '" + std::string(1000, 'v') + "'>]>\n<q>\n";
  std::ofstream(Dir.Path("within.xml")) << strHead << "<e a='" << Uses(1048) << "' n='1'/></q>\n";
  std::ofstream(Dir.Path("past.xml")) << strHead << "<e a='" << Uses(524) << "'/>\n<e b='" << Uses(525) << "'/></q>\n";
  CVQCAFCfgFileXml Within(Dir.Path("within.xml").c_str());
  ASSERT_EQ(Within.Open(), VQX_RESULT_OK);
  char sz[VQCAF_CFG_VALUE_SIZE];
  u32 un32 = 0;
  EXPECT_EQ(Within.Get("q:e", 0, const_cast<char*>("a"), sizeof(sz), sz), VQX_RESULT_BUFFER_TOO_SMALL);
  EXPECT_EQ(Within.Get("q:e", 0, const_cast<char*>("n"), &un32), VQX_RESULT_OK);
  EXPECT_EQ(un32, 1u);
  EXPECT_EQ(CVQCAFCfgFileXml(Dir.Path("past.xml").c_str()).Open(), VQX_RESULT_INVALID_CONFIG);
  EXPECT_EQ(Seen(Log, "(line 4): its entities expand the attribute values past 1048576 characters (attribute 'b')"), 1u);
  /* References inside an entity count as what they expand to: f holds 1000 of e (a million characters, which
   * libxml2 takes beside 120 kB read before it), used twice, past ten times the file's 124 kB. */
  std::ofstream(Dir.Path("nested.xml")) << "<!DOCTYPE q [<!ENTITY e '" << std::string(1000, 'v') << "'><!ENTITY f '"
                                        << Uses(1000) << "'>]>\n<!-- " << std::string(120000, 'x')
                                        << " -->\n<q>\n<e a='&f;&f;'/></q>\n";
  EXPECT_EQ(CVQCAFCfgFileXml(Dir.Path("nested.xml").c_str()).Open(), VQX_RESULT_INVALID_CONFIG);
  EXPECT_EQ(Seen(Log, "(line 4): its entities expand the attribute values past 1240780 characters (attribute 'a')"), 1u);
}

}  // namespace
