/*
 * test_receive_mt.cpp - blocking receive across threads: wake-ups, a reader
 * released by a message or by the destroy of its filter, several senders to
 * one reader with nothing lost, callback filters fed by the receive thread
 * (replies, idle calls, destroy while served), sends held until the reader
 * next receives, readers woken at the end of a batch, and filters coming and
 * going while messages flow. Every wait is bounded.
 */
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
  VQX_FILTER_HANDLE Id(u32 un32Id) { return Filter({FilterSet(VQX_FILTER_MASK_MSG_ID, un32Id)}); }
  /* Starts a reader blocked on the filter (10 s at most); its result lands in *pResult. */
  std::thread BlockedReader(VQX_FILTER_HANDLE h, std::atomic<VQX_RESULT>* pResult, VQX_MSG_HANDLE* phGot) {
    std::thread t([=, this] { *pResult = VQXReceiveMsg(mhLib, h, 10000, phGot); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); /* lets it block; each outcome is right anyway */
    return t;
  }
};

TEST_F(ReceiveMtTest, WakesReleaseReadersAndAreConsumedTogether) {
  VQX_FILTER_HANDLE h = Id(kIdA);
  std::atomic<VQX_RESULT> result{0};
  VQX_MSG_HANDLE hGot = nullptr;
  std::thread reader = BlockedReader(h, &result, &hGot);
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(hGot, nullptr);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_TIMEOUT) << "the wake was consumed";
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 1000, &hGot), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_TIMEOUT) << "two wakes, consumed together";
  /* A wake does not hide a waiting message. */
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  ASSERT_EQ(Send(kIdA, kLocal), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_FILTER_AWAKENED);
  u32 n = 9;
  ASSERT_EQ(VQXWakeMsgFilter(mhLib, h), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXWaitMsg(mhLib, h, 1000, &n), VQX_RESULT_API_FILTER_AWAKENED);
  EXPECT_EQ(n, 0u);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VQXReceiveMsg(mhLib, h, 60, &hGot), VQX_RESULT_API_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(55)) << "a time-out waits its time";
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, MessageReleasesAWaiterThatDoesNotTakeAndDestroyReleasesAReader) {
  VQX_FILTER_HANDLE h = Id(kIdA);
  u32 n = 0;
  std::atomic<VQX_RESULT> waitResult{0};
  std::thread waiter([&] { waitResult = VQXWaitMsg(mhLib, h, 10000, &n); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, 42), VQX_RESULT_API_OK);
  waiter.join();
  EXPECT_EQ(waitResult.load(), VQX_RESULT_API_OK);
  EXPECT_EQ(n, 1u);
  VQX_MSG_HANDLE hGot = nullptr;
  ASSERT_EQ(VQXReceiveMsg(mhLib, h, 0, &hGot), VQX_RESULT_API_OK) << "the wait left it there";
  EXPECT_EQ(hGot->un64UserContext1, 42u);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
  std::atomic<VQX_RESULT> result{0};
  std::thread reader = BlockedReader(h, &result, &hGot);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  reader.join();
  EXPECT_EQ(result.load(), VQX_RESULT_API_INVALID_FIL_HANDLE);
}

