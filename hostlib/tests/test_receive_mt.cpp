/*
 * test_receive_mt.cpp - blocking receive across threads: wake-ups (one, two
 * before a receive), a reader woken by a message, a filter destroyed under a
 * blocked reader, several senders to one reader with nothing lost, wait
 * without taking, callback filters fed by the receive thread (with replies
 * and idle calls), and sends held until the reader next receives.
 * Every wait is bounded.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/hostlib_fixture.h"
#include "vqx_filter_internal.h"

namespace {

constexpr u32 kLocal = 0xDA000001u;
constexpr u32 kIdA = 0x06000001u;
constexpr u32 kIdB = 0x06000002u;

class ReceiveMtTest : public HostLibTest {
 protected:
  VQX_FILTER_HANDLE Filter(u32 un32Id) {
    _VQX_FILTER_PARAMS set{};
    set.un32Version = 1;
    set.un32Mask = VQX_FILTER_MASK_MSG_ID;
    set.MsgId = un32Id;
    VQX_FILTER_HANDLE h = nullptr;
    EXPECT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &h), VQX_RESULT_API_OK);
    return h;
  }
  static VQX_MSG_HANDLE NewMsg(VQX_LIB_HANDLE hLib, u32 un32Id, u64 uc1 = 0) {
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXGetMsg(hLib, 8, &hMsg) != VQX_RESULT_API_OK) return nullptr;
    hMsg->un32MsgId = un32Id;
    hMsg->MsgType = VQX_MSG_TYPE_EVENT;
    hMsg->hAdapter = kLocal;
    hMsg->un32PayloadLength = 8;
    hMsg->un64UserContext1 = uc1;
    return hMsg;
  }
  void Send(u32 un32Id, u64 uc1 = 0) {
    VQX_MSG_HANDLE hMsg = NewMsg(mhLib, un32Id, uc1);
    ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
  }
};

TEST_F(ReceiveMtTest, WakeReleasesABlockedReader) {
  VQX_FILTER_HANDLE h = Filter(kIdA);
  std::atomic<VQX_RESULT> result{0};
  VQX_MSG_HANDLE hGot = nullptr;
  std::thread reader([&] { result = VQXReceiveMsg(mhLib, h, 10000, &hGot); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(hGot, nullptr);
  /* The wake was consumed. */
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, TwoWakesAreConsumedTogether) {
  VQX_FILTER_HANDLE h = Filter(kIdA);
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hGot = nullptr;
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 1000, &hGot), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_TIMEOUT);
  /* A wake does not hide a waiting message. */
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  Send(kIdA);
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_FILTER_AWAKENED);
  u32 n = 9;
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXWaitMsg(mhLib, h, 1000, &n), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, TimeoutWaitsAtLeastItsTime) {
  VQX_FILTER_HANDLE h = Filter(kIdA);
  VQX_MSG_HANDLE hGot = nullptr;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 60, &hGot), VQX_RESULT_API_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(55));
  u32 n = 0;
  EXPECT_EQ(VQXWaitMsg(mhLib, h, 20, &n), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, MessageReleasesABlockedReaderAndWaitDoesNotTake) {
  VQX_FILTER_HANDLE h = Filter(kIdA);
  u32 n = 0;
  std::atomic<VQX_RESULT> waitResult{0};
  std::thread waiter([&] { waitResult = VQXWaitMsg(mhLib, h, 10000, &n); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Send(kIdA, 42);
  waiter.join();
  EXPECT_EQ(waitResult.load(), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 1u);
  VQX_MSG_HANDLE hGot = nullptr;
  std::atomic<VQX_RESULT> result{0};
  std::thread reader([&] { result = VQXReceiveMsg(mhLib, h, 10000, &hGot); });
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_OK);
  ASSERT_NE(hGot, nullptr);
  EXPECT_EQ(hGot->un64UserContext1, 42u);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, FilterDestroyedUnderABlockedReader) {
  VQX_FILTER_HANDLE h = Filter(kIdA);
  std::atomic<VQX_RESULT> result{0};
  VQX_MSG_HANDLE hGot = nullptr;
  std::thread reader([&, hFilter = h] { result = VQXReceiveMsg(mhLib, hFilter, 10000, &hGot); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(ReceiveMtTest, SeveralSendersOneReaderNothingLost) {
  constexpr int kSenders = 4;
  constexpr u64 kPerSender = 5000;
  VQX_FILTER_HANDLE h = Filter(kIdA);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; s++) {
    senders.emplace_back([&, s] {
      for (u64 i = 0; i < kPerSender; i++) {
        VQX_MSG_HANDLE hMsg = NewMsg(mhLib, kIdA, (u64(s) << 32) | i);
        ASSERT_NE(hMsg, nullptr);
        ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
      }
    });
  }
  std::vector<u64> next(kSenders, 0);
  u64 total = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (total < kSenders * kPerSender && std::chrono::steady_clock::now() < deadline) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    const VQX_RESULT r = VQXReceiveMsgMultiple(mhLib, h, 1000, &n, ah);
    if (r != VQX_RESULT_API_OK) continue;
    for (u32 i = 0; i < n; i++) {
      const u32 s = static_cast<u32>(ah[i]->un64UserContext1 >> 32);
      const u64 seq = ah[i]->un64UserContext1 & 0xFFFFFFFFu;
      EXPECT_EQ(seq, next[s]) << "sender " << s; /* per sender, in order */
      next[s] = seq + 1;
      VQXReleaseMsgEx(mhLib, &ah[i]);
    }
    total += n;
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(total, kSenders * kPerSender);
  _VQX_FILTER_STATS stats;
  ASSERT_EQ(VQXLibGetFilterStats(mhLib, h, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.un64MsgQueued, kSenders * kPerSender);
  EXPECT_EQ(stats.fLostMessages, 0u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

struct CallbackState {
  std::atomic<u32> un32Messages{0};
  std::atomic<u32> un32IdleCalls{0};
  std::atomic<u32> un32Calls{0};
};

/* Answers every message with one of id B back to this process. */
void OnMessages(void* pvContext, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  CallbackState* pState = static_cast<CallbackState*>(pvContext);
  pState->un32Calls++;
  if (*pun32Count == 0) pState->un32IdleCalls++;
  pState->un32Messages += *pun32Count;
  for (u32 i = 0; i < *pun32Count; i++) {
    pahMsg[i]->un32MsgId = kIdB;
    pahMsg[i]->hAdapter = kLocal;
  }
}

TEST_F(ReceiveMtTest, CallbackFilterRepliesThroughTheReceiveThread) {
  VQX_FILTER_HANDLE hCb = Filter(kIdA);
  VQX_FILTER_HANDLE hReplies = Filter(kIdB);
  CallbackState state;
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = OnMessages;
  cb.pvFilterMsgReceivedContext = &state;
  cb.un32FilterMaxMsgPerCallback = 4;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hCb, 0, nullptr, &cb), VQX_RESULT_API_OK);
  for (u64 i = 0; i < 10; i++) Send(kIdA, i);
  u32 un32Replies = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (un32Replies < 10 && std::chrono::steady_clock::now() < deadline) {
    VQX_MSG_HANDLE hGot = nullptr;
    if (VQXReceiveMsg(mhLib, hReplies, 500, &hGot) != VQX_RESULT_API_OK) continue;
    EXPECT_EQ(hGot->un64UserContext1, un32Replies); /* replies keep the order */
    VQXReleaseMsgEx(mhLib, &hGot);
    un32Replies++;
  }
  EXPECT_EQ(un32Replies, 10u);
  EXPECT_EQ(state.un32Messages.load(), 10u);
  EXPECT_GE(state.un32Calls.load(), 3u); /* at most 4 per call */
  EXPECT_EQ(state.un32IdleCalls.load(), 0u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hCb), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hReplies), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, CallbackFilterIdleCallsAndDestroyWhileServed) {
  VQX_FILTER_HANDLE hCb = Filter(kIdA);
  CallbackState state;
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = OnMessages;
  cb.pvFilterMsgReceivedContext = &state;
  cb.un32FilterMaxMsgPerCallback = 1;
  cb.un32PostingDelayMs = 20;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hCb, 0, nullptr, &cb), VQX_RESULT_API_OK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (state.un32IdleCalls.load() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(state.un32IdleCalls.load(), 3u);
  /* Destroying waits for a callback in progress; no call comes after it. */
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hCb), VQX_RESULT_API_OK);
  const u32 un32After = state.un32Calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(state.un32Calls.load(), un32After);
}

TEST_F(ReceiveMtTest, HeldSendGoesWhenTheReaderReceives) {
  VQX_FILTER_HANDLE hOwner = Filter(kIdA);
  VQX_FILTER_HANDLE hPeer = Filter(kIdB);
  VQX_MSG_HANDLE hGot = nullptr;
  /* Not coalescing yet (no reader known): sent at once. */
  VQX_MSG_HANDLE hMsg = NewMsg(mhLib, kIdB);
  _VQX_SEND_MSG2_PARAMS params{nullptr, hOwner};
  ASSERT_EQ(VQXSendMsg2Ex(mhLib, &hMsg, &params), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXReceiveMsg(mhLib, hPeer, 0, &hGot), VQX_RESULT_API_OK);
  VQXReleaseMsgEx(mhLib, &hGot);
  /* The owner's thread becomes known by a receive with a time-out. */
  EXPECT_EQ(VQXReceiveMsg(mhLib, hOwner, 1, &hGot), VQX_RESULT_API_TIMEOUT);
  hMsg = NewMsg(mhLib, kIdB);
  ASSERT_EQ(VQXSendMsg2Ex(mhLib, &hMsg, &params), VQX_RESULT_OK);
  EXPECT_EQ(hMsg, nullptr);
  EXPECT_EQ(VQXReceiveMsg(mhLib, hPeer, 0, &hGot), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(VQXReceiveMsg(mhLib, hOwner, 0, &hGot), VQX_RESULT_API_TIMEOUT);
  ASSERT_EQ(VQXReceiveMsg(mhLib, hPeer, 0, &hGot), VQX_RESULT_API_OK);
  VQXReleaseMsgEx(mhLib, &hGot);
  /* Both parameters at once are refused, and the message is not lost silently. */
  VQX_FILTER_HANDLE hImplicit = nullptr;
  _VQX_SEND_MSG2_PARAMS both{&hImplicit, hOwner};
  hMsg = NewMsg(mhLib, kIdB);
  EXPECT_EQ(VQXSendMsg2Ex(mhLib, &hMsg, &both), VQX_RESULT_API_INVALID_PARAM);
  EXPECT_EQ(hMsg, nullptr);
  EXPECT_TRUE(mLog.WaitFor("Can't use both phImplicitFilter and hCoalescingFilter at the same time"));
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hOwner), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hPeer), VQX_RESULT_API_OK);
}

}  // namespace

