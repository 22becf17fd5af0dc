/*
 * sdp_codec.cpp - codec parameters of fmtp lines (RFC 3555, 4629, 4867,
 * 4733, 6184, 3640-style MPEG-4, 3558, 3952 and the like) read into the
 * parameter bytes of one capability, and the H.263 picture-size helpers that
 * a=framerate, a=framesize, a=video-resolution and b= also use.
 *
 * Every parser works on a view of the parameter text through one key lookup:
 * the first occurrence of the key, starting a word, then blanks and "=".
 * An absent or malformed key, or a number too large for its field, leaves the
 * field as it was; nothing here fails the line.
 */
#include <iterator>

#include "sdp_parse_internal.h"
#include "vqx_string.h"

namespace {

using sv = std::string_view;

bool IsAlnum(char ch) { return (ch >= '0' && ch <= '9') || ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'z'); }
char Upper(char ch) { return (ch >= 'a' && ch <= 'z') ? char(ch - 32) : ch; }

/* The value after the key: its first occurrence only, which must start the
 * text or follow a character that is neither letter nor digit; then blanks,
 * then "=" (or ":" where fColon). */
bool KeyValue(sv text, sv key, sv* pValue, bool fColon = false) {
  const size_t pos = text.find(key);
  if (pos == sv::npos || (pos > 0 && IsAlnum(text[pos - 1]))) return false;
  size_t i = pos + key.size();
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == text.size() || !(text[i] == '=' || (fColon && text[i] == ':'))) return false;
  *pValue = text.substr(i + 1);
  return true;
}

bool Number(sv v, u64* pn) {
  size_t i = 0;
  while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
  if (i == v.size() || v[i] < '0' || v[i] > '9') return false;
  u64 n = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) n = n > 0xFFFFFFFFull ? n : n * 10 + u64(v[i] - '0');
  *pn = n;
  return true;
}

/* A number for a field of un64Max at most: a larger one would be stored cut
 * to the field's width (a QCIF MPI of 20000000000 as 0), so it is not taken. */
bool NumberUpTo(sv v, u64 un64Max, u64* pn) {
  u64 n;
  if (!Number(v, &n) || n > un64Max) return false;
  *pn = n;
  return true;
}

bool StartsBlind(sv v, sv w) {
  while (!v.empty() && (v[0] == ' ' || v[0] == '\t')) v.remove_prefix(1);
  if (v.size() < w.size()) return false;
  for (size_t i = 0; i < w.size(); ++i)
    if (Upper(v[i]) != Upper(w[i])) return false;
  return true;
}

/* Field setters over the capability's bytes. */
struct Fields {
  u8* b;
  void U8(sv text, sv key, u32 off) {
    sv v;
    u64 n;
    if (KeyValue(text, key, &v) && NumberUpTo(v, 0xFF, &n)) b[off] = u8(n);
  }
  void U16(sv text, sv key, u32 off) {
    sv v;
    u64 n;
    if (KeyValue(text, key, &v) && NumberUpTo(v, 0xFFFF, &n)) VqxStore16(b + off, u16(n));
  }
  void Word(sv text, sv key, u32 off, sv word) {
    sv v;
    if (KeyValue(text, key, &v)) b[off] = StartsBlind(v, word) ? 1 : 0;
  }
  void Present(sv text, sv key, u32 off) {
    sv v;
    b[off] = KeyValue(text, key, &v) ? 1 : 0;
  }
};

void Evrc(sv t, Fields f) {
  f.U8(t, "maxinterleave", 32);
  f.Word(t, "fixedrate", 33, "0.5");
  f.Word(t, "silencesupp", 34, "yes");
  f.U8(t, "dtxmax", 36);
  f.U8(t, "dtxmin", 35);
  f.U8(t, "hangover", 37);
}
void Smv(sv t, Fields f) { f.U8(t, "maxinterleave", 32); }
void G729(sv t, Fields f) { f.Word(t, "annexb", 28, "yes"); }
void G729E(sv t, Fields f) { f.Word(t, "annexb", 32, "yes"); }
void G723(sv t, Fields f) {
  sv v;
  if (KeyValue(t, "bitrate", &v)) {
    const bool f63 = StartsBlind(v, "6.3") || StartsBlind(v, "6300");
    f.b[28] = f63 ? 1 : 0;
    f.b[31] = f63 ? 0 : 1;
  }
  f.Word(t, "annexa", 30, "yes");
}
void Ilbc(sv t, Fields f) {
  sv v;
  u64 n;
  if (KeyValue(t, "mode", &v) && Number(v, &n)) VqxStore32(f.b + 28, n == 20 ? 15u : 13u);
}
/* AMR and AMR-WB (RFC 4867): octet-align, crc (which implies octet-align),
 * and the bandwidth-efficient and no-crc flags that follow from them. */
