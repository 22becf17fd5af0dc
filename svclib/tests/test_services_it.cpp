// test_services_it.cpp - the services library over a host library whose hosts' instance links a remote host on
// 127.0.0.1 (the stand-in provider, testing/provsim): the list of a host that is gone by the time the library
// reads it (its receive thread held back meanwhile by a service's full queue) links nothing, with its line.

#include <signal.h>

#include <atomic>

#include "peers/child_process.h"
#include "peers/host_params.h"
#include "peers/loopback.h"
#include "peers/wait_until.h"
#include "svc_test_support.h"

namespace {

/* SvcTest over a host library with its hosts' instance on 127.0.0.1, the services library's lines kept. */
class SvcHostTest : public SvcTest {
 protected:
  void SetUp() override {
    loopnet::UseLoopbackNets(1);
    _VQX_LIB_PARAMS lp = hostpeer::HostOnlyParams(mun16Port, "svc", {}, &mPeers);
    lp.un32TraceLevel = 0x7FFFFFFF;
    lp.pFctErrorCallback = [](void*, VQX_LIB_HANDLE, const char*) {};
    ASSERT_EQ(VQXOpenLib(&lp, &mhHost), VQX_RESULT_API_OK);
    const _VQX_SERVICES_LIB_OPEN_PARAMS op{0,       &SvcTest::OnConnected, this, &SvcTest::OnMsg, this, &SvcHostTest::OnPrint,
                                           this, 0x7FFFFFFD};
    ASSERT_EQ(VQXServicesOpenLib(&op, mhHost, &mhSvc), VQX_RESULT_OK);
  }
  void TearDown() override {
    SvcTest::TearDown();
    loopnet::UseLoopbackNets(0);
  }
  static void OnPrint(void* pv, u32, char*, char* pszFormat, va_list args) {
    char sz[512];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    SvcHostTest* p = static_cast<SvcHostTest*>(pv);
    std::lock_guard<std::mutex> Lock(p->mMutex);
    p->mstrLines += sz;
  }
  std::string Lines() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return mstrLines;
  }
  u32 Hosts() {
    u32 n = 0, ah[8];
    return VQXGetRemoteHostsList(mhHost, 8, &n, ah) == VQX_RESULT_API_OK ? n : 99u;
  }

  u16 mun16Port = loopnet::FreeLoopbackPort();
  std::vector<_VQX_EXTRA_GW_ADDR> mPeers;
  std::string mstrLines;
};

TEST_F(SvcHostTest, AListReadOnceItsHostIsGoneLinksNothing) {
  Register();
  /* The first message's delivery held until the end: the service's queue fills (1024) and the receive thread waits
   * for room with the one after, the messages behind it left in the library's filter. */
  std::atomic<bool> fRelease{false}, fHeld{false};
  mOnEvent = [&](u32*, const std::string& strEvent) {
    if (!strEvent.ends_with(" 0B0D0001")) return;
    fHeld = true;
    peerwait::WaitUntil([&] { return fRelease.load(); }, 300000);
  };
  _VQX_LIB_STATS Stats{};
  const auto Consumed = [&] {
    EXPECT_EQ(VQXLibGetStats(mhHost, &Stats), VQX_RESULT_API_OK);
    return Stats.RxMsgConsumedByApp;
  };
  const u64 un64Before = Consumed();
  bool fFull = true;
  for (u32 i = 1; i <= 1 + 1024 + 1; i++) {
    Inject(0x0B0D0000 + i, "m");
    if (i == 1) fFull = peerwait::WaitUntil([&] { return fHeld.load(); }, 30000); /* the queue fills behind it */
  }
  fFull = fFull && peerwait::WaitUntil([&] { return Consumed() - un64Before == 1 + 1024 + 1; }, 30000);
  /* A host links, sends its service list (a provider's, which the service detects) and is gone. */
  Stats = {};
  VQXLibGetStats(mhHost, &Stats);
  const u64 un64Received = Stats.RxMsg;
  peerproc::CChild Provider({"python3", std::string(getenv("VQX_SOURCE_DIR")) + "/testing/provsim/provsim.py",
                             "--udp-port", std::to_string(loopnet::FreeLoopbackPort()), "--peer-port",
                             std::to_string(mun16Port), "--name", "gone", "--group", "g", "--lifetime", "300"});
  const bool fLinked = peerwait::WaitUntil([&] { return Hosts() == 1; }, 60000);
  /* Its list and its list request read (the library's own messages aside). */
  const bool fListRead = peerwait::WaitUntil([&] { return VQXLibGetStats(mhHost, &Stats) == VQX_RESULT_API_OK &&
                                                         Stats.RxMsg >= un64Received + 2; }, 30000);
  kill(Provider.mPid, SIGKILL);
  const bool fGone = peerwait::WaitUntil([&] { return Hosts() == 0; }, 30000);
  fRelease = true;
  ASSERT_TRUE(fFull && fLinked && fListRead && fGone) << fFull << fLinked << fListRead << fGone << " consumed " << Consumed() - un64Before << " held " << fHeld;
  ASSERT_TRUE(WaitEvents(1 + 1024 + 1));
  EXPECT_TRUE(WaitFor([&] { return Lines().find("Services: service 0x0B0D0200 of host 0x") != std::string::npos; }))
      << Lines();
  EXPECT_NE(Lines().find(" not linked: the host is gone (0x"), std::string::npos) << Lines();
  for (const std::string& s : Events()) EXPECT_EQ(s.rfind("M ", 0), 0u) << "no remote linked: " << s;
}

}  // namespace
