/*
 * test_filter_source.cpp - what the filters keep per source peer: the
 * receive high watermark (warning, flow-control request, clearing at half
 * the receive fifo) and the send hook called when a reader takes a message
 * from a remote host.
 */
#include <gtest/gtest.h>

#include "test_peer_util.h"

namespace {

constexpr u32 kBoard = 0xCA00000Au;
constexpr u32 kHost = 0xCB00000Cu;
constexpr u32 kUserGroup = 0x0600u;

struct HookLog {
  std::vector<u32> Ids;
};
void OnSendHook(void* pv, VQX_LIB_HANDLE, VQX_MSG_HANDLE hMsg) { static_cast<HookLog*>(pv)->Ids.push_back(hMsg->un32MsgId); }

class FilterSourceTest : public PeerTest {
 protected:
  /* Reopens the library with changed parameters. */
  void Reopen(void (*pFctEdit)(_VQX_LIB_PARAMS*, void*), void* pv) {
    ASSERT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
    mParams = HostLibTestParams(&mLog);
    pFctEdit(&mParams, pv);
    ASSERT_EQ(VQXOpenLib(&mParams, &mhLib), VQX_RESULT_API_OK);
  }
  VQX_FILTER_HANDLE GroupFilter(u32 un32Group) { return Filter({FilterSet(VQX_FILTER_MASK_MSG_GROUP, un32Group << 16)}); }
  /* A message received from a peer, handed to the filters as the receive path does. */
  VQX_RESULT Receive(u32 hFrom, u32 un32Id, u32 un32FixedTwo = 2) {
    VQX_MSG_HANDLE hMsg = NewMsg(un32Id, hFrom);
    hMsg->un32FixedTwo = un32FixedTwo;
    const VQX_RESULT result = Locked(mhLib, [&] { return VqxFilterApply(mhLib, &hMsg, nullptr); });
    return result;
  }
  u32 Read(VQX_FILTER_HANDLE h, u32 un32Max) {
    u32 n = 0;
    VQX_MSG_HANDLE hMsg = nullptr;
    while (n < un32Max && VQXReceiveMsg(mhLib, h, 0, &hMsg) == VQX_RESULT_API_OK) {
      VQXReleaseMsgEx(mhLib, &hMsg);
      n++;
    }
    return n;
  }
};

TEST_F(FilterSourceTest, ReceiveWatermarkWarnsOnceAndClearsAtHalf) {
  /* A receive fifo of 6: watermark (2 x 6 + 4) / 3 = 5, cleared at 3. */
  Reopen([](_VQX_LIB_PARAMS* p, void*) { p->un32ReceiveFifoSize = 6; }, nullptr);
  const VQX_GW_ADAPTER_ADV a = AdapterAdv("SN-A", "boarda", "10.0.0.1", "10.1.0.1");
  ASSERT_EQ(Up(kBoard, &a, nullptr, 1), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE h = GroupFilter(kUserGroup);
  const struct { u32 un32After; u32 fRequested; } rows[] = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 1}, {7, 1}};
  for (const auto& r : rows) {
    ASSERT_EQ(Receive(kBoard, 0x06000001), VQX_RESULT_API_OK);
    VQX_PEER* pPeer = Peer(kBoard);
    ASSERT_NE(pPeer, nullptr);
    EXPECT_EQ(pPeer->un32MsgsInFilters, r.un32After);
    EXPECT_EQ(pPeer->un32FlowLevelRequested, r.fRequested) << r.un32After;
  }
  ASSERT_TRUE(mLog.WaitFor("WARNING: High watermark passed for "));
  EXPECT_EQ(mLog.Count("(5 Rx msg pending in filters, max is 6)"), 1u);
  /* Taken down to 4: still requested; to 3: cleared. */
  EXPECT_EQ(Read(h, 3), 3u);
  EXPECT_EQ(Peer(kBoard)->un32FlowLevelRequested, 1u);
  EXPECT_EQ(Read(h, 1), 1u);
  EXPECT_EQ(Peer(kBoard)->un32FlowLevelRequested, 0u);
  EXPECT_TRUE(mLog.WaitFor("NOTE: High watermark warning cleared for "));
  EXPECT_EQ(mLog.Count("(now down to 3 Rx msg pending in filters)"), 1u);
  /* Flushing counts too; nothing goes below zero. */
  ASSERT_EQ(VQXFlushMsgs(mhLib, h, nullptr), VQX_RESULT_API_OK);
  EXPECT_EQ(Peer(kBoard)->un32MsgsInFilters, 0u);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
}

TEST_F(FilterSourceTest, SendHookSeesWhatReadersTakeFromRemoteHosts) {
  HookLog log;
  Reopen(
      [](_VQX_LIB_PARAMS* p, void* pv) {
        p->pFctSendHook = OnSendHook;
        p->pvSendHookContext = pv;
      },
      &log);
  const VQX_GW_ADAPTER_ADV a = AdapterAdv("SN-A", "boarda", "10.0.0.1", "10.1.0.1");
  const VQX_GW_HOST_ADV hostAdv = HostAdv("hostn", "appn", 0x0A00000900000009ull, 0x02070B04);
  ASSERT_EQ(Up(kBoard, &a, nullptr, 1), VQX_RESULT_API_OK);
  ASSERT_EQ(Up(kHost, nullptr, &hostAdv, 1), VQX_RESULT_API_OK);
  VQX_FILTER_HANDLE h = GroupFilter(kUserGroup);
  VQX_FILTER_HANDLE hLibGroup = GroupFilter(0x0201);
  const struct {
    const char* pszName;
    u32 hFrom, un32Id, un32FixedTwo;
    bool fHook;
  } rows[] = {
      {"host, other value", kHost, 0x06000001, 3, true},
      {"host, value 2", kHost, 0x06000002, 2, false},
      {"board, other value", kBoard, 0x06000003, 3, false},
      {"host, library group", kHost, 0x02010099, 3, false},
      {"local", 0xDA000001, 0x06000004, 3, false},
  };
  for (const auto& r : rows) {
    log.Ids.clear();
    ASSERT_EQ(Receive(r.hFrom, r.un32Id, r.un32FixedTwo), VQX_RESULT_API_OK) << r.pszName;
    EXPECT_EQ(Read(r.un32Id >> 16 == 0x0201 ? hLibGroup : h, 1), 1u) << r.pszName;
    EXPECT_EQ(log.Ids, r.fHook ? std::vector<u32>{r.un32Id} : std::vector<u32>{}) << r.pszName;
  }
  /* A flush is not a read: no hook. */
  log.Ids.clear();
  ASSERT_EQ(Receive(kHost, 0x06000005, 3), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXFlushMsgs(mhLib, h, nullptr), VQX_RESULT_API_OK);
  EXPECT_TRUE(log.Ids.empty());
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &h), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &hLibGroup), VQX_RESULT_API_OK);
}

}  // namespace
