/*
 * fuzz_peer_notif.cpp - peers coming and going from arbitrary bytes: paths
 * of three boards and three remote hosts go up and down with causes, each
 * with an advertisement decoded from fuzzed wire bytes by the transport's
 * own decoders, as the transport hands them to the library's up/down
 * callback; peers talk through the real receive callback (filter-done,
 * remote filters, messages of other groups with fuzzed user contexts);
 * a filter made later gets the presence replayed; applications query the
 * peer lists and records.
 *
 * Each input opens its own library (no state between inputs) and is a list
 * of operations (first byte & 7):
 *   0 paths: peer, gw0/gw1 states, cause, advertisement (kept, or new from
 *     wire bytes: 2-byte length, the bytes, decoded as from a link or not).
 *   1 a message from a peer: peer, path, id choice, user contexts, payload.
 *   2 / 3 make / destroy the late filter.  4 read the filters.
 *   5 time moves on.  6 queries.  7 both paths of a peer down.
 * What an application reads is checked: every notification has the layout
 * of its id, names the peer in its header and its payload, carries texts
 * that end inside their fields and user contexts 0, and a peer is never
 * announced removed without having been announced added, nor added twice;
 * every other message keeps the user contexts it was sent with.
 */
#include <map>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr u32 kNbPeers = 6; /* three boards (0xCA), three hosts (0xCB) */
constexpr u32 kSentRing = 256;
constexpr u8 kNbTransportReasons = 10; /* the transport's close reasons are 0..9 */

u32 PeerHandle(u8 un8Sel) {
  const u32 i = un8Sel % kNbPeers;
  return i < 3 ? 0xCA000001u + i : 0xCB000001u + (i - 3);
}
bool IsAdapter(u32 h) { return (h >> 24) == 0xCA; }

/* Payload length of each notification id. */
struct NotifLayout {
  u32 un32Id;
  u32 un32Payload;
};
constexpr NotifLayout kLayouts[] = {{0x02010001, 424}, {0x02010002, 424}, {0x02010003, 152}, {0x02010004, 160},
                                    {0x02010011, 432}, {0x02010012, 440}, {0x02010013, 152}, {0x02010014, 160}};

struct Run {
  VQX_LIB_HANDLE hLib = nullptr;
  fuzz::Callbacks cb;
  PFN_VQX_GW_ALLOC_MSG pFctAlloc = nullptr;
  VQX_FILTER_HANDLE hNotif = nullptr; /* made before any peer: the presence model */
  VQX_FILTER_HANDLE hOther = nullptr; /* every group but the library's own */
  VQX_FILTER_HANDLE hLate = nullptr;  /* made and destroyed by the input */
  union {
    VQX_GW_ADAPTER_ADV Adapter;
    VQX_GW_HOST_ADV Host;
  } aAdv[kNbPeers];
  bool afAdv[kNbPeers] = {};
  std::map<std::string, i32> Added; /* per record name: added minus removed, as filter hNotif saw them */
  u32 un32NextSerial = 1;
  u32 aun32SentSerial[kSentRing] = {};
  u64 aun64SentCtx[kSentRing][2] = {};
};

u32 PeerIndex(u32 h) { return IsAdapter(h) ? (h - 0xCA000001u) : 3 + (h - 0xCB000001u); }

bool Terminated(const char* p, size_t n) { return memchr(p, '\0', n) != nullptr; }

u32 Word(VQX_MSG_HANDLE hMsg, u32 un32Offset) {
  u32 v;
  memcpy(&v, VQXMsgPayload(hMsg) + un32Offset, sizeof(v));
  return v;
}
const char* Text(VQX_MSG_HANDLE hMsg, u32 un32Offset) {
  return reinterpret_cast<const char*>(VQXMsgPayload(hMsg)) + un32Offset;
}

