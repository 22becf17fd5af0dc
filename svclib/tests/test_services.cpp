/*
 * test_services.cpp - the services library in one process, remote hosts
 * played by protocol messages sent to this process: links made and ended by
 * lists, callbacks in order (connect, messages, disconnect), unregister
 * delivering disconnections, refusals and message ownership.
 */
#include <sstream>

#include "svc_test_support.h"

namespace {

constexpr u32 kProvider = 0x0B0D0200, kServer = 0x0B0D0100;

/* Word n (from 0) of an event line. */
std::string Word(const std::string& s, int n) {
  std::istringstream In(s);
  std::string w;
  for (int i = 0; i <= n; i++) In >> w;
  return w;
}

TEST_F(SvcTest, ListsLinkAndUnlinkInOrder) {
  u32* hS = nullptr;
  _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(kServer, kProvider, 0x0B0D);
  ASSERT_EQ(VQXServicesServiceRegister(mhSvc, &sp, this, &hS), VQX_RESULT_OK);
  const std::string S = std::to_string(reinterpret_cast<uintptr_t>(hS));
  InjectList({{7, kProvider, {0, 0}, "ctx"}, {8, 0x0B0D0999, {0, 0}, ""}});
  ASSERT_TRUE(WaitEvents(1));
  const std::string R1 = Word(Events()[0], 2);
  Inject(0x0B0D0400, "data");
  Inject(0x0B0E0400, "not for the service");
  InjectList({{7, kProvider, {0, 0}, "ctx2"}});  // changed: a new remote, a new handle
  InjectList({});
  ASSERT_TRUE(WaitEvents(5));
  const std::vector<std::string> a = Events();
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[0].substr(0, 2), "C ");
  EXPECT_NE(a[0].find(" 0B0D0200 "), std::string::npos);
  EXPECT_NE(a[0].find("[ctx]"), std::string::npos);
  EXPECT_EQ(a[1], "M " + S + " " + R1 + " 0B0D0400");
  EXPECT_EQ(a[2], "D " + S + " " + R1);
  EXPECT_EQ(a[3].substr(0, 2), "C ");
  EXPECT_NE(Word(a[3], 2), R1) << "handles are never reused";
  EXPECT_NE(a[3].find("[ctx2]"), std::string::npos);
  EXPECT_EQ(a[4].substr(0, 2), "D ");
}

TEST_F(SvcTest, UnregisterDeliversDisconnectionsAndNothingAfter) {
  InjectList({{1, kProvider, {0, 0}, ""}});
  u32* hS = nullptr;
  _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(kServer, kProvider, 0x0B0D);
  ASSERT_EQ(VQXServicesServiceRegister(mhSvc, &sp, this, &hS), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEvents(1)) << "a remote known before registration is linked at registration";
  std::thread::id Disconnected;
  mOnEvent = [&](u32*, const std::string& strEvent) {
    if (strEvent[0] == 'D') Disconnected = std::this_thread::get_id();
  };
  Inject(0x0B0D0400, "x", 1);  // kept by the application
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_EQ(VQXServicesServiceUnregister(mhSvc, hS), VQX_RESULT_OK);
  EXPECT_EQ(Disconnected, std::this_thread::get_id()) << "delivered on the unregistering thread";
  ASSERT_EQ(Events().size(), 3u);
  EXPECT_EQ(Events()[2][0], 'D');
  Inject(0x0B0D0400, "late");
  InjectList({});
  EXPECT_EQ(VQXServicesServiceUnregister(mhSvc, hS), VQX_RESULT_INVALID_HANDLE);
  ASSERT_NE(mhKept, nullptr);
  EXPECT_EQ(VQXReleaseMsgEx(mhHost, &mhKept), VQX_RESULT_OK) << "a message the callback keeps is its own";
  EXPECT_EQ(VQXServicesCloseLib(mhSvc), VQX_RESULT_OK);
  mhSvc = nullptr;
  EXPECT_EQ(Events().size(), 3u) << "nothing after the disconnection";
}

