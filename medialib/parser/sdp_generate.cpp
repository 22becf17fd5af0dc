/*
 * sdp_generate.cpp - SDP text (RFC 4566) from a record: the session header,
 * then per description of group 0 its m=, c= and b= lines and its a= lines
 * (direction, setup, rtpmap, fmtp, ptime, framerate, the kept lines of
 * formats the parser did not know). Flags choose the optional lines
 * (vqx_media_parse.h).
 *
 * Every piece is written by the bounded formatter into the room left; a full
 * buffer cuts the text and is not an error.
 */
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "sdp_parse_internal.h"
#include "vqx_string.h"

namespace {

struct Writer {
  char* p;
  u32 un32Size, un32Off;
  void Put(const char* pszFormat, ...) __attribute__((format(printf, 2, 3))) {
    if (un32Off >= un32Size) return;
    va_list ap;
    va_start(ap, pszFormat);
    const int n = Vsnprintf(p + un32Off, un32Size - un32Off, pszFormat, ap);
    va_end(ap);
    un32Off += u32(n) < un32Size - un32Off ? u32(n) : un32Size - un32Off;
  }
};

/* A connection the text can carry: dotted IPv4 (address type 0). */
bool DottedIpv4(const _VQX_SDP_CONNECTION& c) {
  const size_t n = strnlen(c.szAddress, sizeof c.szAddress);
  return c.un8AddressType == 0 && n < sizeof c.szAddress && VqxSdpDottedQuad(std::string_view(c.szAddress, n));
}

void Connection(Writer& w, const _VQX_SDP_CONNECTION& c) {
  w.Put("c=IN IP4 %s", c.szAddress);
  /* IPv4 puts the number of addresses after the TTL (RFC 4566 section 5.7):
   * a count alone would read back as a TTL. */
  if (c.un8Ttl != 0 || c.un32NbAddresses > 1) w.Put("/%u", c.un8Ttl);
  if (c.un32NbAddresses > 1) w.Put("/%u", c.un32NbAddresses);
  w.Put("\r\n");
}

/* Default packet time of a type (RFC 3551 frame sizes), 0 when none. */
u32 DefaultPtime(const _VQX_MEDIA_CAP& c) {
  switch (c.Encoding.MediaType) {
    case 0: case 3: case 5: case 7: case 8: case 9: case 10: case 12: case 13: case 14: case 15: case 18:
    case 103: case 104: case 105: case 106: case 107: case 108: case 109: case 110: case 111: case 125: case 126:
      return 20;
    case 4: return 30;
    case 124: return c.Encoding.un32Word28 == 13 ? 30 : c.Encoding.un32Word28 == 15 ? 20 : 0;
    default: return 0;
  }
}

struct Map {
  u8 un8From, un8To;
};
const Map s_aProfileIdc[] = {{1, 0xF4}, {2, 0x7A}, {4, 0x6E}, {8, 0x64}, {16, 0x58}, {32, 0x4D}};
const Map s_aLevelIdc[] = {{19, 9},  {22, 11}, {29, 12}, {36, 13}, {43, 20}, {50, 21},  {57, 22}, {64, 30},
                           {71, 31}, {78, 32}, {85, 40}, {92, 41}, {99, 42}, {106, 50}, {113, 51}};
u8 Lookup(const Map* p, size_t n, u8 v, u8 fallback) {
  for (size_t i = 0; i < n; ++i)
    if (p[i].un8From == v) return p[i].un8To;
  return fallback;
}

void FrameSize(Writer& w, u32 pt, const u8* b, u32 flags) {
  if ((flags & VQX_SDP_GEN_H263_FRAMES) == 0 || (b[28] | b[29] | b[30]) == 0) return;
  w.Put("a=framesize:%u %s\r\n", pt, b[30] ? "352-288" : b[29] ? "176-144" : "128-96");
}

/* The H.263 picture-size items of a capability, 0 for an item left out: a
 * smaller size only when its MPI is below the larger ones', as a size read
 * back also gives its MPI to the smaller sizes the line leaves out. */
struct SizeItems {
  u8 un8Sqcif, un8Qcif, un8Cif;
};
SizeItems PictureSizeItems(const u8* b) {
  return {u8(b[28] && (!b[30] || b[28] < b[30]) && (!b[29] || b[28] < b[29]) ? b[28] : 0),
          u8(b[29] && (!b[30] || b[29] < b[30]) ? b[29] : 0), b[30]};
}
/* The MPIs the items read back as, each size filling the smaller ones left
 * at 0. */
bool ReadsBackAs(const SizeItems& i, const VqxSdpH263Block& m) {
  const u8 q = i.un8Qcif ? i.un8Qcif : i.un8Cif;
  const u8 s = i.un8Sqcif ? i.un8Sqcif : q;
  return s == m.un8Sqcif && q == m.un8Qcif && i.un8Cif == m.un8Cif;
}
/* "CIF:%u;QCIF:%u;SQCIF:%u", each item after sep. */
void PictureSizes(Writer& w, const SizeItems& i, const char* sep) {
  if (i.un8Cif) w.Put("%sCIF:%u", sep, i.un8Cif), sep = ";";
  if (i.un8Qcif) w.Put("%sQCIF:%u", sep, i.un8Qcif), sep = ";";
  if (i.un8Sqcif) w.Put("%sSQCIF:%u", sep, i.un8Sqcif);
}

void Codec(Writer& w, const _VQX_MEDIA_CAP& c, u32 flags) {
  const bool x = (flags & VQX_SDP_GEN_EXPLICIT) != 0;
  const u32 pt = c.Transport.Rtp.un32PayloadType;
  const u8* b = reinterpret_cast<const u8*>(&c);
  auto rtpmap = [&](const char* name, u32 clock) { w.Put("a=rtpmap:%u %s/%u\r\n", pt, name, clock); };
  /* The rtpmap line may be left out only for the type's own static payload
   * type (RFC 3551): any other number needs it to be read back. */
  const bool fDyn = x || pt != c.Encoding.MediaType;
  char sz[512];
  switch (c.Encoding.MediaType) {
    case 0: case 8:
      if (fDyn) rtpmap(c.Encoding.MediaType == 0 ? "PCMU" : "PCMA", 8000);
      if (VqxLoad16(b + 28) != 0) w.Put("a=silenceSupp:off - - - -\r\n");
      break;
    case 3: if (fDyn) rtpmap("GSM", 8000); break;
    case 9: if (fDyn) rtpmap("G722", 8000); break;
    case 10: if (fDyn) w.Put("a=rtpmap:%u L16/44100/%u\r\n", pt, b[28]); break;
    case 12: if (fDyn) rtpmap("QCELP", 8000); break;
    case 13: if (fDyn) rtpmap("CN", 8000); break;
    case 15: if (fDyn) rtpmap("G728", 8000); break;
    case 4: {
      if (fDyn) rtpmap("G723", 8000);
      if (x) {
        w.Put("a=fmtp:%u bitrate=%s;annexa=%s\r\n", pt, b[28] ? "6.3" : "5.3", b[30] ? "yes" : "no");
        break;
      }
      const char* pszRate = !b[28] ? "bitrate=5.3" : (b[28] && b[31]) ? "" : "bitrate=6.3";
      const char* pszAnnex = b[30] ? "" : "annexa=no";
      if (*pszRate || *pszAnnex) w.Put("a=fmtp:%u %s%s%s\r\n", pt, pszRate, (*pszRate && *pszAnnex) ? ";" : "", pszAnnex);
      break;
    }
    case 18: case 103: {
      const bool f18 = c.Encoding.MediaType == 18;
      if (!f18 || fDyn) rtpmap(f18 ? "G729" : "G729E", 8000);
      const u8 annexb = b[f18 ? 28 : 32];
      if (!annexb) w.Put("a=fmtp:%u annexb=no\r\n", pt);
      else if (x) w.Put("a=fmtp:%u annexb=yes\r\n", pt);
      break;
    }
    case 34:
      rtpmap("H263", 90000);
      FrameSize(w, pt, b, flags);
      if ((b[28] | b[29] | b[30]) == 0) break;
      w.Put("a=fmtp:%u ", pt);
      PictureSizes(w, PictureSizeItems(b), "");
      w.Put("\r\n");
      break;
    case 121: {
      if (pt == 34) w.Put("a=rtpmap:34 H263/90000\r\n");
      else rtpmap((flags & VQX_SDP_GEN_H263_1998) ? "H263-1998" : "H263-2000", 90000);
      w.Put("a=fmtp:%u profile=%u;level=%u", pt, b[53], b[54]);
      /* Profile and level alone read back as the baseline sizes: other sizes
       * (an offer's "CIF=1;QCIF=1", say) follow on the same line, or the
       * text would offer less than the record holds. Decided on what the
       * items read back as, so that the text reads back to itself. */
      const SizeItems items = PictureSizeItems(b);
      if ((items.un8Sqcif | items.un8Qcif | items.un8Cif) != 0 && !ReadsBackAs(items, kVqxSdpH263BaselineSizes))
        PictureSizes(w, items, ";");
      w.Put("\r\n");
      FrameSize(w, pt, b, flags);
      break;
    }
    case 98:
      w.Put("a=T38FaxVersion:%u\r\na=T38MaxBitRate:%u\r\na=T38FaxFillBitRemoval:%u\r\n", c.Encoding.T38.un32T38FaxVersion,
            c.Encoding.T38.un32T38MaxBitRate, c.Encoding.T38.un32T38FillBitRemoval);
      w.Put("a=T38FaxTranscodingMMR:%u\r\na=T38FaxTranscodingJBIG:%u\r\na=T38FaxRateManagement:%s\r\n",
            c.Encoding.T38.un32T38TranscodingMMR, c.Encoding.T38.un32T38TranscodingJBIG,
            c.Encoding.T38.un32T38RateManagement == 1 ? "localTCF" : "transferredTCF");
      if (c.Encoding.T38.un32T38MaxBuffer) w.Put("a=T38FaxMaxBuffer:%u\r\n", c.Encoding.T38.un32T38MaxBuffer);
      if (c.Encoding.T38.un32T38MaxDatagram) w.Put("a=T38FaxMaxDatagram:%u\r\n", c.Encoding.T38.un32T38MaxDatagram);
      w.Put("a=T38FaxUdpEC:%s\r\n", c.Encoding.T38.un32T38UdpEc == 2 ? "t38UDPFEC" : "t38UDPRedundancy");
      break;
    case 100:
      /* An empty list is written empty: it reads back as no event. */
      if (VQX_RESULT_FAILED(VQXMediaLibSdpFormatNseEventList(c.Encoding.Events.aun32Events, 255, sz))) break;
      rtpmap((flags & VQX_SDP_GEN_NSE) ? "NSE" : "X-NSE", 8000);
      w.Put("a=fmtp:%u %s\r\n", pt, sz);
      break;
    case 101: {
      rtpmap("telephone-event", c.Encoding.Events.un16ClockRate);
      const u32* e = c.Encoding.Events.aun32Events;
      const bool fDefault = e[0] == 0xFFFF && (e[1] | e[2] | e[3] | e[4] | e[5] | e[6] | e[7]) == 0;
      if ((!fDefault || x) && VQX_RESULT_SUCCEEDED(VQXMediaLibSdpFormatRFC2833EventList(e, 255, sz)))
        w.Put("a=fmtp:%u %s\r\n", pt, sz);
      break;
    }
    case 104: case 126: {
      const bool fWb = c.Encoding.MediaType == 126;
      rtpmap(fWb ? "AMR-WB" : "AMR", fWb ? 16000 : 8000);
      const u8 octet = b[fWb ? 33 : 36], efficient = b[fWb ? 34 : 37];
      if (octet && !efficient && !b[32]) w.Put("a=fmtp:%u octet-align=1\r\n", pt);
      else if (x) w.Put("a=fmtp:%u octet-align=0\r\n", pt);
      if (b[32]) w.Put("a=fmtp:%u crc=1\r\n", pt);
      else if (x) w.Put("a=fmtp:%u crc=0\r\n", pt);
      if (!fWb) break;
      if (VqxLoad16(b + 36)) w.Put("a=fmtp:%u mode-change-period=%u\r\n", pt, VqxLoad16(b + 36));
      if (b[40]) w.Put("a=fmtp:%u mode-change-neighbor=1\r\n", pt);
      else if (x) w.Put("a=fmtp:%u mode-change-neighbor=0\r\n", pt);
      const u16 set = VqxLoad16(b + 38);
      if (set != 0x1FF || x) {
        /* Bit i is number i + 1 (the parser's reading). */
        w.Put("a=fmtp:%u mode-set=", pt);
        const char* sep = "";
        for (u32 i = 0; i <= 8; ++i)
          if (set & (1u << i)) w.Put("%s%u", sep, i + 1), sep = ",";
        w.Put("\r\n");
      }
      break;
    }
    case 105: rtpmap("GSM-EFR", 8000); break;
    case 108: rtpmap("CLEARMODE", 8000); break;
    case 110:
      rtpmap("SMV", 8000);
      if (b[32] != 5 || x) w.Put("a=fmtp:%u maxinterleave=%u\r\n", pt, b[32]);
      break;
    case 111: {
      rtpmap("EVRC", 8000);
      Writer items{sz, sizeof sz, 0};
      const char* sep = "";
      if (b[32] != 5 || x) items.Put("maxinterleave=%u", b[32]), sep = ";";
      if (!b[34]) {
        items.Put("%ssilencesupp=no", sep);
        if (!b[33]) items.Put(";fixedrate=1");
        else if (x) items.Put(";fixedrate=0.5");
      } else {
        if (b[35] != 12 || x) items.Put("%sdtxmin=%u", sep, b[35]), sep = ";";
        if (b[36] != 32 || x) items.Put("%sdtxmax=%u", sep, b[36]), sep = ";";
        if (b[37] != 1 || x) items.Put("%shangover=%u", sep, b[37]);
      }
      if (items.un32Off != 0) w.Put("a=fmtp:%u %s\r\n", pt, sz);
      break;
    }
    case 119: {
      rtpmap("MP4V-ES", 90000);
      const u32 n = b[33];
      Writer hex{sz, sizeof sz, 0};
      for (u32 i = 0; i < n; ++i) hex.Put("%02X", b[40 + i]);
      if (n == 0) w.Put("a=fmtp:%u profile-level-id=%u\r\n", pt, b[30]);
      else w.Put("a=fmtp:%u profile-level-id=%u;config=%s\r\n", pt, b[30], sz);
      break;
    }
    case 120: w.Put("a=rtpmap:%u RED/%u/%u\r\n", pt, c.Encoding.un32Word28, VqxLoad32(b + 32) ? 2u : 1u); break;
    case 122: {
      rtpmap("H264", 90000);
      const u8 p = b[30];
      const u8 constraint = u8(((p & 0x40) ? 0x80 : 0) + ((p & 0x20) ? 0x40 : 0) + ((p & 0x10) ? 0x20 : 0));
      w.Put("a=fmtp:%u profile-level-id=%02X%02X%02X\r\n", pt, Lookup(s_aProfileIdc, std::size(s_aProfileIdc), p, 0x42),
            constraint, Lookup(s_aLevelIdc, std::size(s_aLevelIdc), b[31], 10));
      break;
    }
    case 124:
      if (c.Encoding.un32Word28 == 13) rtpmap("iLBC", 8000);
      else if (c.Encoding.un32Word28 == 15) rtpmap("iLBC", 8000), w.Put("a=fmtp:%u mode=20\r\n", pt);
      break;
    case 125: {
      const u32 r = c.Encoding.G726.un32BitRateKbps;
      rtpmap(r == 24 ? "G726-24" : r == 40 ? "G726-40" : r == 16 ? "G726-16" : "G726-32", 8000);
      break;
    }
    default: break;
  }
}

bool IsH263Type(u32 t) { return t == VQX_MEDIA_TYPE_H263 || t == VQX_MEDIA_TYPE_H263_PLUS; }

bool Carried(const _VQX_MEDIA_CAP& c) {
  return c.Transport.Type == VQX_MEDIA_TRANSPORT_RTP || c.Transport.Type == VQX_MEDIA_TRANSPORT_UDPTL;
}

/* One media block; false when the description has no valid main capability
 * or names a connection the text cannot carry. */
bool Block(Writer& w, const _VQX_SDP_INFO* r, const _VQX_SIMULTANEOUS_CAP& d, u32 flags) {
  const u32 nCaps = VqxNbCaps(r);
  if (d.un8NbChoices == 0 || d.aMediaCapChoices[0].un8CapIdx >= nCaps) return false;
  const _VQX_MEDIA_CAP& main = r->aMediaCap[d.aMediaCapChoices[0].un8CapIdx];
  if (main.Encoding.MediaType == VQX_MEDIA_TYPE_USER_INDICATION) return true;
  const u32 nChoices = VqxNbChoices(d);
  auto cap = [&](u32 i) -> const _VQX_MEDIA_CAP* {
    const u8 k = d.aMediaCapChoices[i].un8CapIdx;
    return k < nCaps ? &r->aMediaCap[k] : nullptr;
  };
  const bool fConn = (flags & VQX_SDP_GEN_MEDIA_CONNECTIONS) != 0 || d.un8ConnectionIdx != 0;
  const _VQX_SDP_CONNECTION* pConn =
      fConn && d.un8ConnectionIdx < r->un8NbConnections && d.un8ConnectionIdx < VQX_MEDIA_MAX_CONNECTIONS
          ? &r->aConnections[d.un8ConnectionIdx] : nullptr;
  if (pConn != nullptr && !DottedIpv4(*pConn)) return false;

  /* Summary: packet time, H.263 frame rate and bandwidth of the block. */
  u32 ptime = 0, rate = 0, bw = 0;
  bool fExplicit = false;
  for (u32 i = 0; i < nChoices; ++i) {
    const _VQX_MEDIA_CAP* c = cap(i);
    if (c == nullptr || !Carried(*c)) continue;
    if (c->Transport.Type == VQX_MEDIA_TRANSPORT_RTP) {
      const u32 def = DefaultPtime(*c), own = c->Transport.Rtp.un16PacketTimeMs;
      const u32 p = own != 0 ? own : def;
      if (p != 0 && p != def) fExplicit = true;
      if (p > ptime) ptime = p;
    }
    if (IsH263Type(c->Encoding.MediaType)) {
      const u8* b = reinterpret_cast<const u8*>(c);
      const u8 mpi = b[29] ? b[29] : b[28] ? b[28] : b[30];
      if (mpi != 0 && 30u / mpi != 0 && (rate == 0 || 30u / mpi < rate)) rate = 30u / mpi;
      const u16 m = c->Encoding.H263.un16MaxBitRate;
      if (m < 0xFFFF && (bw == 0 || m / 10u < bw)) bw = m / 10u;
    }
  }

  /* A format without a known type (no rtpmap line) keeps the media word of
   * its m= line. */
  const char* pszWord = VqxMediaTypeLookup(main.Encoding.MediaType).pszMWord;
  if (main.Encoding.MediaType == VQX_MEDIA_TYPE_INVALID && (d.un8MediaKind == 1 || d.un8MediaKind == 2))
    pszWord = d.un8MediaKind == 1 ? "audio" : "video";
  w.Put("m=%s %u", pszWord, d.un16Port);
  if (d.un8NbPorts > 1) w.Put("/%u", d.un8NbPorts);
  w.Put(main.Encoding.MediaType == VQX_MEDIA_TYPE_T38 ? " udptl" : " RTP/AVP");
  for (u32 i = 0; i < nChoices; ++i) {
    const _VQX_MEDIA_CAP* c = cap(i);
    if (c == nullptr) continue;
    if (c->Transport.Type == VQX_MEDIA_TRANSPORT_RTP) w.Put(" %u", c->Transport.Rtp.un32PayloadType);
    else if (c->Transport.Type == VQX_MEDIA_TRANSPORT_UDPTL && c->Encoding.MediaType == VQX_MEDIA_TYPE_T38) w.Put(" t38");
  }
  w.Put("\r\n");
  if (pConn != nullptr) Connection(w, *pConn);
  /* RFC 4566 order: b= before the a= lines. */
  if (bw != 0) w.Put("b=AS:%u\r\n", bw);
  static const char* const s_apszDir[] = {nullptr, "a=recvonly\r\n", "a=sendonly\r\n", nullptr, nullptr, "a=inactive\r\n"};
  if (main.Direction < std::size(s_apszDir) && s_apszDir[main.Direction] != nullptr) w.Put("%s", s_apszDir[main.Direction]);
  static const char* const s_apszSetup[] = {nullptr, "passive", "active", "both"};
  if (d.un16SetupDirection >= 1 && d.un16SetupDirection <= 3) w.Put("a=direction:%s\r\n", s_apszSetup[d.un16SetupDirection]);
  for (u32 i = 0; i < nChoices; ++i) {
    const _VQX_MEDIA_CAP* c = cap(i);
    if (c != nullptr && Carried(*c) && c->Encoding.MediaType <= 126) Codec(w, *c, flags);
  }
  if (fExplicit && ptime != 0) w.Put("a=ptime:%u\r\n", ptime);
  if ((flags & VQX_SDP_GEN_H263_FRAMES) && rate != 0) w.Put("a=framerate:%u\r\n", rate);
  for (u32 i = 0; i < nChoices; ++i) {
    const _VQX_MEDIA_CAP* c = cap(i);
    if (c != nullptr && Carried(*c) && c->Encoding.MediaType >= VQX_MEDIA_TYPE_AUDIO_NOT_PARSED &&
        c->Encoding.MediaType <= VQX_MEDIA_TYPE_NOT_PARSED && c->Encoding.szNotParsed[0] != '\0')
      w.Put("%.255s\r\n", c->Encoding.szNotParsed);
  }
  return true;
}

}  // namespace

