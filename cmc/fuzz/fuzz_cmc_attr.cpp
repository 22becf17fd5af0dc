/*
 * fuzz_cmc_attr.cpp - received payloads into the call/media control
 * attributes: CopyFrom of the play, record and event holders and Assign of
 * the three generic headers, and CopyFrom of the media profile, the protocol
 * attribute and the two leg attributes, over random element sets. What was accepted is
 * copied or inserted again and its set checked, so that a copy that passed a
 * malformed set through is caught as well as any read past the payload.
 *
 * The core library's record copies that no attribute class wraps (leg and
 * mixer descriptions, the leg update, a profile or protocol attribute copied
 * directly, flag 0 included) and the value classes read from a payload (join,
 * collected digits, call transfer) are fed the same way.
 *
 * Input: u8 flags (bits 0-2 the target; with bit 5 set bits 0-1 pick the
 * profile, protocol, call-leg or media-only target instead; with bit 6 set
 * bits 0-2 pick a direct copy or a value class; bit 3 an end
 * marker of the 32-bit layout appended, bit 4 one of the 16-bit layout), u16 record offset in
 * 4-byte units (little-endian), then the payload bytes (at most 16 KiB).
 */
#include <cstdlib>
#include <cstring>

#include "cmc_fuzz_harness.h"
#include "vqcmc_generic_headers.h"
#include "vqcmc_attributes.h"
#include "vqcmc_leg_attributes.h"
#include "vqcmc_lib_util.h"
#include "vqcmc_protocol_attribute.h"
#include "vqcmc_media_attributes.h"
#include "vqcmclib.h"
#include "vqx_msg_element.h"

using namespace VQCAF;