namespace {

class BatchMtTest : public HostLibTest {};

TEST_F(BatchMtTest, BlockedReadersWokenAtTheEndOfABatch) {
  constexpr int kFilters = 3;
  VQX_FILTER_HANDLE ah[kFilters];
  for (int i = 0; i < kFilters; i++) {
    _VQX_FILTER_PARAMS set{};
    set.un32Mask = VQX_FILTER_MASK_USER_CONTEXT1;
    set.un64UserContext1 = static_cast<u64>(i + 1);
    ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &set, &ah[i]), VQX_RESULT_API_OK);
  }
  std::atomic<int> got{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kFilters; i++) {
    readers.emplace_back([&, i] {
      VQX_MSG_HANDLE hMsg = nullptr;
      if (VQXReceiveMsg(mhLib, ah[i], 10000, &hMsg) == VQX_RESULT_API_OK) {
        got++;
        VQXReleaseMsgEx(mhLib, &hMsg);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  VQX_BATCH_CONTEXT batch{};
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  for (int i = 0; i < kFilters; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXGetMsg(mhLib, 8, &hMsg), VQX_RESULT_API_OK);
    hMsg->un32MsgId = 0x06000001u;
    hMsg->MsgType = VQX_MSG_TYPE_EVENT;
    hMsg->un64UserContext1 = static_cast<u64>(i + 1);
    EXPECT_TRUE(VqxMsgDispatchLocal(mhLib, hMsg, 0, &batch));
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(batch.un32NbToWake, static_cast<u32>(kFilters));
  VqxBatchWake(mhLib, &batch);
  for (auto& t : readers) t.join();
  EXPECT_EQ(got.load(), kFilters);
  for (auto& h : ah) EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

}  // namespace

namespace {

class ChurnMtTest : public HostLibTest {};

/* Filters made and destroyed while messages flow to them and to a steady reader: nothing lost for the reader. */
TEST_F(ChurnMtTest, FiltersComeAndGoWhileMessagesFlow) {
  constexpr u32 kMessages = 4000;
  _VQX_FILTER_PARAMS steady{};
  steady.un32Mask = VQX_FILTER_MASK_MSG_ID;
  steady.MsgId = 0x06000001u;
  VQX_FILTER_HANDLE hSteady = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 1, &steady, &hSteady), VQX_RESULT_API_OK);
  std::atomic<bool> fDone{false};
  std::thread churn([&] {
    for (u32 i = 0; i < 2000 && !fDone.load(); i++) {
      _VQX_FILTER_PARAMS sets[2] = {};
      sets[0].un32Mask = VQX_FILTER_MASK_MSG_GROUP | (i % 2 ? VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2 : 0u);
      sets[0].MsgGroup = 0x0600;
      sets[0].un64UserContext2 = 1000 + i;
      sets[1].un32Mask = VQX_FILTER_MASK_USER_CONTEXT1 | VQX_FILTER_MASK_NEGATIVE;
      sets[1].un64UserContext1 = 7;
      VQX_FILTER_HANDLE h = nullptr;
      if (VQXCreateMsgFilterEx(mhLib, 2, sets, &h) != VQX_RESULT_API_OK) continue;
      VQX_MSG_HANDLE hMsg = nullptr;
      VQXReceiveMsg(mhLib, h, 0, &hMsg);
      if (hMsg != nullptr) VQXReleaseMsgEx(mhLib, &hMsg);
      VQXDestroyMsgFilterEx(mhLib, &h);
    }
  });
  std::thread sender([&] {
    for (u32 i = 0; i < kMessages; i++) {
      VQX_MSG_HANDLE hMsg = nullptr;
      ASSERT_EQ(VQXGetMsg(mhLib, 8, &hMsg), VQX_RESULT_API_OK);
      hMsg->un32MsgId = 0x06000001u;
      hMsg->MsgType = VQX_MSG_TYPE_EVENT;
      hMsg->hAdapter = 0xDA000001u;
      hMsg->un64UserContext1 = i;
      ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
    }
  });
  u32 un32Got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (un32Got < kMessages && std::chrono::steady_clock::now() < deadline) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    if (VQXReceiveMsgMultiple(mhLib, hSteady, 500, &n, ah) != VQX_RESULT_API_OK) continue;
    for (u32 i = 0; i < n; i++) VQXReleaseMsgEx(mhLib, &ah[i]);
    un32Got += n;
  }
  sender.join();
  fDone = true;
  churn.join();
  EXPECT_EQ(un32Got, kMessages);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hSteady), VQX_RESULT_API_OK);
  _VQX_LIB_STATS stats;
  ASSERT_EQ(VQXLibGetStats(mhLib, &stats), VQX_RESULT_API_OK);
  EXPECT_EQ(stats.FilterOwned, 0u);
  EXPECT_EQ(stats.FilterAlloc, stats.FilterFreed);
}

}  // namespace
