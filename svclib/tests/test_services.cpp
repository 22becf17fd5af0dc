// test_services.cpp - the services library in one process, remote hosts
// played by protocol messages sent to this process: links made and ended by
// lists, callbacks in order (connect, messages, disconnect), unregister
// delivering disconnections, refusals and message ownership.

#include <dlfcn.h>

#include <atomic>

#include "peers/stall_probe.h"
#include "svc_test_support.h"

/* Set by a test: the allocation of its thread that throws (1: the next one; 0: none). */
static thread_local u32 t_un32FailNew = 0;
void* operator new(std::size_t n) {
  if (t_un32FailNew != 0 && --t_un32FailNew == 0) throw std::bad_alloc();
  static void* (*const s_pNext)(std::size_t) = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znwm"));
  return s_pNext(n);
}

namespace {

constexpr u32 kProvider = 0x0B0D0200, kServer = 0x0B0D0100;

/* Word n (from 0) of an event line. */
std::string Word(const std::string& s, int n) {
  std::istringstream In(s);
  std::string w;
  for (int i = 0; i <= n; i++) In >> w;
  return w;
}

TEST_F(SvcTest, ListsLinkAndUnlinkInOrder) {
  const std::string S = Num(Register());
  InjectList({{7, kProvider, {0, 0}, "ctx"}, {8, 0x0B0D0999, {0, 0}, ""}});
  ASSERT_TRUE(WaitEvents(1));
  const std::string R1 = Word(Events()[0], 2);
  Inject(0x0B0D0400, "data");
  Inject(0x0B0E0400, "not for the service");
  InjectList({{7, kProvider, {0, 0}, "ctx2"}});  // changed: a new remote, a new handle
  InjectList({});
  ASSERT_TRUE(WaitEvents(5));
  const std::vector<std::string> a = Events();
  const std::string R2 = Word(a.at(3), 2), strApp = Word(a[0], 4);
  EXPECT_NE(R2, R1) << "handles are never reused";
  EXPECT_EQ(a, std::vector<std::string>({"C " + S + " " + R1 + " 0B0D0200 " + strApp + " [ctx]", "M " + S + " " + R1 + " 0B0D0400",
                                         "D " + S + " " + R1, "C " + S + " " + R2 + " 0B0D0200 " + strApp + " [ctx2]",
                                         "D " + S + " " + R2}));
}

TEST_F(SvcTest, ARestartedHostLosesItsOldLinks) {
  const std::string S = Num(Register());
  const std::vector<VqxSvcProtoService> List = {{7, kProvider, {0, 0}, "ctx"}};
  InjectList(List, 0x7F00000100000001ull);
  InjectList(List, 0x7F00000100000002ull);  // the same list from a new process on that host
  ASSERT_TRUE(WaitEvents(3));
  const std::vector<std::string> a = Events();
  const std::string R1 = Word(a[0], 2), R2 = Word(a[2], 2);
  EXPECT_EQ(a[1], "D " + S + " " + R1);
  EXPECT_EQ(a[2].substr(0, 2), "C ");
  EXPECT_NE(R2, R1) << "the new process's service is a new remote";
}

TEST_F(SvcTest, SixtyFourServicesAreTheMostAListCarries) {
  ASSERT_EQ(VQXServicesCloseLib(std::exchange(mhSvc, nullptr)), VQX_RESULT_OK);
  const _VQX_SERVICES_LIB_OPEN_PARAMS op{100, &SvcTest::OnConnected, this, &SvcTest::OnMsg, this, nullptr, nullptr, 0};
  ASSERT_EQ(VQXServicesOpenLib(&op, mhHost, &mhSvc), VQX_RESULT_OK);
  for (u32 i = 1; i <= VQX_SVC_PROTO_MAX_SERVICES + 1; i++) {
    u32* h = nullptr;
    _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(0x0B0D1000 + i, 0, 0x0B0D);
    EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h),
              i <= VQX_SVC_PROTO_MAX_SERVICES ? VQX_RESULT_OK : VQX_RESULT_OUT_OF_RESOURCE) << i;
  }
}

