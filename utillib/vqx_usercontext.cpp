/*
 * vqx_usercontext.cpp - base-38 user-context names (see vqx_usercontext.h and
 * docs/user-context-names.md). Pure functions, any thread.
 */
#include "vqx_usercontext.h"

#include <string.h>

namespace {

/* Digit value -> character, for the 37 digits that are characters. */
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
static_assert(sizeof(kAlphabet) - 1 == VQX_USER_CONTEXT_END_DIGIT, "one character per digit below the end digit");

/* 38^12: the first value that needs a 13th digit. */
constexpr u64 VqxPow(u64 base, u32 exp) { return exp == 0 ? 1 : base * VqxPow(base, exp - 1); }
constexpr u64 kWordLimit = VqxPow(VQX_USER_CONTEXT_BASE, VQX_USER_CONTEXT_DIGITS);
static_assert(kWordLimit / VQX_USER_CONTEXT_BASE == VqxPow(VQX_USER_CONTEXT_BASE, VQX_USER_CONTEXT_DIGITS - 1),
              "38^12 fits in 64 bits");

/* Digit of one character, or -1 when it is not in the alphabet. */
int VqxDigitOf(char c) {
  const char* p = (c != '\0') ? strchr(kAlphabet, c) : nullptr;
  return p != nullptr ? static_cast<int>(p - kAlphabet) : -1;
}

/*
 * Appends the characters of one word to pszText at *pun32Len, never beyond
 * un32Size - 1. Returns true when the word held 12 characters (no end digit),
 * i.e. when a following word continues the name.
 */
bool VqxAppendWord(u64 un64Word, char* pszText, u32 un32Size, u32* pun32Len) {
  u64 un64Value = un64Word % kWordLimit; /* digits above the 12th are ignored */
  u8 abyDigits[VQX_USER_CONTEXT_DIGITS];
  for (u32 i = VQX_USER_CONTEXT_DIGITS; i-- > 0;) {
    abyDigits[i] = static_cast<u8>(un64Value % VQX_USER_CONTEXT_BASE);
    un64Value /= VQX_USER_CONTEXT_BASE;
  }
  for (u32 i = 0; i < VQX_USER_CONTEXT_DIGITS; ++i) {
    if (abyDigits[i] == VQX_USER_CONTEXT_END_DIGIT) return false;
    if (*pun32Len + 1 < un32Size) pszText[(*pun32Len)++] = kAlphabet[abyDigits[i]];
  }
  return true;
}

/* Packs up to 12 characters of pszName (un32Len of them) into one word. */
bool VqxPackWord(const char* pszName, size_t len, u64* pun64Word) {
  u64 un64Value = 0;
  for (u32 i = 0; i < VQX_USER_CONTEXT_DIGITS; ++i) {
    int nDigit = static_cast<int>(VQX_USER_CONTEXT_END_DIGIT);
    if (i < len) {
      nDigit = VqxDigitOf(pszName[i]);
      if (nDigit < 0) return false;
    }
    un64Value = un64Value * VQX_USER_CONTEXT_BASE + static_cast<u64>(nDigit);
  }
  *pun64Word = un64Value;
  return true;
}

} // namespace

VQX_RESULT HaManagerExtractOneUserContext(u64 un64Word, char* pszText, u32 un32Size) {
  if (pszText == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un32Size == 0) return VQX_RESULT_INVALID_PARAM;
  u32 un32Len = 0;
  VqxAppendWord(un64Word, pszText, un32Size, &un32Len);
  pszText[un32Len] = '\0';
  return VQX_RESULT_OK;
}

VQX_RESULT HaManagerExtractUserContexts(u64 un64Word1, u64 un64Word2, char* pszText, u32 un32Size) {
  if (pszText == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un32Size == 0) return VQX_RESULT_INVALID_PARAM;
  u32 un32Len = 0;
  if (un64Word1 == 0 && un64Word2 == 0) {
    const char* pszUndefined = VQX_USER_CONTEXT_UNDEFINED_TEXT;
    while (pszUndefined[un32Len] != '\0' && un32Len + 1 < un32Size) {
      pszText[un32Len] = pszUndefined[un32Len];
      ++un32Len;
    }
  } else if (VqxAppendWord(un64Word1, pszText, un32Size, &un32Len)) {
    VqxAppendWord(un64Word2, pszText, un32Size, &un32Len);
  }
  pszText[un32Len] = '\0';
  return VQX_RESULT_OK;
}

VQX_RESULT HaManagerPackUserContext(const char* pszName, u64* pun64Word) {
  if (pszName == nullptr || pun64Word == nullptr) return VQX_RESULT_NULL_PARAM;
  const size_t len = strnlen(pszName, VQX_USER_CONTEXT_DIGITS + 1);
  if (len > VQX_USER_CONTEXT_DIGITS) return VQX_RESULT_INVALID_PARAM;
  return VqxPackWord(pszName, len, pun64Word) ? VQX_RESULT_OK : VQX_RESULT_INVALID_PARAM;
}

VQX_RESULT HaManagerPackUserContexts(const char* pszName, u64* pun64Word1, u64* pun64Word2) {
  if (pszName == nullptr || pun64Word1 == nullptr || pun64Word2 == nullptr) return VQX_RESULT_NULL_PARAM;
  const size_t len = strnlen(pszName, 2 * VQX_USER_CONTEXT_DIGITS + 1);
  if (len > 2 * VQX_USER_CONTEXT_DIGITS) return VQX_RESULT_INVALID_PARAM;
  const size_t len1 = len < VQX_USER_CONTEXT_DIGITS ? len : VQX_USER_CONTEXT_DIGITS;
  u64 un64Word1 = 0;
  u64 un64Word2 = 0;
  if (!VqxPackWord(pszName, len1, &un64Word1) ||
      !VqxPackWord(pszName + len1, len - len1, &un64Word2)) {
    return VQX_RESULT_INVALID_PARAM;
  }
  if (un64Word1 == 0 && un64Word2 == 0) return VQX_RESULT_INVALID_PARAM; /* would read "[Undefined]" */
  *pun64Word1 = un64Word1;
  *pun64Word2 = un64Word2;
  return VQX_RESULT_OK;
}
