/*
 * vqcafbuffer.cpp - CVQCAFBuffer: bytes, capacity, loans, and its u64-length
 * serialised form.
 */
#include "vqcafbuffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "vqcafdiag.h"
#include "vqcafexception.h"

namespace VQCAF {

namespace {

/* Largest buffer we try to hold: beyond it sizes cannot be addressed. */
constexpr u64 MAX_BUFFER_SIZE = static_cast<u64>(SIZE_MAX) / 2u;

}  // namespace

CVQCAFBuffer::CVQCAFBuffer(const CVQCAFDebugInfo& DebugInfo)
    : mDebugInfo(DebugInfo), mpbyData(nullptr), mun64Size(0), mun64Capacity(0), mun32LendCount(0) {}

CVQCAFBuffer::CVQCAFBuffer(const CVQCAFBuffer& Other)
    : IVQCAFSerializable(), mDebugInfo(Other.mDebugInfo), mpbyData(nullptr), mun64Size(0), mun64Capacity(0),
      mun32LendCount(0) {
  CVQCAFMutexAutoGetGive Lock(&Other.mMutex);
  ResizeLocked(Other.mun64Size, false);
  if (Other.mun64Size != 0) memcpy(mpbyData, Other.mpbyData, Other.mun64Size);
}

CVQCAFBuffer& CVQCAFBuffer::operator=(const CVQCAFBuffer& Other) {
  if (this == &Other) return *this;
  /* A copy first, so that the two locks are never held together. */
  CVQCAFBuffer Copy(Other);
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mun32LendCount != 0) throw CVQCAFException("CVQCAFBuffer: assignment while the data is lent", VQX_RESULT_INVALID_STATE);
  FreeLocked();
  mpbyData = Copy.mpbyData;
  mun64Size = Copy.mun64Size;
  mun64Capacity = Copy.mun64Capacity;
  Copy.mpbyData = nullptr;
  Copy.mun64Size = 0;
  Copy.mun64Capacity = 0;
  return *this;
}

CVQCAFBuffer::~CVQCAFBuffer() {
  if (mun32LendCount != 0) {
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR,
                    "~CVQCAFBuffer: buffer created at %s:%d destroyed with %u loan(s) of its data outstanding "
                    "(last GetData at %s:%d)\n",
                    mDebugInfo.GetFile(), mDebugInfo.GetLine(), mun32LendCount, mLastLender.GetFile(),
                    mLastLender.GetLine());
  }
  FreeLocked();
}

VQX_RESULT CVQCAFBuffer::Set(u32 un32Size, const void* pvData) {
  if (pvData == nullptr && un32Size != 0) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  /* pvData may point into our own bytes: a resize without keeping could
   * free them, so copy through a temporary block when they overlap. */
  const u8* pSrc = static_cast<const u8*>(pvData);
  if (pSrc != nullptr && mpbyData != nullptr && pSrc >= mpbyData && pSrc < mpbyData + mun64Capacity) {
    /* Bytes from inside our block must end inside it too: anything longer
     * would be read past the block (and written past it). */
    if (pSrc > mpbyData + mun64Size || un32Size > static_cast<u64>(mpbyData + mun64Size - pSrc)) {
      return VQX_RESULT_INVALID_PARAM;
    }
    memmove(mpbyData, pSrc, un32Size);
    mun64Size = un32Size;
    return VQX_RESULT_OK;
  }
  VQX_RESULT un32Result = ResizeLocked(un32Size, false);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  if (un32Size != 0) memcpy(mpbyData, pvData, un32Size);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFBuffer::SetSize(u32 un32Size, u32 fKeep) { return SetSize(static_cast<u64>(un32Size), fKeep); }

VQX_RESULT CVQCAFBuffer::SetSize(u64 un64Size, u32 fKeep) {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return ResizeLocked(un64Size, fKeep != 0);
}

u64 CVQCAFBuffer::GetSize() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return mun64Size;
}

