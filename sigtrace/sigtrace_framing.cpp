/*
 * sigtrace_framing.cpp - pcap link layers of the trace records: the MTP2 and
 * LAPD pseudo-headers, and synthetic Ethernet/IPv4 (RFC 791) with SCTP
 * (RFC 4960) and IUA (RFC 4233), or with UDP (RFC 768); plus the printable
 * and hex dumps of the IP and H.248 text records.
 *
 * Called by the trace group's packet writers (sigtracegrp_pcap.cpp).
 */
#include "sigtrace_framing.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

#include "sigtracegrp.h"

namespace VQCAF {
namespace {

constexpr u32 kun32FrameCap = CVQSigTraceGrp::kun32FrameCap;
constexpr u32 kun32IpCap = CVQSigTraceGrp::kun32IpCap;

constexpr u8 kun8IpProtoUdp = 17;
constexpr u8 kun8IpProtoSctp = 132;
constexpr u16 kun16EtherTypeIpv4 = 0x0800;
constexpr u16 kun16LapdProtocol = 0x0030; /* ETH_P_LAPD */
constexpr u16 kun16LapdOutgoing = 4;      /* packet type of a sent frame */

constexpr u32 kun32EthernetSize = 14;
constexpr u32 kun32UdpSize = 8;

/* IUA (RFC 4233) values. */
constexpr u8 kun8IuaVersion = 1;
constexpr u8 kun8IuaClassQptm = 5;
constexpr u8 kun8IuaDataRequest = 1;
constexpr u8 kun8IuaDataIndication = 2;
constexpr u8 kun8IuaUnitDataRequest = 3;
constexpr u8 kun8IuaUnitDataIndication = 4;
constexpr u16 kun16IuaTagInterfaceId = 0x0001;
constexpr u16 kun16IuaTagInfoString = 0x0004;
constexpr u16 kun16IuaTagDlci = 0x0005;
constexpr u16 kun16IuaTagProtocolData = 0x000E;
constexpr u32 kun32IuaPpid = 1;
constexpr u8 kun8SctpChunkData = 0;
constexpr u8 kun8SctpFlagsFirstLast = 3;
/* Bytes before the Info String value: Ethernet 14, IPv4 20, SCTP common
 * header 12, DATA chunk header 16, IUA header 8, Interface Identifier 8,
 * DLCI 8, Info String tag and length 4. */
constexpr u32 kun32IuaFixedSize = 90;
constexpr u32 kun32IuaMessageFixed = 28; /* IUA header, interface id, DLCI, info string header */
constexpr u32 kun32IuaMaxInfoString = CVQSigTraceGrp::kun32IuaMaxInfoString;

const u8 s_aun8MacMg[6] = {1, 1, 1, 1, 1, 1};
const u8 s_aun8MacMgc[6] = {2, 2, 2, 2, 2, 2};
const u8 s_aun8MacZero[6] = {0, 0, 0, 0, 0, 0};

u32 RoundUp4(u32 v) { return (v + 3u) & ~3u; }

void Put8(std::vector<u8>& v, u32 x) { v.push_back(static_cast<u8>(x)); }
void Put16(std::vector<u8>& v, u32 x) {
  v.push_back(static_cast<u8>(x >> 8));
  v.push_back(static_cast<u8>(x));
}
void Put32(std::vector<u8>& v, u32 x) {
  Put16(v, x >> 16);
  Put16(v, x);
}
void PutBytes(std::vector<u8>& v, std::span<const u8> data) { v.insert(v.end(), data.begin(), data.end()); }
void PutZeros(std::vector<u8>& v, u32 n) { v.insert(v.end(), n, 0); }

/* Dotted decimal to a network-order address; null or empty gives 0.0.0.0. */
u32 Address(const char* psz) { return (psz == nullptr || *psz == '\0') ? 0 : inet_addr(psz); }

void PutEthernet(std::vector<u8>& v, const u8* pDst, const u8* pSrc) {
  v.insert(v.end(), pDst, pDst + 6);
  v.insert(v.end(), pSrc, pSrc + 6);
  Put16(v, kun16EtherTypeIpv4);
}

void PutIpv4(std::vector<u8>& v, u32 un32TotalLength, u8 un8Protocol, u32 un32Src, u32 un32Dst) {
  _QUELLAN_IP ip{};
  ip.un8VersionHeaderLength = 0x45;
  ip.un16TotalLength = htons(static_cast<u16>(un32TotalLength));
  ip.un8TimeToLive = 64;
  ip.un8Protocol = un8Protocol;
  ip.un32Source = un32Src;
  ip.un32Destination = un32Dst;
  CVQSigTraceGrp::CalculateIpHeaderChecksum(&ip);
  const u8* p = reinterpret_cast<const u8*>(&ip);
  v.insert(v.end(), p, p + sizeof(ip));
}

void PutUdp(std::vector<u8>& v, u32 un32SrcPort, u32 un32DstPort, u32 un32PayloadLength) {
  Put16(v, un32SrcPort & 0xFFFFu);
  Put16(v, un32DstPort & 0xFFFFu);
  Put16(v, un32PayloadLength + kun32UdpSize);
  Put16(v, 0);
}

}  // namespace

u32 VqSigTraceFrameSs7(std::vector<u8>& v, u32 un32LinkNumber, u32 fAnnexA, u32 un32Direction, const CVQSigTraceCursor& su) {
  const u32 n = std::min(su.Size(), kun32FrameCap);
  Put8(v, un32Direction != 0 ? 1 : 0);
  Put8(v, fAnnexA != 0 ? 1 : 0);
  Put16(v, un32LinkNumber & 0xFFFFu);
  PutBytes(v, su.Bytes(0, n));
  return 4 + su.Size();
}

u32 VqSigTraceFrameLapd(std::vector<u8>& v, u32 un32Direction, u32 un32Side, const CVQSigTraceCursor& frame) {
  const u32 n = std::min(frame.Size(), kun32FrameCap);
  Put16(v, un32Direction == 0 ? 0 : kun16LapdOutgoing);
  Put16(v, 0);
  Put16(v, n);
  Put8(v, un32Side & 0xFFu);
  PutZeros(v, 7);
  Put16(v, kun16LapdProtocol);
  PutBytes(v, frame.Bytes(0, n));
  return 16 + frame.Size();
}

u32 VqSigTraceFrameIua(std::vector<u8>& v, const CVQSigTraceEntityParams& Entity, u32 un32Direction,
                       const CVQSigTraceCursor& frame) {
  const u32 L = frame.Size();
  const u32 n = std::min(L, kun32FrameCap);
  const u32 s = std::min(Entity.mstrEthPort.GetLength(), kun32IuaMaxInfoString);
  const u32 S = RoundUp4(s);

  /* Q.921 frame kind (control field, Q.921 3.6). The DLCI parameter holds
   * octets 0 to 3; IUA carries the layer-3 data of an I frame from octet 4
   * in Data messages, of a UI frame from octet 3 in Unit Data messages. An S
   * or other U frame has none by its format, but whatever such a frame holds
   * past octet 3 is carried in Protocol Data too: the record keeps every
   * octet the board captured (a decoder may call it malformed, which it is). */
  const bool fHasControl = L >= 3;
  const u8 c = frame.AtOr(2, 0);
  const bool fUi = fHasControl && (c & 0xEFu) == 0x03u;
  u32 un32DataFrom = 4;
  u8 un8Type = un32Direction == 1 ? kun8IuaDataRequest : kun8IuaDataIndication;
  u8 aun8Dlci2[2] = {frame.AtOr(2, 0), frame.AtOr(3, 0)};
  if (fUi) {
    un32DataFrom = 3;
    un8Type = un32Direction == 1 ? kun8IuaUnitDataRequest : kun8IuaUnitDataIndication;
    aun8Dlci2[1] = 0;
  }
  const u32 un32Data = n > un32DataFrom ? n - un32DataFrom : 0;
  const u32 un32WireData = L > un32DataFrom ? L - un32DataFrom : 0;
  const u32 D = un32Data ? RoundUp4(4 + un32Data) : 0;
  const u32 M = kun32IuaMessageFixed + S + D;
  const u32 un32Address = Address(Entity.mstrIpMask.c_str());

  PutEthernet(v, s_aun8MacZero, s_aun8MacZero);
  PutIpv4(v, 48 + M, kun8IpProtoSctp, un32Direction == 1 ? un32Address : 0, un32Direction == 1 ? 0 : un32Address);
  Put16(v, 0); /* SCTP source port */
  Put16(v, 0); /* destination port */
  Put32(v, 0); /* verification tag */
  Put32(v, 0); /* checksum */
  Put8(v, kun8SctpChunkData);
  Put8(v, kun8SctpFlagsFirstLast);
  Put16(v, 16 + M);
  Put32(v, 0); /* TSN */
  Put16(v, Entity.mun32Trunk & 0xFFFFu);
  Put16(v, 0); /* stream sequence number */
  Put32(v, kun32IuaPpid);
  Put8(v, kun8IuaVersion);
  Put8(v, 0);
  Put8(v, kun8IuaClassQptm);
  Put8(v, un8Type);
  Put32(v, M);
  Put16(v, kun16IuaTagInterfaceId);
  Put16(v, 8);
  Put32(v, Entity.mun32Trunk);
  Put16(v, kun16IuaTagDlci);
  Put16(v, 8);
  Put8(v, frame.AtOr(0, 0));
  Put8(v, frame.AtOr(1, 0));
  Put8(v, aun8Dlci2[0]);
  Put8(v, aun8Dlci2[1]);
  Put16(v, kun16IuaTagInfoString);
  Put16(v, 4 + s);
  v.insert(v.end(), Entity.mstrEthPort.c_str(), Entity.mstrEthPort.c_str() + s);
  PutZeros(v, S - s);
  if (D != 0) {
    Put16(v, kun16IuaTagProtocolData);
    Put16(v, 4 + un32Data);
    PutBytes(v, frame.Bytes(un32DataFrom, un32Data));
    PutZeros(v, D - 4 - un32Data);
  }
  return kun32IuaFixedSize + S + (un32WireData ? RoundUp4(4 + un32WireData) : 0);
}

u32 VqSigTraceFrameH248(std::vector<u8>& v, u32 un32Direction, const CVQSigTraceCursor& msg) {
  const u32 n = std::min(msg.Size(), kun32IpCap);
  const bool fFromMgc = VqSigTraceH248FromMgc(un32Direction);
  PutEthernet(v, fFromMgc ? s_aun8MacMg : s_aun8MacMgc, fFromMgc ? s_aun8MacMgc : s_aun8MacMg);
  const u32 un32Mg = Address(kpszH248MgAddress), un32Mgc = Address(kpszH248MgcAddress);
  PutIpv4(v, n + 28, kun8IpProtoUdp, fFromMgc ? un32Mgc : un32Mg, fFromMgc ? un32Mg : un32Mgc);
  PutUdp(v, fFromMgc ? kun16H248MgcPort : kun16H248MgPort, fFromMgc ? kun16H248MgPort : kun16H248MgcPort, n);
  PutBytes(v, msg.Bytes(0, n));
  return kun32EthernetSize + 28 + msg.Size();
}

u32 VqSigTraceFrameTucl(std::vector<u8>& v, u32 un32Direction, u32 un32Transport, u32 un32Protocol,
                        const char* pszRemote, const char* pszLocal, u32 un32LocalPort, u32 un32RemotePort,
                        const CVQSigTraceCursor& packet) {
  const u32 n = std::min(packet.Size(), kun32IpCap);
  PutEthernet(v, s_aun8MacMgc, s_aun8MacMg);
  const bool fRx = un32Direction == VQ500_TUCL_TRACE_DIRECTION_RX;
  const u32 un32Remote = Address(pszRemote), un32Local = Address(pszLocal);
  const u32 un32Src = fRx ? un32Remote : un32Local, un32Dst = fRx ? un32Local : un32Remote;
  if (un32Transport == VQ500_TUCL_TRACE_TRANSPORT_RAW) {
    PutIpv4(v, n + 20, un32Protocol == VQ500_TUCL_TRACE_PROTOCOL_SCTP ? kun8IpProtoSctp : kun8IpProtoUdp, un32Src, un32Dst);
    PutBytes(v, packet.Bytes(0, n));
    return kun32EthernetSize + 20 + packet.Size();
  }
  PutIpv4(v, n + 28, kun8IpProtoUdp, un32Src, un32Dst);
  PutUdp(v, fRx ? un32RemotePort : un32LocalPort, fRx ? un32LocalPort : un32RemotePort, n);
  PutBytes(v, packet.Bytes(0, n));
  return kun32EthernetSize + 28 + packet.Size();
}

void VqSigTracePrintableDump(CVQSigTraceText& out, std::span<const u8> data, bool fH248Ending) {
  static const char s_acHex[] = "0123456789ABCDEF";
  std::string& s = out.Str();
  bool fInBreak = false;
  for (const u8 b : data) {
    if (b == '\r' || b == '\n') {
      if (!fInBreak) s.push_back('\n');
      fInBreak = true;
      continue;
    }
    fInBreak = false;
    if (b >= 0x20 && b <= 0x7E) {
      s.push_back(static_cast<char>(b));
    } else {
      s.push_back(s_acHex[b >> 4]);
      s.push_back(s_acHex[b & 0x0F]);
    }
  }
  s.append(fH248Ending && fInBreak ? "\n" : "\n\n");
}

void VqSigTraceIpHexDump(CVQSigTraceText& out, std::span<const u8> data) {
  constexpr size_t kun64Group = 8;
  constexpr size_t kun64Line = 32;
  static const char s_acHex[] = "0123456789ABCDEF";
  std::string& s = out.Str();
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % kun64Group == 0) s.push_back(' ');
    if (i > 0 && i % kun64Line == 0) s.push_back('\n');
    s.push_back(s_acHex[data[i] >> 4]);
    s.push_back(s_acHex[data[i] & 0x0F]);
  }
  s.append("\n\n");
}

}  // namespace VQCAF
