/*
 * sigtrace_app_units.cpp - one captured unit from a board: read whole by its
 * family's reader, its entity found in the groups, written by the group, and
 * the answers to the trace on/off requests (docs/board-trace-messages.md).
 *
 * Main thread, application mutex held.
 */
#include "sigtrace_adapter_wire_internal.h"
#include "sigtrace_app.h"
#include "sigtrace_board_trace.h"

namespace VQCAF {

namespace {

/* The group type a family's units go to. */
u32 EntityType(EVQTraceFamily e) {
  switch (e) {
    case EVQTraceFamily::Ss7: return VQ_SIGTRACE_TYPE_SS7;
    case EVQTraceFamily::Lapd: return VQ_SIGTRACE_TYPE_LAPD;
    case EVQTraceFamily::Isdn: return VQ_SIGTRACE_TYPE_ISDN;
    case EVQTraceFamily::Casr2: return VQ_SIGTRACE_TYPE_CASR2;
    case EVQTraceFamily::Ip: return VQ_SIGTRACE_TYPE_IP;
  }
  return VQ_SIGTRACE_TYPE_NONE;
}

/* What identifies the unit's entity. */
struct SKey {
  u32 un32Type = 0;
  const char* pszAdapter = nullptr;  /* null for IP (the context id is unique) */
  u32 un32Trunk = 0, un32TimeslotMask = 0;
  bool fTrunkOnly = false;
  u64 un64ContextId = 0;
};

/* The board's direction (1 received, 2 sent) as the SS7, LAPD and ISDN
 * writers take it (0 received, otherwise sent). */
u32 WriterDirection(u32 un32BoardDirection) { return un32BoardDirection == 2 ? 1u : 0u; }

bool Matches(const CVQSigTraceEntityParams& E, const SKey& K) {
  if (E.mun32Type != K.un32Type) return false;
  if (K.un32Type == VQ_SIGTRACE_TYPE_IP) return E.mun64EntityId == K.un64ContextId;
  if (E.mun32Trunk != K.un32Trunk || (!K.fTrunkOnly && E.mun32TimeslotMask != K.un32TimeslotMask)) return false;
  return E.mstrAdapterName == K.pszAdapter;
}

}  // namespace

u32 CVQSigTrace::HandleTraceUnit(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTrace::HandleTraceUnit";
  const VQX_MSG_HEADER* pHeader = reinterpret_cast<const VQX_MSG_HEADER*>(pMsg);
  const SVQTraceFamily* pFamily = VqTraceFamilyOfNotif(pHeader->un32MsgId);
  if (pFamily == nullptr) return VQX_RESULT_INVALID_PARAM;
  mun32PacketCount++;
  const CVQSigTraceCursor Payload = vqdisc::AnswerPayload(pMsg);
  std::string strError;
  SKey Key;
  Key.un32Type = EntityType(pFamily->eFamily);
  /* The board by its handle: units of a board not (or no longer) known are dropped. */
  CVQSigTraceAdapter* pAdapter = nullptr;
  mAdapters.ResetNext();
  for (CVQSigTraceAdapter* p = mAdapters.Next(); p != nullptr && pAdapter == nullptr; p = mAdapters.Next())
    if (p->GetAdapterHandle() == pHeader->hAdapter) pAdapter = p;
  Key.pszAdapter = pAdapter != nullptr ? AdapterName(*pAdapter) : "";

  SVQTraceSs7Unit Ss7;
  SVQTraceIsdnUnit Isdn;
  SVQTraceCasr2Unit Casr2;
  SVQTraceIpUnit Ip;
  VQX_RESULT r = VQX_RESULT_INVALID_PARAM;
  switch (pFamily->eFamily) {
    case EVQTraceFamily::Ss7:
      r = VqReadSs7TraceUnit(Payload, Ss7, strError);
      Key.un32Trunk = Ss7.un32Trunk, Key.un32TimeslotMask = Ss7.un32TimeslotMask;
      break;
    case EVQTraceFamily::Lapd:
    case EVQTraceFamily::Isdn:
      r = pFamily->eFamily == EVQTraceFamily::Lapd ? VqReadLapdTraceUnit(Payload, Isdn, strError)
                                                   : VqReadIsdnTraceUnit(Payload, Isdn, strError);
      Key.un32Trunk = Isdn.un32Trunk, Key.un32TimeslotMask = Isdn.un32TimeslotMask;
      break;
    case EVQTraceFamily::Casr2:
      r = VqReadCasr2TraceUnit(Payload, Casr2, strError);
      Key.un32Trunk = Casr2.un32Trunk, Key.fTrunkOnly = true;
      break;
    case EVQTraceFamily::Ip:
      r = VqReadIpTraceUnit(Payload, Ip, strError);
      Key.un64ContextId = Ip.un64TraceContextId;
      break;
  }
  if (VQX_RESULT_FAILED(r)) {
    mun32LostUnits++;
    /* A stream of malformed units: one line a second per family. */
    u32 un32LeftOut = 0;
    if (!maRefusalLimit[static_cast<u32>(pFamily->eFamily)].Allow(ClockMs(), un32LeftOut)) return r;
    CVQCAFString strText;
    strText.Format("%s unit refused: %s", pFamily->pszName, strError.c_str());
    if (un32LeftOut != 0) {
      CVQCAFString strMore;
      strMore.Format(" (and %u more since the last line)", un32LeftOut);
      strText += strMore;
    }
    return Failure(kOp, strText.c_str(), r, __LINE__);
  }
  if (pAdapter == nullptr && Key.un32Type != VQ_SIGTRACE_TYPE_IP) {
    mun32LostUnits++;
    return VQX_RESULT_NOT_FOUND;
  }

  /* The entity and its 1-based position in its group (the SS7 link number). */
  CVQSigTraceGrp* pGroup = nullptr;
  CVQSigTraceEntityParams* pEntity = nullptr;
  u32 un32Position = 0;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr && pEntity == nullptr; g = mGroups.Next()) {
    if (g->mun32Type != Key.un32Type) continue;
    for (size_t i = 0; i < g->mvEntities.size(); i++) {
      if (!Matches(g->mvEntities[i], Key)) continue;
      pGroup = g, pEntity = &g->mvEntities[i], un32Position = static_cast<u32>(i + 1);
      break;
    }
  }
  mGroups.ResetNext();
  if (pEntity == nullptr) {
    mun32LostUnits++;
    LogTrace(VQLV1, "%s unit %u of %s: no traced entity", pFamily->pszName, Ss7.un32Unit | Isdn.un32Unit | Casr2.un32Unit | Ip.un32Unit,
             Key.pszAdapter);
    return VQX_RESULT_NOT_FOUND;
  }

