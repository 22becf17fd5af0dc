/*
 * comm_test_support.h - what the messaging and service tests share: the
 * globals slot filled, a bridge opened with no transport (or with the hosts'
 * transport on a loopback port, for the two-process programs), the log
 * captured, host messages built and sent to this process, and a test object
 * that writes n big-endian words.
 */
#ifndef COMM_TEST_SUPPORT_H
#define COMM_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <mutex>
#include <functional>
#include <string>
#include <vector>

#include "support/vqcaf_test_stream.h"
#include "support/vqcaf_test_support.h"
#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcafmsg.h"
#include "vqcafmsgsigtrace.h"
#include "vqcafservicealmmgmt.h"
#include "vqcafservicedetector.h"
#include "peers/child_process.h"
#include "peers/loopback.h"

namespace vqtest {

/* A stand-in object for the globals slot (the shell owns the real one). */
inline CVQCAFGlobals* FakeGlobals() {
  alignas(16) static char acGlobals[16];
  return reinterpret_cast<CVQCAFGlobals*>(acGlobals);
}

inline std::string Be32(u32 v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

/* A host message: id, payload bytes in use. */
inline VQX_MSG_HANDLE HostMsg(VQX_LIB_HANDLE hLib, u32 un32Id, const std::string& strPayload) {
  VQX_MSG_HANDLE h = nullptr;
  EXPECT_EQ(VQXGetMsg(hLib, static_cast<u32>(strPayload.size()) + 8, &h), VQX_RESULT_API_OK);
  h->un32MsgId = un32Id;
  h->un32PayloadLength = static_cast<u32>(strPayload.size());
  memcpy(VQXMsgPayload(h), strPayload.data(), strPayload.size());
  return h;
}

/* A filter on one message group. */
inline _VQX_FILTER_PARAMS GroupFilter(u16 un16Group) {
  _VQX_FILTER_PARAMS f{};
  f.un32Version = 1;
  f.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
  f.MsgGroup = un16Group;
  return f;
}

/* The two-process programs: a port free on 127.0.0.1. */
inline u16 FreePort() { return loopnet::FreeLoopbackPort(); }
/* Bridge parameters on the hosts' transport: own port, the peer's as extra address on 127.0.0.1. */
inline void LoopbackCommParams(CVQCAFCommParams& P, const char* pszApp, u16 un16Port, u16 un16PeerPort) {
  P.mApplicationName = pszApp;
  P.mun16GwPort = un16Port;
  P.mun32NbExtraGwAddr = 1;
  strcpy(P.maExtraGwAddr[0].szIpAddress0, "127.0.0.1");
  P.maExtraGwAddr[0].un16Port = un16PeerPort;
  P.mfRemoteAddrOnGwPortOnly = 0;
  P.mun32HostLibTraceLevel = 0x7FFFFFFE;
}
/* Globals, bridge on the hosts' transport (own port, the peer's as extra address; fnEdit changes what it will),
 * detector. */
inline void OpenFramework(const char* pszApp, u16 un16Port, u16 un16PeerPort,
                          const std::function<void(CVQCAFCommParams&)>& fnEdit = {}) {
  loopnet::UseLoopbackNets(1);
  SetGlobals(FakeGlobals());
  CVQCAFCommParams P;
  LoopbackCommParams(P, pszApp, un16Port, un16PeerPort);
  if (fnEdit) fnEdit(P);
  ASSERT_EQ(CVQCAFComm::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCAFComm::Start(0, 1), VQX_RESULT_OK);
  ASSERT_EQ(CVQCAFServiceDetector::Init(), VQX_RESULT_OK);
}
inline void CloseFramework() {
  EXPECT_EQ(CVQCAFServiceDetector::Uninit(), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
  SetGlobals(nullptr);
  loopnet::UseLoopbackNets(0);
}

/* A child program (testing/peers/child_process.h). */
using CChild = peerproc::CChild;

/* A framework message of any id whose body is un32Words words i * 0x01010101. */
class CWordsMsg : public CVQCAFMsg {
 public:
  CWordsMsg(u32 un32Id, u32 un32Words) : CVQCAFMsg(un32Id), mun32Words(un32Words) {}
  VQX_RESULT Serialize(CVQCAFSerialize& s) override {
    for (u32 i = 0; i < mun32Words; i++) {
      const VQX_RESULT r = s.Write(i * 0x01010101u);
      if (VQX_RESULT_FAILED(r)) return r;
    }
    return VQX_RESULT_OK;
  }
  VQX_RESULT Unserialize(CVQCAFSerialize& s) override {
    maun32Read.assign(mun32Words, 0);
    for (u32& v : maun32Read) {
      const VQX_RESULT r = s.Read(v);
      if (VQX_RESULT_FAILED(r)) return r;
    }
    return VQX_RESULT_OK;
  }
  u32 SerializeSize() override { return 4 * mun32Words; }
  u32 mun32Words;
  std::vector<u32> maun32Read;
};

/* An instance that records the ids (and sig-trace data bytes) it receives; its callback may take an
 * application lock or stop its service on data. */
class CRecorder : public CVQCAFServiceInstance {
 public:
  void OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) override {
    CVQCAFMutexAutoGetGive Guard(mpLock);
    const u32 un32Id = Msg.GetMsgId();
    mfReadyAtLast = IsReady();
    CVQCAFMsgSigtraceData Data;
    if (un32Id == VQCAF_MSG_SIGTRACE_DATA && !mfStopInside && Msg.UnserializeToMsg(Data, nullptr) == VQX_RESULT_OK) {
      std::lock_guard<std::mutex> Lock(mMutex);
      maData.push_back(Data.mInfo.abyData[0]);
    }
    if (mfStopInside && un32Id == VQCAF_MSG_SIGTRACE_DATA) mStopResult = pService->Stop();
    std::lock_guard<std::mutex> Lock(mMutex);
    maIds.push_back(un32Id);
  }
  std::vector<u32> Ids() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maIds;
  }
  std::mutex mMutex;
  std::vector<u32> maIds;
  std::vector<u8> maData;
  u32 mfReadyAtLast = 0;
  CVQCAFMutex* mpLock = nullptr;
  bool mfStopInside = false;
  std::atomic<VQX_RESULT> mStopResult{0};  /* written by the delivery thread after Stop returns */
};

/* A service on the sig-trace group detecting un32Detects; hands out recorders (or refuses, or reuses one)
 * and keeps what is handed back. */
class CRecordingService : public CVQCAFService {
 public:
  CRecordingService(const char* pszName, u32 un32Id, u32 un32Detects) : CVQCAFService(pszName, nullptr) {
    mParams.mServiceInfo.mun32ServiceId = un32Id;
    mParams.mServiceInfo.maun32DetectedRemoteServiceId[0] = un32Detects;
    mParams.maFilters.push_back(GroupFilter(0x0B0D));
  }
  ~CRecordingService() override { Stop(); }
  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService*, CVQCAFServiceInfo* pInfo) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    mstrConnectedApp = pInfo->mHostInfo.szApplicationName;
    if (mpReuse != nullptr || mfRefuse) return mpReuse;
    maOwned.push_back(std::make_unique<CRecorder>());
    maOwned.back()->mpLock = mpLock;
    maOwned.back()->mfStopInside = mfStopInside;
    return maOwned.back().get();
  }
  void OnServiceDisconnected(CVQCAFService*, CVQCAFServiceInstance* p) override {
    std::lock_guard<std::mutex> Lock(mMutex);
    maHandedBack.push_back(p);
    mfReadyWhenHandedBack = p->IsReady();
  }
  /* The n-th instance handed out (null if none yet) and the count handed back, read under the lock. */
  CRecorder* Side(size_t n) {
    std::lock_guard<std::mutex> Lock(mMutex);
    return n < maOwned.size() ? maOwned[n].get() : nullptr;
  }
  size_t HandedBack() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maHandedBack.size();
  }
  std::mutex mMutex;
  std::vector<std::unique_ptr<CRecorder>> maOwned;
  std::vector<CVQCAFServiceInstance*> maHandedBack;
  CVQCAFServiceInstance* mpReuse = nullptr;
  CVQCAFMutex* mpLock = nullptr;
  bool mfRefuse = false, mfStopInside = false;
  u32 mfReadyWhenHandedBack = 9;
  std::string mstrConnectedApp;
};

