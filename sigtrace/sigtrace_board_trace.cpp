/*
 * sigtrace_board_trace.cpp - the trace message table, the request builders
 * and the unit readers (docs/board-trace-messages.md).
 */
#include "sigtrace_board_trace.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

namespace VQCAF {
namespace {

constexpr SVQTraceFamily kFamilies[] = {
    {EVQTraceFamily::Ss7, "SS7", 0x04210030, 0x04210031, sizeof(_QUELLAN_TRACE_SET_TDM),
     sizeof(_QUELLAN_TRACE_UNIT_SS7), 4096},
    {EVQTraceFamily::Lapd, "LAPD", 0x04540030, 0x04540031, sizeof(_QUELLAN_TRACE_SET_TDM),
     sizeof(_QUELLAN_TRACE_UNIT_ISDN), 4096},
    {EVQTraceFamily::Isdn, "ISDN", 0x04080030, 0x04080031, sizeof(_QUELLAN_TRACE_SET_TDM),
     sizeof(_QUELLAN_TRACE_UNIT_ISDN), 4096},
    {EVQTraceFamily::Casr2, "CASR2", 0x04510030, 0x04510031, sizeof(_QUELLAN_TRACE_SET_CASR2),
     sizeof(_QUELLAN_TRACE_UNIT_CASR2), sizeof(_QUELLAN_TRACE_CASR2_TONE)},
    {EVQTraceFamily::Ip, "IP", 0x04390030, 0x04390031, sizeof(_QUELLAN_TRACE_SET_IP), sizeof(_QUELLAN_TRACE_UNIT_IP),
     16384},
};

/* CAS R2 data length by kind (index = kind). */
constexpr u32 kCasr2DataSize[] = {0, sizeof(_QUELLAN_TRACE_CASR2_STATE), sizeof(_QUELLAN_TRACE_CASR2_TONE),
                                  sizeof(_QUELLAN_TRACE_CASR2_BITS)};

constexpr u32 Pad8(u32 un32Size) { return (un32Size + 7u) & ~7u; }

void PutLe32(std::vector<u8>& v, size_t nOffset, u32 un32Value) {
  for (int i = 0; i < 4; ++i) v[nOffset + i] = static_cast<u8>(un32Value >> (8 * i));
}
void PutLe64(std::vector<u8>& v, size_t nOffset, u64 un64Value) {
  PutLe32(v, nOffset, static_cast<u32>(un64Value));
  PutLe32(v, nOffset + 4, static_cast<u32>(un64Value >> 32));
}
void PutText(std::vector<u8>& v, size_t nOffset, const CVQCAFString& str) {
  const size_t n = std::min<size_t>(str.GetLength(), VQ_TRACE_TEXT_SIZE - 1);
  memcpy(v.data() + nOffset, str.c_str(), n);
}

/* One field refused: the reader's error text and result. */
struct SRefused {
  std::string strText;
};

/* Reads the fields of one notification; every failed check throws SRefused. */
class CUnitReader {
 public:
  CUnitReader(const CVQSigTraceCursor& c, EVQTraceFamily eFamily)
      : mc(c), mFamily(VqTraceFamily(eFamily)) {}

