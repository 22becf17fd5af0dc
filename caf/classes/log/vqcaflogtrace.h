/*
 * vqcaflogtrace.h - the base that gives a class its log sub-module.
 *
 * A class derives from CVQCAFLogTrace with its sub-module and logs with
 * LogTrace(level, format, ...). The three forms are virtual and each lower
 * form is reached through the next one, so a class that overrides the last
 * (prefix) form, for instance to put its own name in front of every line,
 * sees every line it logs. The line is filtered by the sub-module's level
 * before anything is formatted (vqcaflog.h).
 */
#ifndef VQCAFLOGTRACE_H
#define VQCAFLOGTRACE_H

#include "vqcaflogtypes.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQCAFLogTrace {
 public:
  explicit CVQCAFLogTrace(_VQCAF_SUBMODULE_TYPE SubMod) : mSubModId(SubMod) {}
  virtual ~CVQCAFLogTrace() = default;

  /* printf-style line; goes to the argument-list form. */
  virtual void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
  /* Goes to the prefix form with no prefix. */
  virtual void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args);
  /* Puts the un32Count texts of apszPrefix in front of the formatted text
   * and logs the line under this object's sub-module. */
  virtual void LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                        _VQX_VA_LIST& args);

  _VQCAF_SUBMODULE_TYPE GetLogSubModId() const { return mSubModId; }

 protected:
  _VQCAF_SUBMODULE_TYPE mSubModId;
};

}  // namespace VQCAF

#endif
