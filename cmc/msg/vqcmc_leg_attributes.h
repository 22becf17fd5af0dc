/*
 * vqcmc_leg_attributes.h - the description of one leg as a server reports it
 * (leg-present and leg-sync notifications) and as a client asks for it (leg
 * creation): numbers, displays, addressing-plan values, network access point
 * and media profile.
 *
 * Model. CVQCMC_CALL_LEG_ATTRIBUTE_COMMON carries what both leg kinds share
 * and answers every getter (the kind-specific values with zero statics of
 * its own); CVQCMC_CALL_LEG_ATTRIBUTE (leg type 1) keeps an image of the
 * wire record's bytes 0-591 and its protocol type, CVQCMC_MEDIA_ONLY_LEG_
 * ATTRIBUTE (leg type 2) the access point and profile. Getters return
 * references to fields, for reading and writing. Texts travel NUL-ended,
 * cut to their field less one byte; received texts are read within their
 * field. The profile travels as a media profile record with its elements
 * appended to the message (vqcmc_media_profile.h).
 * Results: 0x02000000; 0x82000001 no profile message could be made, or a
 * copy between leg kinds this class does not do; the checks' codes for a
 * received record outside its message or a broken profile set (logged,
 * nothing changed).
 * Threads: the derived classes' copies and updates hold the attribute's
 * mutex; getters, assignment and CopyLegAttributeFrom take no lock.
 */
#ifndef VQCMC_LEG_ATTRIBUTES_H
#define VQCMC_LEG_ATTRIBUTES_H

#include "vqcafmutex.h"
#include "vqcafstring.h"
#include "vqcmc_media_profile.h"

namespace VQCAF {

class CVQCMC_CALL_LEG_ATTRIBUTE;
class CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE;

/* "Unspecified", "CALL", "MediaOnly", else "Unknown". */
const char* VqCmcLegTypeName(u32 un32LegType);

class CVQCMC_CALL_LEG_ATTRIBUTE_COMMON {
 public:
  CVQCMC_CALL_LEG_ATTRIBUTE_COMMON() = default;
  CVQCMC_CALL_LEG_ATTRIBUTE_COMMON(const CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Other) { *this = Other; }
  /* Mapping id, leg type, texts, access point, profile (deep), leg id; not
   * the parsed calling number; no lock. */
  CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& operator=(const CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Other);
  virtual ~CVQCMC_CALL_LEG_ATTRIBUTE_COMMON() = default;

  virtual u32 GetLegType() { return legType; }
  virtual CVQCAFString& GetCalledNumber() { return calledNumber; }
  /* 0, or no private address: the calling number. Otherwise the user part of
   * the private address parsed as a SIP or tel address, or the whole address
   * when it has none. */
  virtual CVQCAFString& GetCallingNumber(unsigned int fFromPrivateAddress);
  virtual CVQCAFString& GetNetworkAccessPoint() { return networkAccessPoint; }
  virtual u32& GetProtocolType();
  virtual u32& GetCallingNoa();
  virtual u32& GetCalledNoa();
  virtual u32& GetCallingNpi();
  virtual u32& GetCalledNpi();
  virtual u32& GetChargeIndicator();
  virtual CVQCAFString& GetCallingDisplay() { return callingDisplay; }
  virtual u32& GetCallingDisplayType();
  virtual u32& GetCallingPresentation();
  virtual u32& GetCallingScreening();
  virtual u32& GetCallingCategory();
  virtual CVQCAFString& GetPrivateDisplay() { return privateDisplay; }
  virtual u32& GetPrivateDisplayType();
  virtual CVQCAFString& GetPrivateAddress() { return privateAddress; }
  /* Stores the present flag through pfPresent (when not null); the value when present, else 0. */
  virtual unsigned char GetOriginatingLineInformation(unsigned int* pfPresent);
  virtual void SetOriginatingLineInformation(unsigned char) {}
  virtual u8& GetEarlyMedia();
  virtual u8& GetEchoCanceller();
  virtual CVQCMC_MEDIA_PROFILE& GetProfile() { return profile; }
  /* Not done here: logs "CopyLegAttributeFrom: Child class type=%u (%s) is not implemented", 0x82000001. */
  virtual VQX_RESULT CopyLegAttributeFrom(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Src);

