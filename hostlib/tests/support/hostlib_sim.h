/*
 * hostlib_sim.h - the integration tests' peers, all on 127.0.0.1 (loopback
 * interface tables and free ports from testing/peers/loopback.h): the
 * simulated board (a python3 child with a line-command connection) and a
 * library that finds it, and bounded waits on a condition instead of fixed
 * sleeps. Header only: the integration programs alone include it (and link
 * what it uses).
 */
#ifndef HOSTLIB_SIM_H
#define HOSTLIB_SIM_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "peers/loopback.h"
#include "support/hostlib_fixture.h"
#include "vqx_gwlib.h"
#include "vqx_host_peer_internal.h"

/* The simulated board's handle (serial number 12345678). */
constexpr u32 kSimBoard = 0xCA345678u;

/* Polls cond every few milliseconds until it holds or un32Ms pass; its last value. */
inline bool WaitUntil(const std::function<bool()>& cond, u32 un32Ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(un32Ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

/* Loopback nets (1: 127.0.0.0/8; 2: 127.0.0.0/24 as gw0 and 127.0.1.0/24 as gw1; 0 restores) and free ports. */
using loopnet::FreeLoopbackPort;
using loopnet::UseLoopbackNets;

/* A library's lines on standard error when the running test failed (or VQX_TEST_VERBOSE is set). */
inline void DumpLogOnFailure(CapturedLog& log) {
  if (!::testing::Test::HasFailure() && getenv("VQX_TEST_VERBOSE") == nullptr) return;
  for (const std::string& line : log.Lines()) fprintf(stderr, "log: %s", line.c_str());
}

/* The simulated board (boardsim options given) as a child, with its line-command connection. */
class SimBoard {
 public:
  SimBoard(u16 un16UdpPort, const std::vector<std::string>& options) {
    const u16 un16Ctl = FreeLoopbackPort();
    const char* pszRoot = getenv("VQX_SOURCE_DIR");
    std::vector<std::string> args = {"python3", std::string(pszRoot != nullptr ? pszRoot : ".") +
                                                    "/testing/boardsim/boardsim.py",
                                     "--udp-port", std::to_string(un16UdpPort), "--control-port",
                                     std::to_string(un16Ctl), "--lifetime", "60"};
    args.insert(args.end(), options.begin(), options.end());
    mPid = fork();
    if (mPid == 0) {
      std::vector<char*> av;
      for (const std::string& a : args) av.push_back(const_cast<char*>(a.c_str()));
      av.push_back(nullptr);
      execvp(av[0], av.data());
      _exit(127);
    }
    /* The board listens once its interpreter has started: retry the connection, bounded. */
    WaitUntil(
        [&] {
          const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          const sockaddr_in a = loopnet::LoopbackAddress(un16Ctl);
          if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) return close(s), false;
          timeval tv{10, 0};
          setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
          mCtl = s;
          return true;
        },
        5000);
  }
  ~SimBoard() {
    if (mCtl >= 0) {
      Command("quit");
      close(mCtl);
    }
    if (mPid > 0 && !WaitUntil([&] { return waitpid(mPid, nullptr, WNOHANG) == mPid; }, 2000)) {
      kill(mPid, SIGKILL);
      waitpid(mPid, nullptr, 0);
    }
  }
  bool Ready() const { return mPid > 0 && mCtl >= 0; }
  /* One command line, its one-line answer ("" when the board is gone). */
  std::string Command(const std::string& line) {
    const std::string l = line + "\n";
    if (mCtl < 0 || send(mCtl, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) return "";
    std::string out;
    char ch;
    while (recv(mCtl, &ch, 1, 0) == 1 && ch != '\n') out += ch;
    return out;
  }
  /* A counter of the board's "stats" answer (JSON), -1 when absent. */
  long Stat(const std::string& key) {
    const std::string s = Command("stats");
    const size_t i = s.find("\"" + key + "\": ");
    return i == std::string::npos ? -1 : strtol(s.c_str() + i + key.size() + 4, nullptr, 10);
  }

 private:
  pid_t mPid = -1;
  int mCtl = -1;
};

inline u16 PrepareBoardNet(u32 un32Nets) {
  UseLoopbackNets(un32Nets);
  const u16 un16Port = FreeLoopbackPort();
  setenv("VQX_GW_PORT", std::to_string(un16Port).c_str(), 1);
  return un16Port;
}

/*
 * One simulated board and a library whose adapters' instance finds it:
 * loopback nets, VQX_GW_PORT, and a filter on the library's notifications.
 * With two nets the library's gw0 and gw1 are 127.0.0.1 and 127.0.1.1.
 */
class BoardLib {
 public:
  BoardLib(u32 un32Nets, const std::vector<std::string>& boardOptions)
      : Board(PrepareBoardNet(un32Nets), boardOptions), mun32Nets(un32Nets) {}
  ~BoardLib() {
    DumpLogOnFailure(Log);
    if (hNotif != nullptr) VQXDestroyMsgFilterEx(hLib, &hNotif);
    if (hLib != nullptr) { EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK); }
    unsetenv("VQX_GW_PORT");
    UseLoopbackNets(0);
  }
  /* Opens the library: false on failure. */
  bool Open(const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr) {
    if (!Board.Ready()) return false;
    _VQX_LIB_PARAMS params = HostLibTestParams(&Log);
    params.fAdaptersGwOff = 0;
    params.un32TraceLevel = 0x7FFFFFFE;
    if (mun32Nets == 2) {
      snprintf(params.szGw0Address, sizeof(params.szGw0Address), "127.0.0.1");
      snprintf(params.szGw1Address, sizeof(params.szGw1Address), "127.0.1.1");
    }
    if (pRedundancy != nullptr) params.NetworkRedundancy = *pRedundancy;
    if (VQXOpenLib(&params, &hLib) != VQX_RESULT_API_OK) return false;
    const _VQX_FILTER_PARAMS set = FilterSet(VQX_FILTER_MASK_MSG_GROUP, 0x02010000);
    return VQXCreateMsgFilterEx(hLib, 1, const_cast<_VQX_FILTER_PARAMS*>(&set), &hNotif) == VQX_RESULT_API_OK;
  }
  /* The next notification within un32Ms, whole message; empty on time-out. */
  std::vector<u8> Next(u32 un32Ms) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(hLib, hNotif, un32Ms, &hMsg) != VQX_RESULT_API_OK) return {};
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
  bool PathUp(u32 un32Path) {
    return WithPeer([&](VQX_PEER* p) { return p != nullptr && p->afPathUp[un32Path] != 0; });
  }

  CapturedLog Log;
  SimBoard Board;
  VQX_LIB_HANDLE hLib = nullptr;
  VQX_FILTER_HANDLE hNotif = nullptr;

 private:
  u32 mun32Nets;
};

