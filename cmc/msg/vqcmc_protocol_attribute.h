/*
 * vqcmc_protocol_attribute.h - CVQCMC_PROTOCOL_ATTRIBUTE, the signalling
 * part of a call/media control command or notification: SIP data (status,
 * supplementary-information transaction id, headers, single-part or
 * multipart body) or one SS7, ISDN or CAS element, plus the generic headers
 * (user-to-user information, extra numbers, charge number, SS7 raw data).
 *
 * Model. An element-set holder (vqcmc_msgset.h): the 128-byte record and
 * every element live in the holder's own message, so that CopyTo puts the
 * whole attribute into a command with one call. The first protocol content
 * written or copied in fixes the protocol: SIP setters then refuse another
 * protocol (0x82000004, the "SIP gate"), a second protocol element is
 * refused (0x82000013). SIP headers and bodies are SIP/SDP information
 * elements (vq500_sip_ie_records.h); copies go through that library's
 * record copies with the bytes as stored on this host.
 * Results: 0x02000000; 0x82000004 another protocol (or not SIP, for the
 * header copies); 0x82000013 a second protocol element, a second single-
 * part body, a missing or wrong Content-Type or boundary, CopyFrom twice;
 * 0x82000015 not found; 0x82000011 header already present; 0x8200000A an
 * element larger than a set holds (refused before anything is written);
 * 0x82000014 an empty holder; element-library results passed through.
 * Log lines go to the client singleton at VQERR.
 * Threads: one thread at a time.
 */
#ifndef VQCMC_PROTOCOL_ATTRIBUTE_H
#define VQCMC_PROTOCOL_ATTRIBUTE_H

#include "vqcafptr.h"
#include "vqcmc_generic_headers.h"
#include "vqcmc_msgset.h"

namespace VQCAF {

class CVQCMC_PROTOCOL_ATTRIBUTE : public CVQCMCMsgset<_VQCMC_PROTOCOL_ATTRIBUTE> {
 public:
  /* 4096 bytes of element room; nothing set. */
  CVQCMC_PROTOCOL_ATTRIBUTE() = default;
  /* Room 4096, or with fExactRoom the source's used length less the record
   * (never below 0: an empty source gives an empty copy); then assignment. */
  CVQCMC_PROTOCOL_ATTRIBUTE(const CVQCMC_PROTOCOL_ATTRIBUTE& Src, unsigned int fExactRoom);
  /* Takes the source's flag and copies its record and elements in. What it
   * cannot do is logged (VQERR, "CVQCMC_PROTOCOL_ATTRIBUTE::operator=: ...")
   * and leaves this attribute as it was: an empty holder on either side, a
   * source whose elements would not fit the room left here, a failed copy. */
  CVQCMC_PROTOCOL_ATTRIBUTE& operator=(const CVQCMC_PROTOCOL_ATTRIBUTE& Src);

  /* The record and its elements into pDst in hDstMsg; the protocol part only
   * once protocol content has been set. */
  VQX_RESULT CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pDst) const;
  /* A received attribute (record and every set checked against hSrcMsg)
   * into this holder, once. It takes the message beside the record: the
   * record alone could not be checked against what the message holds. */
  VQX_RESULT CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_PROTOCOL_ATTRIBUTE* pSrc);

  /* SIP: on first use status 200, byte 0, transaction id 0xC0000001. Gives
   * the message and the header set to add SIP headers to. */
  VQX_RESULT InitSipHeaders(VQX_MSG_HANDLE* phMsg, VQXMsgElementSet** ppSet);
  VQX_RESULT SetSipStatusCode(unsigned short un16Code, unsigned char un8Arg);
  VQX_RESULT SetSipSuppInfoTransId(unsigned int un32TransId);
  /* One raw body of un32Length bytes (1..65535) into pBody (null: the
   * attribute's own body). */
  VQX_RESULT SetSinglePartSipRawBody(const unsigned char* pbyData, unsigned int un32Length, SipBodyIe* pBody = nullptr);
  /* The text without its NUL. */
  VQX_RESULT SetSinglePartSipBody(const char* pszText, SipBodyIe* pBody = nullptr);
  /* One more 92-byte part; the own body needs a multipart/mixed Content-Type
   * header with a boundary parameter among the SIP headers. */
  VQX_RESULT AddMultiPartSipBody(VQX_MSG_HANDLE* phMsg, SipBodyMultiPartIe** ppPart, SipBodyIe* pBody = nullptr);
  /* A part with an empty single-part body and Content-Type application/sdp. */
  VQX_RESULT AddMultiPartSipAutomaticSDP(VQX_MSG_HANDLE* phMsg, SipBodyMultiPartIe** ppPart, SipBodyIe* pBody = nullptr);

  /* One header of Src's SIP headers copied into this attribute's. */
  VQX_RESULT CopySipPrivacyHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src);
  VQX_RESULT CopySipPPreferredIdHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src);
  VQX_RESULT CopySipPAssertedIdHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src);
  VQX_RESULT CopySipRPIDPrivacyHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src);
  VQX_RESULT CopySipRemotePartyIdHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src);

  /* The one ISDN / SS7 element (1..65535 bytes). */
  VQX_RESULT SetIsdnIe(unsigned int un32Length, const unsigned char* pbyData);
  VQX_RESULT SetSS7Ie(unsigned int un32Length, const unsigned char* pbyData);

  /* Generic headers. Charge number: the first type-2 element is rewritten or one added. */
  VQX_RESULT SetChargeNumber(unsigned char un8Value1, unsigned char un8Value2);
  VQX_RESULT GetChargeNumber(unsigned char& un8Value1, unsigned char& un8Value2);
  /* Each adds one more element. */
  VQX_RESULT SetUui(CVQCMCUserToUserInfo& Uui);
  VQX_RESULT SetExtraNumber(CVQCMCExtraNumber& Number);
  VQX_RESULT SetSs7RawData(CVQCMCSs7RawData& Data);
  /* The first element of the kind (an extra number of that number type);
   * a miss clears the object (empties the pointer) and gives 0x82000015. */
  VQX_RESULT GetUui(CVQCMCUserToUserInfo& Uui);
  VQX_RESULT GetSs7RawData(CVQCMCSs7RawData& Data);
  VQX_RESULT GetExtraNumber(_VQCMC_PROTOCOL_NUMBER_TYPE Type, CVQCMCExtraNumber& Number);
  VQX_RESULT GetUui(CVQCAFPtr<CVQCMCUserToUserInfo>* ppUui);
  VQX_RESULT GetSs7RawData(CVQCAFPtr<CVQCMCSs7RawData>* ppData);
  VQX_RESULT GetExtraNumber(_VQCMC_PROTOCOL_NUMBER_TYPE Type, CVQCAFPtr<CVQCMCExtraNumber>* ppNumber);

 private:
  bool SipGate(const char* pszText);
  void MarkSip();
  VQX_RESULT CopySipHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src, u32 un32Type, u16 un16Size,
                           i32 (*pfnCopy)(const IeCopyContext*, const void*, void*, void*));
  VQX_RESULT SetProtocolIe(u32 un32Type, u32 un32Length, const u8* pbyData, const char* pszName);
  /* First generic header of that type (and, for extra numbers, number type), or null. */
  u8* FindGenericHeader(u32 un32Type, u32 un32MinSize, const u32* pun32NumberType = nullptr);
};

}  // namespace VQCAF

#endif