u8* CVQCAFBuffer::GetData(const char* pszFile, int nLine) {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  ++mun32LendCount;
  mLastLender = CVQCAFDebugInfo(pszFile, nLine);
  return mpbyData;
}

VQX_RESULT CVQCAFBuffer::ReleaseData(const char* pszFile, int nLine) {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mun32LendCount == 0) {
    return VqcafReportFailure("CVQCAFBuffer::ReleaseData", "No loan of the data is outstanding",
                              VQX_RESULT_INVALID_STATE, pszFile, nLine);
  }
  --mun32LendCount;
  return VQX_RESULT_OK;
}

u32 CVQCAFBuffer::GetLendCount() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return mun32LendCount;
}

VQX_RESULT CVQCAFBuffer::Clear() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mun32LendCount != 0) return VQX_RESULT_INVALID_STATE;
  FreeLocked();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFBuffer::Serialize(CVQCAFSerialize& Stream) {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  VQX_RESULT un32Result = Stream.Write(mun64Size);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  /* The byte level takes u32 counts. */
  u64 un64Done = 0;
  while (un64Done < mun64Size) {
    u64 un64Left = mun64Size - un64Done;
    u32 un32Chunk = un64Left > 0x80000000u ? 0x80000000u : static_cast<u32>(un64Left);
    un32Result = Stream.Write(un32Chunk, mpbyData + un64Done);
    if (VQX_RESULT_FAILED(un32Result)) return un32Result;
    un64Done += un32Chunk;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFBuffer::Unserialize(CVQCAFSerialize& Stream) {
  {
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    if (mun32LendCount != 0) return VQX_RESULT_INVALID_STATE;
    FreeLocked();
  }
  u64 un64Count = 0;
  VQX_RESULT un32Result = Stream.Read(un64Count);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  if (un64Count > MAX_BUFFER_SIZE) return VQX_RESULT_OUT_OF_RANGE;
  return Stream.ReadIntoBuffer(un64Count, *this);
}

u32 CVQCAFBuffer::SerializeSize() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  u64 un64Size = 8u + mun64Size;
  return un64Size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<u32>(un64Size);
}

bool CVQCAFBuffer::CheckInvariant() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mun64Size > mun64Capacity) return false;
  if ((mun64Capacity != 0) != (mpbyData != nullptr)) return false;
  return true;
}

VQX_RESULT CVQCAFBuffer::ResizeLocked(u64 un64Size, bool fKeep) {
  if (un64Size > MAX_BUFFER_SIZE) throw std::length_error("CVQCAFBuffer: size too large");
  if (un64Size <= mun64Capacity) {
    if (fKeep && un64Size > mun64Size) memset(mpbyData + mun64Size, 0, un64Size - mun64Size);
    mun64Size = un64Size;
    return VQX_RESULT_OK;
  }
  if (mun32LendCount != 0) return VQX_RESULT_INVALID_STATE;
  /* Growing while keeping (a stream filling us chunk by chunk): double, so
   * that the copies stay linear. */
  u64 un64Capacity = un64Size;
  if (fKeep && mun64Capacity * 2u > un64Capacity && mun64Capacity * 2u <= MAX_BUFFER_SIZE) {
    un64Capacity = mun64Capacity * 2u;
  }
  u8* pNew = static_cast<u8*>(malloc(static_cast<size_t>(un64Capacity)));
  if (pNew == nullptr) throw std::bad_alloc();
  if (fKeep) {
    if (mun64Size != 0) memcpy(pNew, mpbyData, mun64Size);
    memset(pNew + mun64Size, 0, un64Size - mun64Size);
  }
  free(mpbyData);
  mpbyData = pNew;
  mun64Capacity = un64Capacity;
  mun64Size = un64Size;
  return VQX_RESULT_OK;
}

void CVQCAFBuffer::FreeLocked() {
  free(mpbyData);
  mpbyData = nullptr;
  mun64Size = 0;
  mun64Capacity = 0;
}

}  // namespace VQCAF
