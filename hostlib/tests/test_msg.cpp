/*
 * test_msg.cpp - host messages: allocation limits, the header at
 * allocation, the wire byte order (checked by an independent Python struct
 * encoder and a golden file), copies, releases and integrity checks.
 */
#include <vector>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/hostlib_fixture.h"
#include "vqx_msg_element.h"

namespace {

using MsgTest = HostLibTest;

std::string Hex(const void* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; i++) {
    const u8 b = static_cast<const u8*>(p)[i];
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

/* Runs a command and returns its standard output (the script ends by itself). */
std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pPipe = popen(command.c_str(), "r");
  if (pPipe == nullptr) return out;
  char sz[512];
  while (fgets(sz, sizeof(sz), pPipe) != nullptr) out += sz;
  pclose(pPipe);
  return out;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

/* Payload sizes at the limits and past the 32-bit wrap: tests/data/msg_payload_sizes.txt. */
TEST_F(MsgTest, PayloadSizeLimits) {
  for (const auto& row : DataRows("msg_payload_sizes.txt")) {
    SCOPED_TRACE(row.at(0));
    VQX_MSG_HANDLE hMsg = reinterpret_cast<VQX_MSG_HANDLE>(1);
    EXPECT_EQ(VQXGetMsg(mhLib, static_cast<u32>(DataNum(row[0])), &hMsg), DataNum(row[1]));
    const u32 un32Length = static_cast<u32>(DataNum(row[2]));
    EXPECT_EQ(hMsg == nullptr, un32Length == 0);
    if (hMsg == nullptr) continue;
    EXPECT_EQ(hMsg->un32Length, un32Length);
    EXPECT_EQ(hMsg->un32PayloadMaxLength, un32Length - 88);
    EXPECT_GE(VqxBufUsableSize(mhLib, hMsg), un32Length);
    EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
    EXPECT_EQ(hMsg, nullptr);
  }
  EXPECT_TRUE(mLog.WaitFor("VqxMsgAllocate: This message size is invalid"));
  EXPECT_TRUE(mLog.WaitFor("VqxMsgAllocate: This message size is not supported"));
}

TEST_F(MsgTest, HeaderAtAllocationAndSerials) {
  VQX_MSG_HANDLE hA = nullptr, hB = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 0, &hA), VQX_RESULT_API_OK);
  ASSERT_EQ(VQXGetMsg(mhLib, 40, &hB), VQX_RESULT_API_OK);
  EXPECT_EQ(hA->un32SerialNumber, 1u) << "the first message of a library";
  EXPECT_EQ(hB->un32SerialNumber, hA->un32SerialNumber + 1);
  const u8 abyZero[88 - 28] = {};
  for (VQX_MSG_HANDLE h : {hA, hB}) {
    /* id, type, payload length and start, handle, contexts, track magic, the fixed 2 */
    EXPECT_EQ((std::vector<u64>{h->un32MsgId, h->MsgType, h->un32PayloadLength, h->un32PayloadStart, h->hAdapter,
                                h->un64UserContext1, h->un64UserContext2, h->un32TrackMagic, h->un32FixedTwo}),
              (std::vector<u64>{0x0201DEAD, 0, 0, 88, 0, 0, 0, 1, 2}));
    EXPECT_EQ(memcmp(reinterpret_cast<u8*>(h) + 56, abyZero, 32), 0) << "bytes 56..87";
    EXPECT_EQ(memcmp(VQXMsgPayload(h) + 4, abyZero, 4), 0) << "payload bytes 4..7";
  }
  _VQX_LIB_STATS stats = LibStats(mhLib);
  EXPECT_EQ(stats.MsgSerial, hB->un32SerialNumber);
  VQXReleaseMsgEx(mhLib, &hA);
  VQXReleaseMsgEx(mhLib, &hB);
}

