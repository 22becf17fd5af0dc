/*
 * vqcafstring.h - the framework's text string.
 *
 * A CVQCAFString always holds a NUL-terminated text. Short texts (up to
 * VQCAF_STRING_INLINE_CAPACITY characters) live inside the object; longer ones
 * on the heap. A string never grows beyond VQCAF_STRING_MAX_LENGTH characters:
 * an operation that would make it longer throws std::length_error (the public
 * boundary maps it to 0x8200000A) and leaves the string as it was. A null
 * text pointer is taken as the empty text everywhere.
 *
 * Not thread-safe: one string belongs to one thread at a time (or to whoever
 * holds the lock of the object that contains it).
 */
#ifndef VQCAFSTRING_H
#define VQCAFSTRING_H

#include <cstdarg>

#include "vqx_types.h"

namespace VQCAF {

constexpr u32 VQCAF_STRING_INLINE_CAPACITY = 47u;  /* characters kept without a heap block */
constexpr u32 VQCAF_STRING_MAX_LENGTH = 0x00FFFFFFu; /* characters, terminator excluded */

class CVQCAFString {
 public:
  CVQCAFString() noexcept;
  CVQCAFString(const char* pszText);                  /* copy of the text */
  CVQCAFString(const void* pvData, u32 un32Length);  /* copy of un32Length bytes */
  CVQCAFString(const CVQCAFString& Other);
  CVQCAFString(CVQCAFString&& Other) noexcept;
  ~CVQCAFString();

  CVQCAFString& operator=(const char* pszText);
  CVQCAFString& operator=(const CVQCAFString& Other);
  CVQCAFString& operator=(CVQCAFString&& Other) noexcept;

  /* Byte-wise equality (a null text equals ""). */
  bool operator==(const char* pszText) const noexcept;
  bool operator==(const CVQCAFString& Other) const noexcept;

  /* Append. */
  CVQCAFString& operator+=(const char* pszText);
  CVQCAFString& operator+=(const CVQCAFString& Other);
  CVQCAFString& operator+=(char c);

  /*
   * printf-style formatting that replaces the contents; returns the new
   * length. A null format gives "". A result past the maximum length throws
   * std::length_error, a format the C library cannot apply (an encoding
   * error) std::invalid_argument; either leaves the string unchanged.
   */
  u32 Format(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
  u32 FormatV(const char* pszFormat, va_list args);

  /*
   * Inserts at most un32Length characters of pszText (fewer when its
   * terminator comes first) in front of the character at un32Position
   * (GetLength() appends). A position past the end throws std::out_of_range
   * and changes nothing.
   */
  void Insert(const char* pszText, u32 un32Position, u32 un32Length);

  /* Appends un32Length raw bytes; a null pointer with a non-zero length
   * throws std::invalid_argument (nothing appended). */
  void AppendData(const void* pvData, u32 un32Length);

  /*
   * Makes room for un32Size characters (terminator excluded) so that growing
   * up to that size allocates nothing more. With fKeepContent 0 the string is
   * emptied as well. The source position is that of the caller (allocation
   * tracing); a size past the maximum length throws std::length_error.
   */
  void PreAllocateBuffer(u32 un32Size, const char* pszFile, int nLine, u32 fKeepContent);

  /* Empties the string and gives back any heap block. */
  void Clear() noexcept;

  const char* c_str() const noexcept { return mpszData; }
  u32 GetLength() const noexcept { return mun32Length; }
  bool IsEmpty() const noexcept { return mun32Length == 0; }
  /* Characters that fit without a new allocation. */
  u32 GetCapacity() const noexcept { return mun32Capacity; }

  /*
   * Upper / lower case (ASCII, character by character). With fInPlace true
   * the string itself is changed and a copy of the result returned; with
   * false a changed copy is returned and the string is left as it was.
   */
  CVQCAFString vqx_toupper(bool fInPlace);
  CVQCAFString vqx_tolower(bool fInPlace);

  /* Invariants (terminator in place, length within capacity); for tests. */
  bool CheckInvariant() const noexcept;

 private:
  void Reserve(u32 un32Capacity, bool fKeep);
  void Append(const char* pData, u32 un32Length);
  void Assign(const char* pData, u32 un32Length);
  bool IsInline() const noexcept { return mpszData == macInline; }

  char* mpszData;
  u32 mun32Length;
  u32 mun32Capacity;
  char macInline[VQCAF_STRING_INLINE_CAPACITY + 1];
};

CVQCAFString operator+(const char* pszLeft, const CVQCAFString& Right);
CVQCAFString operator+(const CVQCAFString& Left, const char* pszRight);
CVQCAFString operator+(const CVQCAFString& Left, const CVQCAFString& Right);

}  // namespace VQCAF

#endif
