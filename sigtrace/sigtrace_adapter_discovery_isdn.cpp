/*
 * sigtrace_adapter_discovery_isdn.cpp - ISDN interfaces and CAS R2 trunks:
 * instance list, then the parameters of each instance. An ISDN interface
 * gives one entity (type 3) for its primary D channel and one more for its
 * backup D channel when the board names one; a CAS R2 instance gives one
 * entity (type 5) for its trunk.
 *
 * Adapter thread, adapter mutex held.
 */
#include "sigtrace_adapter_wire_internal.h"
#include "vqx_string.h"
#include "vqx_usercontext.h"

namespace VQCAF {

using namespace vqdisc;

namespace {

constexpr const char* kIsdnLog = "\033[36m<Sync> %s: ISDN: trk=%2u tsmask=%08X-%X name=%s";

/* "entity:variant:side", blanks appended until its length plus 4 is a multiple of 8. */
CVQCAFString IsdnDescription(const CVQCAFString& strName, const char* pszVariant, const char* pszSide) {
  CVQCAFString s;
  s.Format("%s:%s:%s", strName.c_str(), pszVariant, pszSide);
  while ((s.GetLength() + 4) % 8 != 0) s += " ";
  return s;
}

}  // namespace

u32 CVQSigTraceAdapter::HandleIsdnOpGetListResponse(unsigned int* pMsg) {
  return HandleListResponse(pMsg, "CVQSigTraceAdapter::HandleIsdnOpGetListResponse", "ISDN_OP_GET_LIST failed",
                            0x04080003u);
}

u32 CVQSigTraceAdapter::HandleCasr2OpGetListResponse(unsigned int* pMsg) {
  return HandleListResponse(pMsg, "CVQSigTraceAdapter::HandleCasr2OpGetListResponse", "CASR2_OP_GET_LIST failed",
                            0x04510003u);
}

u32 CVQSigTraceAdapter::HandleIsdnOpGetParamsResponse(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTraceAdapter::HandleIsdnOpGetParamsResponse";
  if (pMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  try {
    const CVQSigTraceCursor c = AnswerPayload(pMsg);
    const i32 n32Result = Result(c);
    if (n32Result < 0) return Failure(kOp, "ISDN_OP_GET_PARAMS failed", static_cast<u32>(n32Result), __LINE__);
    /* Every field is read before anything is registered; the first trunk
     * entry is part of the answer structure whatever the count says. */
    const u32 un32Side = Le32(c, kIsdnOffSide);
    const u32 un32Variant = Le32(c, kIsdnOffVariant);
    const u8 un8Options = c.At(kIsdnOffOptions);
    const u32 un32Backup = c.At(kIsdnOffBackup);
    const u64 un64Name = Be64(c, kIsdnOffName);
    const u32 un32Announced = Le32(c, kIsdnOffTrunkCount);
    const u32 un32FirstTrunk = Le32(c, kIsdnOffTrunks) & kTrunkMask;
    const u32 un32Trunks = WholeEntries(c, kIsdnOffTrunks, un32Announced, 4);
    if (un32Trunks < un32Announced)
      LogTrace(VQERR, "%s: %u trunks announced, %u received", kOp, un32Announced, un32Trunks);
    char szName[kNameSize], szGenerated[kNameSize];
    HaManagerExtractOneUserContext(un64Name, szName, sizeof(szName));
    const SIsdnVariant* pVariant = IsdnVariant(un32Variant);
    if (pVariant == nullptr) return Failure(kOp, "Unknown isdn variant", VQX_RESULT_FAIL, __LINE__);
    const u32 un32TimeslotMask = pVariant->un32TimeslotMask;
    const u8 un8BitMask = (un8Options & 0x02) != 0 ? 0x7F : 0xFF;
    const char* pszSide = un32Side == 1 ? "USER" : "NET";

    LogTrace(VQMSG, kIsdnLog, GetAdapterName(), un32FirstTrunk, un32TimeslotMask, un8BitMask, szName);
    Snprintf(szGenerated, sizeof(szGenerated), "isdn_trk_%02u_%08X_%02x", un32FirstTrunk, un32TimeslotMask, un8BitMask);
    CVQCAFString strGenerated, strPrimary;
    strGenerated = szGenerated;
    strPrimary = mEntities.Find(CVQCAFHashKeyString(szName)) != nullptr ? strGenerated : CVQCAFString(szName);
    const auto Fill = [&](CVQSigTraceEntityParams* p, u32 un32Trunk) {
      p->mun32Type = VQ_SIGTRACE_TYPE_ISDN;
      p->mun32Trunk = un32Trunk;
      p->mun32TimeslotMask = un32TimeslotMask;
      p->mun8BitMask = un8BitMask;
      p->mstrEthPort = IsdnDescription(p->mstrName, pVariant->pszText, pszSide);
      p->mstrIpMask = mAdapterInfo.szIpAddress0;
    };
    if (CVQSigTraceEntityParams* p = RegisterEntity(VQ_SIGTRACE_TYPE_ISDN, strPrimary.c_str(), strGenerated, false))
      Fill(p, un32FirstTrunk);

    if (un32Backup != 0 && un32Backup < un32Trunks) {
      const u32 un32Trunk = Le32(c, kIsdnOffTrunks + 4 * un32Backup) & kTrunkMask;
      CVQCAFString strBackup(strPrimary);
      strBackup += "_BAK";
      LogTrace(VQMSG, kIsdnLog, GetAdapterName(), un32Trunk, un32TimeslotMask, un8BitMask, strBackup.c_str());
      Snprintf(szGenerated, sizeof(szGenerated), "isdn_dbak_%02u_%08X_%02x", un32Trunk, un32TimeslotMask, un8BitMask);
      strGenerated = szGenerated;
      if (CVQSigTraceEntityParams* p = RegisterEntity(VQ_SIGTRACE_TYPE_ISDN, strBackup.c_str(), strGenerated, false))
        Fill(p, un32Trunk);
    }
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_ANSWER_CATCH(kOp)
}

u32 CVQSigTraceAdapter::HandleCasr2OpGetParamsResponse(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTraceAdapter::HandleCasr2OpGetParamsResponse";
  if (pMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  try {
    const CVQSigTraceCursor c = AnswerPayload(pMsg);
    const i32 n32Result = Result(c);
    if (n32Result < 0) return Failure(kOp, "CASR2_OP_GET_PARAMS failed", static_cast<u32>(n32Result), __LINE__);
    const u32 un32Trunk = Le32(c, kCasr2OffTrunk) & kTrunkMask;
    const u64 un64Name = Be64(c, kCasr2OffName);
    char szName[kNameSize], szGenerated[kNameSize];
    HaManagerExtractOneUserContext(un64Name, szName, sizeof(szName));
    LogTrace(VQMSG, "\033[36m<Sync> %s: CASR2: trk=%2u name=%s", GetAdapterName(), un32Trunk, szName);
    Snprintf(szGenerated, sizeof(szGenerated), "casr2_trk_%02u", un32Trunk);
    CVQCAFString strGenerated;
    strGenerated = szGenerated;
    CVQSigTraceEntityParams* p = RegisterEntity(VQ_SIGTRACE_TYPE_CASR2, szName, strGenerated);
    if (p == nullptr) return VQX_RESULT_OK;
    p->mun32Type = VQ_SIGTRACE_TYPE_CASR2;
    p->mun32Trunk = un32Trunk;
    p->mun32TimeslotMask = 0;
    p->mun8BitMask = 0;
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_ANSWER_CATCH(kOp)
}

}  // namespace VQCAF