TEST_F(MsgTest, ArgumentChecks) {
  VQX_MSG_HANDLE hMsg = nullptr;
  /* get: no library, no out handle; release: no library, no handle pointer, null handle */
  EXPECT_EQ((std::vector<VQX_RESULT>{VQXGetMsg(nullptr, 8, &hMsg), VQXGetMsg(mhLib, 8, nullptr),
                                     VQXReleaseMsgEx(nullptr, &hMsg), VQXReleaseMsgEx(mhLib, nullptr),
                                     VQXReleaseMsgEx(mhLib, &hMsg)}),
            (std::vector<VQX_RESULT>{VQX_RESULT_API_INVALID_LIB_HANDLE, VQX_RESULT_API_NULL_PARAM,
                                     VQX_RESULT_API_INVALID_LIB_HANDLE, VQX_RESULT_API_INVALID_MSG_HANDLE,
                                     VQX_RESULT_API_INVALID_MSG_HANDLE}));
  EXPECT_TRUE(mLog.WaitFor("VQXGetMsg: VQX_RESULT_API_NULL_PARAM"));
  EXPECT_TRUE(mLog.WaitFor("VQXReleaseMsg: VQX_RESULT_API_INVALID_MSG_HANDLE"));
}

/* The sample of testing/golden/hostlib/wire_header.py, set through the C++ header type. */
void FillSample(VQX_MSG_HANDLE h) {
  h->un32MsgId = 0x0B080101;
  h->MsgType = 4;
  h->un32Length = 0x140;
  h->un32PayloadLength = 0xA8;
  h->un32PayloadMaxLength = 0xE8;
  h->un32PayloadStart = 88;
  h->un32SerialNumber = 0x11223344;
  h->hAdapter = 0xCA001234;
  h->un64UserContext1 = 0x0102030405060708ull;
  h->un32TrackMagic = 1;
  h->un32FixedTwo = 2;
  h->un64UserContext2 = 0x1112131415161718ull;
  h->un32TimeStamp = 0x5F5E1000;
  h->un32LocalWord = 0xFFFFFFFF; /* never carried */
  h->un32TxSeq = 0x00010203;
  h->un32TrackMark = 0xDB00DB00;
  h->un16FragInfo = 0x8003;
  h->un16ConnectionCount = 0x0102;
  h->un32PiggyAck = 0xABCD;
}

TEST_F(MsgTest, WireByteOrderMatchesIndependentEncoder) {
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 0x140 - 88, &hMsg), VQX_RESULT_API_OK);
  FillSample(hMsg);
  VqxLib(mhLib)->un64UniqueHostId = 0x0A0B0C0D00001F40ull;
  _VQX_MSG_HEADER before;
  memcpy(&before, hMsg, sizeof(before));
  ASSERT_EQ(VQXHostSwapMsgToSend(mhLib, hMsg), VQX_RESULT_OK);
  const std::string wire = Hex(hMsg, 88);

  const std::string script = std::string(getenv("VQX_SOURCE_DIR")) + "/testing/golden/hostlib/wire_header.py";
  EXPECT_EQ(wire, Trim(RunCommand("python3 " + script + " encode")));
  ExpectGolden(wire + "\n", "wire_header_sample.hex");

  /* The decoder reads back what we wrote. */
  const std::string decoded = RunCommand("echo " + wire + " | python3 " + script + " decode");
  EXPECT_NE(decoded.find("un32SerialNumber=0x11223344\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("un32LocalWord=0x0\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("un16FragInfo=0x8003\n"), std::string::npos) << decoded;

  /* Receive side: id first, then the rest, gives back the header we sent (local word 0). */
  VqxHostSwapMsgIdReceived(hMsg);
  EXPECT_EQ(hMsg->un32MsgId, 0x0B080101u);
  VqxHostSwapMsgReceived(hMsg);
  before.un32LocalWord = 0;
  before.un64SourceUniqueId = 0x0A0B0C0D00001F40ull;
  EXPECT_EQ(memcmp(&before, hMsg, sizeof(before)), 0) << Hex(hMsg, 88);
  VQXReleaseMsgEx(mhLib, &hMsg);
}

