/*
 * svc_test_support.h - a host library with no transport, a services library
 * over it whose callbacks record what they are told, and injection of
 * protocol messages as if from a host (this process's local handle).
 */
#ifndef SVC_TEST_SUPPORT_H
#define SVC_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../svclib_proto.h"
#include "vqx_services.h"

constexpr u32 kLocal = VQX_HOSTLIB_ADAPTER_HANDLE;

/* Polls pred every millisecond for up to 10 s. */
template <typename Pred>
bool WaitFor(Pred pred) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline _VQX_FILTER_PARAMS GroupFilter(u32 un32Group) {
  _VQX_FILTER_PARAMS f{};
  f.un32Version = 1;
  f.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
  f.MsgGroup = un32Group;
  return f;
}

inline _VQX_SERVICES_LIB_SERVICE_PARAMS ServiceParams(u32 un32Id, u32 un32Detect, u32 un32Group) {
  _VQX_SERVICES_LIB_SERVICE_PARAMS p{};
  p.Info.un32ServiceId = un32Id;
  p.Info.aun32DetectedRemoteServiceId[0] = un32Detect;
  p.un32NbFilters = 1;
  p.aFilters[0] = GroupFilter(un32Group);
  return p;
}

class SvcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _VQX_LIB_PARAMS lp{};
    lp.un32StructVersion = 1;
    lp.un32TransportType = 1;
    lp.fAdaptersGwOff = 1;
    lp.un32TraceLevel = 0x7FFFFFFF;
    lp.pFctErrorCallback = [](void*, VQX_LIB_HANDLE, const char*) {};
    ASSERT_EQ(VQXOpenLib(&lp, &mhHost), VQX_RESULT_API_OK);
    _VQX_SERVICES_LIB_OPEN_PARAMS op{};
    op.pFctRemoteServiceConnected = &SvcTest::OnConnected;
    op.pvRemoteServiceConnectedContext = this;
    op.pFctMsgReceived = &SvcTest::OnMsg;
    op.pvMsgReceivedContext = this;
    ASSERT_EQ(VQXServicesOpenLib(&op, mhHost, &mhSvc), VQX_RESULT_OK);
  }
  void TearDown() override {
    if (mhSvc != nullptr) {
      EXPECT_EQ(VQXServicesCloseLib(mhSvc), VQX_RESULT_OK);
    }
    VQXCloseLibEx(&mhHost);
  }
  /* Sends payload bytes as message un32Id to this process (arrives from the local handle). */
  void Inject(u32 un32Id, const std::string& strPayload, u64 un64Uc1 = 0) {
    VQX_MSG_HANDLE h = nullptr;
    ASSERT_EQ(VQXGetMsg(mhHost, static_cast<u32>(strPayload.size()) + 8, &h), VQX_RESULT_API_OK);
    h->un32MsgId = un32Id;
    h->MsgType = VQX_MSG_TYPE_EVENT;
    h->hAdapter = kLocal;
    h->un64UserContext1 = un64Uc1;
    h->un32PayloadLength = static_cast<u32>(strPayload.size());
    memcpy(VQXMsgPayload(h), strPayload.data(), strPayload.size());
    ASSERT_EQ(VQXSendMsgEx(mhHost, &h, nullptr), VQX_RESULT_API_OK);
  }
  /* A list of (key, id, user context) from the local handle under unique id un64Id. */
  void InjectList(std::vector<VqxSvcProtoService> a, u64 un64Id = 0x7F00000100000001ull) {
    Inject(VQX_SVC_MSG_ID_LIST, VqxSvcProtoEncodeList({un64Id, std::move(a)}));
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> Lock(mMutex);
    return maEvents;
  }
  bool WaitEvents(size_t n) {
    return WaitFor([&] { return Events().size() >= n; });
  }
  /* The remote handle a connect event named, as a number. */
  std::string Remote(u32* h) { return std::to_string(reinterpret_cast<uintptr_t>(h)); }

  static void OnConnected(void* pv, u32*, u32* hService, void*, u32* hRemote, _VQX_SERVICES_LIB_SERVICE_INFO* pInfo,
                          u32 fConnected) {
    SvcTest* p = static_cast<SvcTest*>(pv);
    std::string s = fConnected ? "C " : "D ";
    s += std::to_string(reinterpret_cast<uintptr_t>(hService)) + " " + std::to_string(reinterpret_cast<uintptr_t>(hRemote));
    if (pInfo != nullptr) {
      char sz[192];
      snprintf(sz, sizeof(sz), " %08X %s", pInfo->un32ServiceId, pInfo->HostInfo.szApplicationName);
      s += sz;
      s += " [" + std::string(reinterpret_cast<char*>(pInfo->pbyServiceUserContext), pInfo->un32ServiceUserContextSize) + "]";
    }
    p->Record(s, hService);
  }
  static void OnMsg(void* pv, u32*, u32* hService, void*, u32* hRemote, u32** pphMsg) {
    SvcTest* p = static_cast<SvcTest*>(pv);
    VQX_MSG_HANDLE h = reinterpret_cast<VQX_MSG_HANDLE>(*pphMsg);
    char sz[96];
    snprintf(sz, sizeof(sz), "M %lu %lu %08X", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hService)),
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hRemote)), h->un32MsgId);
    if (h->un64UserContext1 == 1) {  // the application keeps this one
      p->mhKept = h;
      *pphMsg = nullptr;
    }
    p->Record(sz, hService);
  }
  void Record(const std::string& s, u32* hService) {
    {
      std::lock_guard<std::mutex> Lock(mMutex);
      maEvents.push_back(s);
    }
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