/* Records process-management reports: the state, 100 + state for a shutdown report, 200 + the graceful
 * flag for the client's shutdown, 300 for the client's ready; answers heartbeats with mHbResult. */
class CAlmEvents : public IVQCAFServiceAlmMgmt, public IVQCAFServiceAlmMgmtClient {
 public:
  void OnMgmtReady(u32, _VQX_LAUNCH_LIB_PROCESS_STATE State) override { Add(State); }
  void OnMgmtShutdown(u32, _VQX_LAUNCH_LIB_PROCESS_STATE State, u8 fExited, u32 un32Status) override {
    Add(100 + State);
    if (State == VQX_LAUNCH_STATE_DESTROYED) mExit = {fExited, un32Status};
  }
  void OnMgmtReady() override { Add(300); }
  void OnMgmtShutdown(u32 fGraceful) override { Add(200 + fGraceful); }
  u32 OnMgmtHeartBeat() override { return mHbResult; }
  void Add(u32 v) {
    std::lock_guard<std::mutex> L(mMutex);
    ma.push_back(v);
  }
  std::vector<u32> Get() {
    std::lock_guard<std::mutex> L(mMutex);
    return ma;
  }
  bool Has(u32 v) {
    auto a = Get();
    return std::find(a.begin(), a.end(), v) != a.end();
  }
  std::mutex mMutex;
  std::vector<u32> ma;
  std::pair<u32, u32> mExit{9, 9};
  u32 mHbResult = VQX_RESULT_OK;
};