/* A full list of releases: 2048 wait for a leave of the lock, the 2049th is
 * freed at once, and that one leave frees the whole list. */
TEST_F(MsgTest, FullReleaseListIsFreedWholeAtOneLeave) {
  const u32 un32Live0 = LiveCount();
  std::vector<VQX_MSG_HANDLE> ahMsg(VQX_LIB_MSGS_TO_RELEASE_MAX + 2, nullptr);
  for (VQX_MSG_HANDLE& h : ahMsg) ASSERT_EQ(VQXGetMsg(mhLib, 16, &h), VQX_RESULT_API_OK);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib); /* nobody leaves the lock meanwhile */
  for (u32 i = 0; i < VQX_LIB_MSGS_TO_RELEASE_MAX; i++) ASSERT_EQ(VQXReleaseMsgEx(mhLib, &ahMsg[i]), VQX_RESULT_OK) << i;
  EXPECT_EQ(VqxBufLiveCount(mhLib), un32Live0 + VQX_LIB_MSGS_TO_RELEASE_MAX + 2) << "released, waiting for a leave";
  /* Freed at once, under the (nested) lock, whose leave empties the list. */
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &ahMsg[VQX_LIB_MSGS_TO_RELEASE_MAX]), VQX_RESULT_OK);
  EXPECT_EQ(VqxBufLiveCount(mhLib), un32Live0 + 1);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &ahMsg.back()), VQX_RESULT_OK);
  EXPECT_EQ(LiveCount(), un32Live0);
}

/* Who frees a release: the application outside the lock frees it at once
 * (nobody else's leave does it for it); under the lock, or by the library,
 * it waits in the list for the releasing thread's own leave. */
TEST_F(MsgTest, ReleaseIsFreedByTheReleasingThread) {
  struct Row {
    bool fUnderLock;
    bool fInternal;
    u32 un32LiveAfterRelease; /* above the count before allocation */
  };
  const Row aRows[] = {{false, false, 0}, {true, false, 1}, {false, true, 1}, {true, true, 1}};
  for (const Row& row : aRows) {
    SCOPED_TRACE(testing::Message() << "under lock " << row.fUnderLock << ", internal " << row.fInternal);
    const u32 un32Live0 = VqxBufLiveCount(mhLib);
    VQX_MSG_HANDLE hMsg = nullptr;
    ASSERT_EQ(VQXGetMsg(mhLib, 100000, &hMsg), VQX_RESULT_API_OK); /* a heap buffer: really freed */
    VQX_MSG_HANDLE hStale = hMsg;
    if (row.fUnderLock) VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    EXPECT_EQ(row.fInternal ? VqxMsgReleaseInternal(mhLib, hMsg) : VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
    EXPECT_EQ(VqxBufLiveCount(mhLib), un32Live0 + row.un32LiveAfterRelease);
    /* Refused either way, freed or listed. */
    hMsg = hStale;
    EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_API_INVALID_MSG_HANDLE);
    if (row.fUnderLock) VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    if (!row.fUnderLock && row.fInternal) Locked(mhLib, [] {}); /* the releasing thread's next leave */
    EXPECT_EQ(VqxBufLiveCount(mhLib), un32Live0) << "freed by the releasing thread's leave at the latest";
  }
}

