// svc_test_support.h - a host library with no transport, a services library
// over it whose callbacks record one line per event ("C svc remote id app
// [ctx]", "D svc remote", "M svc remote msgid"), and protocol messages sent
// to this process as if from a host (they arrive from the local handle).
#ifndef SVC_TEST_SUPPORT_H
#define SVC_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../svclib_proto.h"
#include "vqx_services.h"

/* Polls pred every millisecond for up to 10 s. */
template <typename Pred>
bool WaitFor(Pred pred) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    if (std::chrono::steady_clock::now() > End) return false;
  }
  return true;
}

inline std::string Num(const void* p) { return std::to_string(reinterpret_cast<uintptr_t>(p)); }

/* A service of that id detecting un32Detect, taking message group un32Group. */
inline _VQX_SERVICES_LIB_SERVICE_PARAMS ServiceParams(u32 un32Id, u32 un32Detect, u32 un32Group) {
  _VQX_SERVICES_LIB_SERVICE_PARAMS p{};
  p.Info.un32ServiceId = un32Id;
  p.Info.aun32DetectedRemoteServiceId[0] = un32Detect;
  p.un32NbFilters = 1;
  p.aFilters[0] = {1, VQX_FILTER_MASK_MSG_GROUP, 0, 0, 0, un32Group, 0, 0, 0, 0};
  return p;
}

class SvcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _VQX_LIB_PARAMS lp{};
    lp.un32StructVersion = lp.un32TransportType = lp.fAdaptersGwOff = 1;
    lp.un32TraceLevel = 0x7FFFFFFF;
    lp.pFctErrorCallback = [](void*, VQX_LIB_HANDLE, const char*) {};
    ASSERT_EQ(VQXOpenLib(&lp, &mhHost), VQX_RESULT_API_OK);
    const _VQX_SERVICES_LIB_OPEN_PARAMS op{0, &SvcTest::OnConnected, this, &SvcTest::OnMsg, this, nullptr, nullptr, 0};
    ASSERT_EQ(VQXServicesOpenLib(&op, mhHost, &mhSvc), VQX_RESULT_OK);
  }
  void TearDown() override {
    EXPECT_TRUE(mhSvc == nullptr || VQXServicesCloseLib(mhSvc) == VQX_RESULT_OK);
    VQXCloseLibEx(&mhHost);
  }
  void Inject(u32 un32Id, const std::string& strPayload, u64 un64Uc1 = 0) {
    VQX_MSG_HANDLE h = nullptr;
    ASSERT_EQ(VQXGetMsg(mhHost, static_cast<u32>(strPayload.size()) + 8, &h), VQX_RESULT_API_OK);
    h->un32MsgId = un32Id;
    h->MsgType = VQX_MSG_TYPE_EVENT;
    h->hAdapter = VQX_HOSTLIB_ADAPTER_HANDLE;
    h->un64UserContext1 = un64Uc1;
    h->un32PayloadLength = static_cast<u32>(strPayload.size());
    memcpy(VQXMsgPayload(h), strPayload.data(), strPayload.size());
    ASSERT_EQ(VQXSendMsgEx(mhHost, &h, nullptr), VQX_RESULT_API_OK);
  }
  void InjectList(std::vector<VqxSvcProtoService> a, u64 un64Id = 0x7F00000100000001ull) {
    Inject(VQX_SVC_MSG_ID_LIST, VqxSvcProtoEncodeList({un64Id, std::move(a)}));
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maEvents;
  }
  u32* Register(u32 un32Id = 0x0B0D0100) {
    u32* h = nullptr;
    _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(un32Id, 0x0B0D0200, 0x0B0D);
    EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, this, &h), VQX_RESULT_OK);
    return h;
  }
  bool WaitEvents(size_t n) { return WaitFor([&] { return Events().size() >= n; }); }
  static void OnConnected(void* pv, u32*, u32* hService, void*, u32* hRemote, _VQX_SERVICES_LIB_SERVICE_INFO* pInfo,
                          u32 fConnected) {
    std::string s = (fConnected ? "C " : "D ") + Num(hService) + " " + Num(hRemote);
    if (pInfo != nullptr) {
      char sz[16];
      snprintf(sz, sizeof(sz), " %08X ", pInfo->un32ServiceId);
      s += sz + std::string(pInfo->HostInfo.szApplicationName) + " [" +
           std::string(reinterpret_cast<char*>(pInfo->pbyServiceUserContext), pInfo->un32ServiceUserContextSize) + "]";
    }
    static_cast<SvcTest*>(pv)->Record(s, hService);
  }
  static void OnMsg(void* pv, u32*, u32* hService, void*, u32* hRemote, u32** pphMsg) {
    SvcTest* p = static_cast<SvcTest*>(pv);
    VQX_MSG_HANDLE h = reinterpret_cast<VQX_MSG_HANDLE>(*pphMsg);
    char sz[16];
    snprintf(sz, sizeof(sz), " %08X", h->un32MsgId);
    if (h->un64UserContext1 == 1) p->mhKept = h, *pphMsg = nullptr;  // the application keeps this one
    p->Record("M " + Num(hService) + " " + Num(hRemote) + sz, hService);
  }
  void Record(const std::string& s, u32* hService) {
    std::unique_lock<std::mutex> Lock(mMutex);
    maEvents.push_back(s);
    Lock.unlock();
    if (mOnEvent) mOnEvent(hService, s);
  }

  VQX_LIB_HANDLE mhHost = nullptr;
  VQX_SERVICES_LIB_HANDLE mhSvc = nullptr;
  std::mutex mMutex;
  std::vector<std::string> maEvents;
  std::function<void(u32*, const std::string&)> mOnEvent;
  VQX_MSG_HANDLE mhKept = nullptr;
};

#endif
