/*
 * sigtrace_cursor.h - bounds-checked reader over one captured signalling unit.
 *
 * Every decoder and framing of the trace groups reads the bytes it was handed
 * through this cursor and nothing else. A read past the end throws
 * CVQSigTraceTruncated, which the decoder that owns the unit catches at its
 * top (or at the element it was walking) and turns into one marker line;
 * call sites never test the length by hand. A decoder hands the next layer a
 * sub-cursor that keeps the absolute octet numbers of the whole unit, so that
 * the marker names the octet as the unit counts it.
 *
 * The cursor is a view: it owns nothing and never assumes a terminator.
 */
#ifndef SIGTRACE_CURSOR_H
#define SIGTRACE_CURSOR_H

#include <span>

#include "vqx_types.h"

namespace VQCAF {

/* Thrown when a read needs an octet the unit (or element) does not have. */
struct CVQSigTraceTruncated {
  u32 mun32Index; /* absolute number of the octet that was wanted */
  u32 mun32End;   /* absolute number one past the last readable octet */
};

class CVQSigTraceCursor {
 public:
  CVQSigTraceCursor() = default;
  CVQSigTraceCursor(const u8* pData, u32 un32Length, u32 un32Base = 0)
      : mpData(pData), mun32Length(pData ? un32Length : 0), mun32Base(un32Base) {}

  u32 Size() const { return mun32Length; }
  bool Has(u32 un32Index) const { return un32Index < mun32Length; }
  u32 Base() const { return mun32Base; }

  /* Octet at un32Index (relative to this cursor); throws past the end. */
  u8 At(u32 un32Index) const {
    if (un32Index >= mun32Length) Fail(un32Index);
    return mpData[un32Index];
  }
  /* Octet at un32Index, or un8Default when the unit is too short. */
  u8 AtOr(u32 un32Index, u8 un8Default) const {
    return un32Index < mun32Length ? mpData[un32Index] : un8Default;
  }
  /* un32Count octets from un32Offset; throws unless all of them exist. */
  std::span<const u8> Bytes(u32 un32Offset, u32 un32Count) const {
    if (un32Count == 0) return {};
    if (un32Offset >= mun32Length) Fail(un32Offset);
    if (un32Count > mun32Length - un32Offset) Fail(mun32Length);
    return {mpData + un32Offset, un32Count};
  }
  /* The octets from un32Offset to the end (none when the offset is past it). */
  CVQSigTraceCursor Tail(u32 un32Offset) const {
    if (un32Offset >= mun32Length) return CVQSigTraceCursor(nullptr, 0, mun32Base + mun32Length);
    return CVQSigTraceCursor(mpData + un32Offset, mun32Length - un32Offset, mun32Base + un32Offset);
  }
  /* An element of un32Count octets at un32Offset, cut at the end of this
   * cursor: reads inside the element but past the unit still throw. */
  CVQSigTraceCursor Sub(u32 un32Offset, u32 un32Count) const {
    CVQSigTraceCursor tail = Tail(un32Offset);
    if (un32Count < tail.mun32Length) tail.mun32Length = un32Count;
    return tail;
  }
  std::span<const u8> All() const { return {mpData, mun32Length}; }

 private:
  [[noreturn]] void Fail(u32 un32Index) const {
    throw CVQSigTraceTruncated{mun32Base + un32Index, mun32Base + mun32Length};
  }

  const u8* mpData = nullptr;
  u32 mun32Length = 0;
  u32 mun32Base = 0;
};

}  // namespace VQCAF

#endif
