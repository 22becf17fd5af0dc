/*
 * fuzz_msg_receive.cpp - the library's real receive path from arbitrary
 * bytes: batches handed to the transport's receive callback from one board
 * and one remote host, with paths going down and up, requests sent to them
 * (through a send stand-in that checks the numbering on the wire), awaited
 * responses, time moving on, and applications reading their filters.
 *
 * One library lives for the whole run (closed at exit), so that fragments,
 * sequence numbers, connection counts and awaited responses carry over from
 * one input to the next and the per-message and per-peer limits are
 * reached. Each input is a list of operations (first byte & 7):
 *   0-2 batch: selector (bit 0 host, bit 1 gw1, bit 2 stop flag, bits 4-7
 *       count - 1), then per message: flags, buffer size (2 bytes, then a
 *       scale byte: from 0xF8 + k on the size is times 2^k, below it is
 *       kept), 2-byte count of bytes given, the bytes (the rest of the
 *       buffer is zero). Random bytes thus mostly give buffers of at most
 *       64 KiB; megabytes (zeroed, page by page) take a chosen scale, or
 *       every run would build and zero several of them.
 *       Flags make parts of the header agree with the receiver's state
 *       (sizes, next sequence, an awaited serial, a valid acknowledgement,
 *       fragments, user contexts, ids) so that the fuzzer gets past them.
 *   3 paths: selector (bit 0 host, bits 1-2 gw0/gw1 up), reason, build.
 *   4 send: selector, payload size, id choice, user contexts.
 *   5 time: advance the clock and push every peer.
 *   6 read every filter.  7 overflow answer of the status callback.
 * Whatever an application reads is checked: header whole and in host order,
 * and each filter holds only what its sets and the exclusive claims allow.
 */
#include "fuzz_support.h"

