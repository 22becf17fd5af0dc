/*
 * test_buffers.cpp - the buffer layer (size classes, exact requests, class
 * table rebuilds), pools of messages, the coalescing queue and fragment
 * reassembly with hand-made fragments.
 */
#include <string.h>

#include "peer/vqx_host_peer_internal.h"
#include "support/hostlib_fixture.h"
#include "vqx_clock.h"

namespace {

u32 ClassIndexOf(const void* pBuf) {
  VQX_BUF_PREFIX prefix;
  memcpy(&prefix, static_cast<const u8*>(pBuf) - VQX_BUF_PREFIX_SIZE, sizeof(prefix));
  return prefix.un32ClassIndex;
}

using BufTest = HostLibTest;

/* ----------------------------------------------------------- classes */

TEST_F(BufTest, ExactRequestsMarkStatesAndUsableSize) {
  void* pExact = VqxBufMalloc(mhLib, 384 - VQX_BUF_PREFIX_SIZE, 1, __FILE__, __LINE__);
  ASSERT_NE(pExact, nullptr);
  EXPECT_EQ(ClassIndexOf(pExact), 0u);
  EXPECT_EQ(VqxBufMalloc(mhLib, 300, 1, __FILE__, __LINE__), nullptr) << "no class of 320 bytes";
  EXPECT_EQ(VqxBufFree(mhLib, pExact), VQX_RESULT_OK);
  EXPECT_EQ(VqxBufFree(mhLib, pExact), VQX_RESULT_API_INVALID_MSG_HANDLE);
  EXPECT_TRUE(mLog.WaitFor("VqxBufFree: Buffer"));
  void* p = VqxBufMalloc(mhLib, 100, 0, "here.cpp", 7);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(VqxBufMarkSent(mhLib, p), VQX_RESULT_OK);
  EXPECT_EQ(VqxBufMarkReceived(mhLib, p), VQX_RESULT_OK);
  EXPECT_EQ(VqxBufMarkSent(mhLib, p), VQX_RESULT_OK) << "received counts as allocated again";
  EXPECT_EQ(VqxBufFree(mhLib, p), VQX_RESULT_OK) << "the transport frees sent buffers";
  EXPECT_EQ(VqxBufMarkSent(mhLib, p), VQX_RESULT_API_FAIL);
  EXPECT_TRUE(mLog.WaitFor("VqxBufMarkSent: Corrupted buffer"));
  EXPECT_EQ(VqxBufUsableSize(mhLib, p), 0u);
}

/*
 * Heap blocks freed while the classes are full are kept for the next fallback
 * allocations, within a byte bound. Rows: a request its class could hold but
 * has none free, one above every class, one too large to keep; each round
 * allocates, frees and allocates again. What callers see of the second round
 * (sizes, counters, creation sites, states) must be what they saw of the first.
 */
TEST_F(BufTest, FreedHeapBlocksAreKeptWithinTheirBoundAndServeLikeNewOnes) {
  Reopen([](_VQX_LIB_PARAMS& p) {
    p.un32NbPreAllocBufferPools = 2;
    p.aPreAllocBufferPools[0] = {128, 2};
    p.aPreAllocBufferPools[1] = {512, 1};
  });
  VQX_LIB* pLib = VqxLib(mhLib);
  auto Counters = [pLib] {
    std::lock_guard<std::mutex> guard(pLib->BufMutex);
    return pLib->BufCounters;
  };
  const u64 un64Bound = VqxBufHeapCacheBound();
  struct Row {
    u64 un64Size, un64Count, un64KeptEach; /* bytes kept per freed block (0: never kept) */
  } const aRows[] = {{100, 40, 128}, {3000, 20, 3072}, {5000, 5, 0}, {4000, 300, 4032}};
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.un64Size);
    std::vector<VQX_BUF_COUNTERS> deltas;
    std::vector<void*> bufs;
    u64 un64BlocksBefore = 0;
    const u64 un64BytesBefore = VqxBufHeapCacheBytes(mhLib, &un64BlocksBefore);
    for (u32 round = 0; round < 2; round++) {
      const VQX_BUF_COUNTERS before = Counters();
      bufs.clear();
      for (u64 i = 0; i < row.un64Count; i++) bufs.push_back(VqxBufMalloc(mhLib, row.un64Size, 0, "site.cpp", u32(round)));
      for (void* p : bufs) {
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(VqxBufUsableSize(mhLib, p), row.un64Size);
        const char* pszFile = nullptr;
        u32 un32Line = 9;
        ASSERT_TRUE(VqxBufGetFileLine(mhLib, p, &pszFile, &un32Line));
        EXPECT_STREQ(pszFile, "site.cpp");
        EXPECT_EQ(un32Line, round);
        EXPECT_EQ(VqxBufMarkSent(mhLib, p), VQX_RESULT_OK) << "a kept block starts allocated, not released";
        memset(p, 0xA5, row.un64Size);
      }
      for (void* p : bufs) EXPECT_EQ(VqxBufFree(mhLib, p), VQX_RESULT_OK);
      const VQX_BUF_COUNTERS after = Counters();
      deltas.push_back({after.un64Hit - before.un64Hit, after.un64HitRelease - before.un64HitRelease,
                        after.un64MissAlloc - before.un64MissAlloc, after.un64MissFree - before.un64MissFree,
                        after.un64BigMissAlloc - before.un64BigMissAlloc, after.un64BigMissFree - before.un64BigMissFree});
      u64 un64Blocks = 0;
      const u64 un64Bytes = VqxBufHeapCacheBytes(mhLib, &un64Blocks);
      EXPECT_LE(un64Bytes, un64Bound);
      const u64 un64Fallbacks = row.un64Size < 128 ? row.un64Count - 2 : row.un64Count;
      const u64 un64Kept =
          row.un64KeptEach == 0 ? 0 : std::min(un64Fallbacks, (un64Bound - un64BytesBefore) / row.un64KeptEach);
      EXPECT_EQ(un64Blocks, un64BlocksBefore + un64Kept);
      EXPECT_EQ(un64Bytes, un64BytesBefore + un64Kept * row.un64KeptEach);
    }
    EXPECT_EQ(memcmp(&deltas[0], &deltas[1], sizeof(VQX_BUF_COUNTERS)), 0) << "the same counts whether kept or new";
    EXPECT_EQ(deltas[1].un64MissAlloc, row.un64Size < 128 ? row.un64Count - 2 : row.un64Count);
    /* A second release of a block now kept is refused and not kept twice. */
    u64 un64Blocks = 0;
    const u64 un64Bytes = VqxBufHeapCacheBytes(mhLib, &un64Blocks);
    EXPECT_EQ(VqxBufFree(mhLib, bufs.back()), VQX_RESULT_API_INVALID_MSG_HANDLE);
    u64 un64BlocksAfter = 0;
    EXPECT_EQ(VqxBufHeapCacheBytes(mhLib, &un64BlocksAfter), un64Bytes);
    EXPECT_EQ(un64BlocksAfter, un64Blocks);
  }
  EXPECT_EQ(LiveCount(), 0u);
}

