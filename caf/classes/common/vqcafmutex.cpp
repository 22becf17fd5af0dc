/*
 * vqcafmutex.cpp - CVQCAFMutex over the utility library's recursive,
 * priority-inheriting mutex, and its scoped guards.
 */
#include "vqcafmutex.h"

#include "vqcafexception.h"

namespace VQCAF {

CVQCAFMutex::CVQCAFMutex() : CVQCAFMutex(true) {}

CVQCAFMutex::CVQCAFMutex(bool fPriorityInherit) : mhMutex(nullptr) {
  VQX_RESULT un32Result = fPriorityInherit ? VqxMutexCreate(&mhMutex) : VqxMutexCreatePlain(&mhMutex);
  if (VQX_RESULT_FAILED(un32Result)) throw CVQCAFException("Failed to create mutex", un32Result);
}

CVQCAFMutex::~CVQCAFMutex() {
  if (mhMutex != nullptr) VqxMutexDestroy(mhMutex);
}

VQX_RESULT CVQCAFMutex::Get() { return VqxMutexGet(mhMutex); }

VQX_RESULT CVQCAFMutex::Give() { return VqxMutexGive(mhMutex); }

u32 CVQCAFMutex::GetHeldCount() const { return VqxMutexHeldCount(mhMutex); }

u32 CVQCAFMutex::GiveAll() {
  u32 un32Levels = VqxMutexHeldCount(mhMutex);
  for (u32 i = 0; i < un32Levels; ++i) VqxMutexGive(mhMutex);
  return un32Levels;
}

void CVQCAFMutex::GetCount(u32 un32Count) {
  for (u32 i = 0; i < un32Count; ++i) VqxMutexGet(mhMutex);
}

VQX_RESULT CVQCAFMutexGetPrivate(CVQCAFMutex* pMutex, const char* /*pszFile*/, int /*nLine*/) {
  if (pMutex == nullptr) return VQX_RESULT_OK;
  return pMutex->Get();
}

VQX_RESULT CVQCAFMutexGivPrivate(CVQCAFMutex* pMutex, const char* pszFile, int nLine) {
  if (pMutex == nullptr) return VQX_RESULT_OK;
  VQX_RESULT un32Result = pMutex->Give();
  if (VQX_RESULT_FAILED(un32Result)) {
    VqcafReportFailure("CVQCAFMutexGivPrivate", "Mutex given back by a thread that does not hold it", un32Result,
                       pszFile, nLine);
  }
  return un32Result;
}

CVQCAFMutexAutoGetGive::CVQCAFMutexAutoGetGive(CVQCAFMutex* pMutex) : mpMutex(pMutex) {
  if (mpMutex != nullptr) mpMutex->Get();
}

CVQCAFMutexAutoGetGive::~CVQCAFMutexAutoGetGive() {
  if (mpMutex != nullptr) mpMutex->Give();
}

CVQCAFMutexAutoGiveGet::CVQCAFMutexAutoGiveGet(CVQCAFMutex* pMutex) : mpMutex(pMutex), mun32Levels(0) {
  if (mpMutex != nullptr) mun32Levels = mpMutex->GiveAll();
}

CVQCAFMutexAutoGiveGet::~CVQCAFMutexAutoGiveGet() {
  if (mpMutex != nullptr) mpMutex->GetCount(mun32Levels);
}

CVQCAFMutex* GetGlobalMutex() {
  /* Made on first use and never destroyed: objects held by CVQCAFPtr in
   * statics may be released after every other static is gone. */
  static CVQCAFMutex* s_pGlobalMutex = new CVQCAFMutex();
  return s_pGlobalMutex;
}

}  // namespace VQCAF
