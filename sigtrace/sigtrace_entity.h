/*
 * sigtrace_entity.h - one traced signalling entity, and the trace
 * configuration that holds the configured ones.
 *
 * A CVQSigTraceEntityParams is a plain value: the configuration reader, each
 * adapter's entity discovery and the provider registration make them; a
 * trace group keeps its own copy of every entity attached to it, and the
 * counters of that copy grow with the group's. Copies share nothing.
 */
#ifndef SIGTRACE_ENTITY_H
#define SIGTRACE_ENTITY_H

#include <vector>

#include "vqcafstring.h"
#include "vqx_types.h"

namespace VQCAF {

/* Protocol types of an entity (and of the group that receives it). */
enum : u32 {
  VQ_SIGTRACE_TYPE_NONE = 0,
  VQ_SIGTRACE_TYPE_BY_NAME = 1, /* named by the board's own name, replaced when the adapter is ready */
  VQ_SIGTRACE_TYPE_SS7 = 2,
  VQ_SIGTRACE_TYPE_ISDN = 3,
  VQ_SIGTRACE_TYPE_IP = 4,
  VQ_SIGTRACE_TYPE_CASR2 = 5,
  VQ_SIGTRACE_TYPE_H248 = 6,
  VQ_SIGTRACE_TYPE_LAPD = 7,
};

class CVQSigTraceEntityParams {
 public:
  CVQSigTraceEntityParams() = default;
  CVQSigTraceEntityParams(const CVQSigTraceEntityParams&) = default;
  CVQSigTraceEntityParams& operator=(const CVQSigTraceEntityParams&) = default;
  /* Moved, not copied, when a container of records grows. */
  CVQSigTraceEntityParams(CVQSigTraceEntityParams&&) noexcept = default;
  CVQSigTraceEntityParams& operator=(CVQSigTraceEntityParams&&) noexcept = default;
  ~CVQSigTraceEntityParams() = default;

  u32 mun32Type = 0;                /* protocol type (enum above) */
  CVQCAFString mstrAdapterName;     /* adapter (board) carrying the entity */
  CVQCAFString mstrGroupName;       /* trace group receiving its traces */
  u8 mfCapFile = 0;                 /* the group writes pcap (1) or text (0) */
  u8 mfExtended = 0;                /* CAS R2: extended trace level */
  CVQCAFString mstrName;            /* entity name, unique within its group */
  u32 mun32ProviderEntityId = 0;    /* remote provider's entity number, else 0 */
  u32 mun32Trunk = 0;               /* trunk; ISDN interface id and SCTP stream in pcap */
  u32 mun32TimeslotMask = 0;        /* bit n: timeslot n */
  u8 mun8BitMask = 0xFF;            /* bits used within each timeslot octet */
  CVQCAFString mstrEthPort;         /* IP interface; ISDN: the D-channel description (pcap Info String) */
  CVQCAFString mstrIpMask;          /* IP address filter; ISDN: the adapter's IPv4 address */
  u32 mun32Port = 0;                /* IP port, 0 any */
  u32 mun32Transport = 0;           /* 1 UDP, 2 TCP, 0 neither */
  u64 mun64EntityId = 0;            /* trace context id */
  u32 mun32RxCount = 0;             /* traces received */
  u32 mun32TxCount = 0;             /* traces sent */
  u32 mun32ExtCount = 0;            /* events of neither direction */
  /* A group's copy no longer traced, kept for its counts and the group's
   * summary until an attach of that entity in its group takes its place:
   * VQ_SIGTRACE_GONE_BOARD its board went away (the board back may still
   * trace it: until the board's discovery completes its units come here);
   * VQ_SIGTRACE_GONE_HELD the same, but a reload made since no longer
   * selects it there (removed, or moved to another group): none of its units
   * is written until the board's discovery completes, which switches it off;
   * VQ_SIGTRACE_GONE_OFF the configuration no longer selects it there and
   * its board was told to switch it off (never given units). */
  u8 mfGone = 0;
  /* Attached because the configuration selects it there (not the command
   * line or the console): the command line's claim on it elsewhere is no
   * conflict, the file's group is the one a start gives it. */
  u8 mfConfigured = 0;
};

enum : u8 { VQ_SIGTRACE_GONE_BOARD = 1, VQ_SIGTRACE_GONE_OFF = 2, VQ_SIGTRACE_GONE_HELD = 3 };

/* Console text of a protocol type ("Unk" beyond the table). */
const char* VqSigTraceEntityTypeName(u32 un32Type);

/* The trace configuration: entities in the order they were read. */
class CVQSigTraceParams {
 public:
  void Append(const CVQSigTraceEntityParams& Entity) { mvEntities.push_back(Entity); }
  void Clear() { mvEntities.clear(); }
  size_t Count() const { return mvEntities.size(); }
  std::vector<CVQSigTraceEntityParams>::const_iterator begin() const { return mvEntities.begin(); }
  std::vector<CVQSigTraceEntityParams>::const_iterator end() const { return mvEntities.end(); }

  std::vector<CVQSigTraceEntityParams> mvEntities;
};

}  // namespace VQCAF

#endif
