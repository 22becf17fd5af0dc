/*
 * vqcmclib_params.cpp - CVQCMCLibParams::LoadFromCfgFile: the client
 * parameter file, text lines "key = value", of which "cmc_nb_threads" is
 * read. The key is the whole text before the first "=" (trimmed), so a
 * commented-out or longer key does not match; a line longer than 1022
 * characters is skipped whole; a value must be one unsigned number
 * (decimal, 0x hexadecimal, leading-0 octal) in 1..200. A refused value
 * leaves the parameter as it was.
 */
#include <cerrno>
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

/* The whole text as one unsigned number; false for anything else (sign, junk, empty, above 64 bits). */
bool ParseNumber(const char* psz, unsigned long long* pull) {
  if (*psz < '0' || *psz > '9') return false;
  char* pszEnd = nullptr;
  errno = 0;
  *pull = strtoull(psz, &pszEnd, 0);
  return errno == 0 && pszEnd != psz && *pszEnd == '\0';
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
    unsigned long long ullValue = 0;
    char szText[kErrorSize];
    if (!ParseNumber(pszValue, &ullValue)) {
      snprintf(szText, sizeof(szText), "cmc_nb_threads is not a number: '%.200s'", pszValue);
    } else if (ullValue < kMinThreads) {
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
