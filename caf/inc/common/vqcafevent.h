/*
 * vqcafevent.h - the event a framework thread receives on its queue.
 *
 * An event is a 32-bit id chosen by whoever posts it; what it means is the
 * business of the receiving thread's OnEvent. Events travel by value through
 * the thread's CVQCAFPipe, so the poster keeps nothing alive for the receiver
 * and the receiver owns nothing it must give back.
 */
#ifndef VQCAFEVENT_H
#define VQCAFEVENT_H

#include "vqx_types.h"

namespace VQCAF {

class CVQCAFEvent {
 public:
  CVQCAFEvent() = default;
  explicit CVQCAFEvent(u32 un32Id) : mun32Id(un32Id) {}

  u32 GetId() const { return mun32Id; }
  void SetId(u32 un32Id) { mun32Id = un32Id; }

  bool operator==(const CVQCAFEvent& Other) const { return mun32Id == Other.mun32Id; }

 private:
  u32 mun32Id = 0;
};

}  // namespace VQCAF

#endif
