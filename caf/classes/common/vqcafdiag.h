/*
 * vqcafdiag.h - where the framework foundation writes its own diagnostics.
 *
 * The foundation (strings, pools, pointers, the guarded allocator ...) sits
 * below the framework log, yet a few of its failures must be reported as log
 * lines ("~CVQCAFPool: error: Element still present in pool!!!", the failure
 * lines of VqcafReportCurrentException, the leak report). They all go through
 * one printer: by default it writes the line to standard error; the framework
 * log installs its own printer when it comes up (and removes it, with a null
 * printer, when it goes down), so that these lines land in the log under the
 * base sub-module at the level given. Tests install a printer to capture them.
 *
 * Any thread may print; the printer is swapped under a lock, and a printer must
 * itself be safe to call from any thread.
 */
#ifndef VQCAFDIAG_H
#define VQCAFDIAG_H

#include <cstdarg>

#include "vqx_types.h"

namespace VQCAF {

/* Levels the foundation uses (the framework log's trace levels). */
constexpr u32 VQCAF_DIAG_LEVEL_TRACE0 = 0u;
constexpr u32 VQCAF_DIAG_LEVEL_MESSAGE = 0x7FFFFFFDu;
constexpr u32 VQCAF_DIAG_LEVEL_ERROR = 0x7FFFFFFEu;

/* One formatted line (already holding its own "\n" when it has one). */
typedef void (*PFN_VQCAF_DIAG_PRINTER)(void* pvContext, u32 un32Level, const char* pszLine);

/*
 * Installs the printer (null: back to standard error). Returns nothing; the
 * previous printer may still be running on another thread for one call.
 */
void VqcafSetDiagPrinter(PFN_VQCAF_DIAG_PRINTER pFctPrinter, void* pvContext);

/* Formats one line (printf-style, cut at 4095 characters) and prints it. */
void VqcafDiagPrintf(u32 un32Level, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void VqcafDiagVPrintf(u32 un32Level, const char* pszFormat, va_list args);

}  // namespace VQCAF

#endif
