/*
 * cmc_servers.h - the core library over a real host library on 127.0.0.1
 * with stand-in servers (testing/cmcsim, python3 children): start them, open
 * both libraries, wait for log lines and default-callback notices, count the
 * servers the library knows.
 */
#ifndef CMC_SERVERS_H
#define CMC_SERVERS_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "peers/cmcsim_process.h"
#include "peers/stall_probe.h"
#include "support/cmc_fixture.h"

class CmcServersTest : public CmcTest {
 public:
  /* An error line of the host library (its callback, on its log thread). */
  void HostError(const char* pszLine);

 protected:
  /* One stand-in per option list (host names cmcsim1, cmcsim2, ... unless given), a host library
   * that finds them, and the library open over it with two job threads and these leg and mixer
   * layers (null: the library's own). */
  void Start(const std::vector<std::vector<std::string>>& options, const _VQCMC_ENTITY_HOOKS* pHooks = nullptr);
  /* Bounded waits: a log line seen nCount times; the default callback's notices exactly these. */
  bool Await(const std::string& text, size_t nCount = 1, u32 un32Ms = 20000);
  bool AwaitNotifs(const std::vector<u32>& ids);
  /* The servers the library knows, as VQCmcLibGetCmcServerList fills them. */
  std::vector<_VQCMC_LIB_CMCSERVER_INFO> Servers();
  /* A live stand-in (answering every poll) closed on the host library's keep-alive timeout: true when its error
   * lines (kept in the log) have such a close, which leaves nothing more of a row to see, and a failure unless the
   * machine held the stand-in past the rest of the limit the first one names over the silence it names (the poll
   * period, 2000 ms, and the line's and the samples' grain, 100 ms): the probe's holds and stalls and the time the
   * stand-ins' processes waited to run (the longest). False without such a line. */
  bool ServerClosedByAHold();

  loopnet::LoopbackNets mNet;
  const u16 mun16Host = loopnet::FreeLoopbackPort();
  std::vector<std::unique_ptr<cmcpeer::CmcServerProcess>> mServers;
  std::vector<_VQX_EXTRA_GW_ADDR> mAddr;
  std::vector<u64> mBaseline;
  peerwait::StallProbe mStall;   /* watches each stand-in's process */
  std::string mstrTimeout;       /* the host library's first keep-alive close, when it came */
  std::chrono::steady_clock::time_point mtTimeout{};  /* threads, descriptors, messages, filters before the host library opened */
};

#endif