/* ---------------------------------------------------- pools of messages */

TEST_F(BufTest, PoolOfMessagesTakeRefillAndFallBack) {
  /* Given in descending order: the pool still picks the smallest class that fits. */
  _VQX_POOL_OF_MESSAGES_PARAMS params = {2, {{1000, 2}, {100, 3}}};
  VQX_POOL_OF_MESSAGES_HANDLE hPool = nullptr;
  ASSERT_EQ(VQXPoolOfMessagesAlloc(mhLib, &params, &hPool), VQX_RESULT_API_OK);
  EXPECT_EQ(VqxBufLiveCount(mhLib), 5u);

  std::vector<VQX_MSG_HANDLE> taken;
  for (int i = 0; i < 3; i++) {
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXGetMsgFromPool(mhLib, hPool, 50, &hMsg), VQX_RESULT_OK);
    EXPECT_EQ(hMsg->un32PayloadMaxLength, 100u);
    EXPECT_EQ(hMsg->un32MsgId, VQX_MSG_ID_NOT_SET);
    taken.push_back(hMsg);
  }
  EXPECT_EQ(VqxBufLiveCount(mhLib), 8u) << "the emptied class was refilled at once";
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsgFromPool(mhLib, hPool, 101, &hMsg), VQX_RESULT_OK);
  EXPECT_EQ(hMsg->un32PayloadMaxLength, 1000u);
  taken.push_back(hMsg);
  ASSERT_EQ(VQXGetMsgFromPool(mhLib, hPool, 5000, &hMsg), VQX_RESULT_API_OK) << "no class fits: plain allocation";
  EXPECT_EQ(hMsg->un32PayloadMaxLength, 5000u);
  taken.push_back(hMsg);
  ASSERT_EQ(VQXGetMsgFromPool(mhLib, nullptr, 10, &hMsg), VQX_RESULT_API_OK) << "no pool";
  taken.push_back(hMsg);
  EXPECT_EQ(VQXGetMsgFromPool(nullptr, hPool, 10, &hMsg), VQX_RESULT_API_INVALID_LIB_HANDLE);
  for (VQX_MSG_HANDLE& h : taken) EXPECT_EQ(VQXReleaseMsgEx(mhLib, &h), VQX_RESULT_OK);
  ASSERT_EQ(VQXPoolOfMessagesDestroy(mhLib, hPool), VQX_RESULT_API_OK);
  EXPECT_EQ(LiveCount(), 0u);
}