TEST_F(SvcTest, UnregisterDeliversDisconnectionsAndNothingAfter) {
  InjectList({{1, kProvider, {0, 0}, ""}});
  u32* hS = Register();
  ASSERT_TRUE(WaitEvents(1)) << "a remote known before registration is linked at registration";
  std::thread::id Disconnected;
  /* The message's callback is still in progress when the unregister starts: it ends once the service is gone
   * (its id free to register again, which the unregister allows only while it waits for the callback). */
  u32* hAgain = nullptr;
  _VQX_SERVICES_LIB_SERVICE_PARAMS Again = ServiceParams(kServer, 0, 0);
  Again.un32NbFilters = 0;
  mOnEvent = [&](u32*, const std::string& strEvent) {
    if (strEvent[0] == 'D') Disconnected = std::this_thread::get_id();
    if (strEvent[0] != 'M') return;
    WaitFor([&] { return VQXServicesServiceRegister(mhSvc, &Again, nullptr, &hAgain) == VQX_RESULT_OK; });
  };
  Inject(0x0B0D0400, "x", 1);  // kept by the application
  ASSERT_TRUE(WaitEvents(2));
  const peerwait::StallProbe Stall;
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(VQXServicesServiceUnregister(mhSvc, hS), VQX_RESULT_OK);
  const auto End = std::chrono::steady_clock::now();
  /* 2 s, and what the machine held the threads meanwhile */
  EXPECT_LT(End - Start, std::chrono::seconds(2) + std::chrono::milliseconds(Stall.WorstMs(Start, End)))
      << "woken by the callback's end; " << Stall.Seen();
  EXPECT_NE(hAgain, nullptr);
  EXPECT_EQ(Disconnected, std::this_thread::get_id()) << "delivered on the unregistering thread";
  EXPECT_EQ(Events().at(2)[0], 'D');
  Inject(0x0B0D0400, "late");
  InjectList({});
  EXPECT_EQ(VQXServicesServiceUnregister(mhSvc, hS), VQX_RESULT_INVALID_HANDLE);
  ASSERT_NE(mhKept, nullptr);
  EXPECT_EQ(VQXReleaseMsgEx(mhHost, &mhKept), VQX_RESULT_OK) << "a message the callback keeps is its own";
  EXPECT_EQ(VQXServicesCloseLib(std::exchange(mhSvc, nullptr)), VQX_RESULT_OK);
  EXPECT_EQ(Events().size(), 3u) << "nothing after the disconnection";
}

/*
 * A service whose thread is held in its first message's callback: the receive thread queues for it up to 1024
 * messages or 2 MiB of them, whichever comes first, takes one more from the host library and waits with it; the
 * rest stays in the host library (its readers' count says how many were taken). Released, every message is
 * delivered once, in order. The others are sent once the callback holds the first: a queue filled before its thread
 * took the first would hold that one too (full, the receive thread waits for it to be down to half).
 */
TEST_F(SvcTest, AServiceQueueIsBoundedInMessagesAndBytes) {
  const struct {
    const char* pszWhat;
    u32 un32Payload, un32Sent;
    u64 un64Taken; /* the one in the callback, the queue, the one waiting for room */
  } aRows[] = {{"8 bytes: 1024 messages", 8, 1100, 1 + 1024 + 1},
               {"64 KiB: 32 of them reach 2 MiB", 64 * 1024, 40, 1 + 32 + 1}};
  const std::string S = Num(Register());
  std::atomic<bool> fRelease{false}, fHeld{false};
  mOnEvent = [&](u32*, const std::string& strEvent) {
    if (!strEvent.ends_with(" 0B0D0000")) return;
    fHeld = true;
    WaitFor([&] { return fRelease.load(); });
  };
  for (const auto& Row : aRows) {
    fRelease = false;
    fHeld = false;
    const size_t nBefore = Events().size();
    _VQX_LIB_STATS Stats{};
    ASSERT_EQ(VQXLibGetStats(mhHost, &Stats), VQX_RESULT_API_OK);
    const u64 un64Before = Stats.RxMsgConsumedByApp;
    for (u32 i = 0; i < Row.un32Sent; i++) {
      Inject(0x0B0D0000 + i, std::string(Row.un32Payload, 'd'));
      if (i == 0) {
        ASSERT_TRUE(WaitFor([&] { return fHeld.load(); })) << Row.pszWhat;
      }
    }
    const auto Taken = [&] {
      EXPECT_EQ(VQXLibGetStats(mhHost, &Stats), VQX_RESULT_API_OK);
      return Stats.RxMsgConsumedByApp - un64Before;
    };
    EXPECT_TRUE(WaitFor([&] { return Taken() >= Row.un64Taken; })) << Row.pszWhat;
    EXPECT_EQ(Taken(), Row.un64Taken) << Row.pszWhat;
    fRelease = true;
    ASSERT_TRUE(WaitEvents(nBefore + Row.un32Sent)) << Row.pszWhat;
    const std::vector<std::string> a = Events();
    ASSERT_EQ(a.size(), nBefore + Row.un32Sent) << Row.pszWhat;
    for (u32 i = 0; i < Row.un32Sent; i++) {
      char sz[16];
      snprintf(sz, sizeof(sz), "%08X", 0x0B0D0000 + i);
      EXPECT_EQ(a[nBefore + i], "M " + S + " 0 " + sz) << Row.pszWhat;
    }
  }
}