namespace {

VQX_LIB_HANDLE s_hVqx = nullptr;
VQCMC_LIB_HANDLE s_hCmc = nullptr;

/* The bridge, the core library over its host library and the client singleton (the holders release
 * their messages through the bridge). */
void Open() {
  cmcfuzz::Open();
  s_hVqx = cmcfuzz::HostLib();
  s_hCmc = CVQCMCLib::GetInstance()->GetCmcLibHandle();
}

/* A message's copied set must pass the element library's own check. */
void MustHold(VQX_MSG_HANDLE h, const void* pSet) {
  if (VQX_RESULT_FAILED(VqxMsgElementCheckSet(h, pSet))) abort();
}

template <class Holder, class T>
void Holder_(VQX_MSG_HANDLE hIn, const T* pRecord) {
  Holder In;
  if (VQX_RESULT_FAILED(In.CopyFrom(hIn, pRecord))) return;
  MustHold(In.GetMsg(), In.GetPayload());
  Holder Out;
  if (VQX_RESULT_SUCCEEDED(In.CopyTo(Out.GetMsg(), Out.GetPayload()))) MustHold(Out.GetMsg(), Out.GetPayload());
}

/* Re-inserts an accepted header into a fresh protocol payload of 128 bytes. */
template <class Header>
void Reinsert(Header& Object) {
  VQX_MSG_HANDLE h = nullptr;
  if (VQXGetMsg(s_hVqx, 128 + 8192, &h) != VQX_RESULT_API_OK) abort();
  VQXMsgElementInit(h, 128);
  auto* pProtocol = reinterpret_cast<_VQCMC_PROTOCOL_ATTRIBUTE*>(VQXMsgPayload(h));
  if (VQX_RESULT_SUCCEEDED(Object.InsertAsGenericHeader(h, pProtocol))) {
    MustHold(h, VQXMsgPayload(h) + VQCMC_PROTOCOL_OFFSET_GENERIC_HEADERS);
  }
  VQXReleaseMsgEx(s_hVqx, &h);
}

/* A command message whose payload starts with an empty record of un32Size bytes. */
VQX_MSG_HANDLE Command(u32 un32Size) {
  VQX_MSG_HANDLE h = nullptr;
  if (VQXGetMsg(s_hVqx, un32Size + 16384, &h) != VQX_RESULT_API_OK) abort();
  VQXMsgElementInit(h, un32Size);
  return h;
}

void Profile(VQX_MSG_HANDLE hIn, const u8* pRecord) {
  CVQCMC_MEDIA_PROFILE In;
  if (VQX_RESULT_FAILED(In.CopyFrom(hIn, reinterpret_cast<const _VQCMC_MEDIA_PROFILE*>(pRecord)))) return;
  CVQCMC_MEDIA_PROFILE Copy(In);  // blobs copied by the size in their header: must lie in what was read
  if (Copy.GetProfileName().GetLength() > 64) abort();  // read within its 64-byte field
  auto* pSet = Copy.CreateMessage();
  // A profile with nothing to carry is a bare record: no element area to check.
  if (pSet != nullptr && pSet->GetMsg()->un32PayloadLength > sizeof(_VQCMC_MEDIA_PROFILE)) {
    MustHold(pSet->GetMsg(), &pSet->GetPayload()->setProfileElements);
  }
  CVQCMC_MEDIA_PROFILE::DestroyMessage(pSet);
}

void Protocol(VQX_MSG_HANDLE hIn, const u8* pRecord) {
  CVQCMC_PROTOCOL_ATTRIBUTE In;
  if (VQX_RESULT_FAILED(In.CopyFrom(hIn, reinterpret_cast<const _VQCMC_PROTOCOL_ATTRIBUTE*>(pRecord)))) return;
  MustHold(In.GetMsg(), &In.GetPayload()->setGenericHeaders);
  MustHold(In.GetMsg(), &In.GetPayload()->setProtocolData);
  CVQCMCUserToUserInfo Uui;
  CVQCMCExtraNumber Number;
  u8 un8A, un8B;
  In.GetUui(Uui), In.GetExtraNumber(static_cast<_VQCMC_PROTOCOL_NUMBER_TYPE>(3), Number), In.GetChargeNumber(un8A, un8B);
  VQX_MSG_HANDLE hOut = Command(sizeof(_VQCMC_PROTOCOL_ATTRIBUTE));
  auto* pOut = reinterpret_cast<_VQCMC_PROTOCOL_ATTRIBUTE*>(VQXMsgPayload(hOut));
  if (VQX_RESULT_SUCCEEDED(In.CopyTo(hOut, pOut))) {
    MustHold(hOut, &pOut->setGenericHeaders);
    MustHold(hOut, &pOut->setProtocolData);
  }
  VQXReleaseMsgEx(s_hVqx, &hOut);
}

template <class Leg, class T>
void LegAttribute(VQX_MSG_HANDLE hIn, const u8* pRecord) {
  Leg In;
  if (VQX_RESULT_FAILED(In.CopyFrom(hIn, reinterpret_cast<const T*>(pRecord)))) return;
  VQX_MSG_HANDLE hOut = Command(sizeof(T));
  T* pOut = reinterpret_cast<T*>(VQXMsgPayload(hOut));
  if (VQX_RESULT_SUCCEEDED(In.CopyTo(hOut, pOut))) MustHold(hOut, &pOut->MediaProfile.setProfileElements);
  In.GetCallingNumber(1);
  VQXReleaseMsgEx(s_hVqx, &hOut);
}

/* A record copied straight by the core library into a fresh command; what was accepted must hold its sets. */
template <class T, class F>
void Direct(VQX_MSG_HANDLE hIn, const u8* pRecord, F Copy, std::initializer_list<u32> Sets) {
  VQX_MSG_HANDLE hOut = Command(sizeof(T));
  T* pOut = reinterpret_cast<T*>(VQXMsgPayload(hOut));
  if (VQX_RESULT_SUCCEEDED(Copy(reinterpret_cast<const T*>(pRecord), hOut, pOut, hIn))) {
    for (u32 un32Set : Sets) MustHold(hOut, reinterpret_cast<u8*>(pOut) + un32Set);
  }
  VQXReleaseMsgEx(s_hVqx, &hOut);
}

/* The direct copies and the value classes (bit 6): records without a message check only where they fit. */
void Other(u8 un8Target, VQX_MSG_HANDLE hIn, const u8* pRecord, u32 un32Left) {
  constexpr u32 kLegProfile = offsetof(_VQCMC_LEG, CallLeg) + offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, MediaProfile) +
                              offsetof(_VQCMC_MEDIA_PROFILE, setProfileElements);
  switch (un8Target) {
    case 0:
      Direct<_VQCMC_LEG>(hIn, pRecord, [](auto p, auto h, auto q, auto s) { return VQCmcLibMsgCopyLeg(s_hCmc, p, h, q, s); },
                         {kLegProfile});
      break;
    case 1:
      Direct<_VQCMC_MIXER>(hIn, pRecord,
                           [](auto p, auto h, auto q, auto s) { return VQCmcLibMsgCopyMixer(s_hCmc, p, h, q, s); }, {});
      break;
    case 2:
      Direct<_VQCMC_MEDIA_PROFILE>(
          hIn, pRecord, [](auto p, auto h, auto q, auto s) { return VQCmcLibMsgCopyMediaProfile(s_hCmc, p, h, q, s); },
          {offsetof(_VQCMC_MEDIA_PROFILE, setProfileElements)});
      break;
    case 3:
      Direct<_VQCMC_PROTOCOL_ATTRIBUTE>(
          hIn, pRecord,
          [](auto p, auto h, auto q, auto s) { return VQCmcLibMsgCopyProtocolAttribute(s_hCmc, p, h, q, 0, s); },
          {offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, setGenericHeaders), offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, setProtocolData)});
      break;
    case 4:
      Direct<_VQCMC_CALL_LEG_ATTRIBUTE_UPDATE>(hIn, pRecord, [](auto p, auto h, auto q, auto s) {
        return VQCmcLibMsgCopyCallLegAttributeUpdate(s_hCmc, p, h, q, s);
      }, {});
      break;
    case 5: {
      CVQCMC_COLLECTED_DIGIT_ATTRIBUTE Digits;
      Digits.CopyFrom(reinterpret_cast<const _VQCMC_MSG_NOTIF_DIGIT_COLLECTED*>(VQXMsgPayload(hIn)),
                      hIn->un32PayloadLength);
      if (Digits.GetCollectedDigits().GetLength() > hIn->un32PayloadLength) abort();
      break;
    }
    case 6:
      if (un32Left >= sizeof(_VQCMC_JOIN_ATTRIBUTE)) {
        CVQCMC_JOIN_ATTRIBUTE Join;
        Join.CopyFrom(reinterpret_cast<const _VQCMC_JOIN_ATTRIBUTE*>(pRecord));
      }
      break;
    default:
      if (un32Left >= sizeof(_VQCMC_CALL_TRANSFER)) {
        CVQCAFString strNumber;
        CVQCMC_CALL_TRANSFER(*reinterpret_cast<const _VQCMC_CALL_TRANSFER*>(pRecord)).GetTransferNumber(&strNumber);
        if (strNumber.GetLength() >= VQCMC_TRANSFER_NUMBER_SIZE) abort();
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (s_hVqx == nullptr) Open();
  if (nSize < 3 || nSize > 3 + 16384) return 0;
  const u8 un8Flags = pData[0];
  const u32 un32Offset = 4u * (pData[1] | (pData[2] << 8));
  u32 un32Length = static_cast<u32>(nSize - 3);
  VQX_MSG_HANDLE h = nullptr;
  if (VQXGetMsg(s_hVqx, un32Length + 16, &h) != VQX_RESULT_API_OK) abort();
  u8* pby = VQXMsgPayload(h);
  memcpy(pby, pData + 3, un32Length);
  if (un8Flags & 0x18) {
    static const u8 kMarker32[8] = {0xED, 0xDA, 0x21, 0x43, 0x34, 0x12, 0xAD, 0xDE};
    static const u8 kMarker16[8] = {0xED, 0xDA, 0x16, 0x43, 0x34, 0x16, 0xAD, 0xDE};
    const u32 un32Rounded = (un32Length + 7u) & ~7u;
    memset(pby + un32Length, 0, un32Rounded - un32Length);
    memcpy(pby + un32Rounded, (un8Flags & 0x08) ? kMarker32 : kMarker16, 8);
    un32Length = un32Rounded + 8;
  }
  h->un32PayloadLength = un32Length;
  if (un32Offset > un32Length + 8) {
    VQXReleaseMsgEx(s_hVqx, &h);
    return 0;
  }
  // The record may start past the used payload or run over its end: the checks must refuse it.
  const u8* pRecord = pby + un32Offset;
  if (un8Flags & 0x40) {
    Other(un8Flags & 7u, h, pRecord, un32Offset <= un32Length ? un32Length - un32Offset : 0);
    VQXReleaseMsgEx(s_hVqx, &h);
    return 0;
  }
  if (un8Flags & 0x20) {
    switch (un8Flags & 3u) {
      case 0: Profile(h, pRecord); break;
      case 1: Protocol(h, pRecord); break;
      case 2: LegAttribute<CVQCMC_CALL_LEG_ATTRIBUTE, _VQCMC_CALL_LEG_ATTRIBUTE>(h, pRecord); break;
      default: LegAttribute<CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE, _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE>(h, pRecord); break;
    }
    VQXReleaseMsgEx(s_hVqx, &h);
    return 0;
  }
  switch (un8Flags & 7u) {
    case 0: Holder_<CVQCMC_PLAY_ATTRIBUTE>(h, reinterpret_cast<const _VQCMC_PLAY_ATTRIBUTE*>(pRecord)); break;
    case 1: Holder_<CVQCMC_RECORD_ATTRIBUTE>(h, reinterpret_cast<const _VQCMC_RECORD_ATTRIBUTE*>(pRecord)); break;
    case 2: Holder_<CVQCMC_EVENT_ATTRIBUTE>(h, reinterpret_cast<const _VQCMC_EVENT_ATTRIBUTE*>(pRecord)); break;
    case 3: {
      CVQCMCUserToUserInfo Uui;
      if (VQX_RESULT_SUCCEEDED(Uui.Assign(h, *reinterpret_cast<const _VQCMC_PROTOCOL_UUI_DATA*>(pRecord)))) Reinsert(Uui);
      break;
    }
    case 4: {
      CVQCMCSs7RawData Ss7;
      if (VQX_RESULT_SUCCEEDED(Ss7.Assign(h, *reinterpret_cast<const _VQCMC_PROTOCOL_SS7_RAW_DATA*>(pRecord)))) Reinsert(Ss7);
      break;
    }
    default: {
      CVQCMCExtraNumber Number;
      if (VQX_RESULT_SUCCEEDED(Number.Assign(h, *reinterpret_cast<const _VQCMC_PROTOCOL_EXTRA_NUMBER*>(pRecord)))) {
        Reinsert(Number);
      }
      break;
    }
  }
  VQXReleaseMsgEx(s_hVqx, &h);
  return 0;
}
