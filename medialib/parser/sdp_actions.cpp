/*
 * sdp_actions.cpp - what the SDP grammar's reductions do to the record: the
 * origin, connections, one description per m= line, one capability per
 * format with the defaults of its static payload type or rtpmap name, and the
 * attributes that change them. Session-level attributes also become defaults
 * for the descriptions that follow.
 *
 * A line error (pCtx->fLineError) makes the driver report the line. Numbers
 * that do not fit their field are line errors and store nothing. Two
 * descriptions may share one capability (identical ones are stored once); an
 * attribute of one description that changes a shared capability gives that
 * description its own copy first.
 */
#include <cstdio>
#include <utility>

#include "sdp_parse_internal.h"
#include "vqx_string.h"

namespace {

struct VqxSdpInit {
  u8 un8Off, un8Width;
  u32 un32Value;
};

void VqxSdpApply(_VQX_MEDIA_CAP& cap, const VqxSdpInit* p, size_t n) {
  u8* b = reinterpret_cast<u8*>(&cap);
  for (size_t i = 0; i < n && p[i].un8Width != 0; ++i) {
    if (p[i].un8Width == 1) b[p[i].un8Off] = static_cast<u8>(p[i].un32Value);
    else if (p[i].un8Width == 2) VqxStore16(b + p[i].un8Off, static_cast<u16>(p[i].un32Value));
    else VqxStore32(b + p[i].un8Off, p[i].un32Value);
  }
}

/* Static RTP payload types (RFC 3551): media type and parameter defaults. */
struct VqxSdpStaticRow {
  u8 un8Format;
  u32 un32Type;
  VqxSdpInit aInit[11];
};
constexpr VqxSdpStaticRow s_aStatic[] = {
    {0, 0, {}}, {2, 125, {{28, 1, 1}, {32, 4, 32}}}, {3, 3, {}}, {4, 4, {{28, 1, 1}, {29, 1, 1}, {30, 1, 1}, {31, 1, 1}}},
    {5, 5, {{28, 4, 8000}}}, {6, 5, {{28, 4, 16000}}}, {7, 7, {}}, {8, 8, {}}, {9, 9, {}},
    {10, 10, {{28, 1, 1}}}, {11, 10, {{28, 1, 1}}}, {12, 12, {{29, 1, 4}, {32, 4, 13}}}, {13, 13, {}}, {14, 14, {}},
    {15, 15, {}}, {16, 5, {{28, 4, 11025}}}, {17, 5, {{28, 4, 22050}}}, {18, 18, {{28, 1, 1}}}, {25, 25, {}},
    {26, 26, {}}, {28, 28, {}}, {31, 31, {}}, {32, 32, {}}, {33, 33, {}},
    {34, 34, {{28, 1, 2}, {29, 1, 2}, {32, 2, 0xFFFF}, {34, 1, 1}, {35, 1, 1}, {36, 1, 1}, {37, 1, 1}, {38, 1, 1},
              {40, 4, 0xFFFFFFFF}, {44, 2, 0xFFFF}, {54, 1, 10}}},
};

/* The row of a table for each key below 128 (0xFF: none), built at compile
 * time: a key twice in the table, or one of 128 and above, stops the build. */
struct VqxSdpRowIndex {
  u8 a[128];
  template <class Row, size_t N, class Key>
  constexpr VqxSdpRowIndex(const Row (&rows)[N], Key key) : a() {
    static_assert(N < 0xFF);
    for (u8& x : a) x = 0xFF;
    for (size_t i = 0; i < N; ++i) {
      const u32 k = key(rows[i]);
      if (k >= 128 || a[k] != 0xFF) throw "bad or repeated key";
      a[k] = static_cast<u8>(i);
    }
  }
  /* The row's position for the key, or 0xFF. */
  constexpr u8 Find(u32 un32Key) const { return un32Key < 128 ? a[un32Key] : 0xFF; }
};

/* The row of s_aStatic for each payload type. */
constexpr VqxSdpRowIndex s_staticIndex(s_aStatic, [](const VqxSdpStaticRow& r) { return u32(r.un8Format); });

/* Defaults an rtpmap line gives a media type: bytes 24..un16ClearTo cleared
 * first (0: nothing cleared), then the values. */
struct VqxSdpRtpmapRow {
  u32 un32Type;
  u16 un16ClearTo;
  VqxSdpInit aInit[12];
};
constexpr VqxSdpRtpmapRow s_aRtpmap[] = {
    {4, 31, {{28, 1, 1}, {29, 1, 1}, {30, 1, 1}, {31, 1, 1}}},
    {12, 39, {{29, 1, 4}, {32, 4, 13}}},
    {98, 63, {{32, 4, 14400}, {48, 4, 2}, {60, 4, 1}}},
    {100, 63, {{56, 4, 7}}},
    {101, 63, {{32, 4, 0xFFFF}}},
    {103, 39, {{28, 4, 11800}}},
    {104, 39, {{28, 4, 1220}, {33, 1, 1}, {34, 1, 1}, {35, 1, 1}, {37, 1, 1}, {38, 1, 1}}},
    {106, 31, {}}, {107, 31, {}}, {108, 31, {}}, {109, 31, {}},
    {110, 39, {{29, 1, 4}, {32, 1, 5}}},
    {111, 39, {{29, 1, 4}, {32, 1, 5}, {33, 1, 1}, {34, 1, 1}, {35, 1, 12}, {36, 1, 32}, {37, 1, 1}}},
    {119, 295, {{28, 2, 0xFFFF}, {30, 1, 8}}},
    {120, 31, {}},
    {121, 55, {{28, 1, 2}, {29, 1, 2}, {32, 2, 0xFFFF}, {34, 1, 1}, {35, 1, 1}, {36, 1, 1}, {37, 1, 1}, {38, 1, 1},
               {40, 4, 0xFFFFFFFF}, {44, 2, 0xFFFF}, {54, 1, 10}}},
    {122, 31, {{28, 2, 0xFFFF}, {30, 1, 0x40}, {31, 1, 15}}},
    {124, 31, {{28, 4, 13}}},
    {125, 39, {{28, 4, 1}}},
    {126, 47, {{28, 4, 2385}, {34, 1, 1}, {35, 1, 1}, {38, 2, 0x1FF}}},
};

/* The row of s_aRtpmap for each media type (those of 128 and above have none). */
constexpr VqxSdpRowIndex s_rtpmapIndex(s_aRtpmap, [](const VqxSdpRtpmapRow& r) { return r.un32Type; });

_VQX_SDP_INFO* Rec(SdpParseContext* c) { return c->pRecord; }
void LineError(SdpParseContext* c) { c->fLineError = 1; }
/* Session level: outside every media section (an m= line that got no
 * description still opens one, whose lines then change nothing). */
bool AtSession(const SdpParseContext* c) { return c->fMediaSection == 0; }

_VQX_MEDIA_CAP* ChoiceCap(SdpParseContext* c, u32 un32Choice) {
  const u8 idx = c->pDesc->aMediaCapChoices[un32Choice].un8CapIdx;
  return idx < VqxNbCaps(Rec(c)) ? &Rec(c)->aMediaCap[idx] : nullptr;
}

/* Choice of the current description holding the RTP capability with that
 * payload type, or -1. */
int FindChoice(SdpParseContext* c, u32 un32Pt) {
  if (c->pDesc == nullptr) return -1;
  for (u32 i = 0; i < VqxNbChoices(*c->pDesc); ++i) {
    const _VQX_MEDIA_CAP* p = ChoiceCap(c, i);
    if (p != nullptr && p->Transport.Type == VQX_MEDIA_TRANSPORT_RTP && p->Transport.Rtp.un32PayloadType == un32Pt)
      return static_cast<int>(i);
  }
  return -1;
}

bool SharedElsewhere(const _VQX_SDP_INFO* r, const _VQX_SIMULTANEOUS_CAP* pDesc, u8 idx) {
  for (u32 g = 0; g < VqxNbGroups(r); ++g)
    for (u32 d = 0; d < VqxNbDescs(r->aCapGroups[g]); ++d) {
      const _VQX_SIMULTANEOUS_CAP& o = r->aCapGroups[g].aSimultaneousCap[d];
      if (&o == pDesc) continue;
      for (u32 k = 0; k < VqxNbChoices(o); ++k)
        if (o.aMediaCapChoices[k].un8CapIdx == idx) return true;
    }
  return false;
}

/* The record before a line that may be refused after it changed the record
 * (an m= line, an rtpmap line): what the line is about to change is copied
 * first. Capabilities from the count on stay zero until one is added (the
 * record starts cleared, and dropping capabilities clears their slots), so
 * those lines only need the capabilities below the count that they change,
 * each copied when it is about to change (KeepSavedCap), or all of them when
 * a full table is compacted (KeepSavedCaps). An m= line copies the counts,
 * groups and connections first; an rtpmap line, which changes only its own
 * description until a full table is compacted, that description. The first
 * save of a line holds: a line that runs more actions after a syntax error
 * is put back as it was before all of them. */
constexpr size_t kCapsAt = offsetof(_VQX_SDP_INFO, aMediaCap);
constexpr size_t kTailAt = offsetof(_VQX_SDP_INFO, un8NbConnections);
static_assert(kCapsAt + sizeof(_VQX_SDP_INFO::aMediaCap) == kTailAt);

u8* Bytes(_VQX_SDP_INFO* r) { return reinterpret_cast<u8*>(r); }

/* Before an m= line. An rtpmap line saved earlier in the same line becomes
 * the save of the m= line: the heads as they were before it, and the tail,
 * which an rtpmap line does not change. */
void SaveRecord(SdpParseContext* c) {
  u8* s = Bytes(&c->savedRecord);
  if (c->nSaved == VQX_SDP_SAVED_RTPMAP) {
    if (c->fSavedHeads == 0) std::memcpy(s, Bytes(Rec(c)), kCapsAt);
    const size_t at = size_t(reinterpret_cast<u8*>(c->pSavedDesc) - Bytes(Rec(c)));
    std::memcpy(s + at, &c->savedDesc, sizeof c->savedDesc);
    c->savedRecord.un8NbMediaCapabilities = static_cast<u8>(c->un32SavedCaps);
  } else if (c->nSaved == 0) {
    c->un32SavedCaps = VqxNbCaps(Rec(c));
    c->un32SavedCapMask = 0;
    std::memcpy(s, Bytes(Rec(c)), kCapsAt);
  } else {
    return;
  }
  std::memcpy(s + kTailAt, Bytes(Rec(c)) + kTailAt, sizeof(_VQX_SDP_INFO) - kTailAt);
  c->nSaved = VQX_SDP_SAVED_MEDIA;
}

/* Before an rtpmap line of the current description: that description, the
 * capability count, and the parse state the line changes. A line the grammar
 * took whole can then be refused only by its action, which refuses before it
 * changes anything unless the table fills: each capability the line may add
 * (its format, a copy of a shared capability for it and for its not-parsed
 * text, one per pending fmtp line) finding no room. Such a line needs no save
 * while the table has room for all of them. */
void SaveRtpmapLine(SdpParseContext* c) {
  if (c->nSaved != 0) return;
  if (c->fWholeLine != 0 && VqxNbCaps(Rec(c)) + 3 + c->un32NbPending < VQX_MEDIA_MAX_CAPS) return;
  c->nSaved = VQX_SDP_SAVED_RTPMAP;
  c->un32SavedCaps = VqxNbCaps(Rec(c));
  c->un32SavedCapMask = 0;
  c->fSavedHeads = 0;
  c->pSavedDesc = c->pDesc;
  c->savedDesc = *c->pDesc;
  c->nSavedCapChoice = c->nCapChoice;
  c->un32SavedPending = c->un32NbPending;
}

static_assert(VQX_MEDIA_MAX_CAPS <= 32, "one mask bit per capability");

void KeepSavedCap(SdpParseContext* c, u32 i) {
  const u32 bit = 1u << i;
  if (c->nSaved == 0 || i >= c->un32SavedCaps || (c->un32SavedCapMask & bit) != 0) return;
  c->un32SavedCapMask |= bit;
  c->savedRecord.aMediaCap[i] = Rec(c)->aMediaCap[i];
}

void KeepSavedCaps(SdpParseContext* c) {
  if (c->nSaved == VQX_SDP_SAVED_RTPMAP && c->fSavedHeads == 0) {
    c->fSavedHeads = 1;
    std::memcpy(Bytes(&c->savedRecord), Bytes(Rec(c)), kCapsAt);
  }
  for (u32 i = 0; i < c->un32SavedCaps; ++i) KeepSavedCap(c, i);
}

void RestoreRecord(SdpParseContext* c) {
  _VQX_SDP_INFO* r = Rec(c);
  const u8* s = Bytes(&c->savedRecord);
  const u32 n = VqxNbCaps(r);
  if (c->nSaved == VQX_SDP_SAVED_MEDIA || c->fSavedHeads != 0) std::memcpy(Bytes(r), s, kCapsAt);
  if (c->nSaved == VQX_SDP_SAVED_RTPMAP) {
    *c->pSavedDesc = c->savedDesc;
    r->un8NbMediaCapabilities = static_cast<u8>(c->un32SavedCaps);
  }
  for (u32 m = c->un32SavedCapMask; m != 0; m &= m - 1) {
    const u32 i = static_cast<u32>(__builtin_ctz(m));
    r->aMediaCap[i] = c->savedRecord.aMediaCap[i];
  }
  if (n > c->un32SavedCaps) std::memset(&r->aMediaCap[c->un32SavedCaps], 0, (n - c->un32SavedCaps) * sizeof r->aMediaCap[0]);
  if (c->nSaved == VQX_SDP_SAVED_MEDIA) std::memcpy(Bytes(r) + kTailAt, s + kTailAt, sizeof(_VQX_SDP_INFO) - kTailAt);
}

/* Makes room in a full table: a capability no description names is dropped,
 * and one equal to an earlier one is replaced by it in every description
 * (attribute lines met in another order leave such twins behind). False when
 * every slot still holds a distinct, named capability. */
bool RoomForOne(_VQX_SDP_INFO* r) {
  if (r->un8NbMediaCapabilities < VQX_MEDIA_MAX_CAPS) return true;
  bool aUsed[VQX_MEDIA_MAX_CAPS] = {};
  for (u32 g = 0; g < VqxNbGroups(r); ++g)
    for (u32 d = 0; d < VqxNbDescs(r->aCapGroups[g]); ++d)
      for (u32 k = 0; k < VqxNbChoices(r->aCapGroups[g].aSimultaneousCap[d]); ++k) {
        const u8 idx = r->aCapGroups[g].aSimultaneousCap[d].aMediaCapChoices[k].un8CapIdx;
        if (idx < VQX_MEDIA_MAX_CAPS) aUsed[idx] = true;
      }
  u8 aMap[VQX_MEDIA_MAX_CAPS];
  u32 n = 0;
  for (u32 i = 0; i < VQX_MEDIA_MAX_CAPS; ++i) {
    if (!aUsed[i]) continue;
    u32 j = 0;
    while (j < n && !VqxSameCap(r->aMediaCap[j], r->aMediaCap[i])) ++j;
    if (j == n) std::memmove(&r->aMediaCap[n++], &r->aMediaCap[i], sizeof r->aMediaCap[i]);
    aMap[i] = static_cast<u8>(j);
  }
  for (u32 g = 0; g < VqxNbGroups(r); ++g)
    for (u32 d = 0; d < VqxNbDescs(r->aCapGroups[g]); ++d)
      for (u32 k = 0; k < VqxNbChoices(r->aCapGroups[g].aSimultaneousCap[d]); ++k) {
        u8& idx = r->aCapGroups[g].aSimultaneousCap[d].aMediaCapChoices[k].un8CapIdx;
        if (idx < VQX_MEDIA_MAX_CAPS) idx = aMap[idx];
      }
  std::memset(&r->aMediaCap[n], 0, (VQX_MEDIA_MAX_CAPS - n) * sizeof r->aMediaCap[0]);
  r->un8NbMediaCapabilities = static_cast<u8>(n);
  return n < VQX_MEDIA_MAX_CAPS;
}

/* RoomForOne for the parse: the record before an m= line keeps the
 * capabilities the table's compaction moves. */
bool MakeRoom(SdpParseContext* c) {
  if (Rec(c)->un8NbMediaCapabilities >= VQX_MEDIA_MAX_CAPS) KeepSavedCaps(c);
  return RoomForOne(Rec(c));
}

/* Changes the capability of one choice of the current description through
 * fn, copying it first when another description shares it. fn changes the
 * capability in place; only a shared one is copied to compare with: it gets
 * its old bytes back and the changed ones go to a capability of their own. */
template <class F>
void UpdateChoice(SdpParseContext* c, u32 un32Choice, F fn) {
  _VQX_SDP_INFO* r = Rec(c);
  const u8 idx = c->pDesc->aMediaCapChoices[un32Choice].un8CapIdx;
  if (idx >= VqxNbCaps(r)) return;
  _VQX_MEDIA_CAP& cur = r->aMediaCap[idx];
  KeepSavedCap(c, idx);
  if (!SharedElsewhere(r, c->pDesc, idx)) return fn(cur);
  _VQX_MEDIA_CAP tmp = cur;
  fn(cur);
  if (VqxSameCap(tmp, cur)) return;
  std::swap(tmp, cur);
  /* An equal capability already stored is taken instead of a new copy. */
  u32 n = 0;
  while (n < VqxNbCaps(r) && !VqxSameCap(r->aMediaCap[n], tmp)) ++n;
  if (n == VqxNbCaps(r)) {
    if (!MakeRoom(c)) return LineError(c);
    n = r->un8NbMediaCapabilities++;
    r->aMediaCap[n] = tmp;
  }
  c->pDesc->aMediaCapChoices[un32Choice].un8CapIdx = static_cast<u8>(n);
}

template <class F>
void UpdateDesc(SdpParseContext* c, F fn) {
  for (u32 i = 0; i < VqxNbChoices(*c->pDesc); ++i) UpdateChoice(c, i, fn);
}

template <class F>
void UpdateRecord(SdpParseContext* c, F fn) {
  KeepSavedCaps(c);
  for (u32 i = 0; i < VqxNbCaps(Rec(c)); ++i) fn(Rec(c)->aMediaCap[i]);
}

/* Leading decimal digits after blanks, saturated; false when none. */
bool LeadingNumber(std::string_view s, u64* pv) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  if (i == s.size() || s[i] < '0' || s[i] > '9') return false;
  u64 v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) v = v > (~0ull - 9) / 10 ? ~0ull : v * 10 + u64(s[i] - '0');
  *pv = v;
  return true;
}

