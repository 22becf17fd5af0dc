/*
 * test_local.cpp - sending to local destinations: the checks of a send
 * (table-driven), routing by destination handle and message group, the
 * trimming of a delivered message, multiple sends, the transmit trace, and
 * the checks on a received message before dispatch (corrupt sizes, an older
 * peer's 64-byte header widened to 88 bytes).
 */

#include <string.h>

#include "support/hostlib_fixture.h"
#include "filter/vqx_filter_internal.h"

namespace {

class LocalTest : public HostLibTest {
 protected:
  void SetUp() override {
    HostLibTest::SetUp();
    mhAll = Filter({FilterSet(0)}); /* every message */
  }
  void TearDown() override {
    if (mhAll != nullptr) { EXPECT_EQ(VQXDestroyMsgFilterEx(mhLib, &mhAll), VQX_RESULT_API_OK); }
    HostLibTest::TearDown();
  }
  /* Room for 64 payload bytes whatever the length given, so that a test can write past it. */
  VQX_MSG_HANDLE NewMsg(u32 un32Id, u32 hAdapter, u32 un32Payload = 8, u32 MsgType = VQX_MSG_TYPE_EVENT) {
    VQX_MSG_HANDLE hMsg = HostLibTest::NewMsg(un32Id, hAdapter, un32Payload < 64 ? 64 : un32Payload, MsgType);
    if (hMsg != nullptr) hMsg->un32PayloadLength = un32Payload;
    return hMsg;
  }
  /* The next message on the catch-all filter, or null. */
  VQX_MSG_HANDLE Take() {
    VQX_MSG_HANDLE hMsg = nullptr;
    VQXReceiveMsg(mhLib, mhAll, 0, &hMsg);
    return hMsg;
  }
  VQX_FILTER_HANDLE mhAll = nullptr;
};

/* Send rows: tests/data/local_send.txt. */
TEST_F(LocalTest, SendTable) {
  for (const auto& row : DataRows("local_send.txt")) {
    ASSERT_EQ(row.size(), 8u);
    const char* pszName = row[0].c_str();
    const u32 un32Payload = static_cast<u32>(DataNum(row[3]));
    mLog.Clear();
    VQX_MSG_HANDLE hMsg = NewMsg(static_cast<u32>(DataNum(row[1])), static_cast<u32>(DataNum(row[2])), un32Payload,
                                 static_cast<u32>(DataNum(row[4])));
    EXPECT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), DataNum(row[5])) << pszName;
    EXPECT_EQ(hMsg, nullptr) << pszName;
    VQX_MSG_HANDLE hGot = Take();
    EXPECT_EQ(hGot != nullptr, row[6] != "-") << pszName;
    if (hGot != nullptr) {
      EXPECT_EQ(hGot->hAdapter, DataNum(row[6])) << pszName;
      /* Delivered trimmed to what is in use. */
      EXPECT_EQ(hGot->un32Length, un32Payload + VQX_MSG_HEADER_SIZE) << pszName;
      EXPECT_EQ(hGot->un32PayloadMaxLength, un32Payload) << pszName;
      EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
    }
    if (row[7] != "-") { EXPECT_TRUE(mLog.WaitFor(row[7].c_str())) << pszName; }
  }
  /* Nothing was leaked: every refused message was freed. */
  EXPECT_EQ(LiveCount(), 0u);
}

