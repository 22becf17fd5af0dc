/*
 * sigtrace_app_units.cpp - one captured unit from a board: read whole by its
 * family's reader, its entity found through the unit index, written by the group, and
 * the answers to the trace on/off requests (docs/board-trace-messages.md).
 *
 * Main thread, application mutex held.
 */
#include "sigtrace_adapter_wire_internal.h"
#include "sigtrace_app.h"
#include "sigtrace_board_trace.h"
#include "sigtrace_decode.h"

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

/* The board's direction (1 received, 2 sent) as the SS7, LAPD and ISDN
 * writers take it (0 received, otherwise sent). */
u32 WriterDirection(u32 un32BoardDirection) { return un32BoardDirection == 2 ? 1u : 0u; }

/* The board's point-code length in bits (14 or 24) as the SS7 decoder takes
 * it. Any other value goes on unchanged, so the record's warning shows it. */
u32 WriterPcLength(u32 un32BoardBits) {
  switch (un32BoardBits) {
    case 14: return VQ_SS7_PC_LENGTH_14;
    case 24: return VQ_SS7_PC_LENGTH_24;
    default: return un32BoardBits;
  }
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
  SVQUnitKey Key;
  const u32 un32Type = EntityType(pFamily->eFamily);

  SVQTraceSs7Unit Ss7;
  SVQTraceIsdnUnit Isdn;
  SVQTraceCasr2Unit Casr2;
  SVQTraceIpUnit Ip;
  VQX_RESULT r = VQX_RESULT_INVALID_PARAM;
  switch (pFamily->eFamily) {
    case EVQTraceFamily::Ss7:
      r = VqReadSs7TraceUnit(Payload, Ss7, strError);
      Key = VqBoardUnitKey(un32Type, pHeader->hAdapter, Ss7.un32Trunk, Ss7.un32TimeslotMask);
      break;
    case EVQTraceFamily::Lapd:
    case EVQTraceFamily::Isdn:
      r = pFamily->eFamily == EVQTraceFamily::Lapd ? VqReadLapdTraceUnit(Payload, Isdn, strError)
                                                   : VqReadIsdnTraceUnit(Payload, Isdn, strError);
      Key = VqBoardUnitKey(un32Type, pHeader->hAdapter, Isdn.un32Trunk, Isdn.un32TimeslotMask);
      break;
    case EVQTraceFamily::Casr2:
      r = VqReadCasr2TraceUnit(Payload, Casr2, strError);
      Key = VqBoardUnitKey(un32Type, pHeader->hAdapter, Casr2.un32Trunk, 0);
      break;
    case EVQTraceFamily::Ip:
      r = VqReadIpTraceUnit(Payload, Ip, strError);
      Key = VqIpUnitKey(pHeader->hAdapter, Ip.un64TraceContextId);
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

  /* The entity and its 1-based position in its group (the SS7 link number).
   * Every key holds the board's handle: units of a board not (or no longer)
   * known find nothing and are dropped, and an IP unit never reaches another
   * board's entity of the same trace context id. */
  if (mUnitIndex.IsStale()) RebuildUnitIndex();
  const SVQUnitEntity Found = mUnitIndex.FindEntity(Key);
  if (Found.pGroup == nullptr) {
    mun32LostUnits++;
    mun32UntracedUnits++;
    const char* pszAdapter = mUnitIndex.FindAdapter(pHeader->hAdapter);
    if (pszAdapter == nullptr) return VQX_RESULT_NOT_FOUND;
    /* An entity switched off (by the console, or by a reload and on at its board until it answers), or one a
     * reload removed or moved while its board was away, whose discovery since its return has not completed yet:
     * one line a second, the others counted. */
    u32 un32LeftOut = 0;
    if (!mUntracedUnitsLimit.Allow(ClockMs(), un32LeftOut)) return VQX_RESULT_NOT_FOUND;
    CVQCAFString strMore;
    if (un32LeftOut != 0) strMore.Format(" (and %u more since the last line)", un32LeftOut);
    LogTrace(VQMSG, "%s unit %u of %s dropped: no traced entity%s", pFamily->pszName,
             Ss7.un32Unit | Isdn.un32Unit | Casr2.un32Unit | Ip.un32Unit, pszAdapter, strMore.c_str());
    return VQX_RESULT_NOT_FOUND;
  }
  CVQSigTraceGrp* const pGroup = Found.pGroup;
  CVQSigTraceEntityParams* const pEntity = &pGroup->mvEntities[Found.un32Position - 1];
  const u32 un32Position = Found.un32Position;

  switch (pFamily->eFamily) {
    case EVQTraceFamily::Ss7:
      return pGroup->WriteSs7PacketData(*pEntity, un32Position, Ss7.fAnnexA, Ss7.un32Variant, WriterPcLength(Ss7.un32PcLength),
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

void CVQSigTrace::RebuildUnitIndex() {
  size_t nEntities = 0;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next()) nEntities += g->mvEntities.size();
  mUnitIndex.Reset(static_cast<u32>(nEntities));
  mAdapters.ResetNext();
  for (CVQSigTraceAdapter* p = mAdapters.Next(); p != nullptr; p = mAdapters.Next())
    mUnitIndex.AddAdapter(p->GetAdapterHandle(), AdapterName(*p));
  /* In the order of the walk the index replaces: the first entity of a key
   * keeps it. Records of boards gone come last: a board back with an entity
   * of that key in another group gives its units to that one; until its
   * entities are attached again (its traces may still be on) they go to
   * its earlier records, but for those a reload made since removed or moved
   * (held back until its discovery completes). Records switched off by the
   * configuration take none. */
  for (const u8 fGone : {u8{0}, u8{VQ_SIGTRACE_GONE_BOARD}}) {
    mGroups.ResetNext();
    for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next()) {
      for (size_t i = 0; i < g->mvEntities.size(); i++) {
        SVQUnitKey Key;
        const CVQSigTraceEntityParams& E = g->mvEntities[i];
        if (E.mfGone != fGone) continue;
        if (E.mun32Type == g->mun32Type && mUnitIndex.KeyOf(E, Key))
          mUnitIndex.AddEntity(Key, g, static_cast<u32>(i + 1));
      }
    }
  }
  mGroups.ResetNext();
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