u64 TokenLeading(const VqxSdpTokenValue& t, u64 un64Max) {
  u64 v = 0;
  LeadingNumber(t.View(), &v);
  return v < un64Max ? v : un64Max;
}

bool Contains(std::string_view s, std::string_view w) { return s.find(w) != std::string_view::npos; }

/* The whole token is the word, case-blind (read in place). */
bool SameWord(const VqxSdpTokenValue& t, const char* pszWord) {
  const size_t n = std::strlen(pszWord);
  return t.p != nullptr && t.un32Length == n && Strnicmp(t.p, pszWord, n) == 0;
}

}  // namespace

bool VqxSdpDottedQuad(std::string_view a) {
  u32 nParts = 0, nDigits = 0, v = 0;
  for (char ch : a) {
    if (ch == '.') {
      if (nDigits == 0 || ++nParts > 3) return false;
      nDigits = v = 0;
    } else if (ch >= '0' && ch <= '9' && nDigits < 3) {
      v = v * 10 + u32(ch - '0');
      if (++nDigits, v > 255) return false;
    } else {
      return false;
    }
  }
  return nParts == 3 && nDigits != 0;
}

namespace {

/* "dns_off:" and the text offset right-aligned in six places, as "%s%6u"
 * writes it, cut to the field (written here: this runs per host-name or
 * IPv6 connection line, where a formatter costs more than the line). */
void OffsetAddress(u32 un32Offset, char (&szAddress)[16]) {
  char aDigits[10];
  u32 n = 0;
  do aDigits[n++] = static_cast<char>('0' + un32Offset % 10);
  while ((un32Offset /= 10) != 0);
  char sz[24] = "dns_off:";
  size_t k = 8;
  for (u32 i = n; i < 6; ++i) sz[k++] = ' ';
  while (n != 0) sz[k++] = aDigits[--n];
  const size_t m = k < sizeof szAddress - 1 ? k : sizeof szAddress - 1;
  std::memcpy(szAddress, sz, m);
  szAddress[m] = '\0';
}

bool MakeConnection(SdpParseContext* c, const VqxSdpConnValue& v, _VQX_SDP_CONNECTION* pConn) {
  std::memset(pConn, 0, sizeof *pConn);
  pConn->un32NbAddresses = 1;
  const std::string_view a = v.address.View();
  u64 n = 0;
  if (SameWord(v.addrtype, "IP6")) {
    /* IPv6 has no TTL: its one suffix is the number of addresses
     * (RFC 4566 section 5.7). */
    if (v.count.p != nullptr) return false;
    if (v.ttl.p != nullptr) {
      if (!VqxSdpTokenNumber(v.ttl, 0xFFFFFFFFu, &n)) return false;
      pConn->un32NbAddresses = static_cast<u32>(n);
    }
  } else if (v.ttl.p != nullptr) {
    if (!VqxSdpTokenNumber(v.ttl, 255, &n)) return false;
    pConn->un8Ttl = static_cast<u8>(n);
  }
  if (v.count.p != nullptr) {
    if (!VqxSdpTokenNumber(v.count, 0xFFFFFFFFu, &n)) return false;
    pConn->un32NbAddresses = static_cast<u32>(n);
  }
  if (VqxSdpDottedQuad(a)) {
    std::memcpy(pConn->szAddress, a.data(), a.size());
    return true;
  }
  if (Contains(a, ":")) {
    /* IPv6 (RFC 4291 text): too long for the 15 characters, kept by offset. */
    if (a.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) return false;
    pConn->un8AddressType = 2;
  } else {
    if (a.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-.") !=
        std::string_view::npos)
      return false;
    pConn->un8AddressType = 1;
  }
  OffsetAddress(static_cast<u32>(v.address.p - c->pszText), pConn->szAddress);
  return true;
}

/* A capability for a format of the current m= line, written over a zero one. */
void FillRtpCap(SdpParseContext* c, u8 un8Format, _VQX_MEDIA_CAP& cap) {
  cap.Direction = c->media.fDirection ? c->media.un32Direction
                  : c->session.fDirection ? c->session.un32Direction : VQX_MEDIA_DIR_SEND_RECV;
  cap.Transport.Type = VQX_MEDIA_TRANSPORT_RTP;
  cap.Transport.Rtp.un32PayloadType = un8Format;
  cap.Transport.Rtp.un16MaxAudioFramesPerPacket = 1;
  cap.Transport.Rtp.un16PacketTimeMs = c->media.fPtime ? static_cast<u16>(c->media.un32Ptime) : 0;
  cap.Encoding.MediaType = VQX_MEDIA_TYPE_INVALID;
  if (const u8 i = s_staticIndex.Find(un8Format); i != 0xFF) {
    const VqxSdpStaticRow& row = s_aStatic[i];
    cap.Encoding.MediaType = row.un32Type;
    VqxSdpApply(cap, row.aInit, std::size(row.aInit));
  }
  if (un8Format == 0 || un8Format == 8) cap.Encoding.aun8Params[1] = c->media.fSilence ? u8(c->media.un32Silence) : 0;
}

/* The media type a format gets from its static payload type, or 0xFFFFFFFF. */
u32 StaticType(u8 un8Format) {
  const u8 i = s_staticIndex.Find(un8Format);
  return i != 0xFF ? s_aStatic[i].un32Type : VQX_MEDIA_TYPE_INVALID;
}

_VQX_MEDIA_CAP NewRtpCap(SdpParseContext* c, u8 un8Format) {
  _VQX_MEDIA_CAP cap;
  std::memset(&cap, 0, sizeof cap);
  FillRtpCap(c, un8Format, cap);
  return cap;
}

/* Adds the format to the current description; its choice or -1. The
 * capability is built in the first free slot, which is zero (the record
 * starts cleared and dropped slots are cleared), and stays there unless an
 * equal one is stored already; then the slot is cleared again. */
int AddFormat(SdpParseContext* c, u8 un8Format) {
  _VQX_SDP_INFO* r = Rec(c);
  MakeRoom(c);
  const u32 n = VqxNbCaps(r);
  if (n < VQX_MEDIA_MAX_CAPS) {
    _VQX_MEDIA_CAP& slot = r->aMediaCap[n];
    FillRtpCap(c, un8Format, slot);
    if (VQX_RESULT_FAILED(VQXMediaLibMediaDescCapabilityAdd(r, c->pDesc, &slot))) LineError(c);
    if (VqxNbCaps(r) == n) std::memset(&slot, 0, sizeof slot);
  } else {
    const _VQX_MEDIA_CAP cap = NewRtpCap(c, un8Format);
    if (VQX_RESULT_FAILED(VQXMediaLibMediaDescCapabilityAdd(r, c->pDesc, &cap))) LineError(c);
  }
  return FindChoice(c, un8Format);
}

void ApplyPending(SdpParseContext* c) {
  for (u32 i = 0; i < c->un32NbPending; ++i) {
    VqxSdpPendingFmtp& e = c->aPending[i];
    const int k = e.fUsed ? FindChoice(c, e.un8PayloadType) : -1;
    if (k >= 0) UpdateChoice(c, u32(k), [&](_VQX_MEDIA_CAP& cap) { VqxSdpCodecParse(e.szText, &cap); });
    e.fUsed = 0;
  }
  c->un32NbPending = 0;
}

bool IsH263(u32 t) { return t == VQX_MEDIA_TYPE_H263 || t == VQX_MEDIA_TYPE_H263_PLUS; }
VqxSdpH263Block* Block(_VQX_MEDIA_CAP& cap) { return reinterpret_cast<VqxSdpH263Block*>(cap.Encoding.aun8Params); }
static_assert(sizeof(VqxSdpH263Block) == 4);

}  // namespace

