/*
 * sigtrace_places.h - CVQSigTracePlaces, the places of one kind of traced
 * source (the boards, the trace providers), and the sources of that kind
 * left out of the trace, for the summary's "Entities not traced".
 *
 * One rule for both kinds. So many sources are served at once; one that
 * comes while every place is taken waits, in the order they came, so many at
 * most; one more is refused for good. When a place frees, the first waiting
 * source the owner accepts takes it. A source that waits or is refused is
 * named from then until it is served (a waiting one that leaves stays named:
 * it was never traced); the owner names other sources left out for reasons of
 * its own (a provider refused for want of a group) in the same list. The
 * first 1024 names are kept, the others counted once each: a 64-bit hash of
 * each is kept (65,536 at most), so that a name given again is not counted
 * again and one named no more is taken back.
 *
 * The sources served are the owner's (its pool), which tells their number.
 * A source is known by an id of the owner's (unique among those present)
 * and named by its name and the suffix its state gives ("<name> (no place
 * among the 20 providers)"). Not thread-safe: the owner's lock serialises all
 * calls.
 */
#ifndef SIGTRACE_PLACES_H
#define SIGTRACE_PLACES_H

#include <functional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "vqx_types.h"

namespace VQCAF {

class CVQSigTracePlaces {
 public:
  enum class EVQPlace {
    Served,       /* it takes a place */
    Waiting,      /* it waits for one */
    StillWaiting, /* it came again while it waited: its turn and name kept, its tag updated */
    Refused       /* past the waiting limit: never served */
  };
  /* A source waiting: its id, its name, the owner's tag (a board's handle) and whether it is named. */
  struct SVQWaiting {
    std::string strId, strName;
    u32 un32Tag = 0;
    bool fNamed = true;
  };

  /* un32Places served at once, un32MaxWaiting waiting at most; the suffixes of the names of a source that waits
   * and of one refused for good. */
  CVQSigTracePlaces(u32 un32Places, u32 un32MaxWaiting, std::string strWaitingSuffix, std::string strRefusedSuffix);

  /* A source not served came, un32Served being served. Served (the owner serves it) when fForPlace and a place is
   * free; else it waits, the last, named when fForPlace (fForPlace false: it waits for a reason of
   * the owner's, unnamed, served only through ServeNext); else, with un32MaxWaiting waiting, it is refused and
   * named. One waiting keeps its turn (StillWaiting), its tag set to un32Tag. */
  EVQPlace Arrive(const std::string& strId, const std::string& strName, u32 un32Served, u32 un32Tag = 0,
                  bool fForPlace = true);
  /* A waiting source left: out of the queue, still named. False when it did not wait. */
  bool Leave(const std::string& strId);
  /* un32Served being served: when a place is free, the first waiting source, in the order they came, that fnTake
   * accepts (any when null) takes it (the owner serves it), no longer named; copied to *pServed (when given).
   * False when no place is free or none is accepted. */
  bool ServeNext(u32 un32Served, const std::function<bool(const SVQWaiting&)>& fnTake, SVQWaiting* pServed = nullptr);

  bool IsWaiting(const std::string& strId) const;
  const std::vector<SVQWaiting>& Waiting() const { return mvWaiting; }

  /* strName refused for a reason of the owner's: named as one refused for good. */
  void NameRefused(const std::string& strName) { NameLeftOut(strName + mstrRefusedSuffix); }
  /* Names strLeftOut among the sources left out, or no longer. Each is counted once however often it is named: the
   * first 1024 by name, the next 65,536 by hash; past those a name not known is counted at each call. */
  void NameLeftOut(const std::string& strLeftOut);
  void UnnameLeftOut(const std::string& strLeftOut);
  /* The sources left out: their number, and "a, b, ... and N more" (the first 16 named, in the names' order). */
  u32 LeftOut() const { return static_cast<u32>(mLeftOut.size() + mLeftOutHashes.size()) + mun32LeftOutMore; }
  std::string LeftOutText() const;

 private:
  /* strName takes a place: no longer named as waiting or refused. */
  void TakesPlace(const std::string& strName);

  const u32 mun32Places, mun32MaxWaiting;
  const std::string mstrWaitingSuffix, mstrRefusedSuffix;
  std::vector<SVQWaiting> mvWaiting;  /* the sources waiting, in the order they came */
  std::set<std::string> mLeftOut;         /* names of the sources left out, the first 1024 */
  std::unordered_set<u64> mLeftOutHashes; /* hashes of those named beyond them, 65,536 at most */
  u32 mun32LeftOutMore = 0;               /* names given beyond both */
};

/* The summary's names of what was not traced: the first 16 of Names, comma-separated, then "and N more" (the
 * others and un32More). */
std::string VqSigTraceFirstNamed(const std::set<std::string>& Names, u32 un32More);

}  // namespace VQCAF

#endif