void CheckAdapterInfo(VQX_MSG_HANDLE hMsg, u32 un32Offset) {
  const VQX_ADAPTER_INFO* p = reinterpret_cast<const VQX_ADAPTER_INFO*>(VQXMsgPayload(hMsg) + un32Offset);
  if (p->hAdapter != hMsg->hAdapter) abort();
  if (!Terminated(p->szIpAddress0, 64) || !Terminated(p->szIpAddress1, 64)) abort();
  if (!Terminated(p->szName, 128) || !Terminated(p->szName2, 128)) abort();
}

void CheckHostInfo(VQX_MSG_HANDLE hMsg, u32 un32Offset) {
  _VQX_HOST_INFO info;
  memcpy(&info, VQXMsgPayload(hMsg) + un32Offset, sizeof(info));
  if (info.hAdapter != hMsg->hAdapter) abort();
  if (!Terminated(info.szIpAddress0, 64) || !Terminated(info.szIpAddress1, 64)) abort();
  if (!Terminated(info.szHostName, 128) || !Terminated(info.szApplicationName, 128)) abort();
}

void CheckNotification(Run& r, VQX_MSG_HANDLE hMsg, bool fModel) {
  fuzz::CheckReceivedHeader(r.hLib, hMsg);
  const u32 h = hMsg->hAdapter;
  if (PeerHandle(static_cast<u8>(PeerIndex(h))) != h) abort();
  if (hMsg->MsgType != VQX_MSG_TYPE_EVENT || hMsg->un64UserContext1 != 0 || hMsg->un64UserContext2 != 0) abort();
  const NotifLayout* pLayout = nullptr;
  for (const NotifLayout& l : kLayouts) {
    if (l.un32Id == hMsg->un32MsgId) pLayout = &l;
  }
  if (pLayout == nullptr || hMsg->un32PayloadLength != pLayout->un32Payload) abort();
  if (hMsg->un32PayloadMaxLength != hMsg->un32PayloadLength) abort();
  const bool fHostId = (hMsg->un32MsgId & 0x10) != 0;
  if (fHostId == IsAdapter(h)) abort();
  const u32 un32Kind = hMsg->un32MsgId & 0x0F;
  if (un32Kind == 3 || un32Kind == 4) {
    /* Path up / down: handle, both states after the change, the addresses, the cause. */
    if (Word(hMsg, 8) != h || Word(hMsg, 12) > 1 || Word(hMsg, 16) > 1) abort();
    if (!Terminated(Text(hMsg, 20), 64) || !Terminated(Text(hMsg, 84), 64)) abort();
    if (un32Kind == 4 && Word(hMsg, 148) > 11) abort();
  } else if (un32Kind == 1) {
    IsAdapter(h) ? CheckAdapterInfo(hMsg, 8) : CheckHostInfo(hMsg, 8);
  } else {
    if (Word(hMsg, 8) != h) abort();
    IsAdapter(h) ? CheckAdapterInfo(hMsg, 12) : CheckHostInfo(hMsg, 16);
  }
  if (!fModel || (un32Kind != 1 && un32Kind != 2)) return;
  /* Records are known by name: the board's serial (else its name), or host-application-unique id. */
  const u32 un32Info = un32Kind == 1 ? 8 : IsAdapter(h) ? 12 : 16;
  std::string name;
  if (IsAdapter(h)) {
    const VQX_ADAPTER_INFO* p = reinterpret_cast<const VQX_ADAPTER_INFO*>(VQXMsgPayload(hMsg) + un32Info);
    name = p->szName2[0] != '\0' ? p->szName2 : p->szName;
  } else {
    _VQX_HOST_INFO info;
    memcpy(&info, VQXMsgPayload(hMsg) + un32Info, sizeof(info));
    char szId[20];
    snprintf(szId, sizeof(szId), "-%016llX", static_cast<unsigned long long>(info.un64UniqueHostId));
    name = std::string(info.szHostName) + "-" + info.szApplicationName + szId;
  }
  i32& iAdded = r.Added[name];
  if (un32Kind == 1 && iAdded++ != 0) abort();
  if (un32Kind == 2 && --iAdded != 0) abort();
}