  u32 Le32(u32 un32Offset) const {
    const auto b = mc.Bytes(un32Offset, 4);
    return static_cast<u32>(b[0]) | static_cast<u32>(b[1]) << 8 | static_cast<u32>(b[2]) << 16 |
           static_cast<u32>(b[3]) << 24;
  }
  u64 Le64(u32 un32Offset) const { return Le32(un32Offset) | static_cast<u64>(Le32(un32Offset + 4)) << 32; }
  [[noreturn]] void Refuse(const std::string& strWhat) const {
    throw SRefused{std::string(mFamily.pszName) + " trace unit: " + strWhat};
  }
  /* A field that must hold one of the listed values (or lie in [lo, hi]). */
  u32 Field(u32 un32Offset, const char* pszName, u32 un32Low, u32 un32High) const {
    const u32 v = Le32(un32Offset);
    if (v < un32Low || v > un32High) Refuse(std::string(pszName) + " " + std::to_string(v) + " out of range");
    return v;
  }
  /* A 16-byte text that must end within its field. */
  std::string_view Text(u32 un32Offset, const char* pszName) const {
    const auto b = mc.Bytes(un32Offset, VQ_TRACE_TEXT_SIZE);
    const void* pEnd = memchr(b.data(), 0, b.size());
    if (pEnd == nullptr) Refuse(std::string(pszName) + " without terminator");
    return {reinterpret_cast<const char*>(b.data()), static_cast<size_t>(static_cast<const u8*>(pEnd) - b.data())};
  }
  /* The common head: size, version, length; fills Out and checks direction. */
  void Head(SVQTraceUnit& Out, u32 un32MinDirection, u32 un32MinData, u32 un32MaxData) const {
    const u32 un32Size = mc.Size();
    if (un32Size < mFamily.un32DataOffset)
      Refuse("short (payload " + std::to_string(un32Size) + ", header " + std::to_string(mFamily.un32DataOffset) + ")");
    if (Le32(offsetof(_QUELLAN_TRACE_UNIT_HEAD, un32Version)) != VQ_TRACE_MSG_VERSION) Refuse("version not 1");
    Out.un32Unit = Le32(offsetof(_QUELLAN_TRACE_UNIT_HEAD, un32Unit));
    Out.un32Direction = Field(offsetof(_QUELLAN_TRACE_UNIT_HEAD, un32Direction), "direction", un32MinDirection, 2);
    const u32 un32Length = Field(offsetof(_QUELLAN_TRACE_UNIT_HEAD, un32Length), "data length", un32MinData,
                                 un32MaxData);
    const u32 un32Want = Pad8(mFamily.un32DataOffset + un32Length);
    if (un32Size < un32Want)
      Refuse("short (payload " + std::to_string(un32Size) + ", data needs " + std::to_string(un32Want) + ")");
    if (un32Size > un32Want)
      Refuse("oversized (payload " + std::to_string(un32Size) + ", data needs " + std::to_string(un32Want) + ")");
    Out.Data = mc.Bytes(mFamily.un32DataOffset, un32Length);
  }
  const CVQSigTraceCursor& Cursor() const { return mc; }

 private:
  const CVQSigTraceCursor& mc;
  const SVQTraceFamily& mFamily;
};

/* The boundary of every reader: refusals and cursor overruns become the
 * error text and 0x8200000A. */
template <class F>
VQX_RESULT ReadUnit(const CVQSigTraceCursor& c, EVQTraceFamily eFamily, std::string& strError, F&& fnRead) {
  try {
    CUnitReader r(c, eFamily);
    fnRead(r);
    return VQX_RESULT_OK;
  } catch (const SRefused& Refused) {
    strError = Refused.strText;
  } catch (const CVQSigTraceTruncated& Short) {
    strError = std::string(VqTraceFamily(eFamily).pszName) + " trace unit: short at byte " +
               std::to_string(Short.mun32Index);
  }
  return VQX_RESULT_INVALID_PARAM;
}

VQX_RESULT ReadTdmUnit(const CVQSigTraceCursor& c, EVQTraceFamily eFamily, SVQTraceIsdnUnit& Out,
                       std::string& strError) {
  return ReadUnit(c, eFamily, strError, [&](const CUnitReader& r) {
    r.Head(Out, 1, 1, VqTraceFamily(eFamily).un32MaxData);
    Out.un32Trunk = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_ISDN, un32Trunk));
    Out.un32TimeslotMask = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_ISDN, un32TimeslotMask));
    Out.un32BitMask = r.Field(offsetof(_QUELLAN_TRACE_UNIT_ISDN, un32BitMask), "bit mask", 0, 0xFF);
    Out.un32Side = r.Field(offsetof(_QUELLAN_TRACE_UNIT_ISDN, un32Side), "side", 1, 2);
  });
}

template <class T>
T ReadRecord(const CUnitReader& r, u32 un32Offset) {
  T Out;
  const auto b = r.Cursor().Bytes(un32Offset, sizeof(T));
  /* Host order is the wire's (little-endian), which the build checks below. */
  memcpy(&Out, b.data(), sizeof(T));
  return Out;
}
static_assert(std::endian::native == std::endian::little, "the CAS R2 data records are copied as they travel");

}  // namespace

const SVQTraceFamily& VqTraceFamily(EVQTraceFamily eFamily) { return kFamilies[static_cast<u32>(eFamily)]; }

const SVQTraceFamily* VqTraceFamilyOfNotif(u32 un32MsgId) {
  for (const auto& f : kFamilies)
    if (f.un32NotifId == un32MsgId) return &f;
  return nullptr;
}

const SVQTraceFamily* VqTraceFamilyOfRequest(u32 un32MsgId) {
  for (const auto& f : kFamilies)
    if (f.un32RequestId == un32MsgId) return &f;
  return nullptr;
}

