// The ":signaling" reader over the XML store: a fixture of every section
// gives its golden records; one table of small documents gives each failure
// line exactly (with file and line where it has them) and what is kept.
#include <gtest/gtest.h>

#include <fstream>

#include "sigtrace_params_dao_xml.h"
#include "support/sigtrace_test_app.h"
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
  CVQCAFPtr<IVQCAFCfgFile> p(new CVQCAFCfgFileXml(strPath.c_str()));
  EXPECT_EQ(p->Open(), VQX_RESULT_OK);
  EXPECT_EQ(system(("xmllint --noout " + strPath).c_str()), 0) << strPath;
  return p;
}

TEST(ParamsDao, EverySectionGivesItsGoldenRecordsAndTwoReadsAppendTwice) {
  CVQSigTraceParamsDaoXml Dao(OpenStore(sigtest::DataPath("params_all.xml")), "quellan");
  ASSERT_EQ(Dao.Init(), VQX_RESULT_OK);
  CVQSigTraceParams P;
  sigtest::CLogLines Log;
  ASSERT_EQ(Dao.GetParams(P), VQX_RESULT_OK);
  EXPECT_EQ(sigtest::CompareGolden("params_all.txt", Dump(P)), "");
  const std::string strOnce = Dump(P);
  ASSERT_EQ(Dao.GetParams(P), VQX_RESULT_OK);
  EXPECT_EQ(Dump(P), strOnce + strOnce);
  EXPECT_EQ(Log.Text(), "");
}

TEST(ParamsDao, StoreMissingOrNotOpenedIsRefused) {
  sigtest::CLogLines Log;
  CVQSigTraceParamsDaoXml None(CVQCAFPtr<IVQCAFCfgFile>(), "quellan");
  CVQSigTraceParams P;
  EXPECT_EQ(None.Init(), 0x8200000Fu);
  EXPECT_EQ(None.GetParams(P), 0x8200000Fu);
  CVQSigTraceParamsDaoXml Closed(CVQCAFPtr<IVQCAFCfgFile>(new CVQCAFCfgFileXml("absent.xml")), "quellan");
  EXPECT_EQ(Closed.Init(), 0x8200000Fu);
  const auto aLines = Log.Take();
  ASSERT_EQ(aLines.size(), 3u);
  EXPECT_EQ(aLines[0].find("CVQSigTraceParamsDaoXml::Init: NULL in_pConfigFile passed to constructor! (8200000F)"), 0u);
  EXPECT_EQ(aLines[1].find("GetParams: NULL in_pConfigFile passed to constructor! (8200000F)"), 0u);
  EXPECT_EQ(aLines[2].find("CVQSigTraceParamsDaoXml::Init: in_pConfigFile from constructor has not been opened"), 0u);
}

// A document "<quellan>\n<signaling>\n" + body + "</signaling>\n</quellan>\n":
// the body starts at line 3 of t.xml.
struct Row {
  const char* pszCase;
  const char* pszBody;
  u32 un32Result;
  const char* pszRecords;  // type:entity name of each record kept, ' '-separated
  const char* pszLog;      // the reader's failure line up to the code ("" none)
};