void CheckOther(Run& r, VQX_MSG_HANDLE hMsg) {
  fuzz::CheckReceivedHeader(r.hLib, hMsg);
  if (PeerHandle(static_cast<u8>(PeerIndex(hMsg->hAdapter))) != hMsg->hAdapter) abort();
  /* User contexts travel as they were sent (requests keep their serial). */
  if (hMsg->MsgType != VQX_MSG_TYPE_REQUEST) return;
  const u32 k = hMsg->un32SerialNumber % kSentRing;
  if (r.aun32SentSerial[k] != hMsg->un32SerialNumber) return;
  if (hMsg->un64UserContext1 != r.aun64SentCtx[k][0] || hMsg->un64UserContext2 != r.aun64SentCtx[k][1]) abort();
}

void Drain(Run& r, VQX_FILTER_HANDLE hFilter, int iKind) {
  for (u32 round = 0; round < 1024; round++) {
    VQX_MSG_HANDLE ahMsg[VQX_RECEIVE_MULTIPLE_MAX] = {};
    u32 n = VQX_RECEIVE_MULTIPLE_MAX;
    if (VQXReceiveMsgMultiple(r.hLib, hFilter, 0, &n, ahMsg) != VQX_RESULT_API_OK || n == 0) return;
    for (u32 k = 0; k < n; k++) {
      if (iKind == 2) {
        CheckOther(r, ahMsg[k]);
      } else {
        CheckNotification(r, ahMsg[k], iKind == 0);
      }
      VQXReleaseMsgEx(r.hLib, &ahMsg[k]);
    }
  }
}

void DrainAll(Run& r) {
  Drain(r, r.hNotif, 0);
  if (r.hLate != nullptr) Drain(r, r.hLate, 1);
  Drain(r, r.hOther, 2);
}

_VQX_FILTER_PARAMS Set(u32 un32Mask, u32 un32Group) {
  _VQX_FILTER_PARAMS set;
  memset(&set, 0, sizeof(set));
  set.un32Version = 1;
  set.un32Mask = un32Mask;
  set.MsgGroup = un32Group;
  return set;
}

VQX_FILTER_HANDLE MakeFilter(Run& r, u32 un32Mask) {
  _VQX_FILTER_PARAMS set = Set(un32Mask, 0x0201);
  VQX_FILTER_HANDLE h = nullptr;
  if (VQXCreateMsgFilterEx(r.hLib, 1, &set, &h) != VQX_RESULT_API_OK) abort();
  return h;
}

/* The peer's advertisement: kept, new from wire bytes, or a default one. False when the transport would not have
   passed it (a packet its decoder refuses). */
bool Advertisement(Run& r, u32 h, fuzz::Input& in) {
  const u32 i = PeerIndex(h);
  const u8 un8Source = in.U8();
  if ((un8Source & 1) != 0) {
    u8 abyWire[vqxgw::kAdapterAdvSize] = {};
    u32 un32Length = in.U16() % (sizeof(abyWire) + 1);
    un32Length = static_cast<u32>(in.Bytes(abyWire, un32Length));
    const vqxgw::VqxGwCursor cursor(abyWire, un32Length);
    const bool fOk = IsAdapter(h) ? vqxgw::DecodeAdapterAdv(cursor, r.aAdv[i].Adapter, (un8Source & 2) != 0)
                                  : vqxgw::DecodeHostAdv(cursor, r.aAdv[i].Host);
    if (!fOk) return false;
    r.afAdv[i] = true;
  } else if (!r.afAdv[i] || (un8Source & 2) != 0) {
    char szName[16];
    snprintf(szName, sizeof(szName), "PEER%u", i);
    if (IsAdapter(h)) {
      r.aAdv[i].Adapter = fuzz::BoardAdv(szName, fuzz::PickBuild(in.U8(), in));
    } else {
      r.aAdv[i].Host = fuzz::HostAdv(szName, 0x0A00000200000000ull | i, fuzz::PickBuild(in.U8(), in));
    }
    r.afAdv[i] = true;
  }
  /* Each instance passes only advertisements that carry its reply id. */
  if (IsAdapter(h)) {
    r.aAdv[i].Adapter.un32Id = fuzz::kAdapterReplyId;
  } else {
    r.aAdv[i].Host.un32Id = fuzz::kHostReplyId;
  }
  return true;
}