TEST_F(SvcTest, RefusalsAndMessageOwnership) {
  u32 *h = nullptr, *h2 = reinterpret_cast<u32*>(1);
  _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(0x0B0D0100, 0, 0x0B0D), bad = sp;
  sp.Info.pbyServiceUserContext = reinterpret_cast<u8*>(&bad);  // 40 bytes of it: a context copied to the heap
  sp.Info.un32ServiceUserContextSize = 40;
  /* Each allocation failing in turn is refused whole (0x82000007, no handle, nothing leaked) until none is left. */
  VQX_RESULT r = VQX_RESULT_OUT_OF_MEMORY;
  for (u32 k = 1; r == VQX_RESULT_OUT_OF_MEMORY && k < 100; k++) {
    t_un32FailNew = k;
    r = VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h);
    t_un32FailNew = 0;
    EXPECT_TRUE(r == VQX_RESULT_OK || h == nullptr) << "allocation " << k;
  }
  ASSERT_EQ(r, VQX_RESULT_OK) << "registered once nothing fails";
  EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h2), VQX_RESULT_ACCESS_DENIED);
  EXPECT_EQ(h2, nullptr);
  bad.un32NbFilters = 9;
  EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &bad, nullptr, &h2), VQX_RESULT_INVALID_PARAM) << "9 filters";
  for (u32 i = 0; i <= 15; i++) {
    sp.Info.un32ServiceId = 100 + i;
    EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h2), i < 15 ? VQX_RESULT_OK : VQX_RESULT_OUT_OF_RESOURCE);
  }
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsg(mhHost, 8, &hMsg), VQX_RESULT_API_OK);
  hMsg->un32MsgId = 0x0B0D0300;
  u32* pMsg = reinterpret_cast<u32*>(hMsg);
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, nullptr, &pMsg, 0), VQX_RESULT_INVALID_HANDLE);
  ASSERT_NE(pMsg, nullptr) << "early refusals leave the message with the caller";
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, nullptr, &pMsg, 1), VQX_RESULT_OK) << "a broadcast with no host";
  EXPECT_EQ(pMsg, nullptr) << "a send attempt takes it";
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, nullptr, &pMsg, 1), VQX_RESULT_NULL_PARAM);
  /* The host library's refusal is the send's result, and the message is gone. */
  ASSERT_EQ(VQXGetMsg(mhHost, 8, &hMsg), VQX_RESULT_API_OK);
  hMsg->un32MsgId = 0x0B0D0300;
  hMsg->un32PayloadLength = hMsg->un32PayloadMaxLength + 1;
  pMsg = reinterpret_cast<u32*>(hMsg);
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, nullptr, &pMsg, 1), VQX_RESULT_API_MSGSZ_INVALID);
  EXPECT_EQ(pMsg, nullptr);
  _VQX_SERVICES_LIB_OPEN_PARAMS op{};
  VQX_SERVICES_LIB_HANDLE hLib = reinterpret_cast<VQX_SERVICES_LIB_HANDLE>(1);
  EXPECT_EQ(VQXServicesOpenLib(&op, mhHost, &hLib), VQX_RESULT_NOT_SUPPORTED) << "callbacks missing";
  EXPECT_EQ(hLib, nullptr);
}

}  // namespace
