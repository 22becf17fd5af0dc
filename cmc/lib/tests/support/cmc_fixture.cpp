/* The core library's shared test fixture (see cmc_fixture.h). */
#include "support/cmc_fixture.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

CmcTest* s_pTest = nullptr;

u32 Clock(void* pv) { return static_cast<CmcTest*>(pv)->mun32Now; }

VQX_RESULT HostInfo(VQX_LIB_HANDLE, u32 hHost, _VQX_HOST_INFO* pInfo) {
  auto it = s_pTest->mPeers.find(hHost);
  if (it == s_pTest->mPeers.end()) return VQX_RESULT_API_NOT_FOUND;
  *pInfo = it->second;
  return VQX_RESULT_API_OK;
}

void OnLog(void* pv, u32, u32, const char* pszFormat, va_list args) {
  CmcTest* pTest = static_cast<CmcTest*>(pv);
  char szLine[512];
  vsnprintf(szLine, sizeof(szLine), pszFormat, args);
  std::lock_guard<std::mutex> guard(pTest->mMutex);
  pTest->mLog.emplace_back(szLine);
}

u64 CountEntries(const char* pszDir) {
  return static_cast<u64>(std::distance(std::filesystem::directory_iterator(pszDir), std::filesystem::directory_iterator()));
}

void OnNotif(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
  CmcTest* pTest = static_cast<CmcTest*>(pv);
  {
    std::lock_guard<std::mutex> guard(pTest->mMutex);
    pTest->mNotifs.push_back((*phMsg)->un32MsgId);
    const u8* p = VQXMsgPayload(*phMsg);
    pTest->mNotifPayloads.emplace_back(p, p + (*phMsg)->un32PayloadLength);
  }
  if (pTest->mOnNotif) pTest->mOnNotif(phMsg);
}

}  // namespace

void CmcTest::SetUp() {
  s_pTest = this;
  _VQX_LIB_PARAMS params{};
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  ASSERT_EQ(VQXOpenLib(&params, &mhVqx), VQX_RESULT_API_OK);
}

VQX_RESULT CmcTest::Open(u32 un32Threads, u32 un32FailStep) {
  _VQCMC_LIB_SEAMS seams{Clock, this, HostInfo, nullptr, 1, un32FailStep, 0, mpHooks};
  if (mfRealPeers) seams = _VQCMC_LIB_SEAMS{nullptr, nullptr, nullptr, nullptr, 0, 0, 0, mpHooks};
  VqCmcLibSetSeams(&seams);
  _VQCMC_LIB_PARAMS p{};
  p.hVqxLib = mhVqx;
  p.Callback.pFctCallback = OnNotif;
  p.Callback.pContext = this;
  p.Threads.un32NbThread = un32Threads;
  p.Log.pFctLog = OnLog;
  p.Log.pContext = this;
  p.un32LibId = 7777;
  p.un32JobsFifoMax = mun32FifoMax;
  if (mTweak) mTweak(p);
  p.aun8RegisterFlags[0] = 1;
  p.aun8RegisterFlags[3] = 9;
  const VQX_RESULT result = VQCmcLibOpen(&p, &mhCmc);
  VqCmcLibSetSeams(nullptr);
  return result;
}

void CmcTest::Close() {
  for (VQX_MSG_HANDLE& h : mLoopBack) VQXReleaseMsgEx(mhVqx, &h);
  mLoopBack.clear();
  EXPECT_TRUE(mhCmc == nullptr || VQCmcLibClose(mhCmc) == VQX_RESULT_OK);
  mhCmc = nullptr;
}

void CmcTest::TearDown() {
  Close();
  /* A failed test shows the library's last lines. */
  for (size_t i = mLog.size() > 300 ? mLog.size() - 300 : 0; HasFailure() && i < mLog.size(); i++) {
    fprintf(stderr, "cmc log: %s", mLog[i].c_str());
  }
  EXPECT_TRUE(mhVqx == nullptr || VQXCloseLibEx(&mhVqx) == VQX_RESULT_API_OK);
  s_pTest = nullptr;
}