void OpPaths(Run& r, fuzz::Input& in) {
  const u32 h = PeerHandle(in.U8());
  const u8 un8States = in.U8();
  const u8 un8Cause = in.U8() % kNbTransportReasons;
  if (!Advertisement(r, h, in)) return;
  r.cb.pFctUpDown(r.hLib, h, &r.aAdv[PeerIndex(h)], un8States & 1, (un8States >> 1) & 1, un8Cause);
}

void OpMessage(Run& r, fuzz::Input& in) {
  static const u32 kIds[] = {0x020D0107, 0x020D0100, 0x020D0101, 0x020D0102, 0x020D0103,
                             0x020D0104, 0x020D0105, 0x020D0106, 0x0B080101, 0x03000001};
  const u8 un8Sel = in.U8();
  const u32 h = PeerHandle(un8Sel);
  const u8 un8Id = in.U8();
  const u32 un32Id = un8Id < sizeof(kIds) / sizeof(kIds[0]) ? kIds[un8Id] : 0x0B080000u | in.U16();
  const u64 un64Ctx1 = in.U64(), un64Ctx2 = in.U64();
  const u32 un32Payload = 8u + in.U16() % 1024u;
  const u32 un32Size = VQX_MSG_HEADER_SIZE + un32Payload;
  u8* pBuf = static_cast<u8*>(r.pFctAlloc(r.hLib, un32Size));
  if (pBuf == nullptr) abort();
  memset(pBuf, 0, un32Size);
  in.Bytes(pBuf + VQX_MSG_HEADER_SIZE, un32Payload);
  _VQX_MSG_HEADER* pHdr = reinterpret_cast<_VQX_MSG_HEADER*>(pBuf);
  const u32 un32Serial = r.un32NextSerial++;
  pHdr->un32MsgId = htobe32(un32Id);
  pHdr->MsgType = htobe32(VQX_MSG_TYPE_REQUEST);
  pHdr->un32Length = htobe32(un32Size);
  pHdr->un32PayloadLength = htobe32(un32Payload);
  pHdr->un32PayloadMaxLength = htobe32(un32Payload);
  pHdr->un32PayloadStart = htobe32(VQX_MSG_HEADER_SIZE);
  pHdr->un32SerialNumber = un32Serial; /* sender's byte order, as are the user contexts */
  pHdr->un64UserContext1 = un64Ctx1;
  pHdr->un64UserContext2 = un64Ctx2;
  pHdr->un32TrackMagic = htobe32(1);
  pHdr->un32FixedTwo = htobe32(2);
  r.aun32SentSerial[un32Serial % kSentRing] = un32Serial;
  r.aun64SentCtx[un32Serial % kSentRing][0] = un64Ctx1;
  r.aun64SentCtx[un32Serial % kSentRing][1] = un64Ctx2;
  void* apMsgs[1] = {pBuf};
  u32 aun32Sizes[1] = {un32Size};
  u32 fStop = 0;
  r.cb.pFctRxMultiple(r.hLib, h, (un8Sel & 0x80) != 0 ? 0u : 1u, 1, apMsgs, aun32Sizes, &fStop);
}

