/*
 * vqcaflogtrace.cpp - the three LogTrace forms of CVQCAFLogTrace.
 *
 * The variadic form filters before it touches its arguments, so a line that
 * its sub-module's level hides costs one virtual call and one atomic load.
 */
#include "vqcaflogtrace.h"

#include "vqcaflog.h"

namespace VQCAF {

void CVQCAFLogTrace::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) {
  if (!IsLogTraceEnabled(mSubModId, Level)) return;
  _VQX_VA_LIST args;
  va_start(args, pszFormat);
  LogTrace(Level, pszFormat, args);
  va_end(args);
}

void CVQCAFLogTrace::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args) {
  LogTrace(Level, nullptr, 0, pszFormat, args);
}

void CVQCAFLogTrace::LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                              _VQX_VA_LIST& args) {
  SubModLogTraceV(mSubModId, Level, apszPrefix, un32Count, pszFormat, args);
}

}  // namespace VQCAF