const char* VqxSdpLineBreak(const char* p, const char* pEnd) {
  const char* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(pEnd - p)));
  if (lf == nullptr) return pEnd;
  return lf > p && lf[-1] == '\r' ? lf - 1 : lf;
}

std::string_view VqxSdpRestOfLine(const char* p) {
  size_t n = 0;
  while (p[n] != '\0' && p[n] != '\r' && p[n] != '\n') ++n;
  return std::string_view(p, n);
}

bool VqxSdpTokenNumber(const VqxSdpTokenValue& t, u64 un64Max, u64* pv) {
  if (t.p == nullptr || t.un32Length == 0) return false;
  u64 v = 0;
  if (t.un32Length <= 19) {
    /* 19 digits cannot overflow: the bound is checked once, at the end. */
    for (u32 i = 0; i < t.un32Length; ++i) {
      const u32 d = u32(u8(t.p[i]) - u8('0'));
      if (d > 9) return false;
      v = v * 10 + d;
    }
    if (v > un64Max) return false;
    *pv = v;
    return true;
  }
  for (u32 i = 0; i < t.un32Length; ++i) {
    const char ch = t.p[i];
    if (ch < '0' || ch > '9') return false;
    const u64 d = u64(ch - '0');
    if (v > (un64Max - d) / 10) return false;
    v = v * 10 + d;
  }
  *pv = v;
  return true;
}