VQX_RESULT VqBuildTraceSet(const CVQSigTraceEntityParams& Entity, bool fOn, u32 un32TuclInstance, u32& un32MsgId,
                           std::vector<u8>& vOut) {
  EVQTraceFamily eFamily;
  switch (Entity.mun32Type) {
    case VQ_SIGTRACE_TYPE_SS7: eFamily = EVQTraceFamily::Ss7; break;
    case VQ_SIGTRACE_TYPE_LAPD: eFamily = EVQTraceFamily::Lapd; break;
    case VQ_SIGTRACE_TYPE_ISDN: eFamily = EVQTraceFamily::Isdn; break;
    case VQ_SIGTRACE_TYPE_CASR2: eFamily = EVQTraceFamily::Casr2; break;
    case VQ_SIGTRACE_TYPE_IP: eFamily = EVQTraceFamily::Ip; break;
    default: return VQX_RESULT_INVALID_PARAM;
  }
  const SVQTraceFamily& f = VqTraceFamily(eFamily);
  std::vector<u8> v(f.un32RequestSize, 0);
  PutLe32(v, offsetof(_QUELLAN_TRACE_SET_TDM, un32Version), VQ_TRACE_MSG_VERSION);
  PutLe32(v, offsetof(_QUELLAN_TRACE_SET_TDM, un32Action), fOn ? 1u : 0u);
  if (eFamily == EVQTraceFamily::Ip) {
    if (Entity.mun64EntityId == 0) return VQX_RESULT_INVALID_PARAM;
    PutLe32(v, offsetof(_QUELLAN_TRACE_SET_IP, un32TuclInstance), un32TuclInstance);
    PutLe32(v, offsetof(_QUELLAN_TRACE_SET_IP, un32Transport), Entity.mun32Transport);
    PutLe32(v, offsetof(_QUELLAN_TRACE_SET_IP, un32Port), Entity.mun32Port);
    PutLe64(v, offsetof(_QUELLAN_TRACE_SET_IP, un64TraceContextId), Entity.mun64EntityId);
    PutText(v, offsetof(_QUELLAN_TRACE_SET_IP, szInterface), Entity.mstrEthPort);
    PutText(v, offsetof(_QUELLAN_TRACE_SET_IP, szAddress), Entity.mstrIpMask);
  } else if (eFamily == EVQTraceFamily::Casr2) {
    PutLe32(v, offsetof(_QUELLAN_TRACE_SET_CASR2, un32Trunk), Entity.mun32Trunk & 0xFFF);
    PutLe32(v, offsetof(_QUELLAN_TRACE_SET_CASR2, un32Extended), Entity.mfExtended ? 1u : 0u);
  } else {
    if (Entity.mun32TimeslotMask == 0) return VQX_RESULT_INVALID_PARAM;
    PutLe32(v, offsetof(_QUELLAN_TRACE_SET_TDM, un32Trunk), Entity.mun32Trunk & 0xFFF);
    PutLe32(v, offsetof(_QUELLAN_TRACE_SET_TDM, un32TimeslotMask), Entity.mun32TimeslotMask);
    v[offsetof(_QUELLAN_TRACE_SET_TDM, un8BitMask)] = Entity.mun8BitMask;
  }
  un32MsgId = f.un32RequestId;
  vOut.swap(v);
  return VQX_RESULT_OK;
}

VQX_RESULT VqReadSs7TraceUnit(const CVQSigTraceCursor& c, SVQTraceSs7Unit& Out, std::string& strError) {
  return ReadUnit(c, EVQTraceFamily::Ss7, strError, [&](const CUnitReader& r) {
    r.Head(Out, 1, 1, VqTraceFamily(EVQTraceFamily::Ss7).un32MaxData);
    Out.un32Trunk = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32Trunk));
    Out.un32TimeslotMask = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32TimeslotMask));
    Out.un32BitMask = r.Field(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32BitMask), "bit mask", 0, 0xFF);
    Out.fAnnexA = r.Field(offsetof(_QUELLAN_TRACE_UNIT_SS7, fAnnexA), "annex A", 0, 1);
    Out.un32Variant = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32Variant));
    Out.un32PcLength = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32PcLength));
    if (Out.un32PcLength != 14 && Out.un32PcLength != 24)
      r.Refuse("point-code length " + std::to_string(Out.un32PcLength) + " out of range");
  });
}

VQX_RESULT VqReadLapdTraceUnit(const CVQSigTraceCursor& c, SVQTraceIsdnUnit& Out, std::string& strError) {
  return ReadTdmUnit(c, EVQTraceFamily::Lapd, Out, strError);
}

