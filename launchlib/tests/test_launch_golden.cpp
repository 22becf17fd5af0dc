/*
 * The launch library's records and the operations it sends, as bytes, checked
 * by the independent decoder testing/golden/launchlib/launch_golden.py. The
 * operations go to this process's own host library and are read back.
 */
#include <cstdio>
#include <fstream>

#include "support/launch_fixture.h"
#include "vqx_host_filter.h"

namespace {

std::string Dir() { return ::testing::TempDir(); }

void Save(const char* pszName, const void* pv, size_t n) {
  std::ofstream(Dir() + "/" + pszName, std::ios::binary).write(static_cast<const char*>(pv), static_cast<long>(n));
}

TEST_F(LaunchTest, RecordsAndOperationsMatchTheIndependentDecoder) {
  _VQX_LIB_PARAMS Lp{};
  Lp.un32StructVersion = 1, Lp.un32TransportType = 1, Lp.fAdaptersGwOff = 1;
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&Lp, &hLib), VQX_RESULT_API_OK);
  _VQX_FILTER_PARAMS F{1, VQX_FILTER_MASK_MSG_GROUP, 0, 0, 0, 0x0825, 0, 0, 0, 0};
  VQX_FILTER_HANDLE hFilter = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(hLib, 1, &F, &hFilter), VQX_RESULT_API_OK);
  ASSERT_EQ(Open([&](auto& p) { p.hLib = hLib, p.fAppManager = 0; }), VQX_RESULT_OK);
  VqxLaunchCtx C;
  C.hHost = VQX_HOSTLIB_ADAPTER_HANDLE;
  C.un32State = VQX_LAUNCH_STATE_SHUTDOWN;
  const std::pair<const char*, const char*> aOps[] = {{"hb_plain.bin", ""}, {"hb_params.bin", "-a \"b c\""},
                                                      {"op_shutdown.bin", nullptr}};
  for (auto& [pszFile, pszParams] : aOps) {
    C.sParams = pszParams != nullptr ? pszParams : "";
    const u32 un32Id = pszParams != nullptr ? VQX_LAUNCH_MSG_ID_OP_HEARTBEAT : VQX_LAUNCH_MSG_ID_OP_SHUTDOWN;
    ASSERT_FALSE(VQX_RESULT_FAILED(VqxLaunchSendOp(mh, C, un32Id))) << pszFile;
    VQX_MSG_HANDLE h = nullptr;
    ASSERT_FALSE(VQX_RESULT_FAILED(VQXReceiveMsg(hLib, hFilter, 2000, &h))) << pszFile;
    EXPECT_EQ(h->un32MsgId, un32Id);
    EXPECT_EQ(h->MsgType, static_cast<u32>(VQX_MSG_TYPE_EVENT));
    Save(pszFile, VQXMsgPayload(h), h->un32PayloadLength);
    VQXReleaseMsgEx(hLib, &h);
  }
  _VQX_LAUNCH_LIB_PARAMS P{};
  snprintf(P.szName, sizeof(P.szName), "golden");
  P.un32MinLevel = 0x11111111, P.un32MaxApplication = 0x22222222, P.fAppManager = 0x33, P.fAttach = 0x44;
  P.un32StartingTimeMs = 0x55555555, P.un32MgmtShutdownTimeMs = 0x66666666, P.un32HeartbeatTimeMs = 0x77777777;
  _VQX_LAUNCH_LIB_PROCESS_INFO I{1, 2, 3, 4, 5, {}, 6};
  _VQX_LAUNCH_LIB_CREATE_PROCESS Cr{};
  Cr.un32NbEnv = 0x12345678, Cr.fQuiet = 0x9ABCDEF0, Cr.fKillSingleProcess = 1;
  Save("params.bin", &P, sizeof(P));
  Save("info.bin", &I, sizeof(I));
  Save("create.bin", &Cr, sizeof(Cr));
  const std::string sCmd = "python3 " + std::string(getenv("VQX_SOURCE_DIR")) +
                           "/testing/golden/launchlib/launch_golden.py check " + Dir() +
                           " hb_plain.bin hb_params.bin op_shutdown.bin params.bin info.bin create.bin";
  EXPECT_EQ(system(sCmd.c_str()), 0);
  VQXLaunchLibClose(mh);
  mh = nullptr;
  VQXDestroyMsgFilterEx(hLib, &hFilter);
  VQXCloseLibEx(&hLib);
}

}  // namespace