void VqxSdpSyntaxError(SdpParseContext* pCtx) {
  LineError(pCtx);
  pCtx->fEngineReset = 1;
}
/* The engine has emptied its stack and dropped the token: the line failed. */
void VqxSdpStackOverflow(SdpParseContext* pCtx) { VqxSdpSyntaxError(pCtx); }

void VqxSdpLineEnd(SdpParseContext* c, bool fRefused) {
  if (fRefused && c->nSaved != 0) {
    RestoreRecord(c);
    if (c->nSaved == VQX_SDP_SAVED_MEDIA) {
      c->pDesc = nullptr;
      c->nCapChoice = -1;
    } else {
      /* The pending fmtp lines the rtpmap line took wait for the next one;
       * their entries were only marked unused. */
      c->nCapChoice = c->nSavedCapChoice;
      c->un32NbPending = c->un32SavedPending;
      for (u32 i = 0; i < c->un32NbPending; ++i) c->aPending[i].fUsed = 1;
    }
  }
  c->nSaved = 0;
}

void VqxSdpOtherLine(SdpParseContext* c, const VqxSdpTokenValue& type) {
  const std::string_view t = type.View();
  if (t.size() != 1 || std::string_view("uepUEP").find(t[0]) == std::string_view::npos) LineError(c);
}

