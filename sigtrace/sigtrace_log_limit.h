/*
 * sigtrace_log_limit.h - one repeated log line kept to once a period: a
 * group's "records lost" line while its disk is full, the refusal of one
 * kind of malformed unit, a kind of refused provider message. The limit
 * itself is the utility library's (vqx_log_limit.h), shared with the host
 * library and the gateway transport.
 *
 * Times are the owner's clock in milliseconds (injectable in tests). Not
 * thread-safe: the owner's lock serialises all calls.
 */
#ifndef SIGTRACE_LOG_LIMIT_H
#define SIGTRACE_LOG_LIMIT_H

#include <string>
#include <utility>
#include <vector>

#include "vqx_log_limit.h"

namespace VQCAF {

using CVQSigTraceLogLimit = ::CVqxLogLimit;

/* One limit per kind of line, a kind named by its text: a flood of one kind
 * never hides the first line of another. Few kinds (each a literal of the
 * caller), kept in first-use order. */
class CVQSigTraceLogLimits {
 public:
  /* CVqxLogLimit::Allow of the kind pszKind. */
  bool Allow(const char* pszKind, u64 un64NowMs, u32& un32LeftOut) { return Of(pszKind).Allow(un64NowMs, un32LeftOut); }
  /* fn(kind, count) for each kind with lines left out whose period is over,
   * or (fAll) for every kind with lines left out; their counts start again. */
  template <class F>
  void TakeDue(u64 un64NowMs, bool fAll, F&& fn) {
    for (auto& [strKind, Limit] : maLimits) {
      u32 un32LeftOut = Limit.TakeDue(un64NowMs);
      if (fAll && un32LeftOut == 0 && Limit.LeftOut() != 0) un32LeftOut = std::exchange(Limit, CVQSigTraceLogLimit()).LeftOut();
      if (un32LeftOut != 0) fn(strKind.c_str(), un32LeftOut);
    }
  }

 private:
  CVQSigTraceLogLimit& Of(const char* pszKind) {
    for (auto& [strKind, Limit] : maLimits)
      if (strKind == pszKind) return Limit;
    return maLimits.emplace_back(pszKind, CVQSigTraceLogLimit()).second;
  }
  std::vector<std::pair<std::string, CVQSigTraceLogLimit>> maLimits;
};

}  // namespace VQCAF

#endif
