/*
 * sigtrace_places.cpp - the places of one kind of traced source and the
 * sources left out (sigtrace_places.h).
 */
#include "sigtrace_places.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace VQCAF {

namespace {
/* The names kept; the others counted by their hash, so many at most. */
constexpr size_t kMaxLeftOutNamed = 1024;
constexpr size_t kMaxLeftOutHashed = 65536;
/* The names the summary gives; the others counted. */
constexpr size_t kSummaryNamed = 16;
}  // namespace

CVQSigTracePlaces::CVQSigTracePlaces(u32 un32Places, u32 un32MaxWaiting, std::string strWaitingSuffix,
                                     std::string strRefusedSuffix)
    : mun32Places(un32Places),
      mun32MaxWaiting(un32MaxWaiting),
      mstrWaitingSuffix(std::move(strWaitingSuffix)),
      mstrRefusedSuffix(std::move(strRefusedSuffix)) {}

CVQSigTracePlaces::EVQPlace CVQSigTracePlaces::Arrive(const std::string& strId, const std::string& strName,
                                                      u32 un32Served, u32 un32Tag, bool fForPlace) {
  const auto it = std::find_if(mvWaiting.begin(), mvWaiting.end(), [&](const SVQWaiting& W) { return W.strId == strId; });
  if (it != mvWaiting.end()) {
    it->un32Tag = un32Tag;
    return EVQPlace::StillWaiting;
  }
  if (fForPlace && un32Served < mun32Places) {
    TakesPlace(strName);
    return EVQPlace::Served;
  }
  if (mvWaiting.size() >= mun32MaxWaiting) {
    NameRefused(strName);
    return EVQPlace::Refused;
  }
  mvWaiting.push_back(SVQWaiting{strId, strName, un32Tag, fForPlace});
  if (fForPlace) NameLeftOut(strName + mstrWaitingSuffix);
  return EVQPlace::Waiting;
}

bool CVQSigTracePlaces::Leave(const std::string& strId) {
  return std::erase_if(mvWaiting, [&](const SVQWaiting& W) { return W.strId == strId; }) != 0;
}

bool CVQSigTracePlaces::ServeNext(u32 un32Served, const std::function<bool(const SVQWaiting&)>& fnTake,
                                  SVQWaiting* pServed) {
  if (un32Served >= mun32Places) return false;
  const auto it = std::find_if(mvWaiting.begin(), mvWaiting.end(), [&](const SVQWaiting& W) { return !fnTake || fnTake(W); });
  if (it == mvWaiting.end()) return false;
  const SVQWaiting Next = *it;
  mvWaiting.erase(it);
  TakesPlace(Next.strName);
  if (pServed != nullptr) *pServed = Next;
  return true;
}

bool CVQSigTracePlaces::IsWaiting(const std::string& strId) const {
  return std::any_of(mvWaiting.begin(), mvWaiting.end(), [&](const SVQWaiting& W) { return W.strId == strId; });
}

void CVQSigTracePlaces::TakesPlace(const std::string& strName) {
  UnnameLeftOut(strName + mstrWaitingSuffix);
  UnnameLeftOut(strName + mstrRefusedSuffix);
}

void CVQSigTracePlaces::NameLeftOut(const std::string& strLeftOut) {
  if (mLeftOut.count(strLeftOut) != 0) return;
  /* A name given beyond the kept ones is known by its hash, also once room frees among those. */
  const u64 un64Hash = std::hash<std::string>{}(strLeftOut);
  if (mLeftOutHashes.count(un64Hash) != 0) return;
  if (mLeftOut.size() < kMaxLeftOutNamed) mLeftOut.insert(strLeftOut);
  else if (mLeftOutHashes.size() < kMaxLeftOutHashed) mLeftOutHashes.insert(un64Hash);
  else mun32LeftOutMore++;
}

void CVQSigTracePlaces::UnnameLeftOut(const std::string& strLeftOut) {
  if (mLeftOut.erase(strLeftOut) == 0) mLeftOutHashes.erase(std::hash<std::string>{}(strLeftOut));
}

std::string CVQSigTracePlaces::LeftOutText() const {
  return VqSigTraceFirstNamed(mLeftOut, static_cast<u32>(mLeftOutHashes.size()) + mun32LeftOutMore);
}

std::string VqSigTraceFirstNamed(const std::set<std::string>& Names, u32 un32More) {
  std::string str;
  size_t n = 0;
  for (const std::string& s : Names)
    if (n++ < kSummaryNamed) str += (str.empty() ? "" : ", ") + s;
  const size_t nMore = Names.size() - std::min(Names.size(), kSummaryNamed) + un32More;
  if (nMore != 0) str += " and " + std::to_string(nMore) + " more";
  return str;
}

}  // namespace VQCAF