void CmcTest::Intake(std::vector<VQX_MSG_HANDLE> aMsgs) {
  std::vector<VQX_MSG_HANDLE> aBatch;
  aBatch.swap(mLoopBack);
  aBatch.insert(aBatch.end(), aMsgs.begin(), aMsgs.end());
  aBatch.resize(std::max<size_t>(aBatch.size(), VQCMC_COALESCING_SLOTS), nullptr);
  u32 un32Count = static_cast<u32>(aBatch.size());
  VqCmcMsgReceived(mhCmc, mhVqx, mhCmc->hFilter, &un32Count, aBatch.data());
  for (u32 i = 0; i < un32Count; i++) {
    VQX_MSG_HANDLE h = aBatch[i];
    if (h->hAdapter == VQCMC_LOCAL_DELIVERY) {
      mLoopBack.push_back(h);
      continue;
    }
    const u8* p = VQXMsgPayload(h);
    mSent.push_back({h->un32MsgId, h->MsgType, h->hAdapter, h->un64UserContext1, h->un64UserContext2,
                     std::vector<u8>(p, p + h->un32PayloadLength)});
    VQXReleaseMsgEx(mhVqx, &h);
  }
}

void CmcTest::Advance(u32 un32Ms) {
  mun32Now += un32Ms;
  Intake();
}

VQX_MSG_HANDLE CmcTest::Msg(u32 un32Id, u32 hSource, u32 un32Type, u32 un32Payload, i32 n32Result) {
  VQX_MSG_HANDLE h = nullptr;
  EXPECT_EQ(VQXGetMsg(mhVqx, std::max(un32Payload, 8u), &h), VQX_RESULT_API_OK);
  h->un32MsgId = un32Id;
  h->MsgType = un32Type;
  h->hAdapter = hSource;
  h->un32PayloadLength = un32Payload;
  memset(VQXMsgPayload(h), 0, un32Payload);
  if (un32Payload >= 32) memcpy(VQXMsgPayload(h) + 28, &n32Result, 4);
  return h;
}

VQX_MSG_HANDLE CmcTest::Whole(u32 un32Id, u32 hSource, i32 n32Result) {
  switch (un32Id) {
    case VQCMC_MSG_CMD_CALL_LEG_CREATE:
      return Msg(un32Id, hSource, VQX_MSG_TYPE_RESPONSE, sizeof(_VQCMC_MSG_CMD_CALL_LEG_CREATE), n32Result);
    case VQCMC_MSG_CMD_MIXER_CREATE:
      return Msg(un32Id, hSource, VQX_MSG_TYPE_RESPONSE, sizeof(_VQCMC_MSG_CMD_MIXER_CREATE), n32Result);
    case VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED:
      return Msg(un32Id, hSource, VQX_MSG_TYPE_EVENT, sizeof(_VQCMC_NOTIF_CALL_LEG_END), n32Result);
    default:
      return Msg(un32Id, hSource, VQX_MSG_TYPE_EVENT, 40, n32Result);
  }
}

VQX_MSG_HANDLE CmcTest::AddServer(u32 hHost, u64 un64Key, const char* pszApp, u64 un64Unique) {
  _VQX_HOST_INFO info{};
  info.un32StructVersion = 1;
  info.hAdapter = hHost;
  info.aun64HostContext[0] = un64Unique;
  snprintf(info.szHostName, sizeof(info.szHostName), "h%X", hHost);
  snprintf(info.szApplicationName, sizeof(info.szApplicationName), "%s", pszApp);
  snprintf(info.szIpAddress0, sizeof(info.szIpAddress0), "127.0.0.1");
  info.un32BuildNumber = hHost + 1;
  info.un64UniqueHostId = un64Key;
  mPeers[hHost] = info;
  VQX_MSG_HANDLE h = Msg(VQCMC_HL_ADAPTER_ADDED, 0xDA000000u, VQX_MSG_TYPE_EVENT, 8 + sizeof(info));
  memcpy(VQXMsgPayload(h) + 8, &info, sizeof(info));
  return h;
}

