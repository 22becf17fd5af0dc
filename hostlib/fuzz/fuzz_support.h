/*
 * fuzz_support.h - what the host library's fuzz targets share: a library
 * opened with both gateway transports off and no receive thread, a clock
 * that moves only when an input says so, the transport's callbacks taken
 * from the record the glue fills for a real transport instance, a send
 * stand-in that checks what would go on the wire, the checks of every
 * message an application reads (its user contexts read as names too), and a
 * bounded reader of the input bytes.
 *
 * Everything runs on libFuzzer's thread. The library's log thread is the
 * only other thread; whoever opens a library closes it (per input, or at
 * exit for a target that keeps state across inputs).
 */
#ifndef HOSTLIB_FUZZ_SUPPORT_H
#define HOSTLIB_FUZZ_SUPPORT_H

#include <endian.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "gw/hostlib_gwglue_internal.h"
#include "vqx_clock.h"
#include "vqx_gwlib_wire.h"
#include "vqx_host_filter.h"
#include "peer/vqx_host_peer_internal.h"
#include "vqx_usercontext.h"

namespace fuzz {

/* The reply ids of the two transport instances, as the stored advertisements carry them. */
constexpr u32 kAdapterReplyId = 0x47575041u; /* "APWG" */
constexpr u32 kHostReplyId = 0x484C5041u;    /* "APLH" */

/* Bounded reader: running out yields zeros and clears Ok(). */
class Input {
 public:
  Input(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
  bool Ok() const { return m_fOk; }
  size_t Left() const { return m_n - m_pos; }
  u8 U8() { return Need(1) ? m_p[m_pos++] : 0; }
  u16 U16() { return static_cast<u16>(U8() | (U8() << 8)); }
  u32 U32() { return U16() | (static_cast<u32>(U16()) << 16); }
  u64 U64() { return U32() | (static_cast<u64>(U32()) << 32); }
  /* Up to n bytes (fewer at the end); their count. */
  size_t Bytes(void* pOut, size_t n) {
    const size_t k = n < Left() ? n : Left();
    memcpy(pOut, m_p + m_pos, k);
    m_pos += k;
    if (k < n) m_fOk = false;
    return k;
  }

 private:
  bool Need(size_t n) {
    if (Left() < n) return m_fOk = false;
    return true;
  }
  const uint8_t* m_p;
  size_t m_n;
  size_t m_pos = 0;
  bool m_fOk = true;
};

/* ---------------------------------------------------------------- clock */

inline std::atomic<u64> g_un64NowMs{1000000};
inline u64 ClockSource() { return g_un64NowMs.load(); }
inline void AdvanceClock(u64 un64Ms) { g_un64NowMs.fetch_add(un64Ms); }

/* ------------------------------------------------------------- callbacks */

/* The receive and up/down callbacks, as the glue gives them to a transport instance. */
struct Callbacks {
  PFN_VQX_GW_RX_MULTIPLE pFctRxMultiple = nullptr;
  PFN_VQX_GW_UP_DOWN pFctUpDown = nullptr;
};

inline Callbacks TakeCallbacks(VQX_LIB_HANDLE hLib) {
  VqxGwLibParams params;
  u32* paSubnets = nullptr;
  VqxGwFillParams(hLib, 0, &params, &paSubnets);
  free(paSubnets);
  if (params.pRxCtx != hLib || params.pUpDownCtx != hLib) abort();
  return Callbacks{params.pFctRxMultiple, params.pFctUpDown};
}

/* Overflow and full-fifo answers that never sleep (the default overflow answer pauses 100 ms). */
inline std::atomic<u32> g_un32OverflowAction{0};
inline void StatusCallback(void*, VQX_LIB_HANDLE, u32, _VQX_LIB_ERROR_INFO* pInfo, _VQX_LIB_ERROR_ACTION* pAction) {
  if (pInfo->un32Cause == VQX_LIB_STATUS_RX_OVERFLOW) pAction->un32Action = g_un32OverflowAction.load() % 3u;
  if (pInfo->un32Cause == VQX_LIB_STATUS_TX_FIFO_FULL) pAction->un32Action = 0; /* drop, do not wait */
}

/* ------------------------------------------------------------ send stand-in */

/* What the stand-in saw, per peer: its numbering and the serials of requests to it. */
struct SentState {
  u32 hPeer = 0;
  u16 un16ConnectionCount = 0;
  u32 un32LastSeq = 0;
  u32 aun32RequestSerials[64] = {};
  u32 un32NbRequests = 0;
};
inline SentState g_aSent[2];

inline SentState* SentFor(u32 hPeer) {
  for (SentState& s : g_aSent) {
    if (s.hPeer == hPeer) return &s;
  }
  return nullptr;
}

inline u32 StandInCanSend(VQX_LIB_HANDLE, u32, u32* pun32OldestSeq) {
  *pun32OldestSeq = 0;
  return 255; /* an idle transport queue: kept messages go when the peer acknowledges them */
}

/* Each record as it would go on the wire: its size and sequence agree with its header, bytes 60..63 are 0,
   new sequence numbers follow each other (0 skipped), resent ones are behind. */
inline VQX_RESULT StandInSend(VQX_LIB_HANDLE hLib, u32 hPeer, u32 un32Count, const VqxGwLibSendRecord* pRecords) {
  SentState* pState = SentFor(hPeer);
  for (u32 i = 0; i < un32Count; i++) {
    const VqxGwLibSendRecord& r = pRecords[i];
    const _VQX_MSG_HEADER* pHdr = static_cast<const _VQX_MSG_HEADER*>(r.pMsg);
    if (r.un32Size < VQX_MSG_HEADER_SIZE || r.un32Size != be32toh(pHdr->un32Length)) abort();
    if (r.un32Seq != be32toh(pHdr->un32TxSeq) || pHdr->un32LocalWord != 0) abort();
    if (pState != nullptr && r.un32Seq != 0) {
      const u16 un16Count = be16toh(pHdr->un16ConnectionCount);
      if (un16Count != pState->un16ConnectionCount || pState->un32LastSeq == 0) {
        pState->un16ConnectionCount = un16Count;
        pState->un32LastSeq = r.un32Seq;
      } else if (static_cast<i32>(r.un32Seq - pState->un32LastSeq) > 0) {
        const u32 un32Next = pState->un32LastSeq + 1 == 0 ? 1u : pState->un32LastSeq + 1;
        if (r.un32Seq != un32Next) abort();
        pState->un32LastSeq = r.un32Seq;
      }
      if (be32toh(pHdr->MsgType) == VQX_MSG_TYPE_REQUEST && pHdr->un32SerialNumber != 0) {
        pState->aun32RequestSerials[pState->un32NbRequests++ % 64] = pHdr->un32SerialNumber;
      }
    }
    if (r.fFreeAfterSend) VqxBufFree(hLib, r.pMsg);
  }
  return VQX_RESULT_OK;
}

inline const VQX_GW_SEND_STANDIN kStandIn = {StandInCanSend, StandInSend};

/* ------------------------------------------------------------------ open */

/* Once per process, before any open: the injected clock, no receive thread, the send stand-in. */
inline void PrepareProcess() {
  VqxClockSetSource(ClockSource);
  VqxHostLibSetPart(VQX_HOSTLIB_PART_RX_THREAD, nullptr);
  VqxGwSetSendStandIn(&kStandIn);
}

inline FILE* DevNull() {
  static FILE* s_pFile = fopen("/dev/null", "w");
  return s_pFile;
}

inline VQX_LIB_HANDLE OpenLib(u32 un32ReceiveFifoSize, u32 un32SendFifoSize) {
  _VQX_LIB_PARAMS params;
  memset(&params, 0, sizeof(params));
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  params.un32TraceLevel = 0xFFFFFFFF;
  params.un32ReceiveFifoSize = un32ReceiveFifoSize;
  params.un32SendFifoSize = un32SendFifoSize;
  /* VQX_FUZZ_LOG set: the library's lines on stderr, to see what an input reaches. */
  params.pErrorFile = getenv("VQX_FUZZ_LOG") != nullptr ? stderr : DevNull();
  params.pFctStatusCallback = StatusCallback;
  strcpy(params.szHostName, "fuzzhost");
  strcpy(params.szApplicationName, "fuzzapp");
  VQX_LIB_HANDLE hLib = nullptr;
  if (VQXOpenLib(&params, &hLib) != VQX_RESULT_API_OK) abort();
  return hLib;
}

/* ----------------------------------------------------------- advertisements */

inline VQX_GW_ADAPTER_ADV BoardAdv(const char* pszSerial, u32 un32Build) {
  VQX_GW_ADAPTER_ADV adv{};
  adv.un32Id = kAdapterReplyId;
  adv.un8NewInfo = 1;
  strcpy(adv.Info.szAdapterName, "fuzzboard");
  snprintf(adv.Info.szSerialNumber, sizeof(adv.Info.szSerialNumber), "%s", pszSerial);
  strcpy(adv.Info.szIpAddress0, "10.0.0.3");
  strcpy(adv.Info.szIpAddress1, "10.1.0.3");
  adv.Info.un32BuildNumber = un32Build;
  return adv;
}

inline VQX_GW_HOST_ADV HostAdv(const char* pszApp, u64 un64UniqueId, u32 un32Build) {
  VQX_GW_HOST_ADV adv{};
  adv.un32Id = kHostReplyId;
  adv.un8Kind = 2;
  adv.un8NewInfo = 1;
  adv.Info.un64UniqueId = un64UniqueId;
  adv.Info.un32InfoVersion = 2;
  strcpy(adv.Info.szHostName, "otherhost");
  snprintf(adv.Info.szAppName, sizeof(adv.Info.szAppName), "%s", pszApp);
  strcpy(adv.Info.szIpAddress0, "10.0.0.2");
  strcpy(adv.Info.szIpAddress1, "10.1.0.2");
  adv.Info.un32BuildNumber = un32Build;
  adv.Info.un8Two = 2;
  return adv;
}

/* Peer builds that change what the library does with a peer, and one from the input. */
inline u32 PickBuild(u8 un8Choice, Input& in) {
  static const u32 kBuilds[] = {0,          700,        799,        800,        0x004E0001, 0x00530303,
                                0x00530304, 0x00540001, 0x005F0800, 0x005F0801, 0x02021500, 0x02021501,
                                0x02070B04, 0x02070B05, 0xFFFFFFFF};
  const u32 n = sizeof(kBuilds) / sizeof(kBuilds[0]);
  return un8Choice % (n + 1) == n ? in.U32() : kBuilds[un8Choice % (n + 1)];
}

/* ------------------------------------------------------------- receiving */

/*
 * Two user-context words read as a name, the way applications read them: the text ends inside the buffer,
 * holds only the name alphabet (or reads "[Undefined]" for two zero words), and packs back to words that
 * read the same (the 24 'A' name, whose words would both be 0, excepted); one word read into a short buffer
 * is cut, not overrun.
 */
inline void CheckUserContextName(u64 un64Word1, u64 un64Word2) {
  char szName[32];
  memset(szName, 0x7F, sizeof(szName));
  if (HaManagerExtractUserContexts(un64Word1, un64Word2, szName, 25) != VQX_RESULT_OK) abort();
  const size_t n = strnlen(szName, 25);
  if (n == 25 || szName[25] != 0x7F) abort();
  if (strcmp(szName, VQX_USER_CONTEXT_UNDEFINED_TEXT) == 0) {
    if (un64Word1 != 0 || un64Word2 != 0) abort();
  } else {
    if (strspn(szName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") != n) abort();
    u64 un64Packed1 = 0, un64Packed2 = 0;
    if (HaManagerPackUserContexts(szName, &un64Packed1, &un64Packed2) != VQX_RESULT_OK) {
      if (n != 24 || strspn(szName, "A") != 24) abort();
    } else {
      char szAgain[32];
      if (HaManagerExtractUserContexts(un64Packed1, un64Packed2, szAgain, sizeof(szAgain)) != VQX_RESULT_OK) abort();
      if (strcmp(szName, szAgain) != 0) abort();
    }
  }
  char szShort[8];
  memset(szShort, 0x7F, sizeof(szShort));
  if (HaManagerExtractOneUserContext(un64Word1, szShort, 5) != VQX_RESULT_OK) abort();
  if (strnlen(szShort, 5) == 5 || szShort[5] != 0x7F) abort();
}

/* Header of a message an application takes from a filter: whole, in host order, inside its buffer; its user
   contexts read as names both as they are and as stored big-endian. */
inline void CheckReceivedHeader(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  CheckUserContextName(hMsg->un64UserContext1, hMsg->un64UserContext2);
  CheckUserContextName(be64toh(hMsg->un64UserContext1), be64toh(hMsg->un64UserContext2));
  if (VQXTestMsgEx(hLib, hMsg, 0, 0) != VQX_RESULT_API_OK) abort();
  if (hMsg->un32PayloadStart != VQX_MSG_HEADER_SIZE) abort();
  if (hMsg->un32PayloadLength > hMsg->un32PayloadMaxLength) abort();
  if (u64{hMsg->un32PayloadStart} + hMsg->un32PayloadMaxLength > hMsg->un32Length) abort();
  if (hMsg->un32Length > VQX_MSG_MAX_BUFFER_SIZE || hMsg->un16FragInfo != 0 || hMsg->un32TrackMark != 0) abort();
}

}  // namespace fuzz

#endif
