/*
 * sigtrace_text.cpp - bit pictures, hex dumps, table lookup and the
 * truncation marker used by all the text decoders of the trace groups.
 */
#include "sigtrace_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace VQCAF {

const char* VqSigTraceLookup(std::span<const SVQSigTraceName> table, u32 un32Value, const char* pszFallback) {
  for (const SVQSigTraceName& row : table) {
    if (un32Value >= row.un32Lo && un32Value <= row.un32Hi) return row.pszText;
  }
  return pszFallback;
}

namespace {

constexpr char s_acHex[] = "0123456789ABCDEF";

/* s_aun64Spread[v] holds bit 7 - i of v in byte i (byte 0 first in memory
 * on this little-endian host): the eight bits of a picture, most
 * significant first, as 0/1 octets. */
constexpr auto s_aun64Spread = [] {
  std::array<u64, 256> a{};
  for (u32 v = 0; v < 256; ++v) {
    for (u32 i = 0; i < 8; ++i) a[v] |= static_cast<u64>((v >> (7 - i)) & 1u) << (8 * i);
  }
  return a;
}();
static_assert(std::endian::native == std::endian::little);

/* The eight characters of a picture: '0'/'1' under the mask, '-' outside. */
void Bits(char* p, u8 un8Value, u8 un8Mask) {
  constexpr u64 kun64Zeros = 0x3030303030303030ull;
  constexpr u64 kun64Dashes = 0x2D2D2D2D2D2D2D2Dull;
  const u64 un64In = s_aun64Spread[un8Mask] * 0xFFu;
  const u64 un64 = ((kun64Zeros | s_aun64Spread[un8Value]) & un64In) | (kun64Dashes & ~un64In);
  memcpy(p, &un64, sizeof(un64));
}

}  // namespace

SVQSigTracePicture VqSigTracePicture(u8 un8Value, u8 un8Mask) {
  SVQSigTracePicture pic;
  char* p = pic.sz;
  memcpy(p, "[0x", 3);
  p[3] = s_acHex[un8Value >> 4];
  p[4] = s_acHex[un8Value & 0x0F];
  p[5] = ']';
  p[6] = ' ';
  Bits(p + 7, un8Value, un8Mask);
  p[15] = '\0';
  return pic;
}

void CVQSigTraceText::PutPicture(u8 un8Value, u8 un8Mask) {
  char ac[17] = {' ', '[', '0', 'x', s_acHex[un8Value >> 4], s_acHex[un8Value & 0x0F], ']', ' '};
  Bits(ac + 8, un8Value, un8Mask);
  ac[16] = ' ';
  ms.append(ac, sizeof(ac));
}

void CVQSigTraceText::PutHex2(u8 un8Value) {
  const char ac[2] = {s_acHex[un8Value >> 4], s_acHex[un8Value & 0x0F]};
  ms.append(ac, sizeof(ac));
}

char* CVQSigTraceText::WriteDigits(char* p, const char* pDigits, u32 un32Digits, u32 un32Width, char cFill) {
  if (un32Width > un32Digits) {
    memset(p, cFill, un32Width - un32Digits);
    p += un32Width - un32Digits;
  }
  memcpy(p, pDigits, un32Digits);
  return p + un32Digits;
}