void VqxMediaLibParseOrigin(SdpParseContext* c, const VqxSdpTokenValue& id, const VqxSdpTokenValue& version) {
  u64 a, b;
  if (!VqxSdpTokenNumber(id, ~0ull, &a) || !VqxSdpTokenNumber(version, ~0ull, &b)) return LineError(c);
  Rec(c)->un64SessionId = a;
  Rec(c)->un64SessionVersion = b;
}

void VqxSdpConnection(SdpParseContext* c, const VqxSdpConnValue& v) {
  _VQX_SDP_CONNECTION conn;
  if (!MakeConnection(c, v, &conn)) return LineError(c);
  if (c->pDesc != nullptr) {
    /* Every c= line of a block is added and becomes the description's; a
     * ninth connection of the record is ignored. */
    VQXMediaLibMediaDescConnectionAdd(Rec(c), c->pDesc, &conn);
  } else if (AtSession(c)) {
    /* Slot 0 is the session's; a second session c= line would overwrite it. */
    if (Rec(c)->un8NbConnections != 0) return LineError(c);
    VQXMediaLibSdpSessionConnectionAdd(Rec(c), &conn);
  }
}

void VqxSdpMediaKeyword(SdpParseContext* c, u8 un8Kind) {
  std::memset(&c->media, 0, sizeof c->media);
  c->nCapChoice = -1;
  for (u32 i = 0; i < c->un32NbPending; ++i) c->aPending[i].fUsed = 0;
  c->un32NbPending = 0;
  c->pDesc = nullptr;
  SaveRecord(c);
  if (VQX_RESULT_FAILED(VQXMediaLibMediaDescCreate(Rec(c), &c->pDesc))) return LineError(c);
  c->pDesc->un8MediaKind = un8Kind;
  VqxMediaLibParseMediaDescAdded(c);
}

