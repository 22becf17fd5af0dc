/*
 * hostlib_sim.h - the integration tests' peers, all on 127.0.0.1 (loopback
 * interface tables, free ports and the simulated board's child process from
 * testing/peers): a library that finds the board; waits are the shared
 * bounded WaitUntil, never fixed sleeps. Header only: the integration programs
 * alone include it (and link what it uses).
 */
#ifndef HOSTLIB_SIM_H
#define HOSTLIB_SIM_H

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "peers/boardsim_process.h"
#include "peers/loopback.h"
#include "support/hostlib_fixture.h"
#include "vqx_gwlib.h"
#include "peer/vqx_host_peer_internal.h"

/* The simulated board's handle (serial number 12345678), and the id of the requests it answers when told. */
constexpr u32 kSimBoard = 0xCA345678u;
constexpr u32 kRequestId = 0x03000001u;

/* Loopback nets (1: 127.0.0.0/8; 2: 127.0.0.0/24 as gw0 and 127.0.1.0/24 as gw1; 0 restores) and free ports. */
using loopnet::FreeLoopbackPort;
using loopnet::UseLoopbackNets;

/* A library's lines on standard error when the running test failed (or VQX_TEST_VERBOSE is set). */
inline void DumpLogOnFailure(CapturedLog& log) {
  if (!::testing::Test::HasFailure() && getenv("VQX_TEST_VERBOSE") == nullptr) return;
  for (const std::string& line : log.Lines()) fprintf(stderr, "log: %s", line.c_str());
}


/*
 * One simulated board and a library whose adapters' instance finds it:
 * loopback nets, VQX_GW_PORT, and a filter on the library's notifications.
 * With two nets the library's gw0 and gw1 are 127.0.0.1 and 127.0.1.1.
 */
class BoardLib {
 public:
  /* The library shares the board's discovery port (VQX_GW_PORT). */
  BoardLib(u32 un32Nets, const std::vector<std::string>& boardOptions) : Board(0, boardOptions), mun32Nets(un32Nets) {
    UseLoopbackNets(un32Nets);
    setenv("VQX_GW_PORT", std::to_string(Board.UdpPort()).c_str(), 1);
  }
  ~BoardLib() {
    DumpLogOnFailure(Log);
    if (hNotif != nullptr) VQXDestroyMsgFilterEx(hLib, &hNotif);
    if (hLib != nullptr) {
      EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
    }
    unsetenv("VQX_GW_PORT");
    UseLoopbackNets(0);
  }
  /*
   * Opens the library (a receive fifo of un32ReceiveFifoSize, 0 the default): false on failure. The
   * notification filter is made before the adapters' transport is turned on, so that it sees each
   * notification as it is posted: a filter made once the board is linked is brought up to date instead
   * (added, gw0 up, gw1 up whatever the paths), which a test thread held off the processor between the
   * open and the filter (about 10 ms is enough) would read as a notification too many.
   */
  bool Open(const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr, u32 un32ReceiveFifoSize = 0) {
    if (!Board.Ready()) return false;
    _VQX_LIB_PARAMS params = HostLibTestParams(&Log);
    params.un32TraceLevel = 0x7FFFFFFE;
    if (mun32Nets == 2) {
      snprintf(params.szGw0Address, sizeof(params.szGw0Address), "127.0.0.1");
      snprintf(params.szGw1Address, sizeof(params.szGw1Address), "127.0.1.1");
    }
    if (pRedundancy != nullptr) params.NetworkRedundancy = *pRedundancy;
    params.un32ReceiveFifoSize = un32ReceiveFifoSize;
    if (VQXOpenLib(&params, &hLib) != VQX_RESULT_API_OK) return false;
    hNotif = NewFilter(hLib, {FilterSet(VQX_FILTER_MASK_MSG_GROUP, 0x02010000)});
    if (hNotif == nullptr || VQXGetLibParams(hLib, &params) != VQX_RESULT_API_OK) return false;
    params.fAdaptersGwOff = 0;
    return VQXModifLibParams(hLib, &params) == VQX_RESULT_API_OK;
  }
  /* The next notification within un32Ms (on hFilter, else the library's notification filter), whole message;
     empty on time-out. */
  std::vector<u8> Next(u32 un32Ms, VQX_FILTER_HANDLE hFilter = nullptr) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(hLib, hFilter != nullptr ? hFilter : hNotif, un32Ms, &hMsg) != VQX_RESULT_API_OK) return {};
    const u8* pby = reinterpret_cast<const u8*>(hMsg);
    std::vector<u8> out(pby, pby + hMsg->un32Length);
    VQXReleaseMsgEx(hLib, &hMsg);
    return out;
  }
  /* A message to the board; an event goes without serial number. */
  VQX_RESULT Send(u32 un32Id, u32 MsgType, u32 un32Payload, VQX_FILTER_HANDLE* phImplicit = nullptr,
                  u64 un64Context = 0) {
    VQX_MSG_HANDLE hMsg = nullptr;
    const VQX_RESULT result = VQXGetMsg(hLib, un32Payload, &hMsg);
    if (result != VQX_RESULT_API_OK) return result;
    hMsg->un32MsgId = un32Id;
    hMsg->MsgType = MsgType;
    hMsg->hAdapter = kSimBoard;
    hMsg->un32PayloadLength = un32Payload;
    hMsg->un64UserContext1 = un64Context;
    if (MsgType == VQX_MSG_TYPE_EVENT) hMsg->un32SerialNumber = 0;
    return VQXSendMsgEx(hLib, &hMsg, phImplicit);
  }
  /* f(peer record or null) under the library lock. */
  template <class F>
  auto WithPeer(F f) {
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
    auto r = f(VqxHostAdapterByHandle(hLib, kSimBoard));
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    return r;
  }
  /* The board answers the requests kRequestId (their answers kept back until "release" when fHold). */
  bool AnswerRequests(bool fHold) {
    if (Board.Command("answer " + std::to_string(kRequestId)) != "ok") return false;
    return !fHold || Board.Command("hold") == "ok";
  }
  bool PathUp(u32 un32Path) {
    return WithPeer([&](VQX_PEER* p) { return p != nullptr && p->afPathUp[un32Path] != 0; });
  }

  CapturedLog Log;
  gwpeer::BoardProcess Board;
  VQX_LIB_HANDLE hLib = nullptr;
  VQX_FILTER_HANDLE hNotif = nullptr;

 private:
  u32 mun32Nets;
};

