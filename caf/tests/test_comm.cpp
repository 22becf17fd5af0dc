/*
 * test_comm.cpp - the communication bridge and its parameter block: the
 * life cycle with its refusals, the lent handle, parameter building and
 * changes, the configuration file, the status handler's table, and Uninit
 * waiting for an owner on another thread.
 */
#include <fstream>

#include "comm_test_support.h"

namespace {

TEST(CommParams, CopiesToAndFromTheHostLibraryRecord) {
  CVQCAFCommParams P;
  P.mApplicationName = std::string(200, 'n').c_str();
  P.mun32NbExtraGwAddr = 2;
  _VQX_LIB_PARAMS L{};
  P.CVQCAFCliCopyParamsToHostLibParams(L);
  EXPECT_EQ(strlen(L.szApplicationName), 127u);
  EXPECT_EQ(L.paExtraGwAddr, P.maExtraGwAddr);
  EXPECT_EQ((std::vector<u32>{L.un32ReceiveFifoSize, L.un32SendFifoSize}), (std::vector<u32>{32768, 16384}));

  std::vector<_VQX_EXTRA_GW_ADDR> aAddr(20);
  for (size_t i = 0; i < aAddr.size(); i++) aAddr[i].un16Port = static_cast<u16>(i + 1);
  L.un32NbExtraGwAddr = 20;
  L.paExtraGwAddr = aAddr.data();
  L.un32ReceiveFifoSize = 512000;
  L.un32SendFifoSize = 65535;
  CVQCAFCommParams Q;
  Q.CVQCAFCliCopyParamsFromHostLibParams(L);
  EXPECT_EQ((std::vector<u32>{Q.mun32ReceiveFifoSize, Q.mun32SendFifoSize}), (std::vector<u32>{512000, 65535}));
  EXPECT_EQ(Q.mun32NbExtraGwAddr, 16u);
  EXPECT_EQ(Q.maExtraGwAddr[15].un16Port, 16);
  EXPECT_EQ(Q.mfRemoteAddrOnGwPortOnly, 0u);
  L.paExtraGwAddr = nullptr;  // no array: nothing read from anywhere
  CVQCAFCommParams R;
  R.CVQCAFCliCopyParamsFromHostLibParams(L);
  EXPECT_EQ(R.mun32NbExtraGwAddr, 0u);
  EXPECT_EQ(R.mfRemoteAddrOnGwPortOnly, 1u);
}

TEST(CommParams, LoadFromCfgFile) {
  CTempDir Dir;
  auto Load = [&](const std::string& strText, CVQCAFCommParams& P, char* pszError) {
    std::ofstream(Dir.Path("c.cfg")) << strText;
    return P.LoadFromCfgFile(Dir.Path("c.cfg").c_str(), pszError);
  };
  char szError[VQX_CLI_TOOLS_ERROR_TEXT_SIZE];
  CVQCAFCommParams P;
  P.mApplicationName = "kept";
  EXPECT_EQ(P.LoadFromCfgFile(Dir.Path("missing.cfg").c_str(), szError), VQX_RESULT_OK);
  EXPECT_EQ(P.mNetworkRedundancyParams.un32PollDelayMs, 2000u);
  strcpy(P.mszGwAddress0, "10.9.9.9");
  P.mNetworkRedundancyParams.un32PollDelayMs = 777;
  EXPECT_EQ(Load(".CLI_CONFIG\nx = 1\n", P, szError), VQX_RESULT_OK);
  EXPECT_STREQ(P.mszGwAddress0, "");
  EXPECT_EQ(P.mNetworkRedundancyParams.un32PollDelayMs, 2000u);
  EXPECT_STREQ(P.mApplicationName.c_str(), "kept");

  EXPECT_EQ(Load("  .NETWORK \r\nVQX_GW_PORT = 4000\nbogus = 1\npollDelay = 900\n", P, szError),
            VQX_RESULT_INVALID_CONFIG);
  EXPECT_STREQ(szError, "Line 3: Unknown .NETWORK key 'bogus'");
  EXPECT_EQ(P.mun16GwPort, 4000) << "lines before the refused one apply";
  EXPECT_EQ(P.mNetworkRedundancyParams.un32PollDelayMs, 2000u);

  /* A configured delay and a remote-address table filled to its last slot come through the whole chain. */
  std::string strAddr;
  for (u32 i = 0; i < VQCAF_COMM_MAX_EXTRA_GW_ADDR; i++) strAddr += "(10.0.0." + std::to_string(i + 1) + ":7)";
  EXPECT_EQ(Load(".NETWORK\npollDelay = 900\nVQX_GW_REMOTE_ADDR = " + strAddr + "\n", P, szError), VQX_RESULT_OK);
  EXPECT_EQ(P.mNetworkRedundancyParams.un32PollDelayMs, 900u);
  ASSERT_EQ(P.mun32NbExtraGwAddr, VQCAF_COMM_MAX_EXTRA_GW_ADDR);
  EXPECT_STREQ(P.maExtraGwAddr[VQCAF_COMM_MAX_EXTRA_GW_ADDR - 1].szIpAddress0, "10.0.0.16");

  EXPECT_EQ(Load(".NETWORK\nVQX_GW_REMOTE_ADDR = (10.0.0.5:99)\napplicationName=" + std::string(1100, 'a') + "\n", P,
                 szError),
            VQX_RESULT_INVALID_CONFIG);
  EXPECT_STREQ(szError, "Line 3: Line longer than 1022 characters") << "refused whole, not parsed in pieces";
  EXPECT_EQ(P.mun32NbExtraGwAddr, 1u);
  EXPECT_EQ(P.mfRemoteAddrOnGwPortOnly, 0u);
}

TEST(CommBridge, RefusalsWithoutGlobalsOrTwice) {
  CVQCAFCommParams P;
  u32 un32Port = 1;
  CVQCAFString str;
  ExpectSteps({{"Init without globals", CVQCAFComm::Init(P), 0x82000016u},
               {"IsInitialized", CVQCAFComm::IsInitialized(), false},
               {"SetParam", CVQCAFComm::SetParam(P), 0x82000016u},
               {"Start", CVQCAFComm::Start(1, 1), 0x82000016u},
               {"ValidateParam", CVQCAFComm::ValidateParam(P), 0x82000016u},
               {"GetGwPort", CVQCAFComm::GetGwPort(&un32Port), 0x82000001u},
               {"GetHostName", CVQCAFComm::GetHostName(str), 0x82000001u},
               {"GetHostLibInstance", CVQCAFComm::GetHostLibInstance() == nullptr, true},
               {"GetInstance", CVQCAFComm::GetInstance() == nullptr, true}});
  SetGlobals(FakeGlobals());
  ASSERT_EQ(CVQCAFComm::Init(P), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFComm::Init(P), 0x82000011u);
  EXPECT_EQ(CVQCAFComm::GetGwPort(&un32Port), VQX_RESULT_API_OK) << "the first bridge still works";
  EXPECT_EQ(un32Port, getenv("VQX_GW_PORT") == nullptr ? 12358u : strtoul(getenv("VQX_GW_PORT"), nullptr, 0));
  EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
  SetGlobals(nullptr);
}

TEST_F(CommTest, BuildsParametersLendsTheLibraryAndChangesParameters) {
  CVQCAFCommParams P;
  P.mNetworkRedundancyParams.un32PollDelayMs = 0;
  P.mNetworkRedundancyParams.un32NetworkDownDelayMs = 4500;
  CVQCAFComm* pComm = CVQCAFComm::GetInstance();
  ASSERT_NE(pComm, nullptr);
  EXPECT_EQ(Logged("Local IPs are "), 1u);
  _VQX_LIB_PARAMS L;
  pComm->BuildHostLibParams(P, &L);
  EXPECT_EQ(L.NetworkRedundancy.un32PollDelayMs, 1500u);
  char szName[64];
  snprintf(szName, sizeof(szName), "UnnamedApp_0x%08X", static_cast<u32>(getpid()));
  EXPECT_STREQ(P.mApplicationName.c_str(), szName);
  P.mNetworkRedundancyParams.un32PollDelayMs = 0;
  P.mNetworkRedundancyParams.un32NetworkDownDelayMs = 200;
  pComm->BuildHostLibParams(P, &L);
  EXPECT_EQ(L.NetworkRedundancy.un32PollDelayMs, 100u);
  pComm->ReleaseInstance();
  pComm->ReleaseInstance();
  EXPECT_EQ(Logged("CVQCAFComm::ReleaseInstance() called too many times!"), 1u);
  CVQCAFComm::ReleaseHostLibInstance();
  mhLib = nullptr;
  CVQCAFComm::ReleaseHostLibInstance();
  EXPECT_EQ(Logged("CVQCAFComm::ReleaseHostLibInstance() called too many times!"), 1u);
  /* Parameter changes and their refusals. */
  P = CVQCAFCommParams();
  P.mApplicationName = "app2";
  P.mun16GwPort = 12358;
  EXPECT_EQ(CVQCAFComm::ValidateParam(P), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFComm::SetParam(P), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFComm::Start(0, 0), VQX_RESULT_OK);
  P.mNetworkRedundancyParams.fUseGw0 = P.mNetworkRedundancyParams.fUseGw1 = 0;  // the library refuses both off
  EXPECT_TRUE(VQX_RESULT_FAILED(CVQCAFComm::ValidateParam(P)));
  EXPECT_TRUE(VQX_RESULT_FAILED(CVQCAFComm::SetParam(P)));
}

/* The host library's status causes: the action each gets and the one line each logs at the error level. */
TEST_F(CommTest, StatusHandlerTable) {
  CVQCAFComm* pComm = CVQCAFComm::GetInstance();
  ExpectRows("comm_status_causes.txt", 4, [&](std::vector<std::string>& a) {
    _VQX_LIB_ERROR_INFO Info{static_cast<u32>(std::stoul(a[0])), 7, static_cast<u32>(std::stoul(a[1])), 0};
    _VQX_LIB_ERROR_ACTION Action{99};
    mLog.Take();
    CVQCAFComm::VQCAFCommHostLibErrorHandler(pComm, mhLib, 0, &Info, &Action);
    a[2] = std::to_string(Action.un32Action);
    a[3].clear();
    for (const CapturedLine& L : mLog.Take()) {
      a[3] += (L.un32Level == static_cast<u32>(VQERR) ? "" : "(not at the error level) ") + L.strText;
    }
    for (size_t n; (n = a[3].find('\n')) != std::string::npos;) a[3].replace(n, 1, "\\n");
  });
  pComm->ReleaseInstance();
}

/* The library's lines take the level of what happened: a peer's removal, whatever closed its link, is an operator
 * message; what it may not have received, and a removal for a fault, are errors. */
TEST_F(CommTest, LibraryLinesTakeTheLevelOfWhatHappened) {
  CVQCAFComm* pComm = CVQCAFComm::GetInstance();
  const struct {
    const char* pszLine;
    _VQX_TRACE_LEVEL Level;
  } aRows[] = {
      {"12/10/2026 10:00:00: peer removed (cause: Socket closed in a clean manner)\n", VQMSG},
      {"12/10/2026 10:00:00: peer removed (cause: Hostlib Closing)\n", VQMSG},
      {"12/10/2026 10:00:00: peer:127.0.0.1 gw0 DOWN (Socket closed in a clean manner)\n", VQMSG},
      {"12/10/2026 10:00:00: peer removed (cause: TCP Poll timeout)\n", VQERR},
      {"peer removed with 0 sent message(s) not taken, dropped, and 40 not acknowledged\n", VQERR},
  };
  for (const auto& Row : aRows) {
    mLog.Take();
    VQCAFCommLogPrintError(pComm, mhLib, Row.pszLine);
    const std::vector<CapturedLine> aLines = mLog.Take();
    ASSERT_EQ(aLines.size(), 1u) << Row.pszLine;
    EXPECT_EQ(aLines[0].un32Level, static_cast<u32>(Row.Level)) << Row.pszLine;
  }
  pComm->ReleaseInstance();
}

/* The opening banner names both local addresses, the '/' between them written also when the second is
 * empty: one loopback net gives gw0 only, two give both. */
TEST(CommBridgeLife, BannerNamesBothLocalAddresses) {
  const struct {
    u32 un32Nets;
    const char* pszAddresses;
  } aRows[] = {{1, "127.0.0.1/"}, {2, "127.0.0.1/127.0.1.1"}};
  SetGlobals(FakeGlobals());
  for (const auto& Row : aRows) {
    loopnet::LoopbackNets Nets(Row.un32Nets);
    CCaptureListener Log;
    AddLogTraceListener(&Log);
    CVQCAFCommParams P;
    ASSERT_EQ(CVQCAFComm::Init(P), VQX_RESULT_OK) << Row.pszAddresses;
    u32 un32Port = 0;
    EXPECT_EQ(CVQCAFComm::GetGwPort(&un32Port), VQX_RESULT_API_OK);
    EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
    RemoveLogTraceListener(&Log);
    const std::string strWant =
        std::string("Local IPs are ") + Row.pszAddresses + ", VQX_GW_PORT=" + std::to_string(un32Port) + "\n";
    const std::vector<std::string> a = Log.Texts();
    auto IsBanner = [&](const std::string& s) { return s.starts_with("\033[32m* ") && s.ends_with(strWant); };
    EXPECT_EQ(std::count_if(a.begin(), a.end(), IsBanner), 1) << strWant;
  }
  SetGlobals(nullptr);
}

/* The close's wait for what was sent, on a clock of its own (each step 100 ms) and a queue that drains as each row
 * says: past the old 2 s while it drains, never past its bound, and no longer than its stall time once nothing is
 * taken; what is left is the count it says was dropped. */
TEST(CommBridgeLife, CloseWaitsForWhatWasSentWithinItsBounds) {
  const struct {
    const char* pszWhat;
    u64 un64Queued, un64PerStep, un64Floor; /* the queue drains un64PerStep a step down to un64Floor */
    u64 un64Left, un64WaitedMs;
  } aRows[] = {
      {"nothing queued", 0, 0, 0, 0, 0},
      {"drains in 3 s", 3000, 100, 0, 0, 3000},
      {"stops at 40: 5 s without a message taken", 200, 20, 40, 40, 800 + VQCAF_COMM_CLOSE_SEND_STALL_MS},
      {"too slow for the bound", 1000000, 1, 0, 1000000 - VQCAF_COMM_CLOSE_SEND_WAIT_MS / 100,
       VQCAF_COMM_CLOSE_SEND_WAIT_MS}};
  for (const auto& Row : aRows) {
    u64 un64Queue = Row.un64Queued, un64Clock = 5000000, un64Waited = ~0ull;
    const u64 un64Left = VqcafWaitSentBounded(
        [&] { return un64Queue; },
        [&] {
          un64Clock += 100;
          un64Queue = std::max(Row.un64Floor, un64Queue - std::min(un64Queue, Row.un64PerStep));
        },
        [&] { return un64Clock; }, &un64Waited);
    EXPECT_EQ(un64Left, Row.un64Left) << Row.pszWhat;
    EXPECT_EQ(un64Waited, Row.un64WaitedMs) << Row.pszWhat;
  }
}

/* The close's lines once its wait ended, from the library's account at the wait's start and end: what is known lost
 * (left in the send fifos, or freed from them with a peer removed meanwhile) apart from what was handed to the
 * transport and not acknowledged; a wait left with nothing because a peer went names that. */
TEST(CommBridgeLife, CloseSaysWhatThePeersDidNotTake) {
  const std::string kHead = "Closing VQX Host Library with ";
  const struct {
    const char* pszWhat;
    VQX_TX_ACCOUNT Start, End; /* queued, not acknowledged, dropped, freed not acknowledged */
    u64 un64WaitedMs;
    std::vector<std::string> aLines;
  } aRows[] = {
      {"all taken", {900, 650, 0, 0}, {0, 0, 0, 0}, 1200, {}},
      {"the peer removed meanwhile (1550 queued 900 and not acknowledged 650, of which it took 50)",
       {900, 650, 7, 2}, {0, 0, 7 + 900, 2 + 600}, 800,
       {kHead + "900 sent message(s) not taken by their peers, dropped (their peer gone after 800 ms)",
        kHead + "600 sent message(s) not acknowledged by their peers, not known to be taken (their peer gone after 800 ms)"}},
      {"a peer that reads nothing, all handed over", {0, 1100, 0, 0}, {0, 1100, 0, 0}, 5000,
       {kHead + "1100 sent message(s) not acknowledged by their peers, not known to be taken (none taken any more after "
                "5000 ms)"}},
      {"the bound reached, a second peer removed on the way", {5000, 10, 0, 0}, {40, 10, 100, 0}, 30000,
       {kHead + "140 sent message(s) not taken by their peers, dropped (the wait's bound reached after 30000 ms)",
        kHead + "10 sent message(s) not acknowledged by their peers, not known to be taken (the wait's bound reached "
                "after 30000 ms)"}}};
  for (const auto& Row : aRows) {
    EXPECT_EQ(VqcafCloseSentLines(Row.Start, Row.End, Row.un64WaitedMs), Row.aLines) << Row.pszWhat;
  }
}

TEST(CommBridgeLife, UninitWaitsForAnOwnerOnAnotherThread) {
  SetGlobals(FakeGlobals());
  CVQCAFCommParams P;
  ASSERT_EQ(CVQCAFComm::Init(P), VQX_RESULT_OK);
  std::atomic<pid_t> nUninitTid{0};
  std::atomic<bool> fReleased{false}, fUninitDone{false};
  CVQCAFComm* pOwned = CVQCAFComm::GetInstance();
  std::thread Uninit([&] {
    nUninitTid = gettid();
    EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
    EXPECT_TRUE(fReleased.load()) << "destroyed while the owner held the bridge";
    fUninitDone = true;
  });
  ASSERT_TRUE(WaitFor([&] { return !CVQCAFComm::IsInitialized(); })) << "the singleton is cleared first";
  ASSERT_TRUE(WaitBlocked(nUninitTid));
  EXPECT_EQ(CVQCAFComm::GetHostLibInstance(), nullptr) << "no new caller reaches it";
  EXPECT_FALSE(fUninitDone.load());
  fReleased = true;
  pOwned->ReleaseInstance();
  Uninit.join();
  // An owner on the Uninit thread itself cannot be waited for: reported and destroyed.
  CCaptureListener Log;
  AddLogTraceListener(&Log);
  ASSERT_EQ(CVQCAFComm::Init(P), VQX_RESULT_OK);
  ASSERT_NE(CVQCAFComm::GetInstance(), nullptr);
  EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
  RemoveLogTraceListener(&Log);
  const std::vector<std::string> a = Log.Texts();
  EXPECT_EQ(std::count(a.begin(), a.end(),
                       "BUG: CVQCAFComm::Uninit(): Called before ReleaseInstance() been called by all owners!"),
            1);
  SetGlobals(nullptr);
}

}  // namespace