namespace {
/* "00" to "FF": an octet's two hex digits in one load. */
constexpr auto s_acHexPairs = [] {
  std::array<char, 512> a{};
  for (u32 i = 0; i < 256; ++i) {
    a[2 * i] = s_acHex[i >> 4];
    a[2 * i + 1] = s_acHex[i & 0x0F];
  }
  return a;
}();
/* "00" to "99": two decimal digits per division. */
constexpr auto s_acPairs = [] {
  std::array<char, 200> a{};
  for (u32 i = 0; i < 100; ++i) {
    a[2 * i] = static_cast<char>('0' + i / 10);
    a[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return a;
}();
}  // namespace

char* CVQSigTraceText::WriteDec(char* p, u32 un32Value, u32 un32Width, char cFill) {
  char ac[10];
  char* const e = ac + sizeof(ac);
  char* b = e;
  u32 un32 = un32Value;
  while (un32 >= 100) {
    b -= 2;
    memcpy(b, &s_acPairs[2 * (un32 % 100)], 2);
    un32 /= 100;
  }
  if (un32 >= 10) {
    b -= 2;
    memcpy(b, &s_acPairs[2 * un32], 2);
  } else {
    *--b = static_cast<char>('0' + un32);
  }
  return WriteDigits(p, b, static_cast<u32>(e - b), un32Width, cFill);
}

char* CVQSigTraceText::WriteHex(char* p, u32 un32Value, u32 un32Width) {
  char ac[8];
  char* b = ac + sizeof(ac);
  u32 un32 = un32Value;
  do {
    *--b = s_acHex[un32 & 0x0F];
    un32 >>= 4;
  } while (un32 != 0);
  return WriteDigits(p, b, static_cast<u32>(ac + sizeof(ac) - b), un32Width, '0');
}

namespace {

/* The printf subset the decoders use: flags '-' and '0', a width, and the
 * conversions s, c, d, i, u, x, X and %%. Formatting a record body is the
 * hot path of text groups, and libc's printf machinery dominated it.
 * Returns false (nothing appended) on anything else, and the caller falls
 * back to vsnprintf. */
bool FastFormat(std::string& out, const char* pszFormat, va_list args) {
  static const char s_acUpper[] = "0123456789ABCDEF";
  static const char s_acLower[] = "0123456789abcdef";
  const size_t un64Start = out.size();
  for (const char* p = pszFormat; *p; ++p) {
    if (*p != '%') {
      const char* q = p;
      while (*q && *q != '%') ++q;
      out.append(p, static_cast<size_t>(q - p));
      p = q - 1;
      continue;
    }
    ++p;
    bool fLeft = false, fZero = false;
    for (;; ++p) {
      if (*p == '-') fLeft = true;
      else if (*p == '0') fZero = true;
      else break;
    }
    size_t un64Width = 0;
    while (*p >= '0' && *p <= '9') un64Width = un64Width * 10 + static_cast<size_t>(*p++ - '0');
    char acDigits[24];
    const char* pszText = acDigits;
    size_t un64Len = 0;
    bool fNegative = false;
    switch (*p) {
      case '%': out.push_back('%'); continue;
      case 's':
        pszText = va_arg(args, const char*);
        if (pszText == nullptr) pszText = "(null)";
        un64Len = strlen(pszText);
        fZero = false;
        break;
      case 'c':
        acDigits[0] = static_cast<char>(va_arg(args, int));
        un64Len = 1;
        fZero = false;
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long un64Value;
        if (*p == 'd' || *p == 'i') {
          const long long n = va_arg(args, int);
          fNegative = n < 0;
          un64Value = fNegative ? static_cast<unsigned long long>(-n) : static_cast<unsigned long long>(n);
        } else {
          un64Value = va_arg(args, unsigned int);
        }
        const unsigned uBase = (*p == 'x' || *p == 'X') ? 16u : 10u;
        const char* pacDigits = *p == 'x' ? s_acLower : s_acUpper;
        char* e = acDigits + sizeof(acDigits);
        char* b = e;
        do {
          *--b = pacDigits[un64Value % uBase];
          un64Value /= uBase;
        } while (un64Value != 0);
        pszText = b;
        un64Len = static_cast<size_t>(e - b);
        break;
      }
      default:
        out.resize(un64Start);
        return false;
    }
    const size_t un64Body = un64Len + (fNegative ? 1 : 0);
    const size_t un64Pad = un64Width > un64Body ? un64Width - un64Body : 0;
    if (!fLeft && !fZero) out.append(un64Pad, ' ');
    if (fNegative) out.push_back('-');
    if (!fLeft && fZero) out.append(un64Pad, '0');
    out.append(pszText, un64Len);
    if (fLeft) out.append(un64Pad, ' ');
  }
  return true;
}

}  // namespace

void CVQSigTraceText::Appendf(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  const bool fDone = FastFormat(ms, pszFormat, args);
  va_end(args);
  if (fDone) return;
  char acBuf[512];
  va_start(args, pszFormat);
  const int n = vsnprintf(acBuf, sizeof(acBuf), pszFormat, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof(acBuf)) {
    ms.append(acBuf, static_cast<size_t>(n));
    return;
  }
  const size_t un64Old = ms.size();
  ms.resize(un64Old + static_cast<size_t>(n) + 1);
  va_start(args, pszFormat);
  vsnprintf(ms.data() + un64Old, static_cast<size_t>(n) + 1, pszFormat, args);
  va_end(args);
  ms.resize(un64Old + static_cast<size_t>(n));
}

void CVQSigTraceText::RawBuffer(const char* pszPrefix, std::span<const u8> data, bool fWithOffsets) {
  constexpr size_t kun64OctetsPerLine = 16;
  constexpr size_t kun64OctetsPerGroup = 8;
  /* A line at most: its offset ("%04X  ", up to 8 digits), 16 "HH ", the
   * two blanks after the 8th and its "\n". */
  constexpr size_t kun64MaxLine = 10 + 3 * kun64OctetsPerLine + 2 + 1;
  ms.append(pszPrefix);
  /* Written in place into room for the longest dump, then cut to size. */
  const size_t un64Start = ms.size();
  ms.resize(un64Start + (data.size() + kun64OctetsPerLine - 1) / kun64OctetsPerLine * kun64MaxLine + 1);
  char* const pBegin = ms.data();
  char* p = pBegin + un64Start;
  /* Line by line: the offset, the octets of each half and their breaks
   * without a test per octet. */
  const u8* const pData = data.data();
  for (size_t i = 0; i < data.size(); i += kun64OctetsPerLine) {
    if (fWithOffsets) {
      u32 un32Digits = 4;
      while (un32Digits < 8 && (i >> (4 * un32Digits)) != 0) ++un32Digits;
      for (u32 d = un32Digits; d-- > 0;) *p++ = s_acHex[(i >> (4 * d)) & 0x0F];
      *p++ = ' ';
      *p++ = ' ';
    }
    const size_t un64Line = std::min(kun64OctetsPerLine, data.size() - i);
    const auto Octets = [&p](const u8* pFrom, size_t n) {
      for (size_t j = 0; j < n; ++j) {
        memcpy(p, &s_acHexPairs[2 * pFrom[j]], 2);
        p[2] = ' ';
        p += 3;
      }
    };
    const size_t un64First = std::min(kun64OctetsPerGroup, un64Line);
    Octets(pData + i, un64First);
    if (un64First == kun64OctetsPerGroup) {
      p[0] = ' ';
      p[1] = ' ';
      p += 2;
      Octets(pData + i + kun64OctetsPerGroup, un64Line - kun64OctetsPerGroup);
    }
    if (un64Line == kun64OctetsPerLine) *p++ = '\n';
  }
  *p++ = '\n';
  ms.resize(static_cast<size_t>(p - pBegin));
}

void CVQSigTraceText::Truncated(const CVQSigTraceTruncated& t) {
  if (!ms.empty() && ms.back() != '\n') ms.push_back('\n');
  Appendf(VQ_SIGTRACE_TRUNCATED_FMT, t.mun32Index, t.mun32End);
}

}  // namespace VQCAF