/* The process-management service's launch library, for what the framework does not offer (reading the
 * stored record, the single-process flag). */
struct CLaunchOf : CVQCAFServiceAlmMgmt {
  static VQX_LAUNCH_LIB_HANDLE Get() { return GetInstance()->*&CLaunchOf::mhLaunchLib; }
};

/* Globals set, bridge open (no transport), log captured; all undone at the end. */
class CommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetGlobals(FakeGlobals());
    AddLogTraceListener(&mLog);
    ASSERT_EQ(CVQCAFComm::Init(mParams), VQX_RESULT_OK);
    mhLib = CVQCAFComm::GetHostLibInstance();
  }
  void TearDown() override {
    if (mhLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
    EXPECT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
    RemoveLogTraceListener(&mLog);
    SetGlobals(nullptr);
  }
  /* An event message sent to this process. */
  void Send(u32 un32Id, const std::string& strPayload) {
    VQX_MSG_HANDLE h = HostMsg(mhLib, un32Id, strPayload);
    h->MsgType = VQX_MSG_TYPE_EVENT;
    h->hAdapter = VQX_HOSTLIB_ADAPTER_HANDLE;
    ASSERT_EQ(VQXSendMsgEx(mhLib, &h, nullptr), VQX_RESULT_API_OK);
  }
  /* This host announces one remote service (key, id, the id it detects), or none (services protocol). */
  void Announce(bool fUp, u32 un32Id, u32 un32Detects, u32 un32Key = 1) {
    std::string s = std::string(8, '\0') + Be32(1) + Be32(0x7F000001) + Be32(0x1234) + Be32(fUp ? 1 : 0);
    if (fUp) s += Be32(un32Key) + Be32(un32Id) + Be32(un32Detects) + Be32(0) + Be32(0);
    Send(0x0A5E0001, s);
  }
  /* Messages the host library has handed out and not taken back, read while a probe is held: taking it
   * flushes the releases the library defers, and whichever thread flushes next cannot drop the probe
   * from the count (it is not counted). */
  u32 Allocated() {
    VQX_MSG_HANDLE hProbe = nullptr;
    EXPECT_EQ(VQXGetMsg(mhLib, 8, &hProbe), VQX_RESULT_API_OK);
    _VQX_LIB_STATS s{};
    EXPECT_EQ(VQXLibGetStats(mhLib, &s), VQX_RESULT_API_OK);
    VQXReleaseMsgEx(mhLib, &hProbe);
    return s.CurrentAllocated - 1;
  }
  /* Lines logged so far that contain pszText. */
  size_t Logged(const char* pszText) {
    for (std::string& s : mLog.Texts()) maSeen.push_back(s);
    return std::count_if(maSeen.begin(), maSeen.end(),
                         [&](const std::string& s) { return s.find(pszText) != std::string::npos; });
  }
 public:
  /* The payload bytes in use of a buffer's message. */
  static std::string Payload(CVQCAFMsgBuffer& b) {
    VQX_MSG_HANDLE h = b.GetMsgHandle(0);
    return h == nullptr ? std::string() : std::string(reinterpret_cast<char*>(VQXMsgPayload(h)), h->un32PayloadLength);
  }

 protected:
  CVQCAFCommParams mParams;
  CCaptureListener mLog;
  std::vector<std::string> maSeen;
  VQX_LIB_HANDLE mhLib = nullptr;
};

}  // namespace vqtest

#endif