TEST_F(BufTest, PoolRefillOutOfMemoryStillHandsOutTheMessageWithSuccess) {
  _VQX_POOL_OF_MESSAGES_PARAMS params = {1, {{100, 1}}};
  VQX_POOL_OF_MESSAGES_HANDLE hPool = nullptr;
  ASSERT_EQ(VQXPoolOfMessagesAlloc(mhLib, &params, &hPool), VQX_RESULT_API_OK);
  const u32 un32Before = VqxBufLiveCount(mhLib);

  /* Taking the only message empties the class; its refill finds no memory. */
  VqxBufRefuseNextAllocations(mhLib, 1);
  VQX_MSG_HANDLE hFirst = nullptr;
  EXPECT_EQ(VQXGetMsgFromPool(mhLib, hPool, 10, &hFirst), VQX_RESULT_OK);
  ASSERT_NE(hFirst, nullptr);
  EXPECT_EQ(hFirst->un32PayloadMaxLength, 100u);
  EXPECT_TRUE(mLog.WaitFor("VQXGetMsgFromPool: Failed to allocate message to store in pool"));
  EXPECT_EQ(VqxBufLiveCount(mhLib), un32Before) << "nothing allocated besides the message handed out";

  /* Memory is back: the next take refills the empty class instead of reporting a fault. */
  VQX_MSG_HANDLE hSecond = nullptr;
  EXPECT_EQ(VQXGetMsgFromPool(mhLib, hPool, 10, &hSecond), VQX_RESULT_OK);
  ASSERT_NE(hSecond, nullptr);
  EXPECT_EQ(mLog.Count("BUG: Pool with 0 message in it!"), 0u);

  /* Still no memory at all: plain allocation fails cleanly with no message. */
  VqxBufRefuseNextAllocations(mhLib, 2);
  VQX_MSG_HANDLE hThird = nullptr;
  EXPECT_EQ(VQXGetMsgFromPool(mhLib, hPool, 10, &hThird), VQX_RESULT_OK) << "the class still held one";
  ASSERT_NE(hThird, nullptr);
  VQX_MSG_HANDLE hFourth = nullptr;
  VqxBufRefuseNextAllocations(mhLib, 3);
  EXPECT_EQ(VQXGetMsgFromPool(mhLib, hPool, 10, &hFourth), VQX_RESULT_API_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(hFourth, nullptr);
  EXPECT_EQ(mLog.Count("BUG: Pool with 0 message in it!"), 0u) << "running out of memory is not an internal fault";
  VqxBufRefuseNextAllocations(mhLib, 0);

  for (VQX_MSG_HANDLE* ph : {&hFirst, &hSecond, &hThird}) EXPECT_EQ(VQXReleaseMsgEx(mhLib, ph), VQX_RESULT_OK);
  ASSERT_EQ(VQXPoolOfMessagesDestroy(mhLib, hPool), VQX_RESULT_API_OK);
  EXPECT_EQ(LiveCount(), 0u);
}

/* -------------------------------------------------------- coalescing */

std::vector<u32> g_sendCalls; /* message count of each multiple-send call */

VQX_RESULT FakeSendMultiple(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg) {
  g_sendCalls.push_back(un32Count);
  for (u32 i = 0; i < un32Count; i++) {
    VqxMsgReleaseInternal(hLib, pahMsg[i]);
    pahMsg[i] = nullptr;
  }
  return VQX_RESULT_OK;
}

VQX_MUTEX_HANDLE g_hOwnerMutex = nullptr;
u32 g_heldDuringReceive = 99;

VQX_RESULT FakeReceiveMultiple(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE, u32, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  g_heldDuringReceive = VqxMutexHeldCount(g_hOwnerMutex);
  *pun32Count = 2;
  VQXGetMsg(hLib, 8, &pahMsg[0]);
  VQXGetMsg(hLib, 8, &pahMsg[1]);
  return VQX_RESULT_API_OK;
}

TEST_F(BufTest, CoalescingQueueSendsInBatches) {
  VqxLib(mhLib)->pFctSendMultiple = FakeSendMultiple;
  VqxLib(mhLib)->pFctReceiveMultiple = FakeReceiveMultiple;
  g_sendCalls.clear();
  ASSERT_EQ(VqxMutexCreate(&g_hOwnerMutex), VQX_RESULT_OK);
  const VQX_COALESCING_QUEUE_PARAMS params = {2, nullptr, g_hOwnerMutex};
  VqxApiCoalescingQueue* pQueue = VqxApiCoalescingQueueCreate(mhLib, &params);
  ASSERT_NE(pQueue, nullptr);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(VqxApiCoalescingAddMsgInternal(mhLib, pQueue, NewMsg(0x06000001, 0), __FILE__, __LINE__), VQX_RESULT_OK);
  }
  EXPECT_EQ(g_sendCalls, std::vector<u32>{2}) << "the third message kicked the first two";
  /* Receiving kicks the pending send first and releases the owner's mutex while blocked. */
  VqxMutexGet(g_hOwnerMutex);
  VqxMutexGet(g_hOwnerMutex);
  VQX_MSG_HANDLE ahMsg[4] = {};
  u32 un32Count = 4;
  EXPECT_EQ(VqxApiCoalescingReceiveMsgInternal(mhLib, pQueue, 10, &un32Count, ahMsg, __FILE__, __LINE__),
            VQX_RESULT_API_OK);
  EXPECT_EQ(g_heldDuringReceive, 0u);
  EXPECT_EQ(VqxMutexHeldCount(g_hOwnerMutex), 2u);
  VqxMutexGive(g_hOwnerMutex);
  VqxMutexGive(g_hOwnerMutex);
  EXPECT_EQ(g_sendCalls, (std::vector<u32>{2, 1}));
  EXPECT_EQ(un32Count, 2u);
  for (u32 i = 0; i < un32Count; i++) VQXReleaseMsgEx(mhLib, &ahMsg[i]);
  /* Retrieving hands the queued messages over; destroying releases what is left. */
  VQX_MSG_HANDLE hMsg = NewMsg(0x06000001, 0);
  VqxApiCoalescingAddMsgInternal(mhLib, pQueue, hMsg, __FILE__, __LINE__);
  EXPECT_EQ(VqxApiCoalescingRetrieveMsgsToSend(mhLib, pQueue, &un32Count, ahMsg), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, 1u);
  EXPECT_EQ(ahMsg[0], hMsg);
  VqxApiCoalescingAddMsgInternal(mhLib, pQueue, hMsg, __FILE__, __LINE__);
  EXPECT_EQ(VqxApiCoalescingQueueDestroy(mhLib, pQueue), VQX_RESULT_OK);
  EXPECT_EQ(LiveCount(), 0u);
  VqxMutexDestroy(g_hOwnerMutex);
}