const Row kRows[] = {
    {"adapter missing after sysmgr", "<sysmgr name='m' grpname='' capfile='1'/>\n<ss7 grpname='' capfile='1'>\n"
     "<trunk idx='1' timeslot='1' mask='1'/></ss7>\n", 0x82000001, "1:M",
     "GetParams: Invalid xml file : ss7 'adapter' value missing (t.xml:4) (82000001)"},
    {"adapter empty", "<casr2 adapter='' grpname='' extended='1'><trunk idx='1'/></casr2>\n", 0x82000001, "",
     "GetParams: Invalid xml file : casr2 'adapter' value missing (t.xml:3) (82000001)"},
    {"grpname missing", "<ss7 adapter='b' capfile='1'><trunk idx='1' timeslot='1' mask='1'/></ss7>\n", 0x82000015, "",
     "GetParams: Invalid xml file : problem with a ss7 'grpname' value (82000015)"},
    {"sysmgr capfile missing", "<sysmgr name='m' grpname=''/>\n", 0x82000015, "",
     "GetParams: Invalid xml file : problem with a sysmgr 'capfile' value (82000015)"},
    {"casr2 extended missing", "<casr2 adapter='b' grpname=''><trunk idx='1'/></casr2>\n", 0x82000015, "",
     "GetParams: Invalid xml file : problem with a casr2 'extended' value (82000015)"},
    {"isdn trunk mask missing", "<isdn adapter='b' grpname=''>\n<trunk idx='1' timeslot='2' mask='3'/>\n"
     "<trunk idx='1' timeslot='2'/></isdn>\n", 0x82000015, "3:isdn_trk_01_00000004_03",
     "GetParams: Invalid xml file : problem with a isdn:trunk 'mask' value (82000015)"},
    {"timeslot 32", "<ss7 adapter='b' grpname='' capfile='1'>\n<trunk idx='1' timeslot='32' mask='1'/></ss7>\n",
     0x8200000A, "", "GetParams: Invalid xml file : problem with a ss7:trunk 'timeslot' value 32 above 31 (t.xml:4) (8200000A)"},
    {"timeslot 0x20 in lapd", "<lapd adapter='b' grpname='' capfile='1'><trunk idx='1' timeslot='0x20' mask='1'/></lapd>\n",
     0x8200000A, "", "GetParams: Invalid xml file : problem with a lapd:trunk 'timeslot' value 0x20 above 31 (t.xml:3) (8200000A)"},
    {"number past 32 bits", "<ss7 adapter='b' grpname='' capfile='1'><trunk idx='4294967296' timeslot='1' mask='1'/></ss7>\n",
     0x8200000A, "", "GetParams: Invalid xml file : problem with a ss7:trunk 'idx' value (8200000A)"},
    {"bad ethport keeps sip and h248",
     "<ip adapter='b' grpname='' ethport='eth2' transport='udp' ipmask='1.2.3.4' port='1' capfile='1'/>\n"
     "<sip adapter='b' grpname='' ethport='eth0' transport='udp' ipmask='1.2.3.4' port='1' capfile='1'/>\n"
     "<h248 capfile='1'/>\n", 0x02000000, "4:sip_eth0_1.2.3.4_1 6:",
     "GetIpParams: Invalid xml file : sip 'ethport' value invalid (t.xml:3) (82000001)"},
    {"ipmask not dotted quad", "<ip adapter='b' grpname='' ethport='eth0' transport='udp' ipmask='10.0.0' port='1' capfile='1'/>\n"
     "<sip adapter='b' grpname='' ethport='any' transport='udp' ipmask='0.0.0.0' port='1' capfile='1'/>\n",
     0x02000000, "4:sip_any_0.0.0.0_1", "GetIpParams: Invalid xml file : problem with a sip 'ipmask' value (8200000A)"},
    {"ipmask too long for the board", "<sip adapter='b' grpname='' ethport='eth0' transport='udp' "
     "ipmask='010.000.000.001' port='1' capfile='1'/>\n", 0x02000000, "",
     "GetIpParams: Invalid xml file : problem with a sip 'ipmask' value (8200000A)"},
    {"sip adapter missing", "<sip grpname='' ethport='eth0' transport='udp' ipmask='1.2.3.4' port='1' capfile='1'/>\n",
     0x02000000, "", "GetIpParams: Invalid xml file : sip 'adapter' value missing (t.xml:3) (82000001)"},
    {"ip grpname missing", "<ip adapter='b' ethport='eth0' transport='udp' ipmask='1.2.3.4' port='1' capfile='1'/>\n",
     0x02000000, "", "GetIpParams: Invalid xml file : problem with a ip 'grpname' value (82000015)"},
    {"h248 capfile missing", "<h248/>\n", 0x82000015, "",
     "GetParams: Invalid xml file : problem with a h248 'capfile' value (82000015)"},
    {"two h248 elements", "<h248 capfile='1'/><h248 capfile='1'/>\n", 0x02000000, "", ""},
    {"trunkless element", "<casr2 adapter='b' grpname='' extended='1'/>\n", 0x02000000, "", ""},
    {"empty section", "", 0x02000000, "", ""},
};

TEST(ParamsDao, EachFailureLineIsExactAndEarlierRecordsStay) {
  sigtest::CScratchDir Dir;
  for (const Row& R : kRows) {
    SCOPED_TRACE(R.pszCase);
    std::ofstream("t.xml") << "<quellan>\n<signaling>\n" << R.pszBody << "</signaling>\n</quellan>\n";
    CVQSigTraceParamsDaoXml Dao(OpenStore("t.xml"), "quellan");
    CVQSigTraceParams P;
    sigtest::CLogLines Log;
    EXPECT_EQ(Dao.GetParams(P), R.un32Result);
    std::string strRecords;
    for (const auto& E : P) strRecords += (strRecords.empty() ? "" : " ") + std::to_string(E.mun32Type) + ":" + E.mstrName.c_str();
    EXPECT_EQ(strRecords, R.pszRecords);
    const auto aLines = Log.Take();
    if (*R.pszLog == 0) {
      EXPECT_TRUE(aLines.empty());
      continue;
    }
    ASSERT_FALSE(aLines.empty());
    EXPECT_EQ(aLines.back().substr(0, strlen(R.pszLog) + 1), std::string(R.pszLog) + " ");
  }
}

TEST(ParamsDao, TextLimitAndForeignRoot) {
  sigtest::CScratchDir Dir;
  for (size_t n : {255u, 256u}) {
    std::ofstream("t.xml") << "<quellan><signaling><sysmgr name='' grpname='" << std::string(n, 'g')
                           << "' capfile='1'/></signaling></quellan>\n";
    CVQSigTraceParamsDaoXml Dao(OpenStore("t.xml"), "quellan");
    CVQSigTraceParams P;
    sigtest::CLogLines Log;
    EXPECT_EQ(Dao.GetParams(P), n == 255 ? 0x02000000u : 0x8200001Au) << n;
    EXPECT_EQ(P.Count(), n == 255 ? 1u : 0u);
    if (n == 255) {
      EXPECT_EQ(P.begin()->mstrGroupName.GetLength(), 255u);
    }
  }
  CVQSigTraceParamsDaoXml Other(OpenStore(sigtest::DataPath("params_all.xml")), "other");
  CVQSigTraceParams P;
  EXPECT_EQ(Other.GetParams(P), VQX_RESULT_OK);
  EXPECT_EQ(P.Count(), 0u);
}

}  // namespace
