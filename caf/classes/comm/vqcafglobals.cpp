/* vqcafglobals.cpp - the globals object's slot (see vqcafglobals.h). */
#include "vqcafglobals.h"

#include <atomic>

namespace VQCAF {

namespace {
std::atomic<CVQCAFGlobals*> s_pGlobals{nullptr};
}

CVQCAFGlobals* GetGlobals() { return s_pGlobals.load(std::memory_order_acquire); }
void SetGlobals(CVQCAFGlobals* pGlobals) { s_pGlobals.store(pGlobals, std::memory_order_release); }

}  // namespace VQCAF
