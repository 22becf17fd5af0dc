/*
 * vqcmc_join_list.h - the intrusive list through which a leg or a mixer
 * walks its join records without a pool lookup.
 *
 * Model. A join record sits in one list of each of its two entities, so it
 * carries one link per list (a member of type CVQCMCJoinLink<R>); a list is
 * bound at compile time to the member its records chain through. Lists hold
 * plain record pointers, no references: the record's pool keeps it alive
 * while it is listed. A list keeps the order in which records were appended.
 * Threads: none inside; every change and every walk runs under the class
 * mutex of the record kind (a leg's joins under the leg join mutex, a
 * mixer's under the mixer join mutex).
 */
#ifndef VQCMC_JOIN_LIST_H
#define VQCMC_JOIN_LIST_H

#include <atomic>
#include <vector>

#include "vqx_types.h"

namespace VQCAF {

/* Membership of a record in one list: its owner (null while in none) and neighbours. */
template <class R>
struct CVQCMCJoinLink {
  const void* pOwner = nullptr;
  R* pPrev = nullptr;
  R* pNext = nullptr;
};

template <class R, CVQCMCJoinLink<R> R::*pmLink>
class CVQCMCJoinList {
 public:
  /* Appends p after the tail; a record already in this list is moved to the
   * end. False (nothing done) for null or a record owned by another list. */
  bool Append(R* p) {
    if (p == nullptr) return false;
    CVQCMCJoinLink<R>& L = p->*pmLink;
    if (L.pOwner == this) Remove(p);
    if (L.pOwner != nullptr) return false;
    L.pOwner = this;
    L.pPrev = mpTail;
    L.pNext = nullptr;
    if (mpTail != nullptr) (mpTail->*pmLink).pNext = p;
    else mpHead = p;
    mpTail = p;
    mun32Count++;
    return true;
  }
  /* Unlinks p; false (nothing done) when p is not in this list. */
  bool Remove(R* p) {
    if (p == nullptr || (p->*pmLink).pOwner != this) return false;
    CVQCMCJoinLink<R>& L = p->*pmLink;
    if (L.pPrev != nullptr) (L.pPrev->*pmLink).pNext = L.pNext;
    else mpHead = L.pNext;
    if (L.pNext != nullptr) (L.pNext->*pmLink).pPrev = L.pPrev;
    else mpTail = L.pPrev;
    L = CVQCMCJoinLink<R>{};
    mun32Count--;
    return true;
  }
  bool Contains(const R* p) const { return p != nullptr && (p->*pmLink).pOwner == this; }
  u32 GetCount() const { return mun32Count; }
  R* First() const { return mpHead; }
  static R* Next(const R* p) { return (p->*pmLink).pNext; }
  /* The records in list order, appended to a (the snapshot a walk uses, so
   * that the walk survives changes made while it runs). */
  void Snapshot(std::vector<R*>& a) const {
    for (R* p = mpHead; p != nullptr; p = Next(p)) a.push_back(p);
  }
  /* Invariant: the links chain head to tail both ways, all owned, count matching. */
  bool Check() const {
    u32 n = 0;
    const R* pPrev = nullptr;
    for (const R* p = mpHead; p != nullptr; pPrev = p, p = Next(p), n++) {
      if ((p->*pmLink).pOwner != this || (p->*pmLink).pPrev != pPrev || n > mun32Count) return false;
    }
    return n == mun32Count && pPrev == mpTail;
  }

 private:
  R* mpHead = nullptr;
  R* mpTail = nullptr;
  u32 mun32Count = 0;
};

/*
 * Pins: what keeps a joined leg or mixer from going to its free listener
 * while another object's thread uses it. A done callback of a join may go to
 * the peer, or hand the peer to the application, on the thread of the object
 * that received the message; the peer may be freed on its own thread at that
 * moment. The pin is taken under the record's class mutex while the record
 * still names the peer (a leg or mixer drops its records only after its free
 * listener was called), and the free check waits for the pins to be given
 * back before it hands the object over, then refuses new ones: a peer being
 * freed is not called.
 */
class CVQCMCPins {
 public:
  /* One more pin; false once the object went (or goes) to its free listener. */
  bool Take() {
    u32 n = mun32State.load();
    do {
      if ((n & kFreeing) != 0) return false;
    } while (!mun32State.compare_exchange_weak(n, n + 1));
    return true;
  }
  void Give() {
    mun32State.fetch_sub(1);
    mun32State.notify_all();
  }
  /* Waits until no pin is held, then refuses new pins (again on a second free check). */
  void CloseForFree() {
    u32 n = mun32State.load();
    for (;;) {
      if ((n & ~kFreeing) != 0) {
        mun32State.wait(n);
        n = mun32State.load();
      } else if (mun32State.compare_exchange_weak(n, n | kFreeing)) {
        return;
      }
    }
  }

 private:
  static constexpr u32 kFreeing = 0x80000000u;
  std::atomic<u32> mun32State{0};
};

/* A leg or mixer pinned for the length of a scope: null when none was given or
 * it is being freed. The object this thread is handling needs no pin (pSelf):
 * it is freed only at the end of its own message. */
template <class T>
class CVQCMCPinned {
 public:
  CVQCMCPinned() = default;
  ~CVQCMCPinned() {
    if (mfPinned) mp->mCallPins.Give();
  }
  CVQCMCPinned(const CVQCMCPinned&) = delete;
  CVQCMCPinned& operator=(const CVQCMCPinned&) = delete;
  /* Once, under the record's class mutex. */
  void Pin(T* p, const T* pSelf) {
    mp = p;
    mfPinned = p != nullptr && p != pSelf;
    if (mfPinned && !p->mCallPins.Take()) mp = nullptr, mfPinned = false;
  }
  T* Get() const { return mp; }

 private:
  T* mp = nullptr;
  bool mfPinned = false;
};

}  // namespace VQCAF

#endif