VQX_RESULT VqReadIsdnTraceUnit(const CVQSigTraceCursor& c, SVQTraceIsdnUnit& Out, std::string& strError) {
  return ReadTdmUnit(c, EVQTraceFamily::Isdn, Out, strError);
}

VQX_RESULT VqReadCasr2TraceUnit(const CVQSigTraceCursor& c, SVQTraceCasr2Unit& Out, std::string& strError) {
  return ReadUnit(c, EVQTraceFamily::Casr2, strError, [&](const CUnitReader& r) {
    /* The kind fixes the data length: read it before the head checks the size. */
    if (c.Size() < sizeof(_QUELLAN_TRACE_UNIT_CASR2))
      r.Refuse("short (payload " + std::to_string(c.Size()) + ", header 40)");
    Out.un32Kind = r.Field(offsetof(_QUELLAN_TRACE_UNIT_CASR2, un32Kind), "kind", 1, 3);
    const u32 un32Data = kCasr2DataSize[Out.un32Kind];
    r.Head(Out, 0, un32Data, un32Data);
    Out.un32Trunk = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_CASR2, un32Trunk));
    Out.un32Timeslot = r.Field(offsetof(_QUELLAN_TRACE_UNIT_CASR2, un32Timeslot), "timeslot", 0, 31);
    Out.un32Timestamp = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_CASR2, un32Timestamp));
    const u32 un32At = sizeof(_QUELLAN_TRACE_UNIT_CASR2);
    if (Out.un32Kind == 1) Out.State = ReadRecord<_QUELLAN_TRACE_CASR2_STATE>(r, un32At);
    if (Out.un32Kind == 2) Out.Tone = ReadRecord<_QUELLAN_TRACE_CASR2_TONE>(r, un32At);
    if (Out.un32Kind == 3) Out.Bits = ReadRecord<_QUELLAN_TRACE_CASR2_BITS>(r, un32At);
  });
}

VQX_RESULT VqReadIpTraceUnit(const CVQSigTraceCursor& c, SVQTraceIpUnit& Out, std::string& strError) {
  return ReadUnit(c, EVQTraceFamily::Ip, strError, [&](const CUnitReader& r) {
    r.Head(Out, 1, 1, VqTraceFamily(EVQTraceFamily::Ip).un32MaxData);
    Out.un64TraceContextId = r.Le64(offsetof(_QUELLAN_TRACE_UNIT_IP, un64TraceContextId));
    Out.un32Transport = r.Field(offsetof(_QUELLAN_TRACE_UNIT_IP, un32Transport), "transport", 0, 3);
    Out.un32Protocol = r.Field(offsetof(_QUELLAN_TRACE_UNIT_IP, un32Protocol), "protocol", 1, 2);
    Out.un32LocalPort = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_IP, un32LocalPort));
    Out.un32RemotePort = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_IP, un32RemotePort));
    Out.un32CapturedTimeMs = r.Le32(offsetof(_QUELLAN_TRACE_UNIT_IP, un32CapturedTimeMs));
    Out.strInterface = r.Text(offsetof(_QUELLAN_TRACE_UNIT_IP, szInterface), "interface");
    Out.strRemoteAddress = r.Text(offsetof(_QUELLAN_TRACE_UNIT_IP, szRemoteAddress), "remote address");
    Out.strLocalAddress = r.Text(offsetof(_QUELLAN_TRACE_UNIT_IP, szLocalAddress), "local address");
  });
}

VQX_RESULT VqReadTraceAnswer(const CVQSigTraceCursor& c, i32& n32Result, std::string& strError) {
  if (c.Size() < sizeof(_QUELLAN_TRACE_ANSWER)) {
    strError = "trace answer: short (payload " + std::to_string(c.Size()) + ", needs 16)";
    return VQX_RESULT_INVALID_PARAM;
  }
  const auto b = c.Bytes(offsetof(_QUELLAN_TRACE_ANSWER, un32Version), 8);
  if (b[0] != VQ_TRACE_MSG_VERSION || b[1] != 0 || b[2] != 0 || b[3] != 0) {
    strError = "trace answer: version not 1";
    return VQX_RESULT_INVALID_PARAM;
  }
  n32Result = static_cast<i32>(static_cast<u32>(b[4]) | static_cast<u32>(b[5]) << 8 | static_cast<u32>(b[6]) << 16 |
                               static_cast<u32>(b[7]) << 24);
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
