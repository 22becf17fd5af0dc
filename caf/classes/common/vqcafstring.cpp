/*
 * vqcafstring.cpp - the framework's text string: inline buffer for short
 * texts, one heap block beyond, hard upper limit on the length.
 */
#include "vqcafstring.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace VQCAF {

namespace {

constexpr u32 FORMAT_SCRATCH_SIZE = 2048u;

/* Capacity to grow to when un32Needed characters must fit: doubling, so that
 * appending character by character stays linear, capped at the maximum. */
u32 GrowCapacity(u32 un32Current, u32 un32Needed) {
  u64 un64New = static_cast<u64>(un32Current) * 2u;
  if (un64New < un32Needed) un64New = un32Needed;
  if (un64New > VQCAF_STRING_MAX_LENGTH) un64New = VQCAF_STRING_MAX_LENGTH;
  return static_cast<u32>(un64New);
}

u32 CheckedSum(u32 un32A, u64 un64B) {
  u64 un64Sum = static_cast<u64>(un32A) + un64B;
  if (un64Sum > VQCAF_STRING_MAX_LENGTH) throw std::length_error("CVQCAFString: text longer than the maximum");
  return static_cast<u32>(un64Sum);
}

u32 TextLength(const char* psz) {
  if (psz == nullptr) return 0;
  size_t n = strlen(psz);
  if (n > VQCAF_STRING_MAX_LENGTH) throw std::length_error("CVQCAFString: text longer than the maximum");
  return static_cast<u32>(n);
}

}  // namespace

CVQCAFString::CVQCAFString() noexcept : mpszData(macInline), mun32Length(0), mun32Capacity(VQCAF_STRING_INLINE_CAPACITY) {
  macInline[0] = '\0';
}

CVQCAFString::CVQCAFString(const char* pszText) : CVQCAFString() { Assign(pszText, TextLength(pszText)); }

CVQCAFString::CVQCAFString(const void* pvData, u32 un32Length) : CVQCAFString() {
  if (pvData == nullptr && un32Length != 0) throw std::invalid_argument("CVQCAFString: null data");
  Assign(static_cast<const char*>(pvData), un32Length);
}

CVQCAFString::CVQCAFString(const CVQCAFString& Other) : CVQCAFString() { Assign(Other.mpszData, Other.mun32Length); }

CVQCAFString::CVQCAFString(CVQCAFString&& Other) noexcept : CVQCAFString() { *this = std::move(Other); }

CVQCAFString::~CVQCAFString() {
  if (!IsInline()) free(mpszData);
}

CVQCAFString& CVQCAFString::operator=(const char* pszText) {
  u32 un32Length = TextLength(pszText);
  if (pszText >= mpszData && pszText <= mpszData + mun32Length) {
    /* Assigning a part of ourselves: copy first. */
    CVQCAFString Copy(pszText);
    return *this = std::move(Copy);
  }
  Assign(pszText, un32Length);
  return *this;
}

CVQCAFString& CVQCAFString::operator=(const CVQCAFString& Other) {
  if (this != &Other) Assign(Other.mpszData, Other.mun32Length);
  return *this;
}

CVQCAFString& CVQCAFString::operator=(CVQCAFString&& Other) noexcept {
  if (this == &Other) return *this;
  if (Other.IsInline()) {
    memcpy(macInline, Other.macInline, Other.mun32Length + 1u);
    if (!IsInline()) free(mpszData);
    mpszData = macInline;
    mun32Capacity = VQCAF_STRING_INLINE_CAPACITY;
  } else {
    if (!IsInline()) free(mpszData);
    mpszData = Other.mpszData;
    mun32Capacity = Other.mun32Capacity;
    Other.mpszData = Other.macInline;
    Other.mun32Capacity = VQCAF_STRING_INLINE_CAPACITY;
  }
  mun32Length = Other.mun32Length;
  Other.mun32Length = 0;
  Other.macInline[0] = '\0';
  return *this;
}

bool CVQCAFString::operator==(const char* pszText) const noexcept {
  if (pszText == nullptr) return mun32Length == 0;
  return strlen(pszText) == mun32Length && memcmp(mpszData, pszText, mun32Length) == 0;
}