TEST_F(LocalTest, BadHandles) {
  VQX_MSG_HANDLE hMsg = NewMsg(0x06000001, 0xDA000001);
  VQX_MSG_HANDLE hKeep = hMsg;
  EXPECT_EQ(VQXSendMsgEx(nullptr, &hMsg, nullptr), VQX_RESULT_API_INVALID_LIB_HANDLE);
  EXPECT_EQ(hMsg, hKeep); /* left to the caller */
  VQX_MSG_HANDLE hNull = nullptr;
  EXPECT_EQ(VQXSendMsgEx(mhLib, &hNull, nullptr), VQX_RESULT_API_INVALID_MSG_HANDLE);
  EXPECT_EQ(VQXSendMsgEx(mhLib, nullptr, nullptr), VQX_RESULT_API_INVALID_MSG_HANDLE);
  ASSERT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hGot = Take();
  ASSERT_EQ(hGot, hKeep);
  ASSERT_EQ(VQXReleaseMsgEx(mhLib, &hGot), VQX_RESULT_OK);
  Locked(mhLib, [] {}); /* the release is done at this leave */
  /* Sending it again after its release is refused without touching it. */
  EXPECT_EQ(VQXSendMsgEx(mhLib, &hKeep, nullptr), VQX_RESULT_API_INVALID_MSG_HANDLE);
  EXPECT_EQ(Take(), nullptr);
}

TEST_F(LocalTest, NobodyTakesItThenItIsFreedAndCounted) {
  ASSERT_EQ(VQXDestroyMsgFilterEx(mhLib, &mhAll), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hMsg = NewMsg(0x06000033, 0xDA000001);
  EXPECT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK);
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.RxMsgMatchNoQ, 1u);
  EXPECT_EQ(stats.SignoMatchNoQ, 0x06000033u);
  EXPECT_EQ(VqxBufLiveCount(mhLib), 0u);
}

