/*
 * test_dbg.cpp - the verifying entry points: version checks at open, one
 * registered library per process, double release, unknown handles, the
 * leak report with the file and line of what was never given
 * back, and the twins waiting for messages let out by the close.
 */

#include <string.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "support/hostlib_fixture.h"
#include "filter/vqx_filter_internal.h"

namespace {

constexpr u32 kLocal = 0xDA000001u;
constexpr u32 kUserId = 0x06000020u;

/* The library opened and closed through the verifying entry points. */
class DbgTest : public HostLibTest {
 protected:
  void SetUp() override {
    mParams = HostLibTestParams(&mLog);
    ASSERT_EQ(VQXOpenLibDbg(&mParams, &mhLib, VQX_HOSTLIB_RELEASE_TAG, VQX_HOSTLIB_BUILD_NUMBER, __FILE__, __LINE__),
              VQX_RESULT_API_OK);
  }
  void TearDown() override {
    if (mhLib != nullptr) { EXPECT_EQ(VQXCloseLibDbg(&mhLib, __FILE__, __LINE__), VQX_RESULT_API_OK); }
  }
  VQX_FILTER_HANDLE UserFilter(int line) {
    _VQX_FILTER_PARAMS set = FilterSet(VQX_FILTER_MASK_MSG_ID, kUserId);
    VQX_FILTER_HANDLE h = nullptr;
    EXPECT_EQ(VQXCreateMsgFilterDbg(mhLib, 1, &set, &h, "creator.cpp", static_cast<u32>(line)), VQX_RESULT_API_OK);
    return h;
  }
  VQX_MSG_HANDLE UserMsg(const char* pszFile, int line) {
    VQX_MSG_HANDLE hMsg = nullptr;
    EXPECT_EQ(VQXGetMsgDbg(mhLib, 16, &hMsg, pszFile, static_cast<u32>(line)), VQX_RESULT_API_OK);
    hMsg->un32MsgId = kUserId;
    hMsg->MsgType = VQX_MSG_TYPE_EVENT;
    hMsg->hAdapter = kLocal;
    hMsg->un32PayloadLength = 16;
    return hMsg;
  }
};

TEST(DbgOpen, VersionMismatchesAreRefused) {
  CapturedLog log;
  _VQX_LIB_PARAMS params = HostLibTestParams(&log);
  VQX_LIB_HANDLE hLib = reinterpret_cast<VQX_LIB_HANDLE>(1);
  EXPECT_EQ(VQXOpenLibDbg(&params, &hLib, VQX_HOSTLIB_RELEASE_TAG, 0x02070B05u, "app.cpp", 3), VQX_RESULT_API_MISMATCH);
  EXPECT_EQ(hLib, nullptr);
  EXPECT_EQ(VQXOpenLibDbg(&params, &hLib, "another-release-tag-x", VQX_HOSTLIB_BUILD_NUMBER, "app.cpp", 4),
            VQX_RESULT_API_MISMATCH);
  EXPECT_EQ(hLib, nullptr);
  EXPECT_EQ(VQXOpenLibDbg(&params, &hLib, nullptr, VQX_HOSTLIB_BUILD_NUMBER, "app.cpp", 5), VQX_RESULT_API_MISMATCH);
}

TEST_F(DbgTest, SecondVerifyingOpenFailsAndClosesItsLibrary) {
  CapturedLog log;
  _VQX_LIB_PARAMS params = HostLibTestParams(&log);
  VQX_LIB_HANDLE hSecond = nullptr;
  const std::set<std::string> threadsBefore = ProcessThreadIds();
  EXPECT_EQ(VQXOpenLibDbg(&params, &hSecond, VQX_HOSTLIB_RELEASE_TAG, VQX_HOSTLIB_BUILD_NUMBER, "app.cpp", 9),
            VQX_RESULT_API_FAIL);
  EXPECT_EQ(hSecond, nullptr);
  EXPECT_EQ(ThreadsLeftSince(threadsBefore), 0u);
  /* The first one still works. */
  VQX_MSG_HANDLE hMsg = UserMsg("a.cpp", 1);
  EXPECT_EQ(VQXReleaseMsgDbg(mhLib, &hMsg, "a.cpp", 2), VQX_RESULT_OK);
}

TEST_F(DbgTest, DoubleReleaseIsRefusedWithTheAddress) {
  VQX_MSG_HANDLE hMsg = UserMsg("a.cpp", 10);
  VQX_MSG_HANDLE hCopy = hMsg;
  ASSERT_EQ(VQXReleaseMsgDbg(mhLib, &hMsg, "a.cpp", 11), VQX_RESULT_OK);
  EXPECT_EQ(hMsg, nullptr);
  EXPECT_EQ(VQXReleaseMsgDbg(mhLib, &hCopy, "a.cpp", 12), VQX_RESULT_API_INVALID_MSG_HANDLE);
  char szDetail[64];
  snprintf(szDetail, sizeof(szDetail), "(0x%08lX)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hCopy)));
  const std::string expected = std::string("a.cpp:12> VqxReleaseMsgDbg: ");
  ASSERT_TRUE(mLog.WaitFor(expected.c_str()));
  EXPECT_EQ(mLog.Count(szDetail), 1u);
}

TEST_F(DbgTest, LeakReportNamesFileAndLine) {
  VQX_FILTER_HANDLE h = UserFilter(40);
  VQX_MSG_HANDLE hLeak = UserMsg("leaky.cpp", 123);
  hLeak->un64UserContext1 = 0xABCDull;
  VQX_MSG_HANDLE hSent = UserMsg("sender.cpp", 5);
  ASSERT_EQ(VQXSendMsgDbg(mhLib, &hSent, nullptr, "sender.cpp", 6), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hGot = nullptr;
  ASSERT_EQ(VQXReceiveMsgDbg(mhLib, h, 0, &hGot, "reader.cpp", 77), VQX_RESULT_API_OK);
  /* An awaited-response filter is tracked where its request was sent. */
  VQX_MSG_HANDLE hReq = UserMsg("asker.cpp", 1);
  hReq->MsgType = VQX_MSG_TYPE_REQUEST;
  VQX_FILTER_HANDLE hImplicit = nullptr;
  ASSERT_EQ(VQXSendMsgDbg(mhLib, &hReq, &hImplicit, "asker.cpp", 2), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXPrintLeakDbg(mhLib), VQX_RESULT_API_OK);
  ASSERT_TRUE(mLog.WaitFor("end VQX_DEBUG_API dump"));
  /* Each block names where its item was taken; a sent message is no longer the application's. */
  ExpectGolden(mLog.Text("VQX_DEBUG_API ****"), "dbg_leak_report.txt");
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.DebugHashItems, 4u) << "the held message, the received one and two filters";
  EXPECT_EQ(VQXDestroyMsgFilterDbg(mhLib, &hImplicit, "asker.cpp", 3), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXReleaseMsgDbg(mhLib, &hGot, "reader.cpp", 78), VQX_RESULT_OK);
  EXPECT_EQ(VQXReleaseMsgDbg(mhLib, &hLeak, "leaky.cpp", 124), VQX_RESULT_OK);
  EXPECT_EQ(VQXDestroyMsgFilterDbg(mhLib, &h, "creator.cpp", 41), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.DebugHashItems, 0u);
}

TEST_F(DbgTest, TrackedMessageCarriesItsMarksAndAnUntrackedOneIsUnknown) {
  VQX_MSG_HANDLE hTracked = UserMsg("t.cpp", 1);
  EXPECT_EQ(memcmp(reinterpret_cast<const u8*>(hTracked) + 40, "HMSG", 4), 0) << "the four bytes at offset 40";
  EXPECT_EQ(hTracked->un32TrackMark, 0xDB00DB00u);
  EXPECT_EQ(VQXTestMsgDbg(mhLib, hTracked), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXTestMsgEx(mhLib, hTracked, 0, 0), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hPlain = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 8, &hPlain), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXTestMsgDbg(mhLib, hPlain), VQX_RESULT_API_INVALID_MSG_HANDLE);
  EXPECT_TRUE(mLog.WaitFor("Unknown message handle"));
  EXPECT_EQ(VQXReleaseMsgDbg(mhLib, &hTracked, "t.cpp", 2), VQX_RESULT_OK);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hPlain), VQX_RESULT_OK);
}