  switch (pFamily->eFamily) {
    case EVQTraceFamily::Ss7:
      return pGroup->WriteSs7PacketData(*pEntity, un32Position, Ss7.fAnnexA, Ss7.un32Variant, Ss7.un32PcLength,
                                        WriterDirection(Ss7.un32Direction), static_cast<u32>(Ss7.Data.size()),
                                        Ss7.Data.data());
    case EVQTraceFamily::Lapd:
    case EVQTraceFamily::Isdn:
      return pGroup->WriteIsdnPacketData(*pEntity, WriterDirection(Isdn.un32Direction), Isdn.un32Side,
                                         static_cast<u32>(Isdn.Data.size()), Isdn.Data.data());
    case EVQTraceFamily::Casr2:
      switch (Casr2.un32Kind) {
        case 1:
          return pGroup->WriteCasr2ExtendedStateData(*pEntity, Casr2.un32Timeslot, Casr2.un32Timestamp,
                                                     Casr2.State.un32CallState, Casr2.State.un32InternalState);
        case 2:
          return pGroup->WriteCasr2ToneData(*pEntity, Casr2.un32Timeslot, Casr2.un32Timestamp, Casr2.un32Direction,
                                            &Casr2.Tone.Tone, Casr2.Tone.un32Value);
        default: {
          const u8* b = Casr2.Bits.aun8Bits;
          return pGroup->WriteCasr2CasBitsData(*pEntity, Casr2.un32Timeslot, Casr2.un32Timestamp, Casr2.un32Direction,
                                               b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], Casr2.Bits.un32StartTime,
                                               Casr2.Bits.un32EndTime, Casr2.Bits.un32Count);
        }
      }
    case EVQTraceFamily::Ip: {
      const std::string strIf(Ip.strInterface), strRemote(Ip.strRemoteAddress), strLocal(Ip.strLocalAddress);
      return pGroup->WriteTuclPacketData(*pEntity, Ip.un32Direction, Ip.un32Transport, Ip.un32Protocol, strIf.c_str(),
                                         strRemote.c_str(), strLocal.c_str(), Ip.un32LocalPort, Ip.un32RemotePort,
                                         Ip.un32CapturedTimeMs, static_cast<u32>(Ip.Data.size()), Ip.Data.data());
    }
  }
  return VQX_RESULT_OK;
}

u32 CVQSigTrace::HandleTraceAnswer(unsigned int* pMsg) {
  const VQX_MSG_HEADER* pHeader = reinterpret_cast<const VQX_MSG_HEADER*>(pMsg);
  const SVQTraceFamily* pFamily = VqTraceFamilyOfRequest(pHeader->un32MsgId);
  if (pFamily == nullptr) return VQX_RESULT_INVALID_PARAM;
  i32 n32Result = 0;
  std::string strError;
  const VQX_RESULT r = VqReadTraceAnswer(vqdisc::AnswerPayload(pMsg), n32Result, strError);
  CVQCAFString strText;
  if (VQX_RESULT_FAILED(r)) {
    strText.Format("%s trace answer refused: %s", pFamily->pszName, strError.c_str());
    return Failure("CVQSigTrace::HandleTraceAnswer", strText.c_str(), r, __LINE__);
  }
  if (n32Result == 0) return VQX_RESULT_OK;
  const char* pszAdapter = "?";
  mAdapters.ResetNext();
  for (CVQSigTraceAdapter* p = mAdapters.Next(); p != nullptr; p = mAdapters.Next())
    if (p->GetAdapterHandle() == pHeader->hAdapter) pszAdapter = AdapterName(*p);
  strText.Format("%s trace on/off refused by %s: result %d", pFamily->pszName, pszAdapter, n32Result);
  return Failure("CVQSigTrace::HandleTraceAnswer", strText.c_str(), VQX_RESULT_FAIL, __LINE__);
}

}  // namespace VQCAF