/* A queue of no room is refused; without a send path the kick fails and the queued messages are not leaked. */
TEST_F(BufTest, CoalescingQueueRefusalsAndNoSendPath) {
  VQX_COALESCING_QUEUE_PARAMS params = {0, nullptr, nullptr};
  EXPECT_EQ(VqxApiCoalescingQueueCreate(mhLib, &params), nullptr);
  EXPECT_TRUE(mLog.WaitFor("VqxApiCoalescingQueueCreate: un32QueueSize cannot be 0"));
  VqxLib(mhLib)->pFctSendMultiple = nullptr;
  params.un32QueueSize = 1;
  VqxApiCoalescingQueue* pQueue = VqxApiCoalescingQueueCreate(mhLib, &params);
  ASSERT_NE(pQueue, nullptr);
  EXPECT_EQ(VqxApiCoalescingAddMsgInternal(mhLib, pQueue, NewMsg(0x06000001, 0), __FILE__, __LINE__), VQX_RESULT_OK);
  EXPECT_EQ(VqxApiCoalescingAddMsgInternal(mhLib, pQueue, NewMsg(0x06000001, 0), __FILE__, __LINE__),
            VQX_RESULT_API_NOT_IMPLEMENTED);
  EXPECT_TRUE(mLog.WaitFor("VqxApiCoalescingKick failed, queue full, can't queue one more message!"));
  EXPECT_EQ(VqxApiCoalescingQueueDestroy(mhLib, pQueue), VQX_RESULT_OK);
  EXPECT_EQ(LiveCount(), 0u);
}

