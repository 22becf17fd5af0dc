/*
 * vqcafdiag.cpp - the foundation's line printer (standard error until the
 * framework log installs its own).
 */
#include "vqcafdiag.h"

#include <mutex>
#include <cstdio>
#include <cstring>

namespace VQCAF {

namespace {

/* Lines without their own newline get one, so that they do not run together. */
void StderrPrinter(void*, u32, const char* pszLine) {
  fputs(pszLine, stderr);
  size_t n = strlen(pszLine);
  if (n == 0 || pszLine[n - 1] != '\n') fputc('\n', stderr);
}

/* Printer and context change together under one lock; the call itself runs
 * outside it (a printer may print again, or take its own locks). */
struct DiagPrinter {
  std::mutex Lock;
  PFN_VQCAF_DIAG_PRINTER pFct = nullptr;
  void* pvContext = nullptr;
};

/* Never destroyed: lines may be printed from static destructors. */
DiagPrinter& GetPrinter() {
  static DiagPrinter* s_pPrinter = new DiagPrinter();
  return *s_pPrinter;
}

}  // namespace

void VqcafSetDiagPrinter(PFN_VQCAF_DIAG_PRINTER pFctPrinter, void* pvContext) {
  DiagPrinter& Printer = GetPrinter();
  std::lock_guard<std::mutex> Guard(Printer.Lock);
  Printer.pFct = pFctPrinter;
  Printer.pvContext = pFctPrinter != nullptr ? pvContext : nullptr;
}

void VqcafDiagVPrintf(u32 un32Level, const char* pszFormat, va_list args) {
  if (pszFormat == nullptr) return;
  char acLine[4096];
  vsnprintf(acLine, sizeof(acLine), pszFormat, args);
  PFN_VQCAF_DIAG_PRINTER pFct;
  void* pvContext;
  {
    DiagPrinter& Printer = GetPrinter();
    std::lock_guard<std::mutex> Guard(Printer.Lock);
    pFct = Printer.pFct;
    pvContext = Printer.pvContext;
  }
  if (pFct == nullptr) pFct = &StderrPrinter;
  pFct(pvContext, un32Level, acLine);
}

void VqcafDiagPrintf(u32 un32Level, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  VqcafDiagVPrintf(un32Level, pszFormat, args);
  va_end(args);
}

}  // namespace VQCAF