void AmrCommon(sv t, Fields f, u32 offOctet, u32 offEfficient, u32 offNoCrc) {
  f.U8(t, "octet-align", offOctet);
  sv v;
  u64 n;
  if (KeyValue(t, "crc", &v) && NumberUpTo(v, 0xFF, &n)) {
    f.b[32] = u8(n);
    f.b[offNoCrc] = n == 0 ? 1 : 0;
    if (n != 0) f.b[offOctet] = 1;
  }
  f.b[offEfficient] = f.b[offOctet] == 0 ? 1 : 0;
}
void Amr(sv t, Fields f) {
  AmrCommon(t, f, 36, 37, 38);
  f.Present(t, "pdc-efr-cn", 35);
  f.Present(t, "is-641-cn", 33);
  f.Present(t, "gsm-efr-cn", 34);
}
void AmrWb(sv t, Fields f) {
  AmrCommon(t, f, 33, 34, 35);
  f.U16(t, "mode-change-period", 36);
  f.U8(t, "mode-change-neighbor", 40);
  sv v;
  if (!KeyValue(t, "mode-set", &v)) return;
  /* Numbers 1..9 set bits 0..8 (bit i is number i + 1, as the servers read
   * the word); any other number, mode 0 of RFC 4867 among them, adds nothing. */
  u16 set = 0;
  while (!v.empty()) {
    u64 m;
    if (Number(v, &m) && m >= 1 && m <= 9) set = u16(set | (1u << (m - 1)));
    const size_t k = v.find_first_of(",;\n");
    if (k == sv::npos || v[k] != ',') break;
    v.remove_prefix(k + 1);
  }
  VqxStore16(f.b + 38, set);
}
void H263Profile(sv t, Fields f) {
  f.U8(t, "profile", 53);
  f.U8(t, "level", 54);
  /* The baseline default picture sizes, unless sizes were given. */
  if (f.b[53] == 0 && f.b[54] == 10 && f.b[31] == 0) {
    f.b[28] = kVqxSdpH263BaselineSizes.un8Sqcif;
    f.b[29] = kVqxSdpH263BaselineSizes.un8Qcif;
    f.b[30] = kVqxSdpH263BaselineSizes.un8Cif;
  }
}
/* RFC 4629 writes "QCIF=2"; older offers "QCIF:2": both are taken. */
void H263Cif(sv t, Fields f) {
  const sv keys[3] = {"SQCIF", "QCIF", "CIF"};
  for (u32 k = 0; k < 3; ++k) {
    sv v;
    u64 n;
    /* MPI 0 would say "size not supported" for a size the line names: ignored,
     * as is one that does not fit its byte. */
    if (!KeyValue(t, keys[k], &v, true) || !NumberUpTo(v, 0xFF, &n) || n == 0) continue;
    if (f.b[31] == 0) {
      f.b[28] = f.b[29] = f.b[30] = 0;
      f.b[31] = 1;
    }
    f.b[28 + k] = u8(n);
    for (u32 j = k; j-- > 0;)
      if (f.b[28 + j] == 0) f.b[28 + j] = u8(n);
  }
}
int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'f') return (ch | 0x20) - 'a' + 10;
  return -1;
}
void Mpeg4(sv t, Fields f) {
  f.U8(t, "profile-level-id", 30);
  sv v;
  if (!KeyValue(t, "config", &v)) return;
  const size_t end = v.find_first_of("; \t");
  if (end != sv::npos) v = v.substr(0, end);
  const size_t n = v.size() / 2;
  if (n > 255) return; /* does not fit the capability: refused */
  std::memset(f.b + 40, 0, 255); /* no bytes of an earlier, longer configuration stay */
  for (size_t i = 0; i < n; ++i) {
    const int hi = HexDigit(v[2 * i]), lo = HexDigit(v[2 * i + 1]);
    f.b[40 + i] = u8(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo));
  }
  f.b[33] = u8(n);
}
/* RFC 6184 profile-level-id: profile_idc, constraint flags, level_idc. */
struct Map {
  u8 un8From, un8To;
};
const Map s_aH264Profile[] = {{44, 0}, {77, 32}, {88, 16}, {100, 8}, {110, 4}, {122, 2}, {244, 1}};
const Map s_aH264Level[] = {{9, 19},  {11, 22}, {12, 29}, {13, 36}, {20, 43}, {21, 50}, {22, 57}, {30, 64},
                            {31, 71}, {32, 78}, {40, 85}, {41, 92}, {42, 99}, {50, 106}, {51, 113}};
