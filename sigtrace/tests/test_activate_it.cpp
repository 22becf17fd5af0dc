// Trace activation against the simulated board: for each command line, the
// activation messages an adapter posts (entity, group, port, pcap, extended)
// as golden rows; a message byte for byte; a name too long for its field;
// the case-sensitive entity lookup.
#include <gtest/gtest.h>

#include <algorithm>

#include "sigtrace_cfg_cmdline.h"
#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_support.h"
#include "vqcafhashkey.h"

using namespace VQCAF;

namespace {

TEST(Activate, CommandLinesGiveGoldenActivationsLongNamesRefusedLookupExact) {
  sigtest::CBoardBench B(sigtest::ReadFile(sigtest::DataPath("activate_profile.json")));
  ASSERT_TRUE(B.AddAdapter() && B.WaitReady().un32Id != 0);
  CVQSigTraceAdapter& A = *B.pAdapter;
  const std::string str127(127, 'n'), str128(128, 'm');
  for (const std::string& strName : {std::string("BY_NAME"), str127, str128}) {  // records of no family
    CVQCAFMutexAutoGetGive Lock(&A.GetMutex());
    CVQSigTraceEntityParams* p = A.GetEntityTable().Alloc(VQCAF_DEBUG_INFO, CVQCAFHashKeyString(strName.c_str()));
    ASSERT_NE(p, nullptr);
    p->mun32Type = VQ_SIGTRACE_TYPE_BY_NAME, p->mstrName = strName.c_str();
  }
  std::vector<u8> Expected(VQ_SIGTRACE_NOTIF_ACTIVATE_SIZE, 0);  // the 127-character one, text, "-x"
  memcpy(&Expected[VQ_SIGTRACE_NOTIF_OFFSET_INFO], &A.GetAdapterInfo(), sizeof(VQX_ADAPTER_INFO));
  memcpy(&Expected[VQ_SIGTRACE_NOTIF_OFFSET_ENTITY], str127.data(), 127);
  memcpy(&Expected[VQ_SIGTRACE_NOTIF_OFFSET_GROUP], "UNK", 3);
  Expected[VQ_SIGTRACE_NOTIF_OFFSET_EXTENDED] = 1;
  u32 un32Seen = 0;
  std::string strAll;
  for (const char* pszRow : {"", "-single", "-old", "-format", "-ss7 -ip", "-x", "-casr2 -isdn -h248", "-c f -x -format"}) {
    std::vector<std::string> aArgs;
    std::vector<char*> apsz = sigtest::Argv(aArgs, std::string("-d ") + pszRow);
    CVQSigTraceCfgCmdLine C;
    ASSERT_EQ(C.ParseCmdLineArgs(static_cast<int>(apsz.size()), apsz.data()), VQX_RESULT_OK);
    EXPECT_EQ(A.ActivateAllTraces(C), VQX_RESULT_OK);
    std::vector<std::string> aLines;
    // Posted before ActivateAllTraces returned: the queue only needs draining.
    for (sigtest::SAppMsg M = B.Next(100); M.un32Id != 0; M = B.Next(100)) {
      ASSERT_EQ(M.un32Id, QUELLAN_NOTIF_ACTIVATE_MONITORING);
      ASSERT_EQ(M.Payload.size(), VQ_SIGTRACE_NOTIF_ACTIVATE_SIZE);
      un32Seen += M.Payload == Expected;
      const u8* p = M.Payload.data();
      u32 a[3];
      memcpy(a, p + VQ_SIGTRACE_NOTIF_OFFSET_PORT, sizeof(a));
      char sz[400];
      snprintf(sz, sizeof(sz), "%.20s | %.127s | %u | %u | %u\n", p + VQ_SIGTRACE_NOTIF_OFFSET_ENTITY,
               p + VQ_SIGTRACE_NOTIF_OFFSET_GROUP, a[0], a[1], a[2]);
      aLines.push_back(sz);
    }
    std::sort(aLines.begin(), aLines.end());
    strAll += std::string("# ") + pszRow + "\n";
    for (const std::string& s : aLines) strAll += s;
  }
  EXPECT_EQ(sigtest::CompareGolden("activate.txt", strAll), "");
  EXPECT_EQ(un32Seen, 1u);
  EXPECT_EQ(B.Lines("Name longer than 127 characters (entity 128, group 3)").size(), 8u);  // once per row

  CVQSigTraceEntityParams Found;
  CVQCAFString strExact("LINK_A"), strCase("link_a");
  EXPECT_EQ(A.GetEntityInformation(strCase, &Found), 0u);
  EXPECT_EQ(Found.mun32Type, 0u);  // untouched
  EXPECT_TRUE(A.GetEntityInformation(strExact, &Found) == 1 && Found.mun32Trunk == 5 && Found.mstrName == "LINK_A");
}

}  // namespace
