/*
 * vqcmclib_params.cpp - CVQCMCLibParams::LoadFromCfgFile: the client
 * parameter file, text lines "key = value", of which "cmc_nb_threads" is
 * read. The key is the whole text before the first "=" (trimmed), so a
 * commented-out or longer key does not match; a line longer than 1022
 * characters is skipped whole; the value is the unsigned number it begins
 * with (decimal, 0x hexadecimal, leading-0 octal; "12abc" reads 12, no
 * digits read 0) and must lie in 1..200, a value past 32 bits being
 * refused rather than cut. A refused value leaves the parameter as it was.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vqcaflog.h"
#include "vqcmclib.h"

namespace VQCAF {

namespace {

constexpr size_t kMaxLine = 1022;   /* characters of one line, end of line excluded */
constexpr size_t kErrorSize = 256;  /* the caller's error buffer */
constexpr u32 kMinThreads = 1, kMaxThreads = 200;
const char kSpaces[] = " \f\t\v\r\n";

/* Trims the spaces around a text in place; the trimmed start. */
char* Trim(char* psz) {
  psz += strspn(psz, kSpaces);
  size_t n = strlen(psz);
  while (n > 0 && strchr(kSpaces, psz[n - 1]) != nullptr) psz[--n] = '\0';
  return psz;
}

/* The number the text begins with (decimal, 0x hexadecimal, leading-0 octal), read up to the first
 * character that does not fit; no digits (a sign included) give 0. A value past 64 bits reads as the
 * largest one, which the range check refuses with the rest of those past 32 bits. */
unsigned long long ParseNumber(const char* psz) {
  if (*psz < '0' || *psz > '9') return 0;
  return strtoull(psz, nullptr, 0);
}

}  // namespace

VQX_RESULT CVQCMCLibParams::LoadFromCfgFile(const char* pszPath, char* pszError) {
  if (pszError != nullptr) pszError[0] = '\0';
  FILE* pFile = pszPath != nullptr ? fopen(pszPath, "r") : nullptr;
  if (pFile == nullptr) {
    LogTrace(VQERR, "CVQCMCLibParams::LoadFromCfgFile: Failed to open configuration file '%s'. Will use default values\n",
             pszPath != nullptr ? pszPath : "");
    return VQX_RESULT_OK;
  }
  char szLine[kMaxLine + 2];
  VQX_RESULT Result = VQX_RESULT_OK;
  while (Result == VQX_RESULT_OK && fgets(szLine, sizeof(szLine), pFile) != nullptr) {
    if (strchr(szLine, '\n') == nullptr && !feof(pFile)) {
      // Longer than a line may be: drop the rest of it rather than read it as lines of its own.
      for (int c = fgetc(pFile); c != EOF && c != '\n'; c = fgetc(pFile)) {
      }
      continue;
    }
    char* pszEqual = strchr(szLine, '=');
    if (pszEqual == nullptr) continue;
    *pszEqual = '\0';
    if (strcmp(Trim(szLine), "cmc_nb_threads") != 0) continue;
    const char* pszValue = Trim(pszEqual + 1);
    const unsigned long long ullValue = ParseNumber(pszValue);
    char szText[kErrorSize];
    if (ullValue < kMinThreads) {
      snprintf(szText, sizeof(szText), "cmc_nb_threads too small, min is %u", kMinThreads);
    } else if (ullValue > kMaxThreads) {
      snprintf(szText, sizeof(szText), "cmc_nb_threads too big, max is %u", kMaxThreads);
    } else {
      mun32NbThreads = static_cast<u32>(ullValue);
      continue;
    }
    if (pszError != nullptr) snprintf(pszError, kErrorSize, "%s", szText);
    Result = VQX_RESULT_INVALID_PARAM;
  }
  fclose(pFile);
  return Result;
}

}  // namespace VQCAF
