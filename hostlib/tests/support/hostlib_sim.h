/*
 * hostlib_sim.h - the integration tests' peers, all on 127.0.0.1: loopback
 * interface tables, free ports, the simulated board (a python3 child with a
 * line-command connection) and a library that finds it, other host libraries
 * (this test program run again as a child), and bounded waits on a
 * condition instead of fixed sleeps.
 */
#ifndef HOSTLIB_SIM_H
#define HOSTLIB_SIM_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/hostlib_fixture.h"
#include "vqx_host_filter.h"
#include "vqx_host_peer_internal.h"

/* The simulated board's handle (serial number 12345678). */
constexpr u32 kSimBoard = 0xCA345678u;

/* Polls cond every few milliseconds until it holds or un32Ms pass; its last value. */
bool WaitUntil(const std::function<bool()>& cond, u32 un32Ms);

/*
 * Interface table of the transport: 1 = one net 127.0.0.0/8; 2 = two nets
 * 127.0.0.0/24 (gw0) and 127.0.1.0/24 (gw1); discovery broadcasts go to
 * 127.0.0.1. 0 restores the system's table and broadcasts.
 */
void UseLoopbackNets(u32 un32Nets);
/* A port free for both TCP and UDP on 127.0.0.1. */
u16 FreeLoopbackPort();

/* A child process (argv) and its line-command connection; quit, reaped or killed at the end. */
class ChildWithControl {
 public:
  ChildWithControl(const std::vector<std::string>& args, u16 un16Control);
  ~ChildWithControl();
  bool Ready() const { return mPid > 0 && mCtl >= 0; }
  /* One command line, its one-line answer ("" when the child is gone). */
  std::string Command(const std::string& line);
  /* A counter of the child's "stats" answer (JSON), -1 when absent. */
  long Stat(const std::string& key);

 private:
  pid_t mPid = -1;
  int mCtl = -1;
};

/* The simulated board on a fresh discovery port, with boardsim options. */
class SimBoard : public ChildWithControl {
 public:
  SimBoard(u16 un16UdpPort, const std::vector<std::string>& options);

 private:
  SimBoard(u16 un16UdpPort, u16 un16Ctl, const std::vector<std::string>& options);
};

/*
 * One simulated board and a library whose adapters' instance finds it:
 * loopback nets, VQX_GW_PORT, and a filter on the library's notifications.
 * With two nets the library's gw0 and gw1 are 127.0.0.1 and 127.0.1.1.
 */
class BoardLib {
 public:
  BoardLib(u32 un32Nets, const std::vector<std::string>& boardOptions);
  ~BoardLib();
  /* Opens the library: false on failure. */
  bool Open(const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pRedundancy = nullptr);
  /* The next notification within un32Ms, whole message; empty on time-out. */
  std::vector<u8> Next(u32 un32Ms);
  /* A message to the board: an event without serial number when phImplicit is null and MsgType 4. */
  VQX_RESULT Send(u32 un32Id, u32 MsgType, u32 un32Payload, VQX_FILTER_HANDLE* phImplicit = nullptr,
                  u64 un64Context = 0);
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
  u16 un16Port;
  SimBoard Board;
  VQX_LIB_HANDLE hLib = nullptr;
  VQX_FILTER_HANDLE hNotif = nullptr;

 private:
  u32 mun32Nets;
};

/* Parameters of a host library on the hosts' instance only, on its port, the peers reached on 127.0.0.1. */
_VQX_LIB_PARAMS HostParams(CapturedLog* pLog, u16 un16Port, const char* pszApp, const std::vector<u16>& peers,
                           std::vector<_VQX_EXTRA_GW_ADDR>* pStorage);

/* This test program run again with the given environment and gtest filter (another host). */
class SelfChild {
 public:
  SelfChild(const std::string& gtestFilter, const std::vector<std::pair<std::string, std::string>>& env);
  ~SelfChild();
  /* Exit status within un32Ms; -1 when killed after the time-out or not exited normally. */
  int Wait(u32 un32Ms);

 private:
  pid_t mPid = -1;
};

/* A library's lines on standard error when the running test failed (or VQX_TEST_VERBOSE is set). */
void DumpLogOnFailure(CapturedLog& log);

#endif