TEST_F(DbgTest, MultipleSendsDropUnknownMessagesAndTrackWhatIsReceived) {
  VQX_FILTER_HANDLE h = UserFilter(80);
  VQX_MSG_HANDLE hGone = UserMsg("multi.cpp", 1);
  VQX_MSG_HANDLE hGoneCopy = hGone;
  ASSERT_EQ(VQXReleaseMsgDbg(mhLib, &hGone, "multi.cpp", 2), VQX_RESULT_OK);
  VQX_MSG_HANDLE ahSend[3] = {UserMsg("multi.cpp", 3), hGoneCopy, UserMsg("multi.cpp", 4)};
  EXPECT_EQ(VQXSendMsgMultipleDbg(mhLib, 3, ahSend, "multi.cpp", 5), VQX_RESULT_OK);
  for (VQX_MSG_HANDLE hEntry : ahSend) EXPECT_EQ(hEntry, nullptr);
  EXPECT_TRUE(mLog.WaitFor("multi.cpp:5> VQXSendMsgMultipleDbg: invalid message 0x"));
  /* One more through the combined call; three arrive, each tracked where it was received. */
  VQX_MSG_HANDLE ahMore[1] = {UserMsg("multi.cpp", 6)};
  VQX_MSG_HANDLE ahGot[8] = {};
  u32 n = 8;
  ASSERT_EQ(VQXSendReceiveMsgMultipleDbg(mhLib, 1, ahMore, h, 1000, &n, ahGot, "multi.cpp", 7), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(VQXPrintLeakDbg(mhLib), VQX_RESULT_API_OK);
  ASSERT_TRUE(mLog.WaitFor("end VQX_DEBUG_API dump"));
  EXPECT_EQ(mLog.Count("multi.cpp:7\n"), 3u);
  for (u32 i = 0; i < n; i++) EXPECT_EQ(VQXReleaseMsgDbg(mhLib, &ahGot[i], "multi.cpp", 8), VQX_RESULT_OK);
}


/*
 * A twin waiting for messages when the verifying close runs is let out first: 0x82010208 with its line, and nothing
 * of the library or of the table is used after they went (the ci build's address checker).
 */
TEST_F(DbgTest, TwinsWaitingForMessagesAreLetOutByTheClose) {
  const struct {
    const char* pszTwin;
    std::function<VQX_RESULT(VQX_LIB_HANDLE, VQX_FILTER_HANDLE)> Call;
  } rows[] = {
      {"VQXReceiveMsgDbg",
       [](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE h) {
         VQX_MSG_HANDLE hGot = nullptr;
         return VQXReceiveMsgDbg(hLib, h, VQX_TIMEOUT_INFINITE, &hGot, "reader.cpp", 1);
       }},
      {"VQXReceiveMsgMultipleDbg",
       [](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE h) {
         VQX_MSG_HANDLE ahGot[VQX_RECEIVE_MULTIPLE_MAX] = {};
         u32 n = 0;
         return VQXReceiveMsgMultipleDbg(hLib, h, 600000, &n, ahGot, "reader.cpp", 2);
       }},
      {"VQXSendReceiveMsgMultipleDbg",
       [](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE h) {
         VQX_MSG_HANDLE ahGot[4] = {};
         u32 n = 4;
         return VQXSendReceiveMsgMultipleDbg(hLib, 0, nullptr, h, VQX_TIMEOUT_INFINITE, &n, ahGot, "reader.cpp", 3);
       }},
      {"VQXWaitMsgDbg",
       [](VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE h) {
         u32 n = 9;
         return VQXWaitMsgDbg(hLib, h, VQX_TIMEOUT_INFINITE, &n, "reader.cpp", 4);
       }},
  };
  constexpr u32 kReaders = 8; /* several, so that one of them is still busy as the close goes on */
  int line = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pszTwin);
    if (mhLib == nullptr) SetUp();
    const VQX_FILTER_HANDLE h = UserFilter(__LINE__);
    const VQX_LIB_HANDLE hLib = mhLib;
    std::atomic<VQX_RESULT> aResult[kReaders] = {};
    std::vector<std::unique_ptr<peerwait::BoundedThread>> readers;
    for (u32 i = 0; i < kReaders; i++) {
      readers.push_back(std::make_unique<peerwait::BoundedThread>([&, i] { aResult[i] = r.Call(hLib, h); }));
    }
    ASSERT_TRUE(WaitBlocked(h, kReaders));
    EXPECT_EQ(VQXCloseLibDbg(&mhLib, __FILE__, __LINE__), VQX_RESULT_API_OK);
    for (u32 i = 0; i < kReaders; i++) {
      ASSERT_TRUE(readers[i]->JoinWithin(10000)) << "the close let it out";
      EXPECT_EQ(aResult[i].load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
    }
    const std::string text =
        "reader.cpp:" + std::to_string(++line) + "> " + r.pszTwin + ": VQX_RESULT_API_INVALID_FIL_HANDLE";
    EXPECT_EQ(mLog.Count(text.c_str()), kReaders) << text;
  }
}

}  // namespace