TEST_F(LocalTest, MultipleSendClearsEntriesAndNamesBadOnes) {
  VQX_MSG_HANDLE ah[4] = {NewMsg(0x06000001, 0xDA000001), nullptr, NewMsg(VQX_MSG_ID_NOT_SET, 0xDA000001, 8, 0),
                          NewMsg(0x06000002, 0xDA000001)};
  EXPECT_EQ(VQXSendMsgMultipleEx(mhLib, 4, ah), VQX_RESULT_API_MSGTYPE_NOT_INITIALIZED);
  for (VQX_MSG_HANDLE h : ah) EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(mLog.WaitFor("VQXSendMsgMultiple[2]: VQX_RESULT_API_MSGTYPE_NOT_INITIALIZED"));
  EXPECT_TRUE(mLog.WaitFor("VQXSendMsgMultiple[2]: VQX_RESULT_API_MSGID_NOT_INITIALIZED"));
  for (u32 id : {0x06000001u, 0x06000002u}) {
    VQX_MSG_HANDLE hGot = Take();
    ASSERT_NE(hGot, nullptr);
    EXPECT_EQ(hGot->un32MsgId, id);
    VQXReleaseMsgEx(mhLib, &hGot);
  }
  EXPECT_EQ(VQXSendMsgMultipleEx(mhLib, 0, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(VQXWaitSentMsg(mhLib, 0), VQX_RESULT_API_OK);
}

/* ------------------------------------------------------------ received checks */

TEST_F(LocalTest, ReceivedCorruptSizesAreDropped) {
  const struct { const char* pszName; u32 un32Length, un32PayloadMax, un32Payload, un32Start; const char* pszLine; } rows[] = {
      {"max", 160, 0xA00001, 8, 88, "Received corrupted message (un32PayloadMaxLength = 10485761, > 10485760)"},
      {"length", 0xA00001, 72, 8, 88, "Received corrupted message (un32Length = 10485761, > 10485760)"},
      {"payload", 160, 72, 80, 88, "Received corrupted message (un32PayloadLength(80) > un32PayloadMaxLength(72))"},
      {"start", 160, 72, 8, 161, "Received corrupted message (un32PayloadStart(161) > un32Length(160))"},
      {"beyond buffer", 4000, 3912, 8, 88, "Received corrupted message (un32Length = 4000, > 160)"},
      {"start 96", 160, 64, 8, 96, "Message received has unsupported payload start! (96 > 88)"},
  };
  /* Each row twice within a second: its line and the drop line once (the second time counted), then the
     first row once more a second later, its line telling the one left out. */
  HeldClock clock;
  const auto Apply = [&](const auto& r) {
    VQX_MSG_HANDLE hMsg = NewMsg(0x06000001, 0, 72);
    hMsg->un32Length = r.un32Length;
    hMsg->un32PayloadMaxLength = r.un32PayloadMax;
    hMsg->un32PayloadLength = r.un32Payload;
    hMsg->un32PayloadStart = r.un32Start;
    EXPECT_EQ(VqxFilterApply(mhLib, &hMsg, nullptr), VQX_RESULT_API_UNSUPPORTED_VERSION);
    EXPECT_EQ(hMsg, nullptr);
  };
  for (int nPass = 0; nPass < 2; nPass++) {
    for (const auto& r : rows) {
      SCOPED_TRACE(r.pszName);
      Locked(mhLib, [&] { Apply(r); });
      EXPECT_EQ(Take(), nullptr);
    }
  }
  Locked(mhLib, [&] {
    clock.Set(1000);
    Apply(rows[0]);
  });
  const std::string strAgain = std::string(rows[0].pszLine) + " (1 similar line(s) left out)\n";
  ASSERT_TRUE(mLog.WaitFor(strAgain.c_str()));
  for (const auto& r : rows) EXPECT_EQ(mLog.Count(r.pszLine), &r == &rows[0] ? 2u : 1u) << r.pszName;
  /* The library's log thread prints the lines in their order: the last drop line may still follow that one. */
  const char* pszDrop = "VqxFilterApply: Invalid message (sent by adapter running more recent build?), dropping.\n";
  EXPECT_TRUE(mLog.WaitFor(pszDrop, 3000, std::size(rows) + 1));
  EXPECT_EQ(mLog.Count(pszDrop), std::size(rows) + 1);
  EXPECT_EQ(LiveCount(), 0u);
}

TEST_F(LocalTest, ReceivedOldHeaderIsWidened) {
  /* A 64-byte header followed by 16 payload bytes, as an older peer sends it. */
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 72, &hMsg), VQX_RESULT_API_OK);
  u8* pby = reinterpret_cast<u8*>(hMsg);
  memset(pby + 24, 0xEE, 40); /* old header bytes past the sizes */
  hMsg->un32MsgId = 0x06000044;
  hMsg->MsgType = VQX_MSG_TYPE_EVENT;
  hMsg->un32Length = 64 + 16;
  hMsg->un32PayloadStart = 64;
  hMsg->un32PayloadMaxLength = 16;
  hMsg->un32PayloadLength = 16;
  for (u8 i = 0; i < 16; i++) pby[64 + i] = static_cast<u8>(0xA0 + i);
  Locked(mhLib, [&] { EXPECT_EQ(VqxFilterApply(mhLib, &hMsg, nullptr), VQX_RESULT_API_OK); });
  VQX_MSG_HANDLE hGot = Take();
  ASSERT_NE(hGot, nullptr);
  EXPECT_EQ(hGot->un32MsgId, 0x06000044u);
  EXPECT_EQ(hGot->un32PayloadStart, 88u);
  EXPECT_EQ(hGot->un32Length, 64u + 16u + 24u);
  EXPECT_EQ(hGot->un32PayloadMaxLength, 16u);
  EXPECT_EQ(hGot->un32PayloadLength, 16u);
  const u8* pbyGot = reinterpret_cast<const u8*>(hGot);
  EXPECT_EQ(pbyGot[63], 0xEE);
  for (u32 i = 64; i < 88; i++) EXPECT_EQ(pbyGot[i], 0) << i;
  for (u8 i = 8; i < 16; i++) EXPECT_EQ(pbyGot[88 + i], 0xA0 + i) << int(i); /* first 8 payload bytes are the library's */
  VQXReleaseMsgEx(mhLib, &hGot);
}

}  // namespace