TEST_F(ReceiveMtTest, SeveralSendersOneReaderNothingLost) {
  constexpr int kSenders = 4;
  constexpr u64 kPerSender = 5000;
  VQX_FILTER_HANDLE h = Id(kIdA);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; s++) {
    senders.emplace_back([&, s] {
      for (u64 i = 0; i < kPerSender; i++) {
        ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, (u64(s) << 32) | i), VQX_RESULT_API_OK);
      }
    });
  }
  std::vector<u64> next(kSenders, 0);
  u64 total = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (total < kSenders * kPerSender && std::chrono::steady_clock::now() < deadline) {
    VQX_MSG_HANDLE ah[VQX_RECEIVE_MULTIPLE_MAX];
    u32 n = 0;
    if (VQXReceiveMsgMultiple(mhLib, h, 1000, &n, ah) != VQX_RESULT_API_OK) continue;
    for (u32 i = 0; i < n; i++) {
      const u32 s = static_cast<u32>(ah[i]->un64UserContext1 >> 32);
      EXPECT_EQ(ah[i]->un64UserContext1 & 0xFFFFFFFFu, next[s]++) << "sender " << s << ", in order";
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
  std::atomic<u32> un32Messages{0}, un32IdleCalls{0}, un32Calls{0};
};

/* Answers every message with one of id B back to this process. */
void OnMessages(void* pvContext, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  CallbackState* pState = static_cast<CallbackState*>(pvContext);
  pState->un32Calls++;
  if (*pun32Count == 0) pState->un32IdleCalls++;
  pState->un32Messages += *pun32Count;
  for (u32 i = 0; i < *pun32Count; i++) pahMsg[i]->un32MsgId = kIdB;
}

TEST_F(ReceiveMtTest, CallbackFilterRepliesIdlesAndStopsAtItsDestroy) {
  VQX_FILTER_HANDLE hCb = Id(kIdA);
  VQX_FILTER_HANDLE hReplies = Id(kIdB);
  CallbackState state;
  _VQX_FILTER_CALLBACK_PARAMS cb{};
  cb.pFctFilterMsgReceived = OnMessages;
  cb.pvFilterMsgReceivedContext = &state;
  cb.un32FilterMaxMsgPerCallback = 4;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hCb, 0, nullptr, &cb), VQX_RESULT_API_OK);
  for (u64 i = 0; i < 10; i++) ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, i), VQX_RESULT_API_OK);
  for (u64 i = 0; i < 10; i++) {
    VQX_MSG_HANDLE hGot = nullptr;
    ASSERT_EQ(VQXReceiveMsg(mhLib, hReplies, 10000, &hGot), VQX_RESULT_API_OK) << i;
    EXPECT_EQ(hGot->un64UserContext1, i) << "replies keep the order";
    VQXReleaseMsgEx(mhLib, &hGot);
  }
  EXPECT_EQ(state.un32Messages.load(), 10u);
  EXPECT_GE(state.un32Calls.load(), 3u) << "at most 4 per call";
  EXPECT_EQ(state.un32IdleCalls.load(), 0u) << "no posting delay: no idle call";
  /* With a posting delay the callback is also called idle; destroying waits for a call in progress. */
  cb.un32FilterMaxMsgPerCallback = 1;
  cb.un32PostingDelayMs = 20;
  ASSERT_EQ(VQXModifyMsgFilter(mhLib, hCb, 0, nullptr, &cb), VQX_RESULT_API_OK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (state.un32IdleCalls.load() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(state.un32IdleCalls.load(), 3u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hCb), VQX_RESULT_API_OK);
  const u32 un32After = state.un32Calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(60)); /* three posting periods: no call may come */
  EXPECT_EQ(state.un32Calls.load(), un32After);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hReplies), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, HeldSendGoesWhenTheReaderReceives) {
  VQX_FILTER_HANDLE hOwner = Id(kIdA);
  VQX_FILTER_HANDLE hPeer = Id(kIdB);
  _VQX_SEND_MSG2_PARAMS params{nullptr, hOwner};
  /* Not coalescing yet (no reader known): sent at once. */
  VQX_MSG_HANDLE hMsg = NewMsg(kIdB, kLocal);
  ASSERT_EQ(VQXSendMsg2Ex(mhLib, &hMsg, &params), VQX_RESULT_API_OK);
  EXPECT_EQ(Drain(hPeer), 1u);
  /* The owner's thread becomes known by a receive with a time-out; then its sends wait for its next receive. */
  VQX_MSG_HANDLE hGot = nullptr;
  EXPECT_EQ(VQXReceiveMsg(mhLib, hOwner, 1, &hGot), VQX_RESULT_API_TIMEOUT);
  hMsg = NewMsg(kIdB, kLocal);
  ASSERT_EQ(VQXSendMsg2Ex(mhLib, &hMsg, &params), VQX_RESULT_OK);
  EXPECT_EQ(hMsg, nullptr);
  EXPECT_EQ(Drain(hPeer), 0u);
  EXPECT_EQ(VQXReceiveMsg(mhLib, hOwner, 0, &hGot), VQX_RESULT_API_TIMEOUT);
  EXPECT_EQ(Drain(hPeer), 1u);
  /* Both parameters at once are refused, and the message is not lost silently. */
  VQX_FILTER_HANDLE hImplicit = nullptr;
  _VQX_SEND_MSG2_PARAMS both{&hImplicit, hOwner};
  hMsg = NewMsg(kIdB, kLocal);
  EXPECT_EQ(VQXSendMsg2Ex(mhLib, &hMsg, &both), VQX_RESULT_API_INVALID_PARAM);
  EXPECT_EQ(hMsg, nullptr);
  EXPECT_TRUE(mLog.WaitFor("Can't use both phImplicitFilter and hCoalescingFilter at the same time"));
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hOwner), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hPeer), VQX_RESULT_API_OK);
}