void VqxMediaLibParseMediaDescAdded(SdpParseContext* c) {
  if (c->session.fSetup) c->pDesc->un16SetupDirection = static_cast<u16>(c->session.un32Setup);
}

void VqxSdpMediaPort(SdpParseContext* c, const VqxSdpTokenValue& port, const VqxSdpTokenValue* pCount) {
  u64 p = 0, n = 1;
  if (!VqxSdpTokenNumber(port, 0xFFFF, &p) || (pCount != nullptr && !VqxSdpTokenNumber(*pCount, 0xFF, &n)))
    return LineError(c);
  if (c->pDesc == nullptr) return;
  c->pDesc->un16Port = static_cast<u16>(p);
  c->pDesc->un8NbPorts = static_cast<u8>(n);
}

void VqxSdpMediaProto(SdpParseContext* c, const VqxSdpTokenValue& lastWord) {
  if (lastWord.View() == "udptl" || lastWord.View() == "UDPTL") VqxMediaLibParseUdptlAdd(c);
}

void VqxMediaLibParsePTAdd(SdpParseContext* c, const VqxSdpTokenValue& format) {
  u64 f;
  if (!VqxSdpTokenNumber(format, 127, &f)) return LineError(c);
  if (c->pDesc != nullptr) AddFormat(c, static_cast<u8>(f));
}

void VqxMediaLibParseUdptlAdd(SdpParseContext* c) {
  if (c->pDesc == nullptr) return;
  _VQX_MEDIA_CAP cap = NewRtpCap(c, 0);
  std::memset(&cap.Transport, 0, sizeof cap.Transport);
  cap.Transport.Type = VQX_MEDIA_TRANSPORT_UDPTL;
  std::memset(&cap.Encoding, 0, sizeof cap.Encoding);
  cap.Encoding.MediaType = VQX_MEDIA_TYPE_T38;
  cap.Encoding.T38.un32T38MaxBitRate = 14400;
  cap.Encoding.T38.un32T38RateManagement = 2;
  cap.Encoding.T38.un32T38UdpEc = 1;
  MakeRoom(c);
  if (VQX_RESULT_FAILED(VQXMediaLibMediaDescCapabilityAdd(Rec(c), c->pDesc, &cap))) LineError(c);
}

void VqxMediaLibParseRtpMap(SdpParseContext* c, const VqxSdpTokenValue& pt, const VqxSdpTokenValue& name) {
  u64 p;
  if (!VqxSdpTokenNumber(pt, 127, &p)) return LineError(c);
  if (c->pDesc == nullptr) return;
  /* Clock rate after the name's "/", channels after a second "/". */
  u64 clock = 0, channels = 0;
  std::string_view tail = VqxSdpRestOfLine(name.p + name.un32Length);
  const size_t s1 = tail.find('/');
  if (s1 != std::string_view::npos) {
    LeadingNumber(tail.substr(s1 + 1), &clock);
    const size_t s2 = tail.find('/', s1 + 1);
    if (s2 != std::string_view::npos) LeadingNumber(tail.substr(s2 + 1), &channels);
  }
  u32 un32Param = 0;
  const u32 un32Looked = VqxMediaStringToType(name.View(), &un32Param);
  /* The type is the format's own (static payload types keep theirs, and a
   * format added below gets its static one), else the name's. */
  int k = FindChoice(c, u32(p));
  const u32 un32Own = k >= 0 ? ChoiceCap(c, u32(k))->Encoding.MediaType : StaticType(u8(p));
  const u32 un32Type = un32Own == VQX_MEDIA_TYPE_INVALID ? un32Looked : un32Own;
  /* The clock of telephone-event is kept in 16 bits, that of RED in 32: a
   * clock that does not fit, or 0, is refused rather than stored cut. */
  if ((un32Type == VQX_MEDIA_TYPE_TELEPHONE_EVENT || un32Type == VQX_MEDIA_TYPE_RED) &&
      (clock == 0 || clock > (un32Type == VQX_MEDIA_TYPE_RED ? 0xFFFFFFFFull : 0xFFFFull)))
    return LineError(c);
  /* A refused line is put back whole (VqxSdpLineEnd): the format it added,
   * the capability it changed, the pending fmtp lines it applied. */
  SaveRtpmapLine(c);
  if (k < 0) k = AddFormat(c, u8(p));
  if (k < 0) return;
  const u8 un8Kind = c->pDesc->un8MediaKind;
  const VqxSdpDefaults& m = c->media;
  const VqxSdpDefaults& s = c->session;
  UpdateChoice(c, u32(k), [&](_VQX_MEDIA_CAP& cap) {
    u32 t = un32Type;
    u8* b = reinterpret_cast<u8*>(&cap);
    if (t == VQX_MEDIA_TYPE_INVALID) {
      t = un8Kind == 1 ? VQX_MEDIA_TYPE_AUDIO_NOT_PARSED : un8Kind == 2 ? VQX_MEDIA_TYPE_VIDEO_NOT_PARSED
                                                          : VQX_MEDIA_TYPE_NOT_PARSED;
      std::memset(cap.Encoding.szNotParsed, 0, sizeof cap.Encoding.szNotParsed);
      c->fNewNotParsed = 1;
    }
    if (const u8 i = s_rtpmapIndex.Find(t); i != 0xFF) {
      const VqxSdpRtpmapRow& row = s_aRtpmap[i];
      if (row.un16ClearTo != 0) std::memset(b + 24, 0, row.un16ClearTo + 1u - 24u);
      VqxSdpApply(cap, row.aInit, std::size(row.aInit));
    }
    cap.Encoding.MediaType = t;
    if (t == VQX_MEDIA_TYPE_L16) b[28] = static_cast<u8>(channels);
    if (t == VQX_MEDIA_TYPE_NSE) b[28] = Contains(name.View(), "X-NSE") ? 1 : 0;
    if (t == VQX_MEDIA_TYPE_TELEPHONE_EVENT) cap.Encoding.Events.un16ClockRate = static_cast<u16>(clock);
    if (t == VQX_MEDIA_TYPE_RED) {
      cap.Encoding.un32Word28 = static_cast<u32>(clock);
      VqxStore32(b + 32, channels == 2 ? 1u : 0u);
    }
    if (t == VQX_MEDIA_TYPE_G726) cap.Encoding.G726.un32BitRateKbps = un32Param != 0 ? un32Param : 32;
    if (IsH263(t)) {
      if (m.fFrameRate || s.fFrameRate)
        VqxMediaLibParseAttributeH263FrameRate(m.fFrameRate ? m.un32FrameRate : s.un32FrameRate, Block(cap));
    }
    if (t == VQX_MEDIA_TYPE_H263) {
      if (m.fRes || s.fRes) std::memcpy(b + 28, m.fRes ? &m.res : &s.res, 3);
      if (m.fBandwidth || s.fBandwidth) cap.Encoding.H263.un16MaxBitRate = m.fBandwidth ? m.un16Bandwidth : s.un16Bandwidth;
    }
  });
  c->nCapChoice = k;
  ApplyPending(c);
}