void OpQueries(Run& r) {
  u32 ahPeers[kNbPeers + 2];
  u32 n = 0;
  if (VQX_RESULT_FAILED(VQXGetAdaptersList(r.hLib, kNbPeers + 2, &n, ahPeers)) || n > kNbPeers) abort();
  for (u32 i = 0; i < n; i++) {
    VQX_ADAPTER_INFO info;
    if (PeerHandle(static_cast<u8>(PeerIndex(ahPeers[i]))) != ahPeers[i]) abort();
    if (VQXGetAdapterInfo(r.hLib, ahPeers[i], &info) != VQX_RESULT_API_OK) continue;
    if (!Terminated(info.szName, 128) || !Terminated(info.szName2, 128) || !Terminated(info.szIpAddress0, 64)) abort();
    VQX_ADAPTER_INFO found;
    if (info.szName2[0] != '\0' && VQX_RESULT_FAILED(VQXFindAdapter(r.hLib, info.szName2, &found))) abort();
  }
  if (VQX_RESULT_FAILED(VQXGetRemoteHostsList(r.hLib, kNbPeers + 2, &n, ahPeers)) || n > kNbPeers) abort();
  for (u32 i = 0; i < n; i++) {
    _VQX_HOST_INFO info;
    if (PeerHandle(static_cast<u8>(PeerIndex(ahPeers[i]))) != ahPeers[i]) abort();
    if (VQXGetRemoteHostInfo(r.hLib, ahPeers[i], &info) != VQX_RESULT_API_OK) continue;
    if (!Terminated(info.szHostName, 128) || !Terminated(info.szApplicationName, 128)) abort();
    if (!Terminated(info.szIpAddress0, 64) || !Terminated(info.szIpAddress1, 64)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  static const bool s_fPrepared = (fuzz::PrepareProcess(), true);
  (void)s_fPrepared;
  Run r;
  r.hLib = fuzz::OpenLib(0, 256);
  r.cb = fuzz::TakeCallbacks(r.hLib);
  {
    VqxGwLibParams params;
    u32* paSubnets = nullptr;
    VqxGwFillParams(r.hLib, 0, &params, &paSubnets);
    free(paSubnets);
    r.pFctAlloc = params.pFctAllocMsg;
  }
  r.hNotif = MakeFilter(r, VQX_FILTER_MASK_MSG_GROUP);
  r.hOther = MakeFilter(r, VQX_FILTER_MASK_NOT_MSG_GROUP);
  fuzz::Input in(pbyData, size);
  while (in.Left() != 0) {
    const u8 un8Op = in.U8();
    switch (un8Op & 7) {
      case 0:
        OpPaths(r, in);
        break;
      case 1:
        OpMessage(r, in);
        break;
      case 2:
        if (r.hLate == nullptr) r.hLate = MakeFilter(r, VQX_FILTER_MASK_MSG_GROUP);
        break;
      case 3:
        if (r.hLate != nullptr) {
          Drain(r, r.hLate, 1);
          VQXDestroyMsgFilterEx(r.hLib, &r.hLate);
        }
        break;
      case 4:
        DrainAll(r);
        break;
      case 5:
        fuzz::AdvanceClock(in.U16());
        break;
      case 6:
        OpQueries(r);
        break;
      default: {
        const u32 h = PeerHandle(in.U8());
        const u8 un8Cause = in.U8() % kNbTransportReasons;
        if (r.afAdv[PeerIndex(h)]) r.cb.pFctUpDown(r.hLib, h, &r.aAdv[PeerIndex(h)], 0, 0, un8Cause);
        break;
      }
    }
  }
  DrainAll(r);
  if (r.hLate != nullptr) VQXDestroyMsgFilterEx(r.hLib, &r.hLate);
  VQXDestroyMsgFilterEx(r.hLib, &r.hNotif);
  VQXDestroyMsgFilterEx(r.hLib, &r.hOther);
  VQXCloseLibEx(&r.hLib);
  return 0;
}