TEST_F(ReceiveMtTest, BlockedReadersWokenAtTheEndOfABatch) {
  constexpr u64 kFilters = 3;
  VQX_FILTER_HANDLE ah[kFilters];
  std::atomic<VQX_RESULT> aResult[kFilters];
  VQX_MSG_HANDLE ahGot[kFilters] = {};
  std::vector<std::thread> readers;
  for (u64 i = 0; i < kFilters; i++) {
    _VQX_FILTER_PARAMS set = FilterSet(VQX_FILTER_MASK_USER_CONTEXT1);
    set.un64UserContext1 = i + 1;
    ah[i] = Filter({set});
    aResult[i] = 0;
    readers.push_back(BlockedReader(ah[i], &aResult[i], &ahGot[i]));
  }
  VQX_BATCH_CONTEXT batch{};
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  for (u64 i = 0; i < kFilters; i++) {
    VQX_MSG_HANDLE hMsg = NewMsg(kIdA, 0);
    hMsg->un64UserContext1 = i + 1;
    EXPECT_TRUE(VqxMsgDispatchLocal(mhLib, hMsg, 0, &batch));
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(batch.un32NbToWake, kFilters) << "the wakes wait for the end of the batch";
  VqxBatchWake(mhLib, &batch);
  for (u64 i = 0; i < kFilters; i++) {
    readers[i].join();
    EXPECT_EQ(aResult[i].load(), VQX_RESULT_API_OK) << i;
    VQXReleaseMsgEx(mhLib, &ahGot[i]);
    EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &ah[i]), VQX_RESULT_API_OK);
  }
}

/* Filters made and destroyed while messages flow to them and to a steady reader: nothing lost for the reader. */
TEST_F(ReceiveMtTest, FiltersComeAndGoWhileMessagesFlow) {
  constexpr u32 kMessages = 4000;
  VQX_FILTER_HANDLE hSteady = Id(kIdA);
  std::atomic<bool> fDone{false};
  std::thread churn([&] {
    for (u32 i = 0; i < 2000 && !fDone.load(); i++) {
      _VQX_FILTER_PARAMS sets[2] = {
          FilterSet(VQX_FILTER_MASK_MSG_GROUP | (i % 2 ? VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2 : 0u), kIdA),
          FilterSet(VQX_FILTER_MASK_USER_CONTEXT1 | VQX_FILTER_MASK_NEGATIVE)};
      sets[0].un64UserContext2 = 1000 + i;
      sets[1].un64UserContext1 = 7;
      VQX_FILTER_HANDLE h = nullptr;
      if (VQXCreateMsgFilterEx(mhLib, 2, sets, &h) != VQX_RESULT_API_OK) continue;
      Drain(h);
      VQXDestroyMsgFilterEx(mhLib, &h);
    }
  });
  std::thread sender([&] {
    for (u32 i = 0; i < kMessages; i++) ASSERT_EQ(Send(kIdA, kLocal, 8, VQX_MSG_TYPE_EVENT, i), VQX_RESULT_API_OK);
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
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.FilterOwned, 0u);
  EXPECT_EQ(stats.FilterAlloc, stats.FilterFreed);
}

}  // namespace
