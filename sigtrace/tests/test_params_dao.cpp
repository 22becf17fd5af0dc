// The ":signaling" reader over the XML store: a fixture of every section
// gives its golden records; the table of small documents in tests/data gives
// each failure line exactly (with file and line where it has them) and the
// records kept.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "sigtrace_params_dao_xml.h"
#include "support/sigtrace_test_app.h"
#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_support.h"

using namespace VQCAF;

namespace {

std::string Dump(const CVQSigTraceParams& P) {
  std::string s;
  for (const CVQSigTraceEntityParams& R : P) {
    char sz[1024];
    snprintf(sz, sizeof(sz), "%u|%s|%s|cap=%u ext=%u|%s|trk=%u ts=%08X bm=%02X|%s|%s|port=%u tr=%u\n", R.mun32Type,
             R.mstrAdapterName.c_str(), R.mstrGroupName.c_str(), R.mfCapFile, R.mfExtended, R.mstrName.c_str(),
             R.mun32Trunk, R.mun32TimeslotMask, R.mun8BitMask, R.mstrEthPort.c_str(), R.mstrIpMask.c_str(),
             R.mun32Port, R.mun32Transport);
    s += sz;
  }
  return s;
}

CVQCAFPtr<IVQCAFCfgFile> OpenStore(const std::string& strPath) {
  EXPECT_EQ(system(("xmllint --noout " + strPath).c_str()), 0) << strPath;
  CVQCAFPtr<IVQCAFCfgFile> p(new CVQCAFCfgFileXml(strPath.c_str()));
  EXPECT_EQ(p->Open(), VQX_RESULT_OK);
  return p;
}

TEST(ParamsDao, GoldenRecordsTwoReadsAppendTwiceForeignRootAndNoStore) {
  CVQSigTraceParamsDaoXml Dao(OpenStore(sigtest::DataPath("params_all.xml")), "quellan");
  ASSERT_EQ(Dao.Init(), VQX_RESULT_OK);
  CVQSigTraceParams P;
  sigtest::CLogLines Log;
  ASSERT_EQ(Dao.GetParams(P), VQX_RESULT_OK);
  const std::string strOnce = Dump(P);
  EXPECT_EQ(sigtest::CompareGolden("params_all.txt", strOnce), "");
  ASSERT_EQ(Dao.GetParams(P), VQX_RESULT_OK);
  EXPECT_EQ(Dump(P), strOnce + strOnce);
  EXPECT_TRUE(Log.Take().empty());
  CVQSigTraceParamsDaoXml Other(OpenStore(sigtest::DataPath("params_all.xml")), "other");  // another root: nothing
  CVQSigTraceParams None;
  EXPECT_EQ(Other.GetParams(None), VQX_RESULT_OK);
  EXPECT_EQ(None.Count(), 0u);
  EXPECT_EQ(CVQSigTraceParamsDaoXml(CVQCAFPtr<IVQCAFCfgFile>(), "quellan").GetParams(None), 0x8200000Fu);
  EXPECT_EQ(CVQSigTraceParamsDaoXml(CVQCAFPtr<IVQCAFCfgFile>(new CVQCAFCfgFileXml("t")), "quellan").Init(), 0x8200000Fu);
  EXPECT_EQ(Log.Text().find("GetParams: NULL in_pConfigFile passed to constructor! (8200000F) sigtrace_params_dao_xml.cpp:"), 0u);
}

/* A caller that gives the read up stops it before the next element, also inside ip and sip (whose own failures end
 * only their section): the read fails, the records before it kept. */
TEST(ParamsDao, AReadGivenUpStopsAndFails) {
  sigtest::CScratchDir Dir;
  for (const char* pszSection : {"ss7", "sip"}) {
    SCOPED_TRACE(pszSection);
    std::ofstream("t.xml") << "<quellan>\n<signaling>\n<sysmgr name='m' grpname='' capfile='1'/>\n<" << pszSection
                           << " adapter='b' grpname='' capfile='1' ethport='eth0' transport='udp' ipmask='1.2.3.4' port='1'>"
                           << "<trunk idx='1' timeslot='1' mask='1'/></" << pszSection << ">\n</signaling>\n</quellan>\n";
    CVQSigTraceParamsDaoXml Dao(OpenStore("t.xml"), "quellan");
    u32 un32Asked = 0;
    Dao.SetGiveUp([&] { return ++un32Asked > 1; }); /* after the sysmgr element */
    CVQSigTraceParams P;
    sigtest::CLogLines Log;
    EXPECT_EQ(Dao.GetParams(P), 0x8200000Fu);
    EXPECT_EQ(P.Count(), 1u);
    EXPECT_EQ(sigtest::Seen(Log.Take(), "Reading the section given up (8200000F)"), 1u);
    EXPECT_TRUE(Dao.GivenUp().empty());
  }
}

/* A read costs the file's size: 10,000 entities of every section cost the store at most 11 times the work of 1,000
 * (elements looked at), each entity read. Given up from its start, the read of 10,000 stops before a quarter of its
 * work, the records' count included. */
TEST(ParamsDao, AReadCostsTheSizeOfItsFile) {
  sigtest::CScratchDir Dir;
  std::map<u32, u64> Work;
  for (const u32 un32Entities : {1000u, 10000u}) {
    std::ofstream Out("t.xml");
    Out << "<quellan>\n<signaling>\n";
    for (u32 i = 0; i < un32Entities / 5; i++)
      for (const char* pszSection : {"ss7", "isdn", "casr2", "lapd"})
        Out << "<" << pszSection << " adapter='b" << i << "' grpname='' capfile='1' extended='0'><trunk idx='" << i
            << "' timeslot='1' mask='1'/></" << pszSection << ">\n";
    for (u32 i = 0; i < un32Entities / 5; i++)
      Out << "<sip adapter='b' grpname='' capfile='1' ethport='eth0' transport='udp' ipmask='1.2.3.4' port='" << i << "'/>\n";
    Out << "</signaling>\n</quellan>\n";
    Out.close();
    auto* pStore = new CVQCAFCfgFileXml("t.xml");
    CVQSigTraceParamsDaoXml Dao(CVQCAFPtr<IVQCAFCfgFile>(pStore), "quellan");
    ASSERT_EQ(pStore->Open(), VQX_RESULT_OK);
    CVQSigTraceParams P;
    EXPECT_EQ(Dao.GetParams(P), VQX_RESULT_OK);
    EXPECT_EQ(P.Count(), un32Entities);
    Work[un32Entities] = pStore->GetNodesVisited();
    if (un32Entities != 10000) continue;
    Dao.SetGiveUp([] { return true; });
    CVQSigTraceParams None;
    EXPECT_EQ(Dao.GetParams(None), 0x8200000Fu);
    EXPECT_EQ(None.Count(), 0u);
    EXPECT_LT(4 * (pStore->GetNodesVisited() - Work[10000]), Work[10000]) << "given up";
  }
  EXPECT_LE(Work[10000], 11 * Work[1000]) << Work[1000] << " then " << Work[10000];
}

TEST(ParamsDao, EachFailureLineIsExactAndEarlierRecordsStay) {
  sigtest::CScratchDir Dir;
  for (const auto& R : sigtest::DataRows("params_errors.txt")) {
    SCOPED_TRACE(R[0]);
    std::string strBody = R[4];
    for (size_t n; (n = strBody.find("\\n")) != std::string::npos;) strBody.replace(n, 2, "\n");
    std::ofstream("t.xml") << "<quellan>\n<signaling>\n" << strBody << "</signaling>\n</quellan>\n";
    CVQSigTraceParamsDaoXml Dao(OpenStore("t.xml"), "quellan");
    CVQSigTraceParams P;
    sigtest::CLogLines Log;
    EXPECT_EQ(Dao.GetParams(P), std::stoul(R[1], nullptr, 16));
    std::string strRecords;
    for (const auto& E : P) strRecords += (strRecords.empty() ? "" : " ") + std::to_string(E.mun32Type) + ":" + E.mstrName.c_str();
    EXPECT_EQ(strRecords, R[2]);
    const auto aLines = Log.Take();
    EXPECT_EQ(aLines.empty() ? "" : aLines.back().substr(0, R[3].size() + 1), R[3].empty() ? "" : R[3] + " ");
    /* An ip or sip section given up: its line kept for the log. */
    const std::string strGivenUp = Dao.GivenUp().empty() ? "" : Dao.GivenUp().back();
    EXPECT_EQ(strGivenUp, R[1] == "02000000" && !R[3].empty() ? aLines.back() : "");
  }
}

}  // namespace
