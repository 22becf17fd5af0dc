/*
 * sigtrace_text.h - the text side shared by every trace decoder.
 *
 * A decoder builds the body of one text record in a CVQSigTraceText and the
 * trace group writes it to its segment in one piece. This header also holds
 * the two routines all decoders share (the bit picture of an octet and the
 * hex dump), the name tables' row type with its one lookup, and the marker
 * line written when a unit is shorter than its layout.
 *
 * Internal to the sigtrace library (tests and the fuzz target use it too).
 */
#ifndef SIGTRACE_TEXT_H
#define SIGTRACE_TEXT_H

#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "sigtrace_cursor.h"
#include "vqx_types.h"

namespace VQCAF {

/* One row of a code table: the values lo..hi carry the text. The text's
 * length is counted once, when the table is built. */
struct SVQSigTraceName {
  u32 un32Lo;
  u32 un32Hi;
  const char* pszText;
  u32 un32Len;
  constexpr SVQSigTraceName(u32 un32Value, const char* psz)
      : un32Lo(un32Value), un32Hi(un32Value), pszText(psz), un32Len(Length(psz)) {}
  constexpr SVQSigTraceName(u32 un32From, u32 un32To, const char* psz)
      : un32Lo(un32From), un32Hi(un32To), pszText(psz), un32Len(Length(psz)) {}

 private:
  static constexpr u32 Length(const char* psz) { return static_cast<u32>(std::char_traits<char>::length(psz)); }
};

/* Text of the first row that holds un32Value, else pszFallback. */
const char* VqSigTraceLookup(std::span<const SVQSigTraceName> table, u32 un32Value, const char* pszFallback);
/* The same as a view, its length taken from the table (the decoders' hot
 * path appends it without counting it again). */
inline std::string_view VqSigTraceName(std::span<const SVQSigTraceName> table, u32 un32Value, std::string_view fallback) {
  for (const SVQSigTraceName& row : table) {
    if (un32Value >= row.un32Lo && un32Value <= row.un32Hi) return {row.pszText, row.un32Len};
  }
  return fallback;
}

/* "[0x%02X] %s": the value in hex and its eight bits, most significant
 * first, "-" for each bit outside un8Mask. The value is never masked. */
struct SVQSigTracePicture {
  char sz[20];
  const char* c_str() const { return sz; }
};
SVQSigTracePicture VqSigTracePicture(u8 un8Value, u8 un8Mask = 0xFF);

/* A number appended in decimal by CVQSigTraceText::Put and Field, right
 * aligned in un32Width characters padded with cFill ("%3u", "%05u"). */
struct SVQSigTraceDec {
  u32 un32Value;
  u32 un32Width = 0;
  char cFill = ' ';
};
/* A number appended in upper-case hex, zero-padded to un32Width ("%X", "%02X"). */
struct SVQSigTraceHex {
  u32 un32Value;
  u32 un32Width = 0;
};

/* The text of one record body under construction. */
class CVQSigTraceText {
 public:
  void Append(std::string_view s) { ms.append(s); }
  void Appendf(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
  /* The parts one after the other: texts as they are, SVQSigTraceDec in
   * decimal, SVQSigTraceHex in hex. The decoders' lines go through here
   * rather than through a format string. */
  template <class... T>
  void Put(const T&... parts) {
    PutParts(Part(parts)...);
  }
  /* One field line: " ", the picture of un8Value under un8Mask (as
   * VqSigTracePicture), " ", the parts, "\n". */
  template <class... T>
  void Field(u8 un8Value, u8 un8Mask, const T&... parts) {
    PutPicture(un8Value, un8Mask);
    PutParts(Part(parts)..., '\n');
  }
  /* " [0xHH] bbbbbbbb ": a field line's opening. */
  void PutPicture(u8 un8Value, u8 un8Mask = 0xFF);
  /* "%02X" of un8Value. */
  void PutHex2(u8 un8Value);
  /* Hex dump: the prefix, then "%02X " per octet, two blanks after the 8th
   * octet of a line, "\n" after the 16th, "%04X  " line offsets when asked,
   * and a final "\n". */
  void RawBuffer(const char* pszPrefix, std::span<const u8> data, bool fWithOffsets);
  /* The line that says where a unit or an element ran out. */
  void Truncated(const CVQSigTraceTruncated& t);

  const std::string& Str() const { return ms; }
  std::string& Str() { return ms; }
  void Clear() { ms.clear(); }

 private:
  /* Texts of any kind as views, so that their length is known before the
   * parts are written. */
  static std::string_view Part(std::string_view s) { return s; }
  static char Part(char c) { return c; }
  static SVQSigTraceDec Part(SVQSigTraceDec d) { return d; }
  static SVQSigTraceHex Part(SVQSigTraceHex h) { return h; }
  /* The most characters a part can take. */
  static size_t Room(std::string_view s) { return s.size(); }
  static size_t Room(char) { return 1; }
  static size_t Room(SVQSigTraceDec d) { return d.un32Width > 10 ? d.un32Width : 10; }
  static size_t Room(SVQSigTraceHex h) { return h.un32Width > 8 ? h.un32Width : 8; }
  /* The parts written in place after one growth of the text for all of
   * them (a line of a record is a dozen parts: one capacity check, not a
   * dozen), then the text cut to what was written. */
  template <class... T>
  void PutParts(const T&... parts) {
    const size_t un64Start = ms.size();
    ms.resize(un64Start + (Room(parts) + ...));
    char* p = ms.data() + un64Start;
    ((p = Write(p, parts)), ...);
    ms.resize(static_cast<size_t>(p - ms.data()));
  }
  static char* Write(char* p, std::string_view s) {
    if (!s.empty()) memcpy(p, s.data(), s.size());
    return p + s.size();
  }
  static char* Write(char* p, char c) {
    *p = c;
    return p + 1;
  }
  static char* Write(char* p, SVQSigTraceDec d) {
    /* Most numbers of a record are one digit wide. */
    if (d.un32Value < 10 && d.un32Width <= 1) {
      *p = static_cast<char>('0' + d.un32Value);
      return p + 1;
    }
    return WriteDec(p, d.un32Value, d.un32Width, d.cFill);
  }
  static char* Write(char* p, SVQSigTraceHex h) { return WriteHex(p, h.un32Value, h.un32Width); }
  /* The fields go as scalars: a part built just before the call and passed
   * as one aggregate was read back as a wider word than its stores (a
   * store-forwarding stall per number). */
  static char* WriteDec(char* p, u32 un32Value, u32 un32Width, char cFill);
  static char* WriteHex(char* p, u32 un32Value, u32 un32Width);
  /* Digits right aligned in un32Width with cFill. */
  static char* WriteDigits(char* p, const char* pDigits, u32 un32Digits, u32 un32Width, char cFill);

  std::string ms;
};

/* Marker text; a record that ran out carries exactly one such line per
 * element that could not be decoded. */
#define VQ_SIGTRACE_TRUNCATED_FMT "[Truncated: octet %u is past the end at octet %u]\n"

}  // namespace VQCAF

#endif