bool CVQCAFString::operator==(const CVQCAFString& Other) const noexcept {
  return mun32Length == Other.mun32Length && memcmp(mpszData, Other.mpszData, mun32Length) == 0;
}

CVQCAFString& CVQCAFString::operator+=(const char* pszText) {
  u32 un32Length = TextLength(pszText);
  if (pszText >= mpszData && pszText <= mpszData + mun32Length && un32Length != 0) {
    CVQCAFString Copy(pszText);
    Append(Copy.mpszData, Copy.mun32Length);
  } else {
    Append(pszText, un32Length);
  }
  return *this;
}

CVQCAFString& CVQCAFString::operator+=(const CVQCAFString& Other) {
  if (this == &Other) {
    CVQCAFString Copy(Other);
    Append(Copy.mpszData, Copy.mun32Length);
  } else {
    Append(Other.mpszData, Other.mun32Length);
  }
  return *this;
}

CVQCAFString& CVQCAFString::operator+=(char c) {
  Append(&c, 1);
  return *this;
}

u32 CVQCAFString::Format(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  u32 un32Length;
  try {
    un32Length = FormatV(pszFormat, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return un32Length;
}

u32 CVQCAFString::FormatV(const char* pszFormat, va_list args) {
  if (pszFormat == nullptr) {
    Clear();
    return 0;
  }
  /* One pass into a scratch buffer on the stack (a format argument may point
   * into this very string, so its storage cannot be the target), then a
   * copy. Only a text longer than the scratch buffer is formatted twice:
   * measured first, then into a block of its own. */
  va_list args2;
  va_copy(args2, args);
  char acLocal[FORMAT_SCRATCH_SIZE];
  int n = vsnprintf(acLocal, sizeof(acLocal), pszFormat, args);
  if (n < 0) {
    va_end(args2);
    throw std::invalid_argument("CVQCAFString::Format: bad format");
  }
  if (static_cast<u32>(n) < sizeof(acLocal)) {
    va_end(args2);
    Assign(acLocal, static_cast<u32>(n));
    return static_cast<u32>(n);
  }
  if (static_cast<u64>(n) > VQCAF_STRING_MAX_LENGTH) {
    va_end(args2);
    throw std::length_error("CVQCAFString::Format: text longer than the maximum");
  }
  char* pNew = static_cast<char*>(malloc(static_cast<size_t>(n) + 1u));
  if (pNew == nullptr) {
    va_end(args2);
    throw std::bad_alloc();
  }
  vsnprintf(pNew, static_cast<size_t>(n) + 1u, pszFormat, args2);
  va_end(args2);
  if (!IsInline()) free(mpszData);
  mpszData = pNew;
  mun32Capacity = static_cast<u32>(n);
  mun32Length = static_cast<u32>(n);
  return mun32Length;
}

void CVQCAFString::Insert(const char* pszText, u32 un32Position, u32 un32Length) {
  if (un32Position > mun32Length) throw std::out_of_range("CVQCAFString::Insert: position past the end");
  if (pszText == nullptr || un32Length == 0) return;
  u32 un32Count = static_cast<u32>(strnlen(pszText, un32Length));
  CVQCAFString Result;
  Result.Reserve(CheckedSum(mun32Length, un32Count), false);
  Result.Append(mpszData, un32Position);
  Result.Append(pszText, un32Count);
  Result.Append(mpszData + un32Position, mun32Length - un32Position);
  *this = std::move(Result);
}

void CVQCAFString::AppendData(const void* pvData, u32 un32Length) {
  if (un32Length == 0) return;
  if (pvData == nullptr) throw std::invalid_argument("CVQCAFString::AppendData: null data");
  const char* p = static_cast<const char*>(pvData);
  if (p >= mpszData && p <= mpszData + mun32Capacity) {
    CVQCAFString Copy(pvData, un32Length);
    Append(Copy.mpszData, Copy.mun32Length);
  } else {
    Append(p, un32Length);
  }
}

void CVQCAFString::PreAllocateBuffer(u32 un32Size, const char* /*pszFile*/, int /*nLine*/, u32 fKeepContent) {
  if (un32Size > VQCAF_STRING_MAX_LENGTH) throw std::length_error("CVQCAFString::PreAllocateBuffer: size past the maximum");
  if (fKeepContent == 0) {
    mun32Length = 0;
    mpszData[0] = '\0';
  }
  if (un32Size > mun32Capacity) Reserve(un32Size, fKeepContent != 0);
}

void CVQCAFString::Clear() noexcept {
  if (!IsInline()) free(mpszData);
  mpszData = macInline;
  mun32Capacity = VQCAF_STRING_INLINE_CAPACITY;
  mun32Length = 0;
  macInline[0] = '\0';
}

namespace {

/* ASCII letters only, byte by byte: texts here are names and paths, and other
 * bytes must travel unchanged. */
void ChangeCase(char* p, u32 un32Length, char cFrom, char cTo) {
  for (u32 i = 0; i < un32Length; ++i) {
    if (p[i] >= cFrom && p[i] <= static_cast<char>(cFrom + 25)) p[i] = static_cast<char>(p[i] - cFrom + cTo);
  }
}

}  // namespace

CVQCAFString CVQCAFString::vqx_toupper(bool fInPlace) {
  CVQCAFString Copy(*this);
  ChangeCase(Copy.mpszData, Copy.mun32Length, 'a', 'A');
  if (fInPlace) *this = Copy;
  return Copy;
}

CVQCAFString CVQCAFString::vqx_tolower(bool fInPlace) {
  CVQCAFString Copy(*this);
  ChangeCase(Copy.mpszData, Copy.mun32Length, 'A', 'a');
  if (fInPlace) *this = Copy;
  return Copy;
}

bool CVQCAFString::CheckInvariant() const noexcept {
  if (mpszData == nullptr) return false;
  if (mun32Length > mun32Capacity || mun32Capacity > VQCAF_STRING_MAX_LENGTH) return false;
  if (IsInline() && mun32Capacity != VQCAF_STRING_INLINE_CAPACITY) return false;
  if (!IsInline() && mun32Capacity <= VQCAF_STRING_INLINE_CAPACITY) return false;
  return mpszData[mun32Length] == '\0';
}

void CVQCAFString::Reserve(u32 un32Capacity, bool fKeep) {
  if (un32Capacity <= mun32Capacity) return;
  if (un32Capacity > VQCAF_STRING_MAX_LENGTH) throw std::length_error("CVQCAFString: text longer than the maximum");
  char* pNew = static_cast<char*>(malloc(static_cast<size_t>(un32Capacity) + 1u));
  if (pNew == nullptr) throw std::bad_alloc();
  if (fKeep) {
    memcpy(pNew, mpszData, mun32Length + 1u);
  } else {
    pNew[0] = '\0';
    mun32Length = 0;
  }
  if (!IsInline()) free(mpszData);
  mpszData = pNew;
  mun32Capacity = un32Capacity;
}

void CVQCAFString::Append(const char* pData, u32 un32Length) {
  if (un32Length == 0) return;
  u32 un32New = CheckedSum(mun32Length, un32Length);
  if (un32New > mun32Capacity) Reserve(GrowCapacity(mun32Capacity, un32New), true);
  memcpy(mpszData + mun32Length, pData, un32Length);
  mun32Length = un32New;
  mpszData[mun32Length] = '\0';
}

void CVQCAFString::Assign(const char* pData, u32 un32Length) {
  if (un32Length > mun32Capacity) {
    Reserve(un32Length, false);
  }
  if (un32Length != 0) memmove(mpszData, pData, un32Length);
  mun32Length = un32Length;
  mpszData[mun32Length] = '\0';
}

CVQCAFString operator+(const char* pszLeft, const CVQCAFString& Right) {
  CVQCAFString Result(pszLeft);
  Result += Right;
  return Result;
}

CVQCAFString operator+(const CVQCAFString& Left, const char* pszRight) {
  CVQCAFString Result(Left);
  Result += pszRight;
  return Result;
}

CVQCAFString operator+(const CVQCAFString& Left, const CVQCAFString& Right) {
  CVQCAFString Result(Left);
  Result += Right;
  return Result;
}

}  // namespace VQCAF