u8 Lookup(const Map* p, size_t n, u8 v, u8 fallback) {
  for (size_t i = 0; i < n; ++i)
    if (p[i].un8From == v) return p[i].un8To;
  return fallback;
}
void H264(sv t, Fields f) {
  sv v;
  if (!KeyValue(t, "profile-level-id", &v)) return;
  if (v.size() < 6 || (v.size() > 6 && v[6] != ';' && v[6] != ' ' && v[6] != '\t')) return;
  int d[6];
  for (int i = 0; i < 6; ++i)
    if ((d[i] = HexDigit(v[i])) < 0) return;
  f.b[30] = Lookup(s_aH264Profile, std::size(s_aH264Profile), u8(d[0] * 16 + d[1]), 64);
  f.b[31] = Lookup(s_aH264Level, std::size(s_aH264Level), u8(d[4] * 16 + d[5]), 15);
}
/* RFC 4733 event lists: "0-15,16"; events beyond the 256-bit map are ignored. */
void Events(sv t, Fields f) {
  u32 w[8] = {};
  while (!t.empty()) {
    u64 a, b;
    const size_t k = t.find_first_of(",\n");
    const sv item = t.substr(0, k);
    if (Number(item, &a)) {
      b = a;
      const size_t dash = item.find('-');
      if (dash != sv::npos && !Number(item.substr(dash + 1), &b)) b = a;
      for (u64 e = a; e <= b && e < 256; ++e) w[e / 32] |= 1u << (e % 32);
    }
    if (k == sv::npos || t[k] != ',') break;
    t.remove_prefix(k + 1);
  }
  /* The list replaces the events: one that yields no event leaves none. */
  std::memcpy(f.b + 32, w, sizeof w);
}

struct ParserRow {
  u32 un32Type;
  void (*pfn)(sv, Fields);
  void (*pfn2)(sv, Fields);
};
const ParserRow s_aParsers[] = {
    {4, G723, nullptr},         {18, G729, nullptr},    {34, H263Profile, H263Cif}, {100, Events, nullptr},
    {101, Events, nullptr},     {103, G729E, nullptr},  {104, Amr, nullptr},        {110, Smv, nullptr},
    {111, Evrc, nullptr},       {119, Mpeg4, nullptr},  {121, H263Profile, H263Cif}, {122, H264, nullptr},
    {124, Ilbc, nullptr},       {126, AmrWb, nullptr},
};

struct NameRow {
  std::string_view name;
  u32 un32Type, un32Param;
};
/* rtpmap encoding names (whole, case-blind) to media types. */
constexpr NameRow PVQX_MEDIA_TYPE_STRING_PARAM_CONV_TABLE[] = {
    {"H263-2000", 121, 0}, {"H263-1998", 121, 0}, {"H263", 34, 0},       {"MPEG4", 119, 0},
    {"MP4V-ES", 119, 0},   {"H264", 122, 0},      {"PCMU", 0, 0},        {"G723", 4, 0},
    {"PCMA", 8, 0},        {"G722", 9, 0},        {"L16", 10, 0},        {"QCELP", 12, 0},
    {"CN", 13, 0},         {"G728", 15, 0},       {"G729E", 103, 0},     {"G729AB", 18, 0},
    {"G729", 18, 0},       {"X-NSE", 100, 0},     {"NSE", 100, 0},       {"AMR-WB", 126, 0},
    {"AMR", 104, 0},       {"GSM-EFR", 105, 0},   {"GSM", 3, 0},         {"CLEARMODE", 108, 0},
    {"SMV", 110, 0},       {"EVRC", 111, 0},      {"telephone-event", 101, 0}, {"iLBC", 124, 0},
    {"G726-16", 125, 16},  {"G726-24", 125, 24},  {"G726-32", 125, 32},  {"G726-40", 125, 40},
    {"G726", 125, 32},     {"RED", 120, 0},
};
constexpr size_t kNbNames = std::size(PVQX_MEDIA_TYPE_STRING_PARAM_CONV_TABLE);
static_assert(kNbNames < 0xFF);

/* The rows by first letter (case-blind), each chain in table order, so that a
 * name is compared with the few rows that can match, the first match winning
 * as in a scan of the whole table. */