/* -------------------------------------------------------- reassembly */

class FragTest : public BufTest {
 protected:
  void SetUp() override {
    BufTest::SetUp();
    VqxHostLibCriticalSectionEnter(mhLib);
    ASSERT_EQ(VqxFragInit(mhLib, &mState), VQX_RESULT_OK);
  }
  void TearDown() override {
    VqxFragUninit(mhLib, &mState);
    VqxHostLibCriticalSectionLeave(mhLib);
    EXPECT_EQ(VqxBufLiveCount(mhLib), 0u) << "every fragment and context released";
    BufTest::TearDown();
  }
  /* The log thread prints once it can take the library lock, which the test holds. */
  bool LoggedOutsideTheLock(const char* pszText) {
    VqxHostLibCriticalSectionLeave(mhLib);
    const bool fLogged = mLog.WaitFor(pszText);
    VqxHostLibCriticalSectionEnter(mhLib);
    return fLogged;
  }
  VQX_MSG_HANDLE MakeFragment(u32 un32Serial, u16 un16FragInfo, u32 un32PayloadLength, u8 byFill) {
    VQX_MSG_HANDLE hMsg = NewMsg(0x06010203, 0, un32PayloadLength, VQX_MSG_TYPE_EVENT);
    hMsg->un32SerialNumber = un32Serial;
    hMsg->un16FragInfo = un16FragInfo;
    memset(VQXMsgPayload(hMsg), byFill, un32PayloadLength);
    return hMsg;
  }
  /* A fragment made and handed to reassembly; the completed message, if any, goes to *phWhole (or fails the test). */
  VQX_RESULT Add(u32 un32Serial, u16 un16FragInfo, u32 un32Length, u8 byFill, VQX_MSG_HANDLE* phWhole = nullptr) {
    VQX_MSG_HANDLE hMsg = MakeFragment(un32Serial, un16FragInfo, un32Length, byFill);
    const VQX_RESULT result = VqxFragReassemble(mhLib, &mState, &hMsg);
    if (phWhole != nullptr) {
      *phWhole = hMsg;
    } else if (hMsg != nullptr) {
      ADD_FAILURE() << "fragment " << un16FragInfo << " of " << un32Serial << " completed a message";
      VQXReleaseMsgEx(mhLib, &hMsg);
    }
    return result;
  }
  VQX_FRAG_STATE mState{};
};

