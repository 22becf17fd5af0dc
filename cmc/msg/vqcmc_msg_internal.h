/*
 * vqcmc_msg_internal.h - what the call/media control message and attribute
 * classes share inside the client library: their failure log line and the checks of
 * received records (those of the core library's copies). Not a public header.
 */
#ifndef VQCMC_MSG_INTERNAL_H
#define VQCMC_MSG_INTERNAL_H

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vqcmc_lib_util.h"
#include "vqx_host.h"
#include "vqx_msg_element.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* "operation: text (code) file:line" at VQERR through the client singleton
 * (sub-module "CMC " when there is none). */
void VqCmcLogFailure(const char* pszOperation, const char* pszText, VQX_RESULT Result, const char* pszFile,
                     int nLine);
#define VQCMC_LOG_FAILURE(op, text, result) ::VQCAF::VqCmcLogFailure(op, text, result, __FILE__, __LINE__)

/* The core library the client singleton holds now (null without one). The attribute copies log
 * through it, never through a handle kept since the holder was made, which the library's close
 * leaves dangling: once the library is gone their lines are dropped. */
VQCMC_LIB_HANDLE VqCmcLiveLibHandle();

/* A plain line at VQERR through the client singleton (or sub-module "CMC "). */
void VqCmcLogLine(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

/*
 * A record of un32Size bytes at pvRecord that came in a message from
 * outside: 0x02000000 when it lies inside hMsg's used payload (itself within
 * the message's capacity); 0x82000009 null message or record; 0x82000004
 * otherwise.
 */
inline VQX_RESULT VqCmcCheckRecord(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size) {
  return VQCmcLibMsgCheckRecord(hMsg, pvRecord, un32Size);
}

/* The record check, then VqxMsgElementCheckSet on the set word at pvSet. */
inline VQX_RESULT VqCmcCheckRecordSet(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size, const void* pvSet) {
  const VQX_RESULT Result = VQCmcLibMsgCheckRecord(hMsg, pvRecord, un32Size);
  return VQX_RESULT_FAILED(Result) ? Result : VqxMsgElementCheckSet(hMsg, pvSet);
}

/* Bytes of a text field of un32Field bytes received from outside, up to its
 * first NUL or the field's end. Inline, 16 bytes at a time: the texts of a
 * leg are short and most end in their first block, where a call of the C
 * library's scan per field cost more than the scan. */
inline u32 VqCmcFieldLength(const char* pszField, u32 un32Field) {
  u32 un32At = 0;
#if defined(__SSE2__)
  for (; un32Field - un32At >= 16u; un32At += 16u) {
    const __m128i Block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pszField + un32At));
    const u32 un32Nuls = static_cast<u32>(_mm_movemask_epi8(_mm_cmpeq_epi8(Block, _mm_setzero_si128())));
    if (un32Nuls != 0) return un32At + static_cast<u32>(__builtin_ctz(un32Nuls));
  }
#endif
  const void* pvNul = memchr(pszField + un32At, 0, un32Field - un32At);
  return pvNul == nullptr ? un32Field : static_cast<u32>(static_cast<const char*>(pvNul) - pszField);
}

/* memcpy through the C library's vectorised copy: for records of a few hundred bytes the
 * compiler's inline expansion of a constant-size copy (a string move) costs several times more. */
void VqCmcCopyBytes(void* pDst, const void* pSrc, size_t nBytes);

}  // namespace VQCAF

#endif