void VqxMediaLibParseFmtpGeneric(SdpParseContext* c, const VqxSdpTokenValue& format) {
  u64 f;
  if (!VqxSdpTokenNumber(format, 127, &f)) return LineError(c);
  if (c->pDesc == nullptr) return;
  /* The parameters may be empty: an empty event list leaves no event (the
   * generator writes it so); other parameters take nothing from it. */
  std::string_view params = VqxSdpRestOfLine(format.p + format.un32Length);
  while (!params.empty() && (params[0] == ' ' || params[0] == '\t')) params.remove_prefix(1);
  const int k = FindChoice(c, u32(f));
  const _VQX_MEDIA_CAP* pCap = k >= 0 ? ChoiceCap(c, u32(k)) : nullptr;
  if (pCap != nullptr && pCap->Encoding.MediaType != VQX_MEDIA_TYPE_INVALID) {
    UpdateChoice(c, u32(k), [&](_VQX_MEDIA_CAP& cap) { VqxSdpCodecParse(params, &cap); });
    return;
  }
  if (c->un32NbPending >= VQX_SDP_MAX_PENDING) return;
  VqxSdpPendingFmtp& e = c->aPending[c->un32NbPending++];
  e.fUsed = 1;
  e.un8PayloadType = static_cast<u8>(f);
  const size_t n = params.size() < VQX_SDP_PENDING_TEXT - 1 ? params.size() : VQX_SDP_PENDING_TEXT - 1;
  std::memcpy(e.szText, params.data(), n);
  e.szText[n] = '\0';
}

void VqxSdpDirection(SdpParseContext* c, u32 un32Direction) {
  if (c->pDesc != nullptr) {
    UpdateDesc(c, [&](_VQX_MEDIA_CAP& cap) { cap.Direction = un32Direction; });
    c->media.fDirection = 1;
    c->media.un32Direction = un32Direction;
  } else if (AtSession(c)) {
    UpdateRecord(c, [&](_VQX_MEDIA_CAP& cap) { cap.Direction = un32Direction; });
    c->session.fDirection = 1;
    c->session.un32Direction = un32Direction;
  }
}

void VqxMediaLibParseAttributeDirection(SdpParseContext* c, const VqxSdpTokenValue& value) {
  const std::string_view v = value.View();
  const u32 d = Contains(v, "passive") ? 1 : Contains(v, "active") ? 2 : Contains(v, "both") ? 3 : 0;
  if (c->pDesc != nullptr) {
    c->pDesc->un16SetupDirection = static_cast<u16>(d);
  } else if (AtSession(c)) {
    c->session.fSetup = 1;
    c->session.un32Setup = d;
  }
}

void VqxMediaLibParsePTime(SdpParseContext* c, const VqxSdpTokenValue& ms) {
  if (c->pDesc == nullptr) return;
  const u16 v = static_cast<u16>(TokenLeading(ms, 0xFFFF));
  UpdateDesc(c, [&](_VQX_MEDIA_CAP& cap) {
    if (cap.Transport.Type == VQX_MEDIA_TRANSPORT_RTP) cap.Transport.Rtp.un16PacketTimeMs = v;
  });
  c->media.fPtime = 1;
  c->media.un32Ptime = v;
}

void VqxMediaLibParseSilenceSuppOff(SdpParseContext* c, const VqxSdpTokenValue& first) {
  if (c->pDesc == nullptr) return;
  const u32 v = first.View().substr(0, 3) == "off" ? 1 : 0;
  UpdateDesc(c, [&](_VQX_MEDIA_CAP& cap) {
    if (cap.Encoding.MediaType == VQX_MEDIA_TYPE_PCMU || cap.Encoding.MediaType == VQX_MEDIA_TYPE_PCMA)
      cap.Encoding.aun8Params[1] = static_cast<u8>(v);
  });
  c->media.fSilence = 1;
  c->media.un32Silence = v;
}

void VqxMediaLibParseFrameRate(SdpParseContext* c, const VqxSdpTokenValue& fps) {
  const u32 v = static_cast<u32>(TokenLeading(fps, 0xFFFFFFFF));
  if (v == 0) return;
  auto fn = [&](_VQX_MEDIA_CAP& cap) {
    if (IsH263(cap.Encoding.MediaType)) VqxMediaLibParseAttributeH263FrameRate(v, Block(cap));
  };
  if (c->pDesc != nullptr) {
    UpdateDesc(c, fn);
    c->media.fFrameRate = 1;
    c->media.un32FrameRate = v;
  } else if (AtSession(c)) {
    UpdateRecord(c, fn);
    c->session.fFrameRate = 1;
    c->session.un32FrameRate = v;
  }
}

