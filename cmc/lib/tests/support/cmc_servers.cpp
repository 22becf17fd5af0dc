/* The core library against stand-in servers (see cmc_servers.h). */
#include "support/cmc_servers.h"

#include <cstdio>
#include <cstring>

namespace {

/* The host library's error lines join the log; its first keep-alive close is kept with its time. */
void OnHostError(void* pv, VQX_LIB_HANDLE, const char* pszLine) {
  CmcServersTest* pTest = static_cast<CmcServersTest*>(pv);
  pTest->HostError(pszLine);
}

}  // namespace

void CmcServersTest::HostError(const char* pszLine) {
  std::lock_guard<std::mutex> guard(mMutex);
  mLog.emplace_back(pszLine);
  if (mstrTimeout.empty() && strstr(pszLine, "TCP timeout (") != nullptr)
    mstrTimeout.assign(pszLine, strcspn(pszLine, "\n")), mtTimeout = std::chrono::steady_clock::now();
}

bool CmcServersTest::ServerClosedByAHold() {
  std::string strLine;
  std::chrono::steady_clock::time_point tSeen;
  {
    std::lock_guard<std::mutex> guard(mMutex);
    strLine = mstrTimeout, tSeen = mtTimeout;
  }
  if (strLine.empty()) return false;
  long nSilenceMs = -1, nLimitMs = -1;
  sscanf(strLine.c_str() + strLine.find("TCP timeout ("), "TCP timeout (%ldms > %ldms)", &nSilenceMs, &nLimitMs);
  const auto tEnd = tSeen + std::chrono::milliseconds(100);
  const long nSpanMs = nSilenceMs + VQX_NETWORK_REDUNDANCY_DEFAULT_POLL_DELAY_MS;
  pid_t Longest = -1;
  long nWaitedMs = -1;
  for (const auto& pServer : mServers) {
    const long n = mStall.WaitedMs(pServer->Pid(), tEnd - std::chrono::milliseconds(nSpanMs), tEnd);
    if (n > nWaitedMs) nWaitedMs = n, Longest = pServer->Pid();
  }
  EXPECT_TRUE(peerwait::StallProbe::HeldPast(mStall.PeerHeldMsBefore(Longest, tEnd, nSpanMs), nLimitMs,
                                             VQX_NETWORK_REDUNDANCY_DEFAULT_POLL_DELAY_MS + 100))
      << "a live stand-in closed: " << strLine << "; " << mStall.PeerSeenBefore(Longest, tEnd, nSpanMs);
  return true;
}

void CmcServersTest::Start(const std::vector<std::vector<std::string>>& options, const _VQCMC_ENTITY_HOOKS* pHooks) {
  ASSERT_EQ(VQXCloseLibEx(&mhVqx), VQX_RESULT_API_OK);
  std::vector<u16> ports;
  for (size_t i = 0; i < options.size(); i++) {
    // The core library reads no client payload: plain numbered notifications, command shapes only.
    std::vector<std::string> extra = {"--host-name", "cmcsim" + std::to_string(i + 1), "--plain"};
    extra.insert(extra.end(), options[i].begin(), options[i].end());
    mServers.push_back(std::make_unique<cmcpeer::CmcServerProcess>(0, mun16Host, extra));
    ASSERT_TRUE(mServers.back()->Ready());
    mStall.Watch(mServers.back()->Pid());
    ports.push_back(mServers.back()->UdpPort());
  }
  mBaseline = HeldBy();
  _VQX_LIB_PARAMS params = cmcpeer::HostParams(mun16Host, ports, &mAddr);
  params.pFctErrorCallback = OnHostError;
  params.pvErrorContext = this;
  ASSERT_EQ(VQXOpenLib(&params, &mhVqx), VQX_RESULT_API_OK);
  mfRealPeers = true;
  mpHooks = pHooks;
  ASSERT_EQ(Open(2), VQX_RESULT_OK);
}

bool CmcServersTest::Await(const std::string& text, size_t nCount, u32 un32Ms) {
  return cmcpeer::WaitUntil([&] { return LogCount(text) >= nCount; }, un32Ms);
}

bool CmcServersTest::AwaitNotifs(const std::vector<u32>& ids) {
  return cmcpeer::WaitUntil([&] { return std::lock_guard(mMutex), mNotifs == ids; }, 20000);
}

std::vector<_VQCMC_LIB_CMCSERVER_INFO> CmcServersTest::Servers() {
  std::vector<_VQCMC_LIB_CMCSERVER_INFO> aInfo(8);
  u32 un32Count = static_cast<u32>(aInfo.size());
  if (VQCmcLibGetCmcServerList(mhCmc, &un32Count, aInfo.data()) != VQX_RESULT_OK) un32Count = 0;
  aInfo.resize(un32Count);
  return aInfo;
}
