/*
 * vqcmc_msg_internal.h - what the call/media control message and attribute
 * classes share inside caf: their failure log line and the checks of
 * received records. Not a public header.
 */
#ifndef VQCMC_MSG_INTERNAL_H
#define VQCMC_MSG_INTERNAL_H

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

/* A plain line at VQERR through the client singleton (or sub-module "CMC "). */
void VqCmcLogLine(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

/*
 * A record of un32Size bytes at pvRecord that came in a message from
 * outside: 0x02000000 when it lies inside hMsg's used payload (itself within
 * the message's capacity); 0x82000009 null message or record; 0x82000004
 * otherwise.
 */
VQX_RESULT VqCmcCheckRecord(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size);

/* The record check, then VqxMsgElementCheckSet on the set word at pvSet. */
VQX_RESULT VqCmcCheckRecordSet(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size, const void* pvSet);

/*
 * Copies a whole attribute record of un32Size bytes from pSrc to pDst in
 * hDstMsg, then duplicates each of its sets (byte offsets in the record) into hDstMsg, element by element (pfnCopy as VQXMsgElementDupSet's,
 * null for plain bytes). With hSrcMsg the record must lie in its used
 * payload and every set pass VqxMsgElementCheckSet (refused, logged, nothing
 * written); overlapping records 0x8200000A; without it the source is one of our own holders. This is the
 * one place an attribute's whole copy is made until the core library offers
 * its own copies. 0x82000009 null destination or source.
 */
VQX_RESULT VqCmcCopyRecord(VQX_MSG_HANDLE hSrcMsg, const void* pSrc, u32 un32Size, const u32* paun32Sets, u32 un32NbSets,
                           VQX_MSG_HANDLE hDstMsg, void* pDst, const char* pszOperation,
                           PFN_VQX_MSG_ELEMENT_COPY pfnCopy = nullptr, void* pvContext = nullptr);

/* Bytes of a text field of un32Field bytes received from outside, up to its
 * first NUL or the field's end. */
u32 VqCmcFieldLength(const char* pszField, u32 un32Field);

}  // namespace VQCAF

#endif