/* A board reached on two paths that answers the requests kRequestId; a filter takes the answers. */
class TwoPathTest : public ::testing::Test {
 protected:
  void Start(const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr) {
    ASSERT_TRUE(b.AnswerRequests(false));
    ASSERT_TRUE(b.Open(pRedundancy));
    mhAnswers = NewFilter(b.hLib, {FilterSet(VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_MSG_TYPE, kRequestId, 0,
                                             VQX_MSG_TYPE_RESPONSE)});
    ASSERT_NE(mhAnswers, nullptr);
    /* Both paths up and redundancy established (nothing owed by the board on the first path). */
    ASSERT_TRUE(WaitUntil(
        [&] { return b.WithPeer([](VQX_PEER* p) { return p != nullptr && p->afPathUp[0] && p->afPathUp[1] && !p->fSinglePath; }); },
        10000));
  }
  void TearDown() override {
    if (mhAnswers != nullptr) VQXDestroyMsgFilterEx(b.hLib, &mhAnswers);
  }
  void Request(u32 un32Count = 1) {
    for (u32 i = 0; i < un32Count; i++) {
      ASSERT_EQ(b.Send(kRequestId, VQX_MSG_TYPE_REQUEST, 8), VQX_RESULT_API_OK) << mun32Sent;
      mun32Sent++;
    }
  }
  /* Takes the answers that came within un32Ms. */
  void Drain(u32 un32Ms) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    if (VQXReceiveMsgMultiple(b.hLib, mhAnswers, un32Ms, &n, ah) != VQX_RESULT_API_OK) return;
    for (u32 k = 0; k < n; k++) {
      mSerials.insert(ah[k]->un32SerialNumber);
      mun32Received++;
      VQXReleaseMsgEx(b.hLib, &ah[k]);
    }
  }
  /* Waits (bounded) for an answer to every request sent, then checks each came once. */
  void ExpectAllAnsweredOnce() {
    WaitUntil(
        [&] {
          Drain(50);
          return mSerials.size() >= mun32Sent;
        },
        10000);
    EXPECT_EQ(mSerials.size(), mun32Sent) << "every request answered";
    EXPECT_EQ(mun32Received, mun32Sent) << "each once";
    EXPECT_EQ(b.Board.Stat("requests"), static_cast<long>(mun32Sent)) << "the board saw each once";
    if (HasFailure()) fprintf(stderr, "board: %s\n", b.Board.Command("stats").c_str());
  }
  BoardLib b{2, {"--gw0", "127.0.0.2", "--gw1", "127.0.1.3", "--full"}};
  VQX_FILTER_HANDLE mhAnswers = nullptr;
  std::set<u32> mSerials;
  u32 mun32Sent = 0;
  u32 mun32Received = 0;
};

#endif