TEST_F(MsgTest, DoubleReleaseIsRefusedWithoutReadingFreedMemory) {
  VQX_MSG_HANDLE hMsg = nullptr;
  /* Larger than every class: a heap buffer, really freed by the batch. */
  ASSERT_EQ(VQXGetMsg(mhLib, 100000, &hMsg), VQX_RESULT_API_OK);
  VQX_MSG_HANDLE hStale = hMsg;
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
  EXPECT_EQ(VQXTestMsgEx(mhLib, hStale, 0, 0), VQX_RESULT_API_INVALID_MSG_HANDLE) << "released";
  /* Second release before the batch free. */
  hMsg = hStale;
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_API_INVALID_MSG_HANDLE);
  /* Leaving the lock frees the batch; a third release touches freed memory only if it trusts the prefix. */
  EXPECT_EQ(LiveCount(), 0u);
  hMsg = hStale;
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_API_INVALID_MSG_HANDLE);
  EXPECT_EQ(hMsg, nullptr);

  /* A pointer the library never gave out (its 16 bytes before are out of bounds). */
  u8* pbyForeign = static_cast<u8*>(malloc(96));
  hMsg = reinterpret_cast<VQX_MSG_HANDLE>(pbyForeign);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_API_INVALID_MSG_HANDLE);
  EXPECT_EQ(VQXTestMsgEx(mhLib, reinterpret_cast<VQX_MSG_HANDLE>(pbyForeign), 0, 0), VQX_RESULT_API_INVALID_MSG_HANDLE);
  free(pbyForeign);
}

TEST_F(MsgTest, OverwrittenPrefixIsReportedAndNothingReleased) {
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 32, &hMsg), VQX_RESULT_API_OK);
  u8* pbyPrefix = reinterpret_cast<u8*>(hMsg) - VQX_BUF_PREFIX_SIZE;
  u32 un32Saved;
  memcpy(&un32Saved, pbyPrefix, 4);
  memset(pbyPrefix, 0x55, 4);
  EXPECT_EQ(VqxBufFree(mhLib, hMsg), VQX_RESULT_API_FAIL);
  EXPECT_TRUE(mLog.WaitFor("Corrupted buffer"));
  VQX_MSG_HANDLE hCopy = hMsg;
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hCopy), VQX_RESULT_API_FAIL);
  EXPECT_EQ(VqxBufLiveCount(mhLib), 1u);
  memcpy(pbyPrefix, &un32Saved, 4);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
}

/* A header that does not fit its buffer: refused by the check, the copy and the swap; a send refuses and frees it. */
struct HeaderFault { const char* pszName; void (*pFctBreak)(VQX_MSG_HANDLE); VQX_RESULT sendResult; const char* pszSendLine; };

TEST_F(MsgTest, HeaderThatDoesNotFitItsBufferIsRefused) {
  constexpr VQX_RESULT kInvalid = VQX_RESULT_API_MSGSZ_INVALID;
  const HeaderFault faults[] = {
      {"length beyond the largest message",
       [](VQX_MSG_HANDLE h) {
         h->un32Length = 0x7FFFFFF0;
         h->un32PayloadMaxLength = 0x7FFFFFF0 - 88;
       },
       VQX_RESULT_API_MSGSZ_NOT_SUPPORTED, "VqxMsgSend: This message is too huge\n"},
      {"length beyond buffer",
       [](VQX_MSG_HANDLE h) {
         h->un32Length = 1000;
         h->un32PayloadMaxLength = 912;
       },
       kInvalid, "VqxMsgSend: Msg=0x06000001 header does not match its buffer"},
      {"payload start", [](VQX_MSG_HANDLE h) { h->un32PayloadStart = 64; }, kInvalid, "header does not match its buffer"},
      {"payload length above max", [](VQX_MSG_HANDLE h) { h->un32PayloadLength = h->un32PayloadMaxLength + 1; }, kInvalid,
       "VqxMsgSend: Msg=0x06000001 invalid un32PayloadLength\n"},
      {"max not length - 88", [](VQX_MSG_HANDLE h) { h->un32PayloadMaxLength = h->un32Length; }, kInvalid,
       "VqxMsgSend: Msg=0x06000001 invalid un32PayloadMaxLength\n"},
      {"length below header",
       [](VQX_MSG_HANDLE h) {
         h->un32Length = 40;
         h->un32PayloadMaxLength = 0xFFFFFFD0;
       },
       kInvalid, "header does not match its buffer"},
  };
  for (const HeaderFault& fault : faults) {
    SCOPED_TRACE(fault.pszName);
    mLog.Clear();
    VQX_MSG_HANDLE hMsg = NewMsg(0x06000001, 0xDA000001, 200);
    EXPECT_EQ(VQXTestMsgEx(mhLib, hMsg, 0, 0), VQX_RESULT_API_OK);
    fault.pFctBreak(hMsg);
    EXPECT_EQ(VQXTestMsgEx(mhLib, hMsg, 0, 0), VQX_RESULT_API_MSGSZ_INVALID);
    Locked(mhLib, [&] { EXPECT_EQ(VqxMsgCopyCreate(mhLib, hMsg), nullptr); });
    EXPECT_EQ(VQXHostSwapMsgToSend(mhLib, hMsg), VQX_RESULT_API_MSGSZ_INVALID);
    EXPECT_EQ(VQXSendMsgEx(mhLib, &hMsg, nullptr), fault.sendResult);
    EXPECT_TRUE(mLog.WaitFor(fault.pszSendLine));
    EXPECT_EQ(LiveCount(), 0u);
  }
}

