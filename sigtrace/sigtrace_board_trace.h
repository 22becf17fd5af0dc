/*
 * sigtrace_board_trace.h - the board's trace messages (docs/board-trace-messages.md):
 * per family a trace on/off request and its answer, which the application's
 * main thread builds and reads, and a unit notification, which it reads.
 *
 * The records below are the payload layouts (little-endian on the wire; the
 * builders store each field explicitly, so the layouts only fix offsets and
 * sizes). The readers take the received payload through the bounded cursor
 * and hand back the fields the trace group writers take, the data as a view
 * into the payload: they read a notification whole or refuse it with
 * 0x8200000A and one error text naming the field ("short", "oversized" or the
 * inconsistent value). No state, no lock: any thread may call them.
 */
#ifndef SIGTRACE_BOARD_TRACE_H
#define SIGTRACE_BOARD_TRACE_H

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sigtrace_cursor.h"
#include "sigtrace_entity.h"
#include "vq500_trace_types.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* The five traced families, in the order of the table in the .cpp. */
enum class EVQTraceFamily : u32 { Ss7, Lapd, Isdn, Casr2, Ip };

struct SVQTraceFamily {
  EVQTraceFamily eFamily;
  const char* pszName;    /* "SS7", "LAPD", "ISDN", "CASR2", "IP": error texts */
  u32 un32RequestId;      /* on/off request and its answer */
  u32 un32NotifId;        /* unit notification */
  u32 un32RequestSize;    /* payload bytes of the request */
  u32 un32DataOffset;     /* where a unit's data starts */
  u32 un32MaxData;        /* largest data length of a unit */
};
/* The row of a family, or of a notification / request id (null: none of ours). */
const SVQTraceFamily& VqTraceFamily(EVQTraceFamily eFamily);
const SVQTraceFamily* VqTraceFamilyOfNotif(u32 un32MsgId);
const SVQTraceFamily* VqTraceFamilyOfRequest(u32 un32MsgId);

constexpr u32 VQ_TRACE_MSG_VERSION = 1;
constexpr u32 VQ_TRACE_TEXT_SIZE = 16;  /* interface and address fields, terminator included */

/* ---- Requests ---- */
struct _QUELLAN_TRACE_SET_TDM { /* SS7, LAPD, ISDN */
  u8 aun8Zero[8];
  u32 un32Version;
  u32 un32Item;         /* 0 */
  u32 un32Action;       /* 1 on, 0 off */
  u32 un32Trunk;
  u32 un32TimeslotMask;
  u8 un8BitMask;
  u8 aun8Reserved[3];
};
static_assert(sizeof(_QUELLAN_TRACE_SET_TDM) == 32);
static_assert(offsetof(_QUELLAN_TRACE_SET_TDM, un32Version) == 0x08);
static_assert(offsetof(_QUELLAN_TRACE_SET_TDM, un32Action) == 0x10);
static_assert(offsetof(_QUELLAN_TRACE_SET_TDM, un32Trunk) == 0x14);
static_assert(offsetof(_QUELLAN_TRACE_SET_TDM, un32TimeslotMask) == 0x18);
static_assert(offsetof(_QUELLAN_TRACE_SET_TDM, un8BitMask) == 0x1C);

struct _QUELLAN_TRACE_SET_CASR2 {
  u8 aun8Zero[8];
  u32 un32Version;
  u32 un32Item;
  u32 un32Action;
  u32 un32Trunk;
  u32 un32Extended;
  u32 un32Reserved;
};
static_assert(sizeof(_QUELLAN_TRACE_SET_CASR2) == 32);
static_assert(offsetof(_QUELLAN_TRACE_SET_CASR2, un32Trunk) == 0x14);
static_assert(offsetof(_QUELLAN_TRACE_SET_CASR2, un32Extended) == 0x18);