/* A board reached on two paths that answers the requests kRequestId; a filter takes the answers. */
constexpr u32 kRequestId = 0x03000001u;
class TwoPathTest : public ::testing::Test {
 protected:
  void Start(const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr) {
    ASSERT_EQ(b.Board.Command("answer " + std::to_string(kRequestId)), "ok");
    ASSERT_TRUE(b.Open(pRedundancy));
    _VQX_FILTER_PARAMS set{};
    set.un32Version = 1;
    set.un32Mask = VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_MSG_TYPE;
    set.MsgId = kRequestId;
    set.MsgTypeMask = VQX_MSG_TYPE_RESPONSE;
    ASSERT_EQ(VQXCreateMsgFilterEx(b.hLib, 1, &set, &mhAnswers), VQX_RESULT_API_OK);
    /* Both paths up and redundancy established (nothing owed by the board on the first path). */
    ASSERT_TRUE(WaitUntil(
        [&] { return b.WithPeer([](VQX_PEER* p) { return p != nullptr && p->afPathUp[0] && p->afPathUp[1] && !p->fSinglePath; }); },
        10000));
  }
  void TearDown() override {
    if (mhAnswers != nullptr) VQXDestroyMsgFilterEx(b.hLib, &mhAnswers);
  }
  void Request(u32 un32Count = 1) {
    for (u32 i = 0; i < un32Count; i++, mun32Sent++) {
      ASSERT_EQ(b.Send(kRequestId, VQX_MSG_TYPE_REQUEST, 8), VQX_RESULT_API_OK) << mun32Sent;
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
    WaitUntil([&] { return Drain(50), mSerials.size() >= mun32Sent; }, 10000);
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