VQX_MSG_HANDLE CmcTest::Removed(u32 hHost) {
  VQX_MSG_HANDLE h = Msg(VQCMC_HL_ADAPTER_REMOVED, 0xDA000000u, VQX_MSG_TYPE_EVENT, 16 + sizeof(_VQX_HOST_INFO));
  memcpy(VQXMsgPayload(h) + 8, &hHost, 4);
  return h;
}

std::vector<SentMsg> CmcTest::SentOf(u32 un32Id) const {
  std::vector<SentMsg> out;
  for (const SentMsg& s : mSent) {
    if (s.un32Id == un32Id) out.push_back(s);
  }
  return out;
}

size_t CmcTest::LogCount(const std::string& text) const {
  std::lock_guard<std::mutex> guard(mMutex);
  size_t n = 0;
  for (const std::string& line : mLog) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

_VQCMC_HOST_CTX* CmcTest::Host(u32 hHost) {
  for (_VQCMC_HOST_CTX* p = VqCmcHostFirst(mhCmc); p != nullptr; p = VqCmcHostNext(mhCmc, p)) {
    if (p->hHost == hHost) return p;
  }
  return nullptr;
}

_VQCMC_ENTITY_CTX* CmcTest::Leg(u32 un32Id, u32 hHost, PFCT_VQCMC_ENTITY_CALLBACK pFct,
                                PFCT_VQCMC_ENTITY_EVENT_CALLBACK pFctEvent, void* pvContext, u32 un32SerialId) {
  if (Host(hHost) == nullptr) Intake({AddServer(hHost, hHost)});
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  _VQCMC_HOST_CTX* pHost = Host(hHost);
  VqxMutexGet(mhCmc->hThreadSem);
  EXPECT_EQ(VqCmcLibEntityCreate(mhCmc, &pHost, un32Id, 0, &pLeg), VQX_RESULT_OK);
  VqCmcEntitySetKind(mhCmc, pLeg, VQCMC_ENTITY_TYPE_LEG);
  pLeg->Params.un32SerialisationId = un32SerialId != 0 ? un32SerialId : un32Id;
  pLeg->Params.Callback = {pFct, pFctEvent, pvContext};
  VqxMutexGive(mhCmc->hThreadSem);
  return pLeg;
}

_VQCMC_LIB_STATS CmcTest::Stats() {
  _VQCMC_LIB_STATS stats{};
  EXPECT_EQ(VQCmcLibGetStats(mhCmc, &stats), VQX_RESULT_OK);
  return stats;
}

std::vector<u64> CmcTest::HeldBy() const {
  _VQX_LIB_STATS stats{};
  stats.un32StructVersion = 1;
  VQXLibGetStats(mhVqx, &stats);
  return {CountEntries("/proc/self/task"), CountEntries("/proc/self/fd"), stats.CurrentAllocated,
          stats.FilterAlloc - stats.FilterFreed};
}

void CmcTest::ExpectCounters(u32 un32Queued, u32 un32Running, u32 un32Done) {
  const _VQCMC_LIB_STATS s = Stats();
  EXPECT_EQ(s.un32JobsQueued, un32Queued);
  EXPECT_EQ(s.un32JobsRunning, un32Running);
  EXPECT_EQ(s.un32JobsDone, un32Done);
}

std::map<std::string, std::string> CmcGolden(const char* pszFile) {
  std::map<std::string, std::string> rows;
  const char* pszDir = getenv("VQX_TEST_DATA");
  std::ifstream in(std::string(pszDir != nullptr ? pszDir : "tests/data") + "/" + pszFile);
  std::string line;
  while (std::getline(in, line)) {
    const size_t n = line.rfind(": ");
    if (n != std::string::npos) rows[line.substr(0, n)] = line.substr(n + 2);
  }
  return rows;
}

std::string CmcHex(const void* pv, size_t nSize) {
  std::string out;
  for (size_t i = 0; i < nSize; i++) {
    const u8 b = static_cast<const u8*>(pv)[i];
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 15];
  }
  return out;
}