struct _QUELLAN_TRACE_SET_IP {
  u8 aun8Zero[8];
  u32 un32Version;
  u32 un32TuclInstance;  /* the item */
  u32 un32Action;
  u32 un32Transport;     /* 0 any, 1 UDP, 2 TCP */
  u32 un32Port;          /* 0 any */
  u32 un32Reserved;
  u64 un64TraceContextId;
  char szInterface[VQ_TRACE_TEXT_SIZE];
  char szAddress[VQ_TRACE_TEXT_SIZE];
};
static_assert(sizeof(_QUELLAN_TRACE_SET_IP) == 72);
static_assert(offsetof(_QUELLAN_TRACE_SET_IP, un32TuclInstance) == 0x0C);
static_assert(offsetof(_QUELLAN_TRACE_SET_IP, un32Transport) == 0x14);
static_assert(offsetof(_QUELLAN_TRACE_SET_IP, un32Port) == 0x18);
static_assert(offsetof(_QUELLAN_TRACE_SET_IP, un64TraceContextId) == 0x20);
static_assert(offsetof(_QUELLAN_TRACE_SET_IP, szInterface) == 0x28);
static_assert(offsetof(_QUELLAN_TRACE_SET_IP, szAddress) == 0x38);

struct _QUELLAN_TRACE_ANSWER {
  u8 aun8Zero[8];
  u32 un32Version;
  i32 n32Result;  /* 0 done; -1 malformed request; -2 no such entity */
};
static_assert(sizeof(_QUELLAN_TRACE_ANSWER) == 16);
static_assert(offsetof(_QUELLAN_TRACE_ANSWER, n32Result) == 0x0C);

/* ---- Notifications ---- */
struct _QUELLAN_TRACE_UNIT_HEAD {
  u8 aun8Zero[8];
  u32 un32Version;
  u32 un32Unit;       /* the board's unit number */
  u32 un32Direction;  /* 1 received, 2 sent; CAS R2 also 0 */
  u32 un32Length;     /* data bytes */
};
static_assert(sizeof(_QUELLAN_TRACE_UNIT_HEAD) == 0x18);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_HEAD, un32Unit) == 0x0C);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_HEAD, un32Direction) == 0x10);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_HEAD, un32Length) == 0x14);

struct _QUELLAN_TRACE_UNIT_SS7 {
  _QUELLAN_TRACE_UNIT_HEAD Head;
  u32 un32Trunk;
  u32 un32TimeslotMask;
  u32 un32BitMask;
  u32 fAnnexA;
  u32 un32Variant;
  u32 un32PcLength;  /* 14 or 24 */
};
static_assert(sizeof(_QUELLAN_TRACE_UNIT_SS7) == 0x30);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32Trunk) == 0x18);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32BitMask) == 0x20);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_SS7, fAnnexA) == 0x24);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_SS7, un32PcLength) == 0x2C);

struct _QUELLAN_TRACE_UNIT_ISDN { /* LAPD and ISDN */
  _QUELLAN_TRACE_UNIT_HEAD Head;
  u32 un32Trunk;
  u32 un32TimeslotMask;
  u32 un32BitMask;
  u32 un32Side;  /* 1 user, 2 network */
};
static_assert(sizeof(_QUELLAN_TRACE_UNIT_ISDN) == 0x28);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_ISDN, un32Side) == 0x24);

struct _QUELLAN_TRACE_UNIT_CASR2 {
  _QUELLAN_TRACE_UNIT_HEAD Head;
  u32 un32Trunk;
  u32 un32Kind;  /* 1 call state, 2 tone, 3 CAS bits */
  u32 un32Timeslot;
  u32 un32Timestamp;
};
static_assert(sizeof(_QUELLAN_TRACE_UNIT_CASR2) == 0x28);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_CASR2, un32Kind) == 0x1C);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_CASR2, un32Timestamp) == 0x24);
/* CAS R2 data, by kind. */
struct _QUELLAN_TRACE_CASR2_STATE {
  u32 un32CallState;
  u32 un32InternalState;
};
static_assert(sizeof(_QUELLAN_TRACE_CASR2_STATE) == 8);
struct _QUELLAN_TRACE_CASR2_TONE {
  _VQ500_VP_DIGIT_PARAMS Tone;
  u32 un32Value;
};
static_assert(sizeof(_QUELLAN_TRACE_CASR2_TONE) == 36);
struct _QUELLAN_TRACE_CASR2_BITS {
  u8 aun8Bits[8];
  u32 un32StartTime;
  u32 un32EndTime;
  u32 un32Count;
};
static_assert(sizeof(_QUELLAN_TRACE_CASR2_BITS) == 20);

