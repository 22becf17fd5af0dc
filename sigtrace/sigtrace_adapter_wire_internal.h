/*
 * sigtrace_adapter_wire_internal.h - the board discovery exchanges as data:
 * the catalogue of the thirteen requests, the offsets of the fields the
 * answers carry, and the readers that take them from the received payload
 * through the bounded cursor. Used by the adapter's sources only; the layout
 * is written up in docs/board-discovery.md, which the simulated board follows.
 *
 * Integers are little-endian (the boards' and the host's order; the host
 * library carries payloads unswapped); user-context words (names) are stored
 * big-endian, most significant byte first.
 */
#ifndef SIGTRACE_ADAPTER_WIRE_INTERNAL_H
#define SIGTRACE_ADAPTER_WIRE_INTERNAL_H

#include "sigtrace_adapter.h"
#include "sigtrace_cursor.h"

namespace VQCAF {
namespace vqdisc {

/* Every request and answer. */
constexpr u32 kOffVersion = 0x08;  /* request: message version, always 1 */
constexpr u32 kOffItem = 0x0C;     /* request: item identifier */
constexpr u32 kOffResult = 0x0C;   /* answer: the board's signed result */
constexpr u32 kMsgVersion = 1;

/* List answers (instances, links). */
constexpr u32 kOffListCount = 0x10;
constexpr u32 kOffListIds = 0x14;

/* Configuration answer. */
constexpr u32 kOffFeatureCount = 0xA6C;
constexpr u32 kOffFeatures = 0xA70;
constexpr u32 kFeatureSize = 16;
constexpr u32 kOffFeatureId = 4;      /* in an entry */
constexpr u32 kOffFeatureCount1 = 8;
constexpr u32 kOffFeatureCount2 = 12;

/* MTP2 link parameters. */
constexpr u32 kMtp2OffSelector = 0x20;
constexpr u32 kMtp2OffTrunk = 0xA0;
constexpr u32 kMtp2OffTimeslots = 0xA8;  /* 32 u32, entry i for timeslot i */
constexpr u32 kMtp2OffName1 = 0x128;
constexpr u32 kMtp2OffName2 = 0x130;
constexpr u32 kTimeslots = 32;
static_assert(kMtp2OffTimeslots + 4 * kTimeslots == kMtp2OffName1);

/* LAPD link parameters. */
constexpr u32 kLapdOffSelector = 0x34;
constexpr u32 kLapdOffTrunk = 0x50;
constexpr u32 kLapdOffTimeslot = 0x58;
constexpr u32 kLapdOffName1 = 0x60;
constexpr u32 kLapdOffName2 = 0x68;

/* ISDN parameters. */
constexpr u32 kIsdnOffSide = 0x14;
constexpr u32 kIsdnOffVariant = 0x18;
constexpr u32 kIsdnOffOptions = 0x1D;   /* bit 1: bit mask 0x7F */
constexpr u32 kIsdnOffBackup = 0x20;    /* u8 index of the backup's trunk, 0 none */
constexpr u32 kIsdnOffName = 0x68;
constexpr u32 kIsdnOffTrunkCount = 0x70;
constexpr u32 kIsdnOffTrunks = 0x74;

/* CAS R2 parameters. */
constexpr u32 kCasr2OffTrunk = 0x10;
constexpr u32 kCasr2OffName = 0x20;

/* TUCL parameters. */
constexpr u32 kTuclOffName1 = 0x18;
constexpr u32 kTuclOffName2 = 0x20;

constexpr u32 kTrunkMask = 0xFFF;
constexpr u32 kNameSize = 128;          /* decoded names and generated names, terminator included */

/* One request of the catalogue. */
struct SRequestKind {
  u32 un32MsgId;
  const char* pszName;    /* the board operation, as failure texts name it */
  u32 un32Size;           /* payload bytes: the size of the board's answer structure */
  bool fItem;             /* carries an item identifier at 0x0C */
  const char* pszSender;  /* the adapter operation that sends it */
  /* What it covers, for the lines of a request given up: a format of one
   * number, its item, or, with a feature id, that feature's resource count
   * from the configuration answer (the entities counted then; else one). */
  const char* pszCovers;
  u32 un32Feature;
  u32 un32Type;           /* the entity type of its family (0: the configuration) */
  bool fRegisters;        /* its answer registers entities (a parameters request), else it lists items */
};

/* The catalogue entry of a request id; null when the id is none of the thirteen. */
const SRequestKind* RequestKind(u32 un32MsgId);

/* The received payload of a message (header address): un32PayloadLength
 * bytes from the payload start, cut at the buffer's un32Length. */
CVQSigTraceCursor AnswerPayload(const unsigned int* pMsg);

/* Little-endian u32 / signed result, big-endian user-context word; throw
 * CVQSigTraceTruncated past the payload. */
u32 Le32(const CVQSigTraceCursor& c, u32 un32Offset);
inline i32 Result(const CVQSigTraceCursor& c) { return static_cast<i32>(Le32(c, kOffResult)); }
u64 Be64(const CVQSigTraceCursor& c, u32 un32Offset);

/* Entries of un32Size bytes announced at un32Count from un32Offset: as many
 * as the payload holds whole (never more than announced). */
u32 WholeEntries(const CVQSigTraceCursor& c, u32 un32Offset, u32 un32Count, u32 un32Size);

/* Bit mask from a link's bit-mask selector: 2 gives 0x7F, 3 gives 0x7E, else 0xFF. */
u8 BitMaskFromSelector(u32 un32Selector);

/* ISDN variant: text and D-channel timeslot mask; null for 0 and above 8. */
struct SIsdnVariant {
  u32 un32Variant;
  const char* pszText;
  u32 un32TimeslotMask;
};
const SIsdnVariant* IsdnVariant(u32 un32Variant);

}  // namespace vqdisc
}  // namespace VQCAF

/* The boundary of every answer handler (op: its operation name). */
#define VQ_ADAPTER_ANSWER_CATCH(pszOp)                                                            \
  catch (const ::VQCAF::CVQSigTraceTruncated& Short) {                                            \
    return ShortAnswer((pszOp), Short.mun32Index, Short.mun32End, __LINE__);                      \
  }                                                                                               \
  catch (...) {                                                                                   \
    return CaughtFailure((pszOp), __LINE__);                                                      \
  }

#endif
