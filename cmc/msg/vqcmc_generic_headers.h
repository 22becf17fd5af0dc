/*
 * vqcmc_generic_headers.h - the generic headers of a protocol attribute as
 * value objects: user-to-user information, SS7 raw data and an extra number.
 *
 * Model. A protocol attribute payload keeps a list of generic headers in the
 * element set at its offset 8; each is a typed element (records in
 * vqcmc_attr_records.h) whose own set holds the bytes or the digits. These
 * classes read one such element from a received message (Assign, checked
 * against that message), hold its content, and insert themselves into the
 * list of a protocol attribute being built (InsertAsGenericHeader). A
 * received element is taken with the message it came in, by the constructor
 * (message, element) or Assign(message, element), in place of a constructor
 * or an assignment from the element alone, which could not check the element
 * and its set against the bytes the message holds.
 * Over-long data is cut to its limit when inserted (2048 bytes of user-to-
 * user information, 300 of SS7 raw data), logged, and the object keeps the
 * cut data. Log lines go to the framework log at VQERR.
 * Threads: an object is used by one thread at a time.
 * Results: 0x02000000 success; element allocation failures are returned as
 * the element library gives them (nothing of the header is left behind
 * then); 0x82000009 null arguments.
 */
#ifndef VQCMC_GENERIC_HEADERS_H
#define VQCMC_GENERIC_HEADERS_H

#include "vqcafbuffer.h"
#include "vqcafstring.h"
#include "vqcmc_attr_records.h"
#include "vqx_host.h"

/* The protocol attribute payload (its record lives with the core library's). */
struct _VQCMC_PROTOCOL_ATTRIBUTE;

namespace VQCAF {

class CVQCMCUserToUserInfo {
 public:
  CVQCMCUserToUserInfo() = default;
  CVQCMCUserToUserInfo(const CVQCMCUserToUserInfo&) = default;
  CVQCMCUserToUserInfo& operator=(const CVQCMCUserToUserInfo&) = default;
  /* From a received element (Assign). */
  CVQCMCUserToUserInfo(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_UUI_DATA& Element);
  virtual ~CVQCMCUserToUserInfo() = default;

  /*
   * Clears, then takes the bytes of an element of type 0 whose data set
   * holds exactly one element of non-zero size (anything else leaves the
   * object empty; 0x02000000). The element must lie in hMsg's used payload
   * and its set pass the element library's check: otherwise the check's code
   * (0x82000004, 0x82000010, ...) is returned and logged, the object empty.
   */
  VQX_RESULT Assign(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_UUI_DATA& Element);

  void Clear();
  CVQCAFBuffer& GetUuiData() { return mUuiData; }
  /* Clears the string, then gives it the raw bytes when there are any. */
  void GetUuiData(CVQCAFString& strData);
  /* Null clears; otherwise the buffer becomes a copy. */
  void SetUuiData(CVQCAFBuffer* pData);
  void SetUuiData(const CVQCAFString& strData);
  /* Two lower-case hex digits per byte; an empty buffer gives "". */
  VQX_RESULT GetUuiDataHex(CVQCAFString& strHex);
  /* (length + 1) / 2 bytes from hex digits of either case; a short or odd
   * text is logged, not refused. 0x82000007 when that is no byte at all. */
  VQX_RESULT SetUuiDataHex(const CVQCAFString& strHex);
  /* Appends a type-0 element to pProtocol's generic headers in hMsg (nothing
   * for an empty buffer); data above 2048 bytes is cut first (logged). */
  VQX_RESULT InsertAsGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol);

 private:
  CVQCAFBuffer mUuiData;
};

class CVQCMCSs7RawData {
 public:
  CVQCMCSs7RawData() = default;
  CVQCMCSs7RawData(const CVQCMCSs7RawData&) = default;
  CVQCMCSs7RawData& operator=(const CVQCMCSs7RawData&) = default;
  CVQCMCSs7RawData(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_SS7_RAW_DATA& Element);
  virtual ~CVQCMCSs7RawData() = default;

  /* As CVQCMCUserToUserInfo::Assign for type 3; takes the variant too. */
  VQX_RESULT Assign(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_SS7_RAW_DATA& Element);

  /* Empty buffer, variant 5. */
  void Clear();
  CVQCAFBuffer& GetSs7RawDataBuf(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT& Variant);
  /* Null clears the buffer and keeps the variant; otherwise both are set. */
  void SetSs7RawDataBuf(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant, CVQCAFBuffer* pData);
  VQX_RESULT GetSs7RawDataHex(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT& Variant, CVQCAFString& strHex);
  /* As SetUuiDataHex; stores the variant once the bytes are converted. */
  VQX_RESULT SetSs7RawDataHex(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant, const CVQCAFString& strHex);
  /* Appends a type-3 element (variant at 8); data above 300 bytes is cut first. */
  VQX_RESULT InsertAsGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol);

 private:
  CVQCAFBuffer mData;
  _VQCMC_SS7_ISUP_PROTOCOL_VARIANT mVariant = VQCMC_SS7_ISUP_PROTOCOL_VARIANT_DEFAULT;
};

class CVQCMCExtraNumber {
 public:
  CVQCMCExtraNumber();
  CVQCMCExtraNumber(const CVQCMCExtraNumber&) = default;
  CVQCMCExtraNumber& operator=(const CVQCMCExtraNumber&) = default;
  /* Cleared, then Assign. */
  CVQCMCExtraNumber(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_EXTRA_NUMBER& Element);
  virtual ~CVQCMCExtraNumber() = default;

  /*
   * Takes an element of type 1 whose digit set holds exactly one element of
   * non-zero size (or, for number type 10, no element: an empty number, as
   * InsertAsGenericHeader writes it): the 48-byte image with bytes 28-31
   * zeroed, the digits up to their NUL within the element, the reason from
   * byte 25. Anything else leaves the object as it was (0x02000000). The
   * element and its set are checked against hMsg as for the other headers.
   */
  VQX_RESULT Assign(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_EXTRA_NUMBER& Element);

  /* Image all zero, reason 0, number empty. */
  void Clear();
  _VQCMC_PROTOCOL_NUMBER_TYPE& GetNumberType() { return mImage.NumberType; }
  CVQCAFString& GetNumber() { return mstrNumber; }
  u32& GetNoa() { return mImage.un32Noa; }
  u32& GetNpi() { return mImage.un32Npi; }
  u32& GetPresentation() { return mImage.un32Presentation; }
  u32& GetScreening() { return mImage.un32Screening; }
  u8& GetNumberQualifierInd() { return mImage.un8NumberQualifierInd; }
  u32& GetReason() { return mun32Reason; }
  u8& GetCounter() { return mImage.un8Counter; }

  /* Appends a type-1 element with the digits (nothing when the number is
   * empty, unless the number type is 10). */
  VQX_RESULT InsertAsGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol);

 private:
  _VQCMC_PROTOCOL_EXTRA_NUMBER mImage;
  u32 mun32Reason = 0;
  CVQCAFString mstrNumber;
};

}  // namespace VQCAF

#endif