TEST_F(SvcTest, UnregisterInsideItsOwnCallbackDoesNotWaitForItself) {
  u32* hS = nullptr;
  _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(kServer, kProvider, 0x0B0D);
  ASSERT_EQ(VQXServicesServiceRegister(mhSvc, &sp, this, &hS), VQX_RESULT_OK);
  std::atomic<u32> un32Result{0};
  mOnEvent = [&](u32* h, const std::string& strEvent) {
    if (strEvent[0] == 'M') un32Result = VQXServicesServiceUnregister(mhSvc, h);
  };
  InjectList({{1, kProvider, {0, 0}, ""}});
  Inject(0x0B0D0400, "stop now");
  ASSERT_TRUE(WaitFor([&] { return un32Result.load() != 0; }));
  EXPECT_EQ(un32Result.load(), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEvents(3));
  EXPECT_EQ(Events()[2][0], 'D');
}

TEST_F(SvcTest, RefusalsAndMessageOwnership) {
  u32* h = nullptr;
  _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(0x0B0D0100, 0, 0x0B0D);
  ASSERT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h), VQX_RESULT_OK);
  u32* h2 = reinterpret_cast<u32*>(1);
  EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h2), VQX_RESULT_ACCESS_DENIED);
  EXPECT_EQ(h2, nullptr);
  sp.un32NbFilters = 9;
  sp.Info.un32ServiceId = 2;
  EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h2), VQX_RESULT_INVALID_PARAM);
  sp.un32NbFilters = 1;
  sp.Info.un32ServiceUserContextSize = 4;
  EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h2), VQX_RESULT_INVALID_PARAM);
  sp.Info.un32ServiceUserContextSize = 0;
  for (u32 i = 0; i < 15; i++) {
    sp.Info.un32ServiceId = 100 + i;
    ASSERT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h2), VQX_RESULT_OK) << i;
  }
  sp.Info.un32ServiceId = 200;
  EXPECT_EQ(VQXServicesServiceRegister(mhSvc, &sp, nullptr, &h2), VQX_RESULT_OUT_OF_RESOURCE) << "16 by default";

  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsg(mhHost, 8, &hMsg), VQX_RESULT_API_OK);
  hMsg->un32MsgId = 0x0B0D0300;
  u32* pMsg = reinterpret_cast<u32*>(hMsg);
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, nullptr, &pMsg, 0), VQX_RESULT_INVALID_HANDLE);
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, reinterpret_cast<u32*>(999), &pMsg, 0), VQX_RESULT_INVALID_HANDLE);
  ASSERT_NE(pMsg, nullptr) << "early refusals leave the message with the caller";
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, nullptr, &pMsg, 1), VQX_RESULT_OK) << "a broadcast with no host";
  EXPECT_EQ(pMsg, nullptr) << "a send attempt takes it";
  EXPECT_EQ(VQXServicesServiceSendMsg(mhSvc, nullptr, &pMsg, 1), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXServicesServiceUnregister(nullptr, h), VQX_RESULT_INVALID_HANDLE);
}

TEST(SvcOpen, Refusals) {
  _VQX_SERVICES_LIB_OPEN_PARAMS op{};
  VQX_SERVICES_LIB_HANDLE h = reinterpret_cast<VQX_SERVICES_LIB_HANDLE>(1);
  EXPECT_EQ(VQXServicesOpenLib(nullptr, nullptr, &h), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXServicesOpenLib(&op, nullptr, &h), VQX_RESULT_INVALID_HANDLE);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(VQXServicesOpenLib(&op, reinterpret_cast<VQX_LIB_HANDLE>(8), &h), VQX_RESULT_NOT_SUPPORTED);
  EXPECT_EQ(VQXServicesCloseLib(nullptr), VQX_RESULT_INVALID_HANDLE);
}

}  // namespace