namespace {

constexpr u32 kBoard = 0xCA000001u;
constexpr u32 kHost = 0xCB000001u;
constexpr u64 kCtx1Claimed = 0x1111;  /* claimed by filter 0 */
constexpr u64 kCtx2Claimed = 0x2222;  /* claimed by filter 1 */
constexpr u64 kCtx2Refused = 0x3333;  /* kept away from filter 2 by its negative set */
constexpr u32 kGroup = 0x0B08;        /* wanted by filter 2 */
constexpr u32 kMaxImplicit = 8;
constexpr u32 kMaxMsgSize = VQX_GW_MAX_MSG_SIZE; /* the transport's framing limit */
constexpr u8 kScaleFrom = 0xF8;                  /* scale bytes from here multiply the size */
/* Received bytes one input may have allocated: past it, buffers stay small (filters are read at the end of
   an input, so what they hold must fit in memory). */
constexpr u64 kInputBudget = 256ull << 20;
u64 g_un64InputBytes = 0;

enum { kFilterCtx1, kFilterCtx2, kFilterGroup, kFilterAll, kNbFilters };

struct State {
  VQX_LIB_HANDLE hLib = nullptr;
  fuzz::Callbacks cb;
  PFN_VQX_GW_ALLOC_MSG pFctAlloc = nullptr;
  VQX_FILTER_HANDLE ahFilters[kNbFilters] = {};
  VQX_FILTER_HANDLE ahImplicit[kMaxImplicit] = {};
  u32 aun32ImplicitSerial[kMaxImplicit] = {};
  u32 ahImplicitPeer[kMaxImplicit] = {};
};
State s;

u32 PeerHandle(u8 un8Sel) { return (un8Sel & 1) != 0 ? kHost : kBoard; }

void PathsTo(u32 hPeer, u32 fGw0, u32 fGw1, u32 un32Reason, u32 un32Build) {
  if (hPeer == kBoard) {
    VQX_GW_ADAPTER_ADV adv = fuzz::BoardAdv("FUZZ1", un32Build);
    s.cb.pFctUpDown(s.hLib, hPeer, &adv, fGw0, fGw1, un32Reason);
  } else {
    VQX_GW_HOST_ADV adv = fuzz::HostAdv("fuzzpeer", 0x0A00000200000002ull, un32Build);
    s.cb.pFctUpDown(s.hLib, hPeer, &adv, fGw0, fGw1, un32Reason);
  }
}

_VQX_FILTER_PARAMS Set(u32 un32Mask) {
  _VQX_FILTER_PARAMS set;
  memset(&set, 0, sizeof(set));
  set.un32Version = 1;
  set.un32Mask = un32Mask;
  return set;
}

VQX_FILTER_HANDLE MakeFilter(u32 un32Count, _VQX_FILTER_PARAMS* pSets) {
  VQX_FILTER_HANDLE hFilter = nullptr;
  if (VQXCreateMsgFilterEx(s.hLib, un32Count, pSets, &hFilter) != VQX_RESULT_API_OK) abort();
  return hFilter;
}

void CloseAtExit() {
  for (VQX_FILTER_HANDLE& h : s.ahImplicit) {
    if (h != nullptr) VQXDestroyMsgFilterEx(s.hLib, &h);
  }
  for (VQX_FILTER_HANDLE& h : s.ahFilters) VQXDestroyMsgFilterEx(s.hLib, &h);
  VQXCloseLibEx(&s.hLib);
}

void Setup() {
  fuzz::PrepareProcess();
  s.hLib = fuzz::OpenLib(64, 512);
  s.cb = fuzz::TakeCallbacks(s.hLib);
  VqxGwLibParams params;
  u32* paSubnets = nullptr;
  VqxGwFillParams(s.hLib, 0, &params, &paSubnets);
  free(paSubnets);
  s.pFctAlloc = params.pFctAllocMsg;
  fuzz::g_aSent[0].hPeer = kBoard;
  fuzz::g_aSent[1].hPeer = kHost;

  _VQX_FILTER_PARAMS ctx1 = Set(VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1);
  ctx1.un64UserContext1 = kCtx1Claimed;
  s.ahFilters[kFilterCtx1] = MakeFilter(1, &ctx1);
  _VQX_FILTER_PARAMS ctx2 = Set(VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2);
  ctx2.un64UserContext2 = kCtx2Claimed;
  s.ahFilters[kFilterCtx2] = MakeFilter(1, &ctx2);
  _VQX_FILTER_PARAMS group[2] = {Set(VQX_FILTER_MASK_NEGATIVE | VQX_FILTER_MASK_USER_CONTEXT2),
                                 Set(VQX_FILTER_MASK_MSG_GROUP)};
  group[0].un64UserContext2 = kCtx2Refused;
  group[1].MsgGroup = kGroup;
  s.ahFilters[kFilterGroup] = MakeFilter(2, group);
  _VQX_FILTER_PARAMS all = Set(0);
  s.ahFilters[kFilterAll] = MakeFilter(1, &all);

  PathsTo(kBoard, 1, 1, 0, VQX_HOSTLIB_BUILD_NUMBER);
  PathsTo(kHost, 1, 1, 0, VQX_HOSTLIB_BUILD_NUMBER);
  atexit(CloseAtExit);
}

/* What filter i may hold. */
void CheckFilterMsg(u32 i, VQX_MSG_HANDLE hMsg) {
  fuzz::CheckReceivedHeader(s.hLib, hMsg);
  if (hMsg->hAdapter != kBoard && hMsg->hAdapter != kHost) abort();
  const u64 c1 = hMsg->un64UserContext1, c2 = hMsg->un64UserContext2;
  switch (i) {
    case kFilterCtx1:
      if (c1 != kCtx1Claimed) abort();
      break;
    case kFilterCtx2:
      if (c2 != kCtx2Claimed || c1 == kCtx1Claimed) abort();
      break;
    case kFilterGroup:
      if (VQX_MSG_GROUP(hMsg->un32MsgId) != kGroup || c2 == kCtx2Refused) abort();
      [[fallthrough]];
    default:
      if (c1 == kCtx1Claimed || c2 == kCtx2Claimed) abort();
  }
}

u32 Drain(VQX_FILTER_HANDLE hFilter, u32 un32Filter, u32 hImplicitPeer, u32 un32ImplicitSerial) {
  u32 un32Total = 0;
  for (u32 round = 0; round < 4096; round++) {
    VQX_MSG_HANDLE ahMsg[VQX_RECEIVE_MULTIPLE_MAX] = {};
    u32 n = VQX_RECEIVE_MULTIPLE_MAX;
    if (VQXReceiveMsgMultiple(s.hLib, hFilter, 0, &n, ahMsg) != VQX_RESULT_API_OK || n == 0) break;
    for (u32 k = 0; k < n; k++) {
      if (un32Filter < kNbFilters) {
        CheckFilterMsg(un32Filter, ahMsg[k]);
      } else {
        /* An awaited response: from its peer with its serial (events get a new serial when read). */
        fuzz::CheckReceivedHeader(s.hLib, ahMsg[k]);
        if (ahMsg[k]->hAdapter != hImplicitPeer) abort();
        if (ahMsg[k]->MsgType != VQX_MSG_TYPE_EVENT && ahMsg[k]->un32SerialNumber != un32ImplicitSerial) abort();
      }
      VQXReleaseMsgEx(s.hLib, &ahMsg[k]);
    }
    un32Total += n;
  }
  return un32Total;
}

void DrainAll(bool fReleaseImplicit) {
  for (u32 i = 0; i < kNbFilters; i++) Drain(s.ahFilters[i], i, 0, 0);
  for (u32 i = 0; i < kMaxImplicit; i++) {
    if (s.ahImplicit[i] == nullptr) continue;
    if (Drain(s.ahImplicit[i], kNbFilters, s.ahImplicitPeer[i], s.aun32ImplicitSerial[i]) != 0 || fReleaseImplicit) {
      VQXDestroyMsgFilterEx(s.hLib, &s.ahImplicit[i]);
    }
  }
}

void PushAll() {
  VqxHostLibCriticalSectionEnter(s.hLib);
  VqxKickMsgSendToGwLib(s.hLib, 1);
  VqxHostLibCriticalSectionLeave(s.hLib);
}

u64 PickCtx(u8 un8Choice, const u64* pValues, u32 un32NbValues, fuzz::Input& in) {
  const u32 k = un8Choice % (un32NbValues + 1);
  return k < un32NbValues ? pValues[k] : in.U64();
}

u32 PickMsgId(u8 un8Choice, fuzz::Input& in) {
  static const u32 kIds[] = {(kGroup << 16) | 0x0101, 0x020D0012, 0x020D0015, 0x020D0100, 0x020D0101, 0x020D0102,
                             0x020D0103, 0x020D0104, 0x020D0105, 0x020D0106, 0x020D0107, 0x02010001,
                             0x03000001, 0x0201DEAD};
  const u32 n = sizeof(kIds) / sizeof(kIds[0]);
  return un8Choice % (n + 1) == n ? in.U32() : kIds[un8Choice % (n + 1)];
}

void PutBe32(void* pField, u32 un32Value) {
  const u32 un32Be = htobe32(un32Value);
  memcpy(pField, &un32Be, sizeof(un32Be));
}

/* One received buffer as the transport allocates it, with the fix-ups its flags ask for. */
void* ReadMessage(fuzz::Input& in, u32 hPeer, u32 un32FragSerial, u32* pun32NextSeq, u32* pun32Size) {
  const u8 un8Flags = in.U8();
  u32 un32Size = in.U8() | (in.U8() << 8);
  if (const u8 un8Scale = in.U8(); un8Scale >= kScaleFrom) un32Size <<= (un8Scale - kScaleFrom);
  if (un32Size > kMaxMsgSize) un32Size = kMaxMsgSize;
  if (un32Size == 0) un32Size = 1;
  if (g_un64InputBytes + un32Size > kInputBudget && un32Size > 4096) un32Size = 4096;
  g_un64InputBytes += un32Size;
  u32 un32Given = in.U16();
  if (un32Given > un32Size) un32Given = un32Size;
  u8* pBuf = static_cast<u8*>(s.pFctAlloc(s.hLib, un32Size));
  if (pBuf == nullptr) abort();
  const size_t k = in.Bytes(pBuf, un32Given);
  memset(pBuf + k, 0, un32Size - k);
  *pun32Size = un32Size;
  if (un32Size < VQX_MSG_HEADER_SIZE) return pBuf;
  _VQX_MSG_HEADER* pHdr = reinterpret_cast<_VQX_MSG_HEADER*>(pBuf);
  if ((un8Flags & 0x01) != 0) {
    PutBe32(&pHdr->un32Length, un32Size);
    PutBe32(&pHdr->un32PayloadStart, VQX_MSG_HEADER_SIZE);
    PutBe32(&pHdr->un32PayloadMaxLength, un32Size - VQX_MSG_HEADER_SIZE);
    if (be32toh(pHdr->un32PayloadLength) > un32Size - VQX_MSG_HEADER_SIZE) {
      PutBe32(&pHdr->un32PayloadLength, un32Size - VQX_MSG_HEADER_SIZE);
    }
  }
  VqxHostLibCriticalSectionEnter(s.hLib);
  const VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(s.hLib, hPeer);
  if ((un8Flags & 0x02) != 0 && pPeer != nullptr) {
    /* Next after the receiver's mark, or after the previous message of this batch. */
    if (*pun32NextSeq == 0) *pun32NextSeq = pPeer->un32RxSeq + 1 == 0 ? 1u : pPeer->un32RxSeq + 1;
    PutBe32(&pHdr->un32TxSeq, *pun32NextSeq);
    *pun32NextSeq = *pun32NextSeq + 1 == 0 ? 1u : *pun32NextSeq + 1;
    if (pPeer->un16RxConnectionCount != 0) pHdr->un16ConnectionCount = htobe16(pPeer->un16RxConnectionCount);
  }
  VqxHostLibCriticalSectionLeave(s.hLib);
  const fuzz::SentState* pSent = fuzz::SentFor(hPeer);
  if ((un8Flags & 0x04) != 0 && pSent->un32NbRequests != 0) {
    const u32 n = pSent->un32NbRequests < 64 ? pSent->un32NbRequests : 64;
    PutBe32(&pHdr->MsgType, VQX_MSG_TYPE_RESPONSE);
    pHdr->un32SerialNumber = pSent->aun32RequestSerials[(pSent->un32NbRequests - 1 - in.U8() % n) % 64];
  }
  if ((un8Flags & 0x08) != 0) PutBe32(&pHdr->un32PiggyAck, pSent->un32LastSeq - in.U8() % 4);
  if ((un8Flags & 0x10) != 0) {
    pHdr->un32SerialNumber = un32FragSerial;
    pHdr->un16FragInfo = htobe16((un8Flags & 0x20) != 0 ? 0x8001 : 0x0001);
  }
  if ((un8Flags & 0x40) != 0) {
    static const u64 kCtx1[] = {0, kCtx1Claimed};
    static const u64 kCtx2[] = {0, kCtx2Claimed, kCtx2Refused};
    const u8 un8Choice = in.U8();
    pHdr->un64UserContext1 = PickCtx(un8Choice & 0x0F, kCtx1, 2, in);
    pHdr->un64UserContext2 = PickCtx(un8Choice >> 4, kCtx2, 3, in);
  }
  if ((un8Flags & 0x80) != 0) PutBe32(&pHdr->un32MsgId, PickMsgId(in.U8(), in));
  return pBuf;
}

void OpBatch(fuzz::Input& in) {
  const u8 un8Sel = in.U8();
  const u32 hPeer = PeerHandle(un8Sel);
  u32 un32Count = (un8Sel >> 4) + 1;
  if (un32Count > VQX_GW_MAX_BATCH_MSGS) un32Count = VQX_GW_MAX_BATCH_MSGS;
  const u32 un32FragSerial = in.U32();
  void* apMsgs[VQX_GW_MAX_BATCH_MSGS] = {};
  u32 aun32Sizes[VQX_GW_MAX_BATCH_MSGS] = {};
  u32 n = 0;
  u32 un32NextSeq = 0;
  while (n < un32Count && in.Left() != 0) {
    apMsgs[n] = ReadMessage(in, hPeer, un32FragSerial, &un32NextSeq, &aun32Sizes[n]);
    n++;
  }
  u32 fStop = (un8Sel & 0x04) != 0 ? 1u : 0u;
  s.cb.pFctRxMultiple(s.hLib, hPeer, (un8Sel & 0x02) != 0 ? 0u : 1u, n, apMsgs, aun32Sizes, &fStop);
  /* The handler takes every message. */
  for (u32 i = 0; i < n; i++) {
    if (apMsgs[i] != nullptr) abort();
  }
}

void OpSend(fuzz::Input& in) {
  const u8 un8Sel = in.U8();
  u32 un32Payload = in.U16() % 2048u;
  VQX_MSG_HANDLE hMsg = nullptr;
  if (VQXGetMsg(s.hLib, un32Payload, &hMsg) != VQX_RESULT_API_OK) abort();
  hMsg->un32MsgId = PickMsgId(in.U8(), in);
  hMsg->MsgType = (un8Sel >> 1) & 7;
  hMsg->un32PayloadLength = un32Payload;
  hMsg->hAdapter = (un8Sel & 0x10) != 0 ? 0xFFFFFFFFu : PeerHandle(un8Sel);
  hMsg->un64UserContext1 = in.U64();
  hMsg->un64UserContext2 = in.U64();
  const u32 un32Serial = hMsg->un32SerialNumber;
  const u32 hTo = hMsg->hAdapter;
  u32 i = 0;
  while (i < kMaxImplicit && s.ahImplicit[i] != nullptr) i++;
  VQX_FILTER_HANDLE hImplicit = nullptr;
  VQXSendMsgEx(s.hLib, &hMsg, (un8Sel & 0x20) != 0 && i < kMaxImplicit ? &hImplicit : nullptr);
  if (hMsg != nullptr) abort(); /* the send takes the message in all cases */
  if (hImplicit != nullptr) {
    s.ahImplicit[i] = hImplicit;
    s.ahImplicitPeer[i] = hTo;
    s.aun32ImplicitSerial[i] = un32Serial;
  }
}

void OpTime(fuzz::Input& in) {
  static const u32 kSteps[] = {1, 10, 100, 400, 1000, 5000, 30001, 60001};
  fuzz::AdvanceClock(kSteps[in.U8() % 8]);
  PushAll();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* pArgc, char*** pArgv) {
  /* Inputs large enough for a buffer of the transport's 4 MiB limit to be built from a few bytes,
     and for whole 1 MiB messages to be given byte by byte. */
  static const char kMaxLen[] = "-max_len=1048576";
  for (int i = 1; i < *pArgc; i++) {
    if (strncmp((*pArgv)[i], "-max_len=", 9) == 0) return 0;
  }
  static char** s_apArgs = static_cast<char**>(calloc(static_cast<size_t>(*pArgc) + 2, sizeof(char*)));
  for (int i = 0; i < *pArgc; i++) s_apArgs[i] = (*pArgv)[i];
  s_apArgs[(*pArgc)++] = const_cast<char*>(kMaxLen);
  *pArgv = s_apArgs;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  if (s.hLib == nullptr) Setup();
  g_un64InputBytes = 0;
  fuzz::Input in(pbyData, size);
  while (in.Left() != 0) {
    const u8 un8Op = in.U8();
    switch (un8Op & 7) {
      case 0:
      case 1:
      case 2:
        OpBatch(in);
        break;
      case 3: {
        const u8 un8Sel = in.U8();
        const u8 un8Reason = in.U8();
        PathsTo(PeerHandle(un8Sel), (un8Sel >> 1) & 1, (un8Sel >> 2) & 1, un8Reason, fuzz::PickBuild(in.U8(), in));
        break;
      }
      case 4:
        OpSend(in);
        break;
      case 5:
        OpTime(in);
        break;
      case 6:
        DrainAll(false);
        break;
      default:
        fuzz::g_un32OverflowAction.store(un8Op >> 3);
        break;
    }
  }
  DrainAll(true);
  PushAll();
  return 0;
}