/* The refused received headers are rows of the receive-path test (test_rx_mt); here an older peer's shorter header, fitting to the byte. */
TEST(MsgReceivedHeader, OlderPeersShorterHeaderFitsToTheByte) {
  _VQX_MSG_HEADER h{};
  h.un32Length = 200;
  h.un32PayloadStart = 64;
  h.un32PayloadMaxLength = h.un32PayloadLength = 136;
  EXPECT_EQ(VqxMsgCheckReceivedHeader(&h, 200), VQX_RESULT_OK);
  EXPECT_EQ(VqxMsgCheckReceivedHeader(&h, 199), VQX_RESULT_API_MSGSZ_INVALID);
}

TEST_F(MsgTest, SentStateAndReleaseRules) {
  VQX_MSG_HANDLE hMsg = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 16, &hMsg), VQX_RESULT_API_OK);
  EXPECT_EQ(VqxBufMarkSent(mhLib, hMsg), VQX_RESULT_OK);
  EXPECT_EQ(VqxBufMarkSent(mhLib, hMsg), VQX_RESULT_API_FAIL);
  EXPECT_TRUE(mLog.WaitFor("VqxBufMarkSent: Trying to free already sent buffer"));
  /* The application no longer owns a sent message. */
  VQX_MSG_HANDLE hStale = hMsg;
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hStale), VQX_RESULT_API_INVALID_MSG_HANDLE);
  EXPECT_EQ(VqxMsgReleaseInternal(mhLib, hMsg), VQX_RESULT_OK);
  EXPECT_EQ(VqxMsgReleaseInternal(mhLib, hMsg), VQX_RESULT_API_INVALID_MSG_HANDLE);
}

/* The library's allocator serves message-element resizing while it is open, and no longer after its close. */
TEST_F(MsgTest, ElementResizeUsesTheLibraryWhileItIsOpen) {
  VQX_MSG_HANDLE hMsg = NewMsg(0x06000002, 0, 16);
  void* pvNew = nullptr;
  ASSERT_EQ(VQXMsgElementDupMsgResize(mhLib, hMsg, &pvNew, 4000), VQX_RESULT_OK);
  VQX_MSG_HANDLE hNew = static_cast<VQX_MSG_HANDLE>(pvNew);
  EXPECT_EQ(hNew->un32PayloadMaxLength, 4000u);
  EXPECT_EQ(hNew->un32MsgId, 0x06000002u);
  EXPECT_EQ(VQXTestMsgEx(mhLib, hNew, 0, 0), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hNew), VQX_RESULT_OK);
  /* Closing frees the message still held and unregisters the allocator. */
  ASSERT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  _VQX_MSG_HEADER stale{};
  stale.un32PayloadMaxLength = 8;
  EXPECT_EQ(VQXMsgElementDupMsgResize(nullptr, &stale, &pvNew, 100), VQX_RESULT_NOT_ENOUGH_MEMORY);
}

}  // namespace