struct _QUELLAN_TRACE_UNIT_IP {
  _QUELLAN_TRACE_UNIT_HEAD Head;
  u64 un64TraceContextId;
  u32 un32Transport;  /* 0..3 */
  u32 un32Protocol;   /* 1 SIP, 2 SCTP */
  u32 un32LocalPort;
  u32 un32RemotePort;
  u32 un32CapturedTimeMs;
  u32 un32Reserved;
  char szInterface[VQ_TRACE_TEXT_SIZE];
  char szRemoteAddress[VQ_TRACE_TEXT_SIZE];
  char szLocalAddress[VQ_TRACE_TEXT_SIZE];
};
static_assert(sizeof(_QUELLAN_TRACE_UNIT_IP) == 0x68);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_IP, un64TraceContextId) == 0x18);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_IP, un32Transport) == 0x20);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_IP, un32CapturedTimeMs) == 0x30);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_IP, szInterface) == 0x38);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_IP, szRemoteAddress) == 0x48);
static_assert(offsetof(_QUELLAN_TRACE_UNIT_IP, szLocalAddress) == 0x58);

/* ---- Builders ----
 * The on/off request of an entity (types SS7, LAPD, ISDN, CASR2, IP) into
 * vOut (replaced), with the request id in un32MsgId. un32TuclInstance is the
 * IP item (ignored otherwise). Texts longer than 15 characters are cut to 15.
 * 0x02000000; 0x8200000A another type, a TDM entity without timeslots, an
 * IP entity without trace context id. */
VQX_RESULT VqBuildTraceSet(const CVQSigTraceEntityParams& Entity, bool fOn, u32 un32TuclInstance, u32& un32MsgId,
                           std::vector<u8>& vOut);

/* ---- Readers ---- (0x02000000, or 0x8200000A with strError set) */
struct SVQTraceUnit {
  u32 un32Unit = 0;
  u32 un32Direction = 0;
  std::span<const u8> Data;  /* view into the payload */
};
struct SVQTraceSs7Unit : SVQTraceUnit {
  u32 un32Trunk = 0, un32TimeslotMask = 0, un32BitMask = 0, fAnnexA = 0, un32Variant = 0, un32PcLength = 0;
};
struct SVQTraceIsdnUnit : SVQTraceUnit { /* LAPD and ISDN */
  u32 un32Trunk = 0, un32TimeslotMask = 0, un32BitMask = 0, un32Side = 0;
};
struct SVQTraceCasr2Unit : SVQTraceUnit {
  u32 un32Trunk = 0, un32Kind = 0, un32Timeslot = 0, un32Timestamp = 0;
  _QUELLAN_TRACE_CASR2_STATE State{};  /* kind 1 */
  _QUELLAN_TRACE_CASR2_TONE Tone{};    /* kind 2 */
  _QUELLAN_TRACE_CASR2_BITS Bits{};    /* kind 3 */
};
struct SVQTraceIpUnit : SVQTraceUnit {
  u64 un64TraceContextId = 0;
  u32 un32Transport = 0, un32Protocol = 0, un32LocalPort = 0, un32RemotePort = 0, un32CapturedTimeMs = 0;
  std::string_view strInterface, strRemoteAddress, strLocalAddress;  /* views into the payload */
};
VQX_RESULT VqReadSs7TraceUnit(const CVQSigTraceCursor& Payload, SVQTraceSs7Unit& Out, std::string& strError);
VQX_RESULT VqReadLapdTraceUnit(const CVQSigTraceCursor& Payload, SVQTraceIsdnUnit& Out, std::string& strError);
VQX_RESULT VqReadIsdnTraceUnit(const CVQSigTraceCursor& Payload, SVQTraceIsdnUnit& Out, std::string& strError);
VQX_RESULT VqReadCasr2TraceUnit(const CVQSigTraceCursor& Payload, SVQTraceCasr2Unit& Out, std::string& strError);
VQX_RESULT VqReadIpTraceUnit(const CVQSigTraceCursor& Payload, SVQTraceIpUnit& Out, std::string& strError);
/* The board's result of an answer (payload at least 16 bytes, version 1). */
VQX_RESULT VqReadTraceAnswer(const CVQSigTraceCursor& Payload, i32& n32Result, std::string& strError);

}  // namespace VQCAF

#endif
