/*
 * sigtrace_text.cpp - bit pictures, hex dumps, table lookup and the
 * truncation marker used by all the text decoders of the trace groups.
 */
#include "sigtrace_text.h"

#include <cstdarg>
#include <cstdio>

namespace VQCAF {

const char* VqSigTraceLookup(std::span<const SVQSigTraceName> table, u32 un32Value, const char* pszFallback) {
  for (const SVQSigTraceName& row : table) {
    if (un32Value >= row.un32Lo && un32Value <= row.un32Hi) return row.pszText;
  }
  return pszFallback;
}

SVQSigTracePicture VqSigTracePicture(u8 un8Value, u8 un8Mask) {
  static const char s_acHex[] = "0123456789ABCDEF";
  SVQSigTracePicture pic;
  char* p = pic.sz;
  *p++ = '[';
  *p++ = '0';
  *p++ = 'x';
  *p++ = s_acHex[un8Value >> 4];
  *p++ = s_acHex[un8Value & 0x0F];
  *p++ = ']';
  *p++ = ' ';
  for (int nBit = 7; nBit >= 0; --nBit) {
    const u8 un8Bit = static_cast<u8>(1u << nBit);
    *p++ = (un8Mask & un8Bit) ? ((un8Value & un8Bit) ? '1' : '0') : '-';
  }
  *p = '\0';
  return pic;
}

void CVQSigTraceText::Appendf(const char* pszFormat, ...) {
  char acBuf[512];
  va_list args;
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
  static const char s_acHex[] = "0123456789ABCDEF";
  constexpr u32 kun32OctetsPerLine = 16;
  constexpr u32 kun32OctetsPerGroup = 8;
  ms.append(pszPrefix);
  ms.reserve(ms.size() + data.size() * 3 + (data.size() / kun32OctetsPerLine + 1) * 10);
  for (u32 i = 0; i < data.size(); ++i) {
    const u32 un32InLine = i % kun32OctetsPerLine;
    if (fWithOffsets && un32InLine == 0) Appendf("%04X  ", i);
    ms.push_back(s_acHex[data[i] >> 4]);
    ms.push_back(s_acHex[data[i] & 0x0F]);
    ms.push_back(' ');
    if (un32InLine == kun32OctetsPerGroup - 1) ms.append("  ");
    if (un32InLine == kun32OctetsPerLine - 1) ms.push_back('\n');
  }
  ms.push_back('\n');
}

void CVQSigTraceText::Truncated(const CVQSigTraceTruncated& t) {
  if (!ms.empty() && ms.back() != '\n') ms.push_back('\n');
  Appendf(VQ_SIGTRACE_TRUNCATED_FMT, t.mun32Index, t.mun32End);
}

}  // namespace VQCAF