void VqxMediaLibParseFrameSize(SdpParseContext* c, const VqxSdpTokenValue& format, const VqxSdpTokenValue& size) {
  u64 f;
  if (!VqxSdpTokenNumber(format, 127, &f)) return LineError(c);
  const int k = FindChoice(c, u32(f));
  if (k < 0) return;
  const u32 rate = c->media.fFrameRate ? c->media.un32FrameRate : c->session.fFrameRate ? c->session.un32FrameRate : 0;
  const u32 mpi = rate != 0 && rate <= 30 ? 30 / rate : 1;
  UpdateChoice(c, u32(k), [&](_VQX_MEDIA_CAP& cap) {
    if (IsH263(cap.Encoding.MediaType)) VqxMediaLibParseAttributeH263FrameSize(size.View(), mpi, Block(cap));
  });
}

void VqxMediaLibParseVideoResolution(SdpParseContext* c, const VqxSdpTokenValue& keyword) {
  const std::string_view line = VqxSdpRestOfLine(keyword.p);
  auto fn = [&](_VQX_MEDIA_CAP& cap) {
    if (cap.Encoding.MediaType == VQX_MEDIA_TYPE_H263) VqxMediaLibParseAttributeH263VideoResolution(line, Block(cap));
  };
  if (c->pDesc != nullptr) {
    if (!c->media.fRes && c->session.fRes) c->media.res = c->session.res;
    c->media.fRes = 1;
    VqxMediaLibParseAttributeH263VideoResolution(line, &c->media.res);
    UpdateDesc(c, fn);
  } else if (AtSession(c)) {
    c->session.fRes = 1;
    VqxMediaLibParseAttributeH263VideoResolution(line, &c->session.res);
    UpdateRecord(c, fn);
  }
}

void VQXMediaLibParseBandwidth(SdpParseContext* c, const VqxSdpTokenValue& type, const VqxSdpTokenValue& value) {
  /* Only application-specific maximum (RFC 4566 "AS") is kept; CT, TIAS, RS
   * and RR mean other things. */
  if (!SameWord(type, "AS")) return;
  const u16 v = VqxSdpBandwidthUnits(TokenLeading(value, ~0ull));
  auto fn = [&](_VQX_MEDIA_CAP& cap) {
    if (cap.Encoding.MediaType == VQX_MEDIA_TYPE_H263) cap.Encoding.H263.un16MaxBitRate = v;
  };
  if (c->pDesc != nullptr) {
    c->media.fBandwidth = 1;
    c->media.un16Bandwidth = v;
    UpdateDesc(c, fn);
  } else if (AtSession(c)) {
    c->session.fBandwidth = 1;
    c->session.un16Bandwidth = v;
    UpdateRecord(c, fn);
  }
}

void VqxSdpT38Set(SdpParseContext* c, u32 un32Offset, u32 un32Value) {
  if (c->pDesc == nullptr) return;
  for (u32 i = 0; i < VqxNbChoices(*c->pDesc); ++i) {
    const _VQX_MEDIA_CAP* p = ChoiceCap(c, i);
    if (p == nullptr || p->Encoding.MediaType != VQX_MEDIA_TYPE_T38) continue;
    UpdateChoice(c, i, [&](_VQX_MEDIA_CAP& cap) { VqxStore32(reinterpret_cast<u8*>(&cap) + un32Offset, un32Value); });
    return;
  }
}

void VqxSdpT38SetNumber(SdpParseContext* c, u32 un32Offset, const VqxSdpTokenValue& n, bool fFlag) {
  const u32 v = static_cast<u32>(TokenLeading(n, 0xFFFFFFFF));
  VqxSdpT38Set(c, un32Offset, fFlag ? (v != 0 ? 1 : 0) : v);
}

void VqxMediaLibStoreNotParsedAttribute(SdpParseContext* c, const char* pLineEnd) {
  if (c->pLineStart == nullptr || c->pDesc == nullptr || c->nCapChoice < 0) return;
  if (c->un32LineFirstToken != VQX_SDP_ATTRKEYWORD && c->un32LineFirstToken != VQX_SDP_MATTRKEYWORD) return;
  /* Kept: the format's rtpmap and fmtp lines and attributes the parser does
   * not read (direction, ptime and the like are in the record already and
   * the generator writes them); a line that failed is reported instead. */
  switch (c->un32LineSecondToken) {
    case VQX_SDP_RTPMAP: case VQX_SDP_FMTP: case VQX_SDP_CONNECTION: case VQX_SDP_ALT: case VQX_SDP_SETUP:
    case VQX_SDP_TOK: case VQX_SDP_HEX: break;
    default: return;
  }
  if (c->fLineError != 0) return;
  const _VQX_MEDIA_CAP* p = ChoiceCap(c, u32(c->nCapChoice));
  if (p == nullptr || p->Encoding.MediaType < VQX_MEDIA_TYPE_AUDIO_NOT_PARSED ||
      p->Encoding.MediaType > VQX_MEDIA_TYPE_NOT_PARSED)
    return;
  std::string_view line(c->pLineStart, size_t(pLineEnd - c->pLineStart));
  line = line.substr(0, VqxSdpRestOfLine(c->pLineStart).size());
  if (c->un32LineSecondToken == VQX_SDP_RTPMAP || c->un32LineSecondToken == VQX_SDP_FMTP) {
    /* Another format's rtpmap or fmtp line went to that format already. */
    const size_t colon = line.find(':');
    u64 pt = ~0ull;
    if (colon != std::string_view::npos) LeadingNumber(line.substr(colon + 1), &pt);
    if (pt != p->Transport.Rtp.un32PayloadType) return;
  }
  UpdateChoice(c, u32(c->nCapChoice), [&](_VQX_MEDIA_CAP& cap) {
    /* Whole lines only, at most 255 characters in all: a cut line would not
     * parse when the generator writes the text back. */
    char* t = cap.Encoding.szNotParsed;
    size_t n = strnlen(t, sizeof cap.Encoding.szNotParsed - 1);
    /* The text starts with the rtpmap line that made the capability (its name
     * unknown), which gives the type back when the text is parsed again. */
    if (n == 0 && c->fNewNotParsed == 0) return;
    const size_t sep = n != 0 ? 2 : 0;
    if (n + sep + line.size() > sizeof cap.Encoding.szNotParsed - 1) return;
    std::memcpy(t + n, "\r\n", sep);
    std::memcpy(t + n + sep, line.data(), line.size());
    t[n + sep + line.size()] = '\0';
  });
}