  u32& GetMappingId() { return mappingId; }
  u32& GetAttrLegId() { return attrLegId; }
  CVQCMC_CALL_LEG_ATTRIBUTE* GetCallLegAttribute();
  CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* GetMediaOnlyLegAttribute();

 protected:
  CVQCAFMutex mutex;
  u32 mappingId = 0;
  u32 legType = 0;
  CVQCAFString calledNumber, callingNumber, callingDisplay, privateDisplay, privateAddress;
  CVQCAFString parsedCallingNumber;
  CVQCAFString networkAccessPoint;
  CVQCMC_MEDIA_PROFILE profile;
  u32 attrLegId = 0;
};

class CVQCMC_CALL_LEG_ATTRIBUTE : public CVQCMC_CALL_LEG_ATTRIBUTE_COMMON {
 public:
  CVQCMC_CALL_LEG_ATTRIBUTE();
  CVQCMC_CALL_LEG_ATTRIBUTE(const CVQCMC_CALL_LEG_ATTRIBUTE& Other);
  CVQCMC_CALL_LEG_ATTRIBUTE& operator=(const CVQCMC_CALL_LEG_ATTRIBUTE& Other);

  CVQCAFString& GetCallingNumber(unsigned int fFromPrivateAddress) override {
    return CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingNumber(fFromPrivateAddress);
  }
  u32& GetProtocolType() override { return mImage.un32ProtocolType; }
  u32& GetCallingNoa() override { return mImage.un32CallingNoa; }
  u32& GetCalledNoa() override { return mImage.un32CalledNoa; }
  u32& GetCallingNpi() override { return mImage.un32CallingNpi; }
  u32& GetCalledNpi() override { return mImage.un32CalledNpi; }
  u32& GetChargeIndicator() override { return chargeIndicator; }
  u32& GetCallingDisplayType() override { return mImage.un32CallingDisplayType; }
  u32& GetCallingPresentation() override { return mImage.un32CallingPresentation; }
  u32& GetCallingScreening() override { return mImage.un32CallingScreening; }
  u32& GetCallingCategory() override { return mImage.un32CallingCategory; }
  u32& GetPrivateDisplayType() override { return mImage.un32PrivateDisplayType; }
  unsigned char GetOriginatingLineInformation(unsigned int* pfPresent) override;
  void SetOriginatingLineInformation(unsigned char un8Value) override;
  u8& GetEarlyMedia() override { return earlyMedia; }
  u8& GetEchoCanceller() override { return echoCanceller; }
  /* From a call leg: image, texts, charge indicator, early media, echo
   * canceller and the profile's media-description word at 8; then mapping
   * id, leg id and protocol type 0. Any other source: nothing, 0x02000000. */
  VQX_RESULT CopyLegAttributeFrom(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Src) override;

  /* A received record (inside hSrcMsg, profile set checked): image, texts,
   * profile. The message comes with the record so that the record can be
   * checked: there is no form taking the record alone (as for the media-only
   * leg below). */
  VQX_RESULT CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_CALL_LEG_ATTRIBUTE* pSrc);
  /* Texts (cut), image and protocol type into pDst, the profile with its
   * elements appended to hDstMsg. */
  VQX_RESULT CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_CALL_LEG_ATTRIBUTE* pDst);
  VQX_RESULT UpdateFrom(const _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pUpdate);
  VQX_RESULT CopyTo(VQX_MSG_HANDLE hUnused, _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pUpdate);

 private:
  _VQCMC_CALL_LEG_ATTRIBUTE mImage{};  /* bytes 0-591 and the protocol type are used */
  u32 chargeIndicator = 0;
  u8 earlyMedia = 0;
  u8 echoCanceller = 0;
};

class CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE : public CVQCMC_CALL_LEG_ATTRIBUTE_COMMON {
 public:
  CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE();
  CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE(const CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE& Other);
  CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE& operator=(const CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE& Other) = default;

  /* Does nothing; 0x02000000. */
  virtual VQX_RESULT BuildFrom(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Src);
  /* Access point (within its 32 bytes) and profile; the profile's result. */
  VQX_RESULT CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pSrc);
  /* Access point (at most 31 characters and a NUL; bytes 32-71 untouched), profile. */
  VQX_RESULT CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pDst);
};

}  // namespace VQCAF

#endif
