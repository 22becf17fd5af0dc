/*
 * vqcafdiag.cpp - the foundation's line printer (standard error until the
 * framework log installs its own).
 */
#include "vqcafdiag.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace VQCAF {

namespace {

struct DiagPrinter {
  PFN_VQCAF_DIAG_PRINTER pFct;
  void* pvContext;
};

/* Lines without their own newline get one, so that they do not run together. */
void StderrPrinter(void*, u32, const char* pszLine) {
  fputs(pszLine, stderr);
  size_t n = strlen(pszLine);
  if (n == 0 || pszLine[n - 1] != '\n') fputc('\n', stderr);
}

/* Printer and context change together: both live in one record that is
 * swapped as a whole. Records are never freed (a printer may still be in use
 * on another thread); there are only as many as SetDiagPrinter calls. */
std::atomic<const DiagPrinter*> g_pPrinter{nullptr};

}  // namespace

void VqcafSetDiagPrinter(PFN_VQCAF_DIAG_PRINTER pFctPrinter, void* pvContext) {
  const DiagPrinter* pNew = nullptr;
  if (pFctPrinter != nullptr) pNew = new DiagPrinter{pFctPrinter, pvContext};
  g_pPrinter.store(pNew, std::memory_order_release);
}

void VqcafDiagVPrintf(u32 un32Level, const char* pszFormat, va_list args) {
  if (pszFormat == nullptr) return;
  char acLine[4096];
  vsnprintf(acLine, sizeof(acLine), pszFormat, args);
  const DiagPrinter* p = g_pPrinter.load(std::memory_order_acquire);
  if (p != nullptr) {
    p->pFct(p->pvContext, un32Level, acLine);
  } else {
    StderrPrinter(nullptr, un32Level, acLine);
  }
}

void VqcafDiagPrintf(u32 un32Level, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  VqcafDiagVPrintf(un32Level, pszFormat, args);
  va_end(args);
}

}  // namespace VQCAF