TEST_F(FragTest, ThreeFragmentsMakeOneMessage) {
  const u32 aun32Length[3] = {40, 24, 64};
  VQX_MSG_HANDLE hWhole = nullptr;
  for (u32 i = 0; i < 3; i++) {
    /* A fragment of another message in between keeps its own context. */
    if (i == 1) { ASSERT_EQ(Add(501, 1, 16, 0xEE), VQX_RESULT_OK); }
    ASSERT_EQ(Add(500, i < 2 ? static_cast<u16>(i + 1) : 0x8003, aun32Length[i], static_cast<u8>(0xA0 + i),
                  i < 2 ? nullptr : &hWhole),
              VQX_RESULT_OK)
        << i;
  }
  ASSERT_NE(hWhole, nullptr);
  EXPECT_EQ(mState.un32NbContexts, 1u) << "serial 501 still waits";
  /* fragment info, serial, type, id, payload length and maximum, length, payload start */
  EXPECT_EQ((std::vector<u32>{hWhole->un16FragInfo, hWhole->un32SerialNumber, hWhole->MsgType, hWhole->un32MsgId,
                              hWhole->un32PayloadLength, hWhole->un32PayloadMaxLength, hWhole->un32Length,
                              hWhole->un32PayloadStart}),
            (std::vector<u32>{0, 500, 4, 0x06010203, 128, 128, 88 + 128, 88}));
  const u8* pby = VQXMsgPayload(hWhole);
  u32 un32Offset = 8;
  for (u32 i = 0; i < 3; i++) {
    for (u32 j = 0; j < aun32Length[i] - 8; j++) ASSERT_EQ(pby[un32Offset + j], 0xA0 + i) << i << " " << j;
    un32Offset += aun32Length[i] - 8;
  }
  for (; un32Offset < 128; un32Offset++) EXPECT_EQ(pby[un32Offset], 0u) << "tail is zeroed";
  EXPECT_EQ(VQXTestMsgEx(mhLib, hWhole, 0, 0), VQX_RESULT_API_OK);
  VQXReleaseMsgEx(mhLib, &hWhole);
  /* A fragment shorter than the 8 link bytes, then a last fragment numbered 0x7FFF: 4 + 8 bytes kept. */
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(Add(7, 1, 4, 0x11), VQX_RESULT_OK);
  ASSERT_EQ(Add(7, 0xFFFF, 12, 0x22, &hMsg), VQX_RESULT_OK);
  ASSERT_NE(hMsg, nullptr);
  EXPECT_EQ(hMsg->un32PayloadLength, 16u);
  EXPECT_EQ(std::vector<u8>(VQXMsgPayload(hMsg) + 8, VQXMsgPayload(hMsg) + 16),
            (std::vector<u8>{0x22, 0x22, 0x22, 0x22, 0, 0, 0, 0}));
  VQXReleaseMsgEx(mhLib, &hMsg);
}

TEST_F(FragTest, BadFragmentsAreDroppedWithTheirContext) {
  /* A header that claims more than its buffer: refused before it is read. */
  VQX_MSG_HANDLE hMsg = MakeFragment(9, 1, 16, 0x33);
  hMsg->un32PayloadLength = 5000;
  EXPECT_EQ(VqxFragReassemble(mhLib, &mState, &hMsg), VQX_RESULT_API_MSGSZ_INVALID);
  EXPECT_EQ(hMsg, nullptr);
  EXPECT_EQ(mState.un32NbContexts, 0u);

  /* A bare 88-byte header has no room for the queue link. */
  hMsg = static_cast<VQX_MSG_HANDLE>(VqxBufMalloc(mhLib, 88, 0, __FILE__, __LINE__));
  ASSERT_NE(hMsg, nullptr);
  memset(hMsg, 0, 88);
  hMsg->un32Length = 88;
  hMsg->un32PayloadStart = 88;
  hMsg->un32SerialNumber = 12;
  hMsg->un16FragInfo = 1;
  EXPECT_EQ(VqxFragReassemble(mhLib, &mState, &hMsg), VQX_RESULT_API_MSGSZ_INVALID);
  EXPECT_EQ(mState.un32NbContexts, 0u);

  /* Fragments adding up beyond the largest message. */
  for (int i = 0; i < 2; i++) ASSERT_EQ(Add(10, 1, 16, 0x44), VQX_RESULT_OK);
  EXPECT_EQ(Add(10, 0x8002, VQX_MSG_MAX_PAYLOAD_SIZE - 8, 0x55), VQX_RESULT_API_MSGSZ_NOT_SUPPORTED);
  EXPECT_EQ(mState.un32NbContexts, 0u);
  EXPECT_TRUE(LoggedOutsideTheLock("VqxFragReassemble: This message size is not supported"));

  /* Pending contexts are discarded with their fragments (peer removed). */
  ASSERT_EQ(Add(11, 1, 16, 0x66), VQX_RESULT_OK);
  EXPECT_EQ(mState.un32NbContexts, 1u);
  EXPECT_EQ(VqxFragPendingFree(mhLib, &mState), VQX_RESULT_OK);
  EXPECT_EQ(mState.un32NbContexts, 0u);
}

