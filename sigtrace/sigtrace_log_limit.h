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
 * caller), kept in first-use order. Each line may name who it is about (a
 * provider): those whose lines were left out are named with the count. */
class CVQSigTraceLogLimits {
 public:
  /* Names listed with a count; the others are counted ("and N more"). */
  static constexpr size_t kMaxNames = 8;

  /* CVqxLogLimit::Allow of the kind pszKind. A line left out notes pszWho
   * (when given); a line allowed takes, in *pstrWho (when given), the names
   * of those left out since the last one ("a, b and N more", "" for none). */
  bool Allow(const char* pszKind, u64 un64NowMs, u32& un32LeftOut, const char* pszWho = nullptr,
             std::string* pstrWho = nullptr) {
    SKind& k = Of(pszKind);
    if (!k.Limit.Allow(un64NowMs, un32LeftOut)) {
      if (pszWho != nullptr) k.Note(pszWho);
      return false;
    }
    const std::string strWho = k.TakeNames();
    if (pstrWho != nullptr) *pstrWho = strWho;
    return true;
  }
  /* fn(kind, count, names) for each kind with lines left out whose period is
   * over, or (fAll) for every kind with lines left out; their counts start again. */
  template <class F>
  void TakeDue(u64 un64NowMs, bool fAll, F&& fn) {
    for (SKind& k : maKinds) {
      u32 un32LeftOut = k.Limit.TakeDue(un64NowMs);
      if (fAll && un32LeftOut == 0 && k.Limit.LeftOut() != 0)
        un32LeftOut = std::exchange(k.Limit, CVQSigTraceLogLimit()).LeftOut();
      if (un32LeftOut != 0) {
        const std::string strWho = k.TakeNames();
        fn(k.strKind.c_str(), un32LeftOut, strWho.c_str());
      }
    }
  }

 private:
  struct SKind {
    std::string strKind;
    CVQSigTraceLogLimit Limit;
    std::vector<std::string> aNames; /* distinct, first kMaxNames */
    u32 un32MoreNames = 0;           /* distinct or not, beyond them */
    void Note(const char* pszWho) {
      for (const std::string& s : aNames)
        if (s == pszWho) return;
      if (aNames.size() < kMaxNames) aNames.emplace_back(pszWho);
      else ++un32MoreNames;
    }
    std::string TakeNames() {
      std::string str;
      for (const std::string& s : aNames) str += (str.empty() ? "" : ", ") + s;
      if (un32MoreNames != 0) str += " and " + std::to_string(un32MoreNames) + " more";
      aNames.clear();
      un32MoreNames = 0;
      return str;
    }
  };
  SKind& Of(const char* pszKind) {
    for (SKind& k : maKinds)
      if (k.strKind == pszKind) return k;
    maKinds.push_back(SKind{pszKind, CVQSigTraceLogLimit(), {}, 0});
    return maKinds.back();
  }
  std::vector<SKind> maKinds;
};

}  // namespace VQCAF

#endif
