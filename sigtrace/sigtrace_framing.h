/*
 * sigtrace_framing.h - the link layers a trace group wraps around each
 * captured unit in its pcap records, and the two dumps of the IP and H.248
 * text records.
 *
 * Each framing appends the bytes that follow the pcap record header to v and
 * returns the record's wire length (the length the unit had before the data
 * caps). It reads the unit only through its cursor. Internal to sigtrace.
 */
#ifndef SIGTRACE_FRAMING_H
#define SIGTRACE_FRAMING_H

#include <vector>

#include "sigtrace_cursor.h"
#include "sigtrace_entity.h"
#include "sigtrace_text.h"
#include "vq500_trace_types.h"

namespace VQCAF {

/* Fixed H.248 endpoints of the synthetic UDP framing. */
constexpr const char* kpszH248MgAddress = "192.168.0.1";
constexpr const char* kpszH248MgcAddress = "192.168.0.2";
constexpr u16 kun16H248MgPort = 2944;
constexpr u16 kun16H248MgcPort = 2945;
/* The one direction rule of H.248 records, pcap and text alike: 2 is a
 * message from the MGC to the MG (counted received), any other value one
 * from the MG to the MGC (1 by the provider's definition; counted sent). */
constexpr bool VqSigTraceH248FromMgc(u32 un32Direction) { return un32Direction == 2; }

/* MTP2 with the 4-octet pseudo-header (link type 139). */
u32 VqSigTraceFrameSs7(std::vector<u8>& v, u32 un32LinkNumber, u32 fAnnexA, u32 un32Direction, const CVQSigTraceCursor& su);
/* LAPD with the 16-octet pseudo-header (link type 177). */
u32 VqSigTraceFrameLapd(std::vector<u8>& v, u32 un32Direction, u32 un32Side, const CVQSigTraceCursor& frame);
/* Q.921 frame carried by IUA (RFC 4233) over SCTP, IPv4 and Ethernet (link type 1). */
u32 VqSigTraceFrameIua(std::vector<u8>& v, const CVQSigTraceEntityParams& Entity, u32 un32Direction,
                       const CVQSigTraceCursor& frame);
/* H.248 message over UDP between the fixed endpoints (VqSigTraceH248FromMgc). */
u32 VqSigTraceFrameH248(std::vector<u8>& v, u32 un32Direction, const CVQSigTraceCursor& msg);
/* IP packet of the boards' IP module (direction 1: received). */
u32 VqSigTraceFrameTucl(std::vector<u8>& v, u32 un32Direction, u32 un32Transport, u32 un32Protocol,
                        const char* pszRemote, const char* pszLocal, u32 un32LocalPort, u32 un32RemotePort,
                        const CVQSigTraceCursor& packet);

/* Printable dump: runs of CR/LF as one "\n", 0x20-0x7E as themselves,
 * other octets as "%02X"; the H.248 or the IP ending. */
void VqSigTracePrintableDump(CVQSigTraceText& out, std::span<const u8> data, bool fH248Ending);
/* Hex dump of IP packets: lines of 32 octets in groups of 8, then "\n\n". */
void VqSigTraceIpHexDump(CVQSigTraceText& out, std::span<const u8> data);

}  // namespace VQCAF

#endif
