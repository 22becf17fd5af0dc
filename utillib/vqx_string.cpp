/*
 * vqx_string.cpp - bounded formatting, case-blind comparison, hex and path
 * helpers (see vqx_string.h). No state, no locks.
 */
#include "vqx_string.h"

#include <stdio.h>

namespace {

int VqxUpper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

/* Value of one hex digit, or -1 when c is not one. */
int VqxHexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kHexDigits[] = "0123456789abcdef";

/* Orders null before every text; 0 when both are null; 2 when neither is. */
int VqxCompareNulls(const char* pszA, const char* pszB) {
  if (pszA == nullptr && pszB == nullptr) return 0;
  if (pszA == nullptr) return -1;
  if (pszB == nullptr) return 1;
  return 2;
}

} // namespace

int Vsnprintf(char* pszDest, size_t size, const char* pszFormat, va_list args) {
  if (pszDest == nullptr || size == 0) return 0;
  if (pszFormat == nullptr) {
    pszDest[0] = '\0';
    return static_cast<int>(size);
  }
  const int n = vsnprintf(pszDest, size, pszFormat, args);
  if (n < 0) {
    pszDest[0] = '\0';
    return static_cast<int>(size);
  }
  if (static_cast<size_t>(n) >= size) return static_cast<int>(size - 1);
  return n;
}

int Snprintf(char* pszDest, size_t size, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  const int n = Vsnprintf(pszDest, size, pszFormat, args);
  va_end(args);
  return n;
}

int Stricmp(const char* pszA, const char* pszB) {
  const int nulls = VqxCompareNulls(pszA, pszB);
  if (nulls != 2) return nulls;
  for (;; ++pszA, ++pszB) {
    const int a = VqxUpper(static_cast<unsigned char>(*pszA));
    const int b = VqxUpper(static_cast<unsigned char>(*pszB));
    if (a != b || a == 0) return a - b;
  }
}

int Strnicmp(const char* pszA, const char* pszB, size_t n) {
  if (n == 0) return 0;
  const int nulls = VqxCompareNulls(pszA, pszB);
  if (nulls != 2) return nulls;
  for (size_t i = 0; i < n; ++i) {
    const int a = VqxUpper(static_cast<unsigned char>(pszA[i]));
    const int b = VqxUpper(static_cast<unsigned char>(pszB[i]));
    if (a != b || a == 0) return a - b;
  }
  return 0;
}

u64 HexStringToByteArray(const char* pszText, u8* pbyOut, u64* pun64Count) {
  if (pun64Count == nullptr) return 0;
  const u64 un64Room = *pun64Count;
  *pun64Count = 0;
  if (pszText == nullptr || (pbyOut == nullptr && un64Room != 0)) return 0;

  u64 un64Digits = 0;
  u64 un64Bytes = 0;
  while (un64Bytes < un64Room) {
    const int hi = VqxHexDigitValue(pszText[un64Digits]);
    if (hi < 0) break;
    const int lo = VqxHexDigitValue(pszText[un64Digits + 1]);
    if (lo < 0) {
      /* A lone last digit fills the high half of one more byte. */
      pbyOut[un64Bytes++] = static_cast<u8>(hi << 4);
      ++un64Digits;
      break;
    }
    pbyOut[un64Bytes++] = static_cast<u8>((hi << 4) | lo);
    un64Digits += 2;
  }
  *pun64Count = un64Bytes;
  return un64Digits;
}

u64 ByteArrayToHexString(const u8* pbyBytes, u64 un64Count, char* pszOut) {
  if (pszOut == nullptr) return 0;
  if (pbyBytes == nullptr) {
    pszOut[0] = '\0';
    return 0;
  }
  for (u64 i = 0; i < un64Count; ++i) {
    pszOut[2 * i] = kHexDigits[pbyBytes[i] >> 4];
    pszOut[2 * i + 1] = kHexDigits[pbyBytes[i] & 0x0F];
  }
  pszOut[2 * un64Count] = '\0';
  return un64Count;
}

const char* VqxFileNameFromPath(const char* pszPath) {
  if (pszPath == nullptr) return "";
  const char* pszName = pszPath;
  for (u32 i = 0; i < VQX_FILE_NAME_SCAN_LIMIT && pszPath[i] != '\0'; ++i) {
    if (pszPath[i] == '/' || pszPath[i] == '\\') pszName = pszPath + i + 1;
  }
  return pszName;
}