struct NameIndex {
  u8 aHead[256];
  u8 aNext[kNbNames];
  constexpr NameIndex() : aHead(), aNext() {
    for (u8& x : aHead) x = 0xFF;
    for (size_t i = kNbNames; i-- > 0;) {
      const u8 key = static_cast<u8>(PVQX_MEDIA_TYPE_STRING_PARAM_CONV_TABLE[i].name[0] | 0x20);
      aNext[i] = aHead[key];
      aHead[key] = static_cast<u8>(i);
    }
  }
};
constexpr NameIndex s_nameIndex;

}  // namespace

u32 VqxMediaStringToType(std::string_view name, u32* pun32Param) {
  *pun32Param = 0;
  if (name.empty()) return VQX_MEDIA_TYPE_INVALID;
  for (u8 i = s_nameIndex.aHead[u8(name[0] | 0x20)]; i != 0xFF; i = s_nameIndex.aNext[i]) {
    const NameRow& r = PVQX_MEDIA_TYPE_STRING_PARAM_CONV_TABLE[i];
    if (r.name.size() == name.size() && Strnicmp(r.name.data(), name.data(), name.size()) == 0) {
      *pun32Param = r.un32Param;
      return r.un32Type;
    }
  }
  return VQX_MEDIA_TYPE_INVALID;
}

void VqxSdpCodecParse(std::string_view params, _VQX_MEDIA_CAP* pCap) {
  const Fields f{reinterpret_cast<u8*>(pCap)};
  for (const ParserRow& r : s_aParsers)
    if (r.un32Type == pCap->Encoding.MediaType && (!params.empty() || r.pfn == Events)) {
      r.pfn(params, f);
      if (r.pfn2 != nullptr) r.pfn2(params, f);
    }
}

void VqxMediaLibParseAttributeH263FrameRate(u32 un32Fps, VqxSdpH263Block* p) {
  /* Above 30 frames per second every picture may be sent: MPI 1 (not 0,
   * which would mean no size at all). */
  const u8 mpi = un32Fps == 0 ? 0 : un32Fps > 30 ? 1 : u8(30 / un32Fps);
  bool fReplaced = false;
  if (p->un8Cif != 0) p->un8Cif = mpi, fReplaced = true;
  if (p->un8Qcif != 0) p->un8Qcif = mpi, fReplaced = true;
  if (p->un8Sqcif != 0) p->un8Sqcif = mpi;
  else if (!fReplaced) p->un8Sqcif = p->un8Qcif = p->un8Cif = mpi;
}

VQX_RESULT VqxMediaLibParseAttributeH263FrameSize(std::string_view size, u32 un32Mpi, VqxSdpH263Block* p) {
  u64 w = 0, h = 0;
  const size_t dash = size.find('-');
  if (dash != sv::npos) {
    Number(size.substr(0, dash), &w);
    Number(size.substr(dash + 1), &h);
  }
  const u8 m = u8(un32Mpi);
  if (w == 128 && h == 96) *p = {m, 0, 0, p->un8Given};
  else if (w == 176 && h == 144) *p = {m, m, 0, p->un8Given};
  else if (w == 352 && h == 288) *p = {m, m, m, p->un8Given};
  else return VQX_RESULT_MISMATCH; /* a size H.263 does not know: the sizes stay */
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMediaLibParseAttributeH263VideoResolution(std::string_view line, VqxSdpH263Block* p) {
  std::string up(line.substr(0, 255));
  for (char& ch : up) ch = Upper(ch);
  const sv u(up);
  int level = -1;
  size_t pos = u.find("SQCIF");
  if (pos != sv::npos) level = 0, pos += 5;
  else if ((pos = u.find("QCIF")) != sv::npos) level = 1, pos += 4;
  else if ((pos = u.find("CIF")) != sv::npos) level = 2, pos += 3;
  if (level < 0) return VQX_RESULT_INVALID_PARAM;
  const size_t d = u.find_first_of("0123456789", pos);
  u64 value = 0;
  if (d == sv::npos || !Number(u.substr(d), &value) || value == 0) return VQX_RESULT_INVALID_PARAM;
  const u8 mpi = value < 31 ? u8(30 / value) : 1;
  const bool fGiven = p->un8Given != 0;
  u8* m[3] = {&p->un8Sqcif, &p->un8Qcif, &p->un8Cif};
  if (!fGiven) *m[0] = *m[1] = *m[2] = 0;
  for (int l = level; l >= 0; --l)
    if (*m[l] == 0 || *m[l] > mpi || !fGiven) {
      for (int k = 0; k <= l; ++k) *m[k] = mpi;
      break;
    }
  p->un8Given = 1;
  return VQX_RESULT_OK;
}

u16 VqxSdpBandwidthUnits(u64 un64Kbps) { return un64Kbps >= 0xFFFE / 10 + 1 ? 0xFFFE : u16(un64Kbps * 10); }