TEST_F(FragTest, ContextsHaveAByteBoundAndATimeLimit) {
  /* Fragments that are not last but already add up beyond the largest message: given up at once. */
  const u32 un32Half = VQX_MSG_MAX_PAYLOAD_SIZE / 2 + 8;
  ASSERT_EQ(Add(20, 1, un32Half, 0x11), VQX_RESULT_OK);
  EXPECT_EQ(Add(20, 2, un32Half, 0x12), VQX_RESULT_API_MSGSZ_NOT_SUPPORTED);
  EXPECT_EQ(mState.un32NbContexts, 0u);
  EXPECT_EQ(mState.un64BytesHeld, 0u);

  /* One peer's waiting fragments are bounded: the oldest messages make room for the newest. */
  const u32 un32Big = 9u * 1024u * 1024u;
  for (u32 i = 0; i < 5; i++) {
    ASSERT_EQ(Add(30 + i, 1, un32Big, 0x20), VQX_RESULT_OK) << i;
    EXPECT_LE(mState.un64BytesHeld, u64{VQX_FRAG_MAX_BYTES_PER_PEER}) << i;
  }
  EXPECT_EQ(mState.un32NbContexts, 4u) << "the first message was given up";
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(Add(30, 0x8002, 16, 0x21, &hMsg), VQX_RESULT_OK);
  ASSERT_NE(hMsg, nullptr);
  EXPECT_EQ(hMsg->un32PayloadLength, 16u) << "serial 30 started afresh from its last fragment";
  VQXReleaseMsgEx(mhLib, &hMsg);
  EXPECT_EQ(VqxFragPendingFree(mhLib, &mState), VQX_RESULT_OK);
  EXPECT_EQ(mState.un64BytesHeld, 0u);

  EXPECT_TRUE(LoggedOutsideTheLock("VqxFragReassemble: Too many fragment bytes waiting, message 30 dropped"));
}

/* Injected clock for the fragment time limit. */
u64 g_un64FakeNow = 1000000;
u64 FakeClock() { return g_un64FakeNow; }

TEST_F(FragTest, IncompleteMessageExpiresJustPastItsTimeLimit) {
  VqxClockSetSource(FakeClock);
  ASSERT_EQ(Add(40, 1, 16, 0x30), VQX_RESULT_OK);
  const u64 un64Start = VQXGetClock();
  EXPECT_EQ(VqxFragExpire(mhLib, &mState, un64Start + VQX_FRAG_MAX_AGE_MS), 0u) << "exactly at the limit: kept";
  /* The next fragment of another message checks the ages too. */
  g_un64FakeNow += VQX_FRAG_MAX_AGE_MS;
  ASSERT_EQ(Add(41, 1, 16, 0x31), VQX_RESULT_OK);
  EXPECT_EQ(mState.un32NbContexts, 2u);
  g_un64FakeNow += 1;
  ASSERT_EQ(Add(42, 1, 16, 0x32), VQX_RESULT_OK);
  EXPECT_EQ(mState.un32NbContexts, 2u) << "one millisecond past: message 40 given up";
  EXPECT_EQ(VqxFragExpire(mhLib, &mState, g_un64FakeNow + VQX_FRAG_MAX_AGE_MS + 1), 2u);
  EXPECT_EQ(mState.un64BytesHeld, 0u);
  VqxClockSetSource(nullptr);
  EXPECT_TRUE(LoggedOutsideTheLock("VqxFragReassemble: Fragments of message 40 incomplete after 30001 ms, dropped\n"));
}

TEST_F(FragTest, AMessageHoldsAtMost65535Fragments) {
  for (u32 i = 0; i < VQX_FRAG_MAX_FRAGMENTS; i++) ASSERT_EQ(Add(50, 1, 8, 0x40), VQX_RESULT_OK) << i;
  EXPECT_EQ(mState.un32NbContexts, 1u) << "65535 fragments wait";
  EXPECT_EQ(Add(50, 0x8001, 8, 0x41), VQX_RESULT_API_OUT_OF_RESOURCE) << "the 65536th";
  EXPECT_EQ(mState.un32NbContexts, 0u) << "the message is given up with its fragments";
  EXPECT_EQ(mState.un64BytesHeld, 0u);
  EXPECT_TRUE(LoggedOutsideTheLock("Too many fragments"));
}

}  // namespace
