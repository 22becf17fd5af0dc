/*
 * cmc_servers.h - the core library over a real host library on 127.0.0.1
 * with stand-in servers (testing/cmcsim, python3 children): start them, open
 * both libraries, wait for log lines and default-callback notices, count the
 * servers the library knows.
 */
#ifndef CMC_SERVERS_H
#define CMC_SERVERS_H

#include <memory>
#include <string>
#include <vector>

#include "peers/cmcsim_process.h"
#include "support/cmc_fixture.h"

class CmcServersTest : public CmcTest {
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

  loopnet::LoopbackNets mNet;
  const u16 mun16Host = loopnet::FreeLoopbackPort();
  std::vector<std::unique_ptr<cmcpeer::CmcServerProcess>> mServers;
  std::vector<_VQX_EXTRA_GW_ADDR> mAddr;
  std::vector<u64> mBaseline;  /* threads, descriptors, messages, filters before the host library opened */
};

#endif
