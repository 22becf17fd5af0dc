/*
 * vqcafbuffer.h - growable byte buffer with its own mutex and counted loans
 * of its data.
 *
 * GetData lends the caller a pointer to the bytes and counts the loan (with
 * the caller's source position); ReleaseData ends it. While a loan is out,
 * nothing may move or free the bytes: an operation that would (growing past
 * the capacity, Clear, Unserialize, assignment) is refused with 0x8200000F
 * (assignment throws CVQCAFException with that code) and changes nothing.
 * Operations that keep the bytes in place (Set or SetSize within the
 * capacity) are allowed.
 *
 * Every operation holds the buffer's mutex. Allocation failures throw
 * std::bad_alloc, sizes the process cannot address std::length_error.
 *
 * As a serialisable object (Serialize / Unserialize) the buffer is a big-
 * endian u64 byte count followed by the bytes. (CVQCAFSerialize's
 * Write(CVQCAFBuffer&) uses the shorter u32 form; see vqcafserialize.h.)
 */
#ifndef VQCAFBUFFER_H
#define VQCAFBUFFER_H

#include <type_traits>

#include "vqcafdebuginfo.h"
#include "vqcafmutex.h"
#include "vqcafserialize.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQCAFBuffer : public IVQCAFSerializable {
 public:
  explicit CVQCAFBuffer(const CVQCAFDebugInfo& DebugInfo = CVQCAFDebugInfo());
  /* Copies the bytes (the new buffer has no loans). */
  CVQCAFBuffer(const CVQCAFBuffer& Other);
  /* Copies the bytes; throws CVQCAFException(0x8200000F) while this
   * buffer's data is lent. */
  CVQCAFBuffer& operator=(const CVQCAFBuffer& Other);
  /* A buffer destroyed with loans outstanding reports it (foundation
   * printer) and frees the bytes anyway. */
  ~CVQCAFBuffer() override;

  /* Replaces the content with a copy of un32Size bytes at pvData.
   * 0x82000009 for null data with a non-zero size. pvData may point into
   * this buffer's own content; 0x8200000A (nothing changes) when those
   * bytes would run past its end. */
  VQX_RESULT Set(u32 un32Size, const void* pvData);

  /* New size; with fKeep non-zero the first min(old, new) bytes stay, new
   * bytes are zero. */
  VQX_RESULT SetSize(u32 un32Size, u32 fKeep);
  VQX_RESULT SetSize(u64 un64Size, u32 fKeep);
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, u32> && !std::is_same_v<T, u64>,
                                      int> = 0>
  VQX_RESULT SetSize(T Size, u32 fKeep) {
    if constexpr (std::is_signed_v<T>) {
      if (Size < 0) return VQX_RESULT_INVALID_PARAM;
    }
    return SetSize(static_cast<u64>(Size), fKeep);
  }

  u64 GetSize();

  /* Lends the bytes (null while the buffer has never held any). */
  u8* GetData(const char* pszFile, int nLine);
  /* Ends one loan: 0x02000000; 0x8200000F when none is out. */
  VQX_RESULT ReleaseData(const char* pszFile, int nLine);
  u32 GetLendCount();

  /* Empties the buffer and frees its bytes. */
  VQX_RESULT Clear();

  /* u64 big-endian count, then the bytes. */
  VQX_RESULT Serialize(CVQCAFSerialize& Stream) override;
  /* Empties the buffer, reads the u64 count and the bytes. The bytes are
   * read in chunks as they arrive, so a count past the stream's data fails
   * with the stream's result without reserving memory for it; the buffer is
   * empty after a failure. */
  VQX_RESULT Unserialize(CVQCAFSerialize& Stream) override;
  /* 8 + the byte count (0xFFFFFFFF when that does not fit in a u32). */
  u32 SerializeSize() override;

  /* Size within capacity, bytes present when the capacity is not 0. */
  bool CheckInvariant();
  const CVQCAFDebugInfo& GetDebugInfo() const { return mDebugInfo; }

 private:
  friend class CVQCAFSerialize;
  /* Caller holds mMutex. */
  VQX_RESULT ResizeLocked(u64 un64Size, bool fKeep);
  void FreeLocked();

  CVQCAFDebugInfo mDebugInfo;
  mutable CVQCAFMutex mMutex;
  u8* mpbyData;
  u64 mun64Size;
  u64 mun64Capacity;
  u32 mun32LendCount;
  CVQCAFDebugInfo mLastLender;
};

}  // namespace VQCAF

#endif