VQX_RESULT VQXMediaLibSdpExpandedGenerate(const _VQX_SDP_INFO* r, char* pszText, u16* pun16Length, u32 flags) {
  if (r == nullptr || pszText == nullptr || pun16Length == nullptr || *pun16Length == 0) {
    if (pun16Length != nullptr) *pun16Length = pszText != nullptr && *pun16Length != 0 ? u16(strnlen(pszText, *pun16Length)) : 0;
    return VQX_RESULT_NULL_PARAM;
  }
  Writer w{pszText, *pun16Length, 0};
  pszText[0] = '\0';
  VQX_RESULT res = VQX_RESULT_OK;
  const u32 nConn = r->un8NbConnections < VQX_MEDIA_MAX_CONNECTIONS ? r->un8NbConnections : VQX_MEDIA_MAX_CONNECTIONS;
  if (nConn != 0 && !DottedIpv4(r->aConnections[0])) {
    res = VQX_RESULT_INVALID_PARAM;
  } else {
    /* RFC 4566 requires v=, o=, s= and t=, also without a session address. */
    w.Put("v=0\r\no=- %llu %llu IN IP4 %s\r\ns=-\r\n", static_cast<unsigned long long>(r->un64SessionId),
          static_cast<unsigned long long>(r->un64SessionVersion), nConn != 0 ? r->aConnections[0].szAddress : "0.0.0.0");
    if (nConn != 0 && (flags & VQX_SDP_GEN_MEDIA_CONNECTIONS) == 0) Connection(w, r->aConnections[0]);
    w.Put("t=0 0\r\n");
    _VQX_SDP_INFO* rw = const_cast<_VQX_SDP_INFO*>(r); /* the walk only reads */
    _VQX_SIMULTANEOUS_CAP* d = nullptr;
    for (VQXMediaLibMediaDescGetNext(rw, nullptr, &d); d != nullptr && w.un32Off < w.un32Size;
         VQXMediaLibMediaDescGetNext(rw, nullptr, &d))
      if (!Block(w, r, *d, flags)) {
        res = VQX_RESULT_INVALID_PARAM;
        break;
      }
  }
  if (flags & VQX_SDP_GEN_LF_ONLY) {
    char* o = pszText;
    for (const char* s = pszText; *s != '\0'; ++s)
      if (*s != '\r') *o++ = *s;
    *o = '\0';
  }
  *pun16Length = static_cast<u16>(std::strlen(pszText));
  return res;
}

VQX_RESULT VQXMediaLibSdpGenerate(const void* pDescription, char* pszText, u16* pun16Length, u32 flags) {
  if (pDescription == nullptr || !VQXMediaLibIsCapabilitiesCompact(pDescription))
    return VQXMediaLibSdpExpandedGenerate(static_cast<const _VQX_SDP_INFO*>(pDescription), pszText, pun16Length, flags);
  auto pRecord = std::make_unique<_VQX_SDP_INFO>();
  std::memset(pRecord.get(), 0, sizeof *pRecord);
  VQXMediaLibSdpInfoExpand(static_cast<const _VQX_SDP_INFO_COMPACT*>(pDescription), pRecord.get());
  return VQXMediaLibSdpExpandedGenerate(pRecord.get(), pszText, pun16Length, flags);
}
