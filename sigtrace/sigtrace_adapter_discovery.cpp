/*
 * sigtrace_adapter_discovery.cpp - what every board exchange shares: the
 * request catalogue and its frame, the bounded readers of an answer, the
 * configuration answer, the list answers and the registration of a
 * discovered entity. The per-protocol answers are in
 * sigtrace_adapter_discovery_{links,isdn,ip}.cpp.
 *
 * Runs under the adapter mutex: Send... on the thread that asks (Synchronize)
 * or on the adapter thread (from an answer), Handle... on the adapter thread.
 */
#include <string.h>

#include <algorithm>

#include "sigtrace_adapter_wire_internal.h"
#include "vqx_string.h"

namespace VQCAF {
namespace vqdisc {

namespace {

constexpr SRequestKind kCatalogue[] = {
    {0x04090001u, "ADAPTER_OP_CONFIG_GET", 2688, false, "CVQSigTraceAdapter::SendAdapterConfigGet",
     "none of the board's entities discovered", 0, 0, false},
    {0x04210005u, "SS7_MTP2_OP_GET_LIST", 24, false, "CVQSigTraceAdapter::SendMtp2OpGetList",
     "its %u MTP2 instances not discovered", 31, VQ_SIGTRACE_TYPE_SS7, false},
    {0x04210014u, "SS7_MTP2_OP_LINK_GET_LIST", 24, true, "CVQSigTraceAdapter::SendMtp2OpLinkGetList",
     "the links of MTP2 instance %u not discovered", 0, VQ_SIGTRACE_TYPE_SS7, false},
    {0x04210012u, "SS7_MTP2_OP_LINK_GET_PARAMS", 312, true, "CVQSigTraceAdapter::SendMtp2OpLinkGetParams",
     "MTP2 link %u not discovered", 0, VQ_SIGTRACE_TYPE_SS7, true},
    {0x04540005u, "LAPD_OP_GET_LIST", 24, false, "CVQSigTraceAdapter::SendLapdOpGetList",
     "its %u LAPD instances not discovered", 64, VQ_SIGTRACE_TYPE_LAPD, false},
    {0x04540014u, "LAPD_OP_LINK_GET_LIST", 24, true, "CVQSigTraceAdapter::SendLapdOpLinkGetList",
     "the links of LAPD instance %u not discovered", 0, VQ_SIGTRACE_TYPE_LAPD, false},
    {0x04540012u, "LAPD_OP_LINK_GET_PARAMS", 112, true, "CVQSigTraceAdapter::SendLapdOpLinkGetParams",
     "LAPD link %u not discovered", 0, VQ_SIGTRACE_TYPE_LAPD, true},
    {0x04080004u, "ISDN_OP_GET_LIST", 24, false, "CVQSigTraceAdapter::SendIsdnOpGetList",
     "its %u ISDN instances not discovered", 20, VQ_SIGTRACE_TYPE_ISDN, false},
    {0x04080003u, "ISDN_OP_GET_PARAMS", 120, true, "CVQSigTraceAdapter::SendIsdnOpGetParams",
     "ISDN instance %u not discovered", 0, VQ_SIGTRACE_TYPE_ISDN, true},
    {0x04510004u, "CASR2_OP_GET_LIST", 24, false, "CVQSigTraceAdapter::SendCasr2OpGetList",
     "its %u CAS R2 instances not discovered", 59, VQ_SIGTRACE_TYPE_CASR2, false},
    {0x04510003u, "CASR2_OP_GET_PARAMS", 63032, true, "CVQSigTraceAdapter::SendCasr2OpGetParams",
     "CAS R2 instance %u not discovered", 0, VQ_SIGTRACE_TYPE_CASR2, true},
    {0x04390004u, "TUCL_OP_GET_LIST", 24, false, "CVQSigTraceAdapter::SendTuclOpGetList",
     "its %u TUCL instances not discovered", 110, VQ_SIGTRACE_TYPE_IP, false},
    {0x04390003u, "TUCL_OP_GET_PARAMS", 40, true, "CVQSigTraceAdapter::SendTuclOpGetParams",
     "TUCL instance %u not discovered", 0, VQ_SIGTRACE_TYPE_IP, true},
};
/* Every request with its header stays within what may be sent to a board. */
static_assert(std::all_of(std::begin(kCatalogue), std::end(kCatalogue),
                          [](const SRequestKind& k) { return k.un32Size % 8 == 0 && k.un32Size + 88 <= 64000; }));

constexpr SIsdnVariant kIsdnVariants[] = {
    {1, "4ESS", 0x01000000u},       {2, "AUS PRI", 0x01000000u},       {3, "5ESS PRI", 0x01000000u},
    {4, "NET5", 0x00010000u},       {5, "DMS PRI", 0x01000000u},       {6, "US NI2 PRI", 0x01000000u},
    {7, "HONG KONG PRI", 0x01000000u}, {8, "JAPAN INS", 0x01000000u},
};

}  // namespace

const SRequestKind* RequestKind(u32 un32MsgId) {
  for (const SRequestKind& k : kCatalogue)
    if (k.un32MsgId == un32MsgId) return &k;
  return nullptr;
}

const SIsdnVariant* IsdnVariant(u32 un32Variant) {
  for (const SIsdnVariant& v : kIsdnVariants)
    if (v.un32Variant == un32Variant) return &v;
  return nullptr;
}

CVQSigTraceCursor AnswerPayload(const unsigned int* pMsg) {
  const VQX_MSG_HEADER* pHeader = reinterpret_cast<const VQX_MSG_HEADER*>(pMsg);
  const u32 un32Start = pHeader->un32PayloadStart, un32Total = pHeader->un32Length;
  if (un32Start < VQX_MSG_HEADER_SIZE || un32Start > un32Total) return CVQSigTraceCursor();
  const u32 un32Length = std::min(pHeader->un32PayloadLength, un32Total - un32Start);
  return CVQSigTraceCursor(reinterpret_cast<const u8*>(pMsg) + un32Start, un32Length);
}

u32 Le32(const CVQSigTraceCursor& c, u32 un32Offset) {
  const std::span<const u8> b = c.Bytes(un32Offset, 4);
  return u32(b[0]) | u32(b[1]) << 8 | u32(b[2]) << 16 | u32(b[3]) << 24;
}

u64 Be64(const CVQSigTraceCursor& c, u32 un32Offset) {
  u64 un64 = 0;
  for (u8 by : c.Bytes(un32Offset, 8)) un64 = un64 << 8 | by;
  return un64;
}

u32 WholeEntries(const CVQSigTraceCursor& c, u32 un32Offset, u32 un32Count, u32 un32Size) {
  const u32 un32Room = c.Size() > un32Offset ? (c.Size() - un32Offset) / un32Size : 0;
  return std::min(un32Count, un32Room);
}

u8 BitMaskFromSelector(u32 un32Selector) {
  return un32Selector == 2 ? 0x7F : un32Selector == 3 ? 0x7E : 0xFF;
}

}  // namespace vqdisc

using namespace vqdisc;

/* ------------------------------------------------------------ requests */

u32 CVQSigTraceAdapter::NewMsg(const char* pszOperation, u32 un32MsgId, u32 un32Type, u32 un32Size, u32 hAdapter,
                               u64 un64Context1, VQX_MSG_HANDLE* phMsg) {
  *phMsg = nullptr;
  /* Not initialised, or cleared: there is no library to take a message from. */
  if (mhHostLib == nullptr) return Failure(pszOperation, "VQXGetMsg failed", VQX_RESULT_INVALID_STATE, __LINE__);
  VQX_MSG_HANDLE hMsg = nullptr;
  const VQX_RESULT r = VQXGetMsgDbg(mhHostLib, un32Size, &hMsg, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return Failure(pszOperation, "VQXGetMsg failed", r, __LINE__);
  memset(VQXMsgPayload(hMsg), 0, hMsg->un32PayloadMaxLength);
  hMsg->un32MsgId = un32MsgId;
  hMsg->MsgType = un32Type;
  hMsg->un32PayloadLength = std::min(un32Size, hMsg->un32PayloadMaxLength);
  hMsg->hAdapter = hAdapter;
  hMsg->un64UserContext1 = un64Context1;
  hMsg->un64UserContext2 = 0;
  *phMsg = hMsg;
  return VQX_RESULT_OK;
}

u32 CVQSigTraceAdapter::SendRequest(const char* pszOperation, u32 un32MsgId, u32 un32Item, u32 un32Key) {
  const SRequestKind* pKind = RequestKind(un32MsgId);
  if (un32Key == 0) {
    un32Key = ++mun32LastKey;
    mRequests[un32Key] = SRequest{un32MsgId, un32Item, 0, 0, 0, false, {}, 0};
  } else {
    mRequests[un32Key].un32Resends++;
  }
  SRequest& Request = mRequests[un32Key];  /* stays in place: the mutex is held throughout */
  Request.fSent = false;
  Request.un64QueuedAs = 0;
  /* A failed try counts from when it began, not from a time read after its
   * failure line, which a reader of the log could already have acted on. */
  Request.un64SentAt = Now();
  CountOutstanding();
  VQX_MSG_HANDLE hMsg = nullptr;
  u32 r = NewMsg(pszOperation, un32MsgId, VQX_MSG_TYPE_REQUEST, pKind->un32Size, mAdapterInfo.hAdapter,
                 mun64RequestContext, &hMsg);
  if (VQX_RESULT_FAILED(r)) return r;
  u8* pPayload = VQXMsgPayload(hMsg);
  const auto Put32 = [&](u32 un32Offset, u32 un32Value) {
    for (u32 i = 0; i < 4; i++) pPayload[un32Offset + i] = static_cast<u8>(un32Value >> (8 * i));
  };
  Put32(kOffVersion, kMsgVersion);
  if (pKind->fItem) Put32(kOffItem, un32Item);
  /* The board echoes the serial that the message got when it was taken. */
  const u32 un32Serial = hMsg->un32SerialNumber;
  r = VQXSendMsgDbg(mhHostLib, &hMsg, nullptr, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return Failure(pszOperation, "VQXSendMsg failed", r, __LINE__);
  /* The resend clock runs once it left the board's send queue (ResendOverdue looks), from here when it did already:
   * the send may have waited for room in the queue, and it may wait there behind others for the link. */
  VQX_PEER_SEND_QUEUE Queue{};
  const bool fQueued = VQX_RESULT_SUCCEEDED(VQXGetPeerSendQueue(mhHostLib, mhAdapter, &Queue)) && Queue.un32Waiting != 0;
  Request.fSent = true;
  Request.un64SentAt = Now();
  Request.un64QueuedAs = fQueued ? Queue.un64Queued : 0;
  if (Request.un32Copies < std::size(Request.aun32Serials)) Request.aun32Serials[Request.un32Copies++] = un32Serial;
  mSerials[un32Serial] = un32Key;
  return VQX_RESULT_OK;
}

void CVQSigTraceAdapter::Ask(u32 un32MsgId, u32 un32Item) {
  const SRequestKind* pKind = RequestKind(un32MsgId);
  if (pKind->fRegisters && mEntities.GetCount() >= VQ_SIGTRACE_MAX_ENTITIES) {
    /* Nothing its answer holds could be registered: counted past the table, not asked. */
    PastTable(pKind->un32Type, 1);
  } else if (QueuedCount() < VQ_SIGTRACE_MAX_QUEUED) {
    const bool fTraced = mun32TracedTypes == 0 || (mun32TracedTypes & (1u << pKind->un32Type)) != 0;
    maQueued[!pKind->fRegisters ? kQueueLists : fTraced ? kQueueTraced : kQueueOthers].push_back(SAsked{un32MsgId, un32Item});
  } else {
    /* A board listing more than a round can queue: what is past it counted, the first named. */
    if (mun32NotAsked++ == 0)
      LogTrace(VQERR, "\033[36m<Sync> %s: %s (item %u) and the requests after it not asked, past the %u a discovery "
                      "queues: %s", GetAdapterName(), RequestKind(un32MsgId)->pszName, un32Item, VQ_SIGTRACE_MAX_QUEUED,
               CoverText(un32MsgId, un32Item).c_str());
    mLeftOut.un32NotDiscovered += Covers(un32MsgId);
  }
  CountOutstanding();
}

void CVQSigTraceAdapter::Pump() {
  /* A stop ends the sends between two of them: what is left is counted as the round's cut short (Clear). */
  while (mRequests.size() < VQ_SIGTRACE_MAX_IN_FLIGHT && IsStopRequested() == 0) {
    std::deque<SAsked>* pQueue = NextQueue();
    if (pQueue == nullptr) break;
    const SAsked Next = pQueue->front();
    pQueue->pop_front();
    SendRequest(RequestKind(Next.un32MsgId)->pszSender, Next.un32MsgId, Next.un32Item);
  }
  if (mEntities.GetCount() >= VQ_SIGTRACE_MAX_ENTITIES) {
    /* The table full: the items still to ask could register nothing. */
    for (std::deque<SAsked>* pQueue : {&maQueued[kQueueTraced], &maQueued[kQueueOthers]}) {
      for (const SAsked& Asked : *pQueue) PastTable(RequestKind(Asked.un32MsgId)->un32Type, 1);
      pQueue->clear();
    }
  }
  CountOutstanding();
}

std::deque<CVQSigTraceAdapter::SAsked>* CVQSigTraceAdapter::NextQueue() {
  if (!maQueued[kQueueLists].empty()) return &maQueued[kQueueLists];
  /* An item goes while the table has a place for it beyond those the items awaited may take; the others' items once
   * no request of a family traced is awaited either (its answer may list more). */
  u32 un32Awaited = 0;
  bool fTracedAwaited = false;
  for (const auto& [un32Key, Request] : mRequests) {
    const SRequestKind* pKind = RequestKind(Request.un32MsgId);
    un32Awaited += pKind->fRegisters ? 1 : 0;
    fTracedAwaited = fTracedAwaited || pKind->un32Type == 0 || (mun32TracedTypes & (1u << pKind->un32Type)) != 0;
  }
  if (mEntities.GetCount() + un32Awaited >= VQ_SIGTRACE_MAX_ENTITIES) return nullptr;
  if (!maQueued[kQueueTraced].empty()) return &maQueued[kQueueTraced];
  if (!maQueued[kQueueOthers].empty() && !fTracedAwaited) return &maQueued[kQueueOthers];
  return nullptr;
}

size_t CVQSigTraceAdapter::QueuedCount() const {
  size_t n = 0;
  for (const std::deque<SAsked>& Queue : maQueued) n += Queue.size();
  return n;
}

void CVQSigTraceAdapter::PastTable(u32 un32Type, u32 un32Count) {
  mLeftOut.un32PastTable += un32Count;
  if (un32Type < SVQDiscoveryLeftOut::kTypes) mLeftOut.aun32PastTableOf[un32Type] += un32Count;
}

u32* CVQSigTraceAdapter::FeatureCount(u32 un32FeatureId) {
  switch (un32FeatureId) {
    case 31: return &mun32NbMtp2;
    case 20: return &mun32NbIsdn;
    case 59: return &mun32NbCasr2;
    case 110: return &mun32NbTucl;
    case 64: return &mun32NbLapd;
    default: return nullptr;
  }
}

u32 CVQSigTraceAdapter::Covers(u32 un32MsgId) {
  const SRequestKind* pKind = RequestKind(un32MsgId);
  const u32* pun32Count = pKind != nullptr ? FeatureCount(pKind->un32Feature) : nullptr;
  return pun32Count != nullptr ? std::max<u32>(*pun32Count, 1) : 1;
}

CVQCAFString CVQSigTraceAdapter::CoverText(u32 un32MsgId, u32 un32Item) {
  const SRequestKind* pKind = RequestKind(un32MsgId);
  char szText[128];
  Snprintf(szText, sizeof(szText), pKind->pszCovers, pKind->un32Feature != 0 ? Covers(un32MsgId) : un32Item);
  CVQCAFString str;
  str = szText;
  return str;
}

u32 CVQSigTraceAdapter::SendAdapterConfigGet() {
  return SendRequest("CVQSigTraceAdapter::SendAdapterConfigGet", 0x04090001u, 0);
}
u32 CVQSigTraceAdapter::SendMtp2OpGetList() {
  return SendRequest("CVQSigTraceAdapter::SendMtp2OpGetList", 0x04210005u, 0);
}
u32 CVQSigTraceAdapter::SendMtp2OpLinkGetList(unsigned int un32Instance) {
  return SendRequest("CVQSigTraceAdapter::SendMtp2OpLinkGetList", 0x04210014u, un32Instance);
}
u32 CVQSigTraceAdapter::SendMtp2OpLinkGetParams(unsigned int un32Link) {
  return SendRequest("CVQSigTraceAdapter::SendMtp2OpLinkGetParams", 0x04210012u, un32Link);
}
u32 CVQSigTraceAdapter::SendLapdOpGetList() {
  return SendRequest("CVQSigTraceAdapter::SendLapdOpGetList", 0x04540005u, 0);
}
u32 CVQSigTraceAdapter::SendLapdOpLinkGetList(unsigned int un32Instance) {
  return SendRequest("CVQSigTraceAdapter::SendLapdOpLinkGetList", 0x04540014u, un32Instance);
}
u32 CVQSigTraceAdapter::SendLapdOpLinkGetParams(unsigned int un32Link) {
  return SendRequest("CVQSigTraceAdapter::SendLapdOpLinkGetParams", 0x04540012u, un32Link);
}
u32 CVQSigTraceAdapter::SendIsdnOpGetList() {
  return SendRequest("CVQSigTraceAdapter::SendIsdnOpGetList", 0x04080004u, 0);
}
u32 CVQSigTraceAdapter::SendIsdnOpGetParams(unsigned int un32Instance) {
  return SendRequest("CVQSigTraceAdapter::SendIsdnOpGetParams", 0x04080003u, un32Instance);
}
u32 CVQSigTraceAdapter::SendCasr2OpGetList() {
  return SendRequest("CVQSigTraceAdapter::SendCasr2OpGetList", 0x04510004u, 0);
}
u32 CVQSigTraceAdapter::SendCasr2OpGetParams(unsigned int un32Instance) {
  return SendRequest("CVQSigTraceAdapter::SendCasr2OpGetParams", 0x04510003u, un32Instance);
}
u32 CVQSigTraceAdapter::SendTuclOpGetList() {
  return SendRequest("CVQSigTraceAdapter::SendTuclOpGetList", 0x04390004u, 0);
}
u32 CVQSigTraceAdapter::SendTuclOpGetParams(unsigned int un32Instance) {
  return SendRequest("CVQSigTraceAdapter::SendTuclOpGetParams", 0x04390003u, un32Instance);
}

/* ------------------------------------------------------------ answers */

u32 CVQSigTraceAdapter::HandleAdapterConfigGetResponse(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTraceAdapter::HandleAdapterConfigGetResponse";
  if (pMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  try {
    const CVQSigTraceCursor c = AnswerPayload(pMsg);
    const i32 n32Result = Result(c);
    if (n32Result < 0) return Failure(kOp, "Adapter config get failed", static_cast<u32>(n32Result), __LINE__);
    const u32 un32Announced = Le32(c, kOffFeatureCount);
    const u32 un32Count = WholeEntries(c, kOffFeatures, un32Announced, kFeatureSize);
    if (un32Count < un32Announced)
      LogTrace(VQERR, "%s: %u feature entries announced, %u received", kOp, un32Announced, un32Count);
    /* Each feature's resource count, then the list of each family that has one, in this order. */
    for (u32 i = 0; i < un32Count; i++) {
      const CVQSigTraceCursor Entry = c.Sub(kOffFeatures + i * kFeatureSize, kFeatureSize);
      const u32 un32Smaller = std::min(Le32(Entry, kOffFeatureCount1), Le32(Entry, kOffFeatureCount2));
      if (u32* pun32Count = FeatureCount(Le32(Entry, kOffFeatureId))) *pun32Count = un32Smaller;
    }
    for (u32 un32ListId : {0x04210005u, 0x04080004u, 0x04510004u, 0x04390004u, 0x04540005u})
      if (*FeatureCount(RequestKind(un32ListId)->un32Feature) != 0) Ask(un32ListId, 0);
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_ANSWER_CATCH(kOp)
}

u32 CVQSigTraceAdapter::HandleListResponse(unsigned int* pMsg, const char* pszOperation, const char* pszFailure,
                                           u32 un32NextMsgId, bool fTucl) {
  if (pMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  try {
    const CVQSigTraceCursor c = AnswerPayload(pMsg);
    const i32 n32Result = Result(c);
    if (n32Result < 0) return Failure(pszOperation, pszFailure, static_cast<u32>(n32Result), __LINE__);
    const u32 un32Announced = Le32(c, kOffListCount);
    const u32 un32Count = WholeEntries(c, kOffListIds, un32Announced, 4);
    if (un32Count < un32Announced)
      LogTrace(VQERR, "%s: %u entries announced, %u received", pszOperation, un32Announced, un32Count);
    for (u32 i = 0; i < un32Count; i++) {
      const u32 un32Id = Le32(c, kOffListIds + 4 * i);
      Ask(un32NextMsgId, un32Id);
      if (fTucl) mun32TuclInstanceId = un32Id;
    }
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_ANSWER_CATCH(pszOperation)
}

CVQSigTraceEntityParams* CVQSigTraceAdapter::RegisterEntity(u32 un32Type, const char* pszBoardName,
                                                             const CVQCAFString& strGenerated, bool fLookUp) {
  CVQCAFString strName;
  strName = pszBoardName;
  if (fLookUp && mEntities.Find(CVQCAFHashKeyString(strName)) != nullptr) strName = strGenerated;
  if (mEntities.GetCount() >= VQ_SIGTRACE_MAX_ENTITIES) {
    PastTable(un32Type, 1); /* one line for the discovery, when it completes */
    return nullptr;
  }
  CVQSigTraceEntityParams* p = mEntities.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString(strName));
  if (p == nullptr) {
    /* Its name (also the generated one) taken by another entity of the board: no place in the table for it. */
    mLeftOut.un32NotDiscovered++;
    LogTrace(VQERR, "\033[36m<Sync> %s: entity %s not registered: the name is taken", GetAdapterName(), strName.c_str());
    return nullptr;
  }
  p->mstrName = strName;
  p->mstrAdapterName = GetAdapterName();
  p->mstrGroupName = strGenerated;
  return p;
}

}  // namespace VQCAF
