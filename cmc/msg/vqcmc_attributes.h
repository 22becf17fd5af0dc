/*
 * vqcmc_attributes.h - small value classes handed between the call/media
 * control client objects and their users: mixer settings, the direction
 * flags of leg-leg, mixer-leg and mixer-mixer joins, collected digits and
 * call transfer data.
 *
 * Model. Plain values: copyable, assignable, no resources beyond one string.
 * Only the join attribute, the collected digits and the call transfer have a
 * wire form (records in vqcmc_attr_records.h); the mixer attribute is copied
 * into the mixer payload by the client's mixer object.
 * Threads: an object is used by one thread at a time.
 */
#ifndef VQCMC_ATTRIBUTES_H
#define VQCMC_ATTRIBUTES_H

#include "vqcafstring.h"
#include "vqcmc_attr_records.h"
#include "vqcmc_msg_catalogue.h"
#include "vqx_result.h"

namespace VQCAF {

/* Mixer settings; defaults 0, 0, 0, 0, 3, -30, 30, -5, -10, 5, 0 in field
 * order. Setters store their argument as given (no range check). */
class CVQCMC_MIXER_ATTRIBUTE {
 public:
  CVQCMC_MIXER_ATTRIBUTE() = default;
  CVQCMC_MIXER_ATTRIBUTE(const CVQCMC_MIXER_ATTRIBUTE&) = default;
  CVQCMC_MIXER_ATTRIBUTE& operator=(const CVQCMC_MIXER_ATTRIBUTE&) = default;
  virtual ~CVQCMC_MIXER_ATTRIBUTE() = default;

  u32& GetMappingId() { return mun32MappingId; }
  u32 IsReserveIvrSlot() const { return mfReserveIvrSlot; }
  u32 IsReserveListenerSlot() const { return mfReserveListenerSlot; }
  u32 GetNbReservedActiveSpeakerSlots() const { return mun32NbReservedActiveSpeakerSlots; }
  u32 GetNbDominantSpeakers() const { return mun32NbDominantSpeakers; }
  _VQCMC_VAD_NOISE_FLOOR_LEVEL GetNoiseFloor() const { return mNoiseFloor; }
  _VQCMC_NOISE_SUPPRESSION_LIMIT_LEVEL GetNoiseSuppressionLimit() const { return mNoiseSuppressionLimit; }
  _VQCMC_AGC_TARGET_POWER_LEVEL GetTargetPower() const { return mTargetPower; }
  _VQCMC_AGC_LOSS_LIMIT_LEVEL GetLossLimit() const { return mLossLimit; }
  _VQCMC_AGC_GAIN_LIMIT_LEVEL GetGainLimit() const { return mGainLimit; }
  u32 IsRecordPlayback() const { return mfRecordPlayback; }

  void SetReserveIvrSlot(u32 f) { mfReserveIvrSlot = f; }
  void SetReserveListenerSlot(u32 f) { mfReserveListenerSlot = f; }
  void SetNbReservedActiveSpeakerSlots(u32 n) { mun32NbReservedActiveSpeakerSlots = n; }
  void SetNbDominantSpeakers(u32 n) { mun32NbDominantSpeakers = n; }
  void SetNoiseFloor(_VQCMC_VAD_NOISE_FLOOR_LEVEL v) { mNoiseFloor = v; }
  void SetNoiseSuppressionLimit(_VQCMC_NOISE_SUPPRESSION_LIMIT_LEVEL v) { mNoiseSuppressionLimit = v; }
  void SetTargetPower(_VQCMC_AGC_TARGET_POWER_LEVEL v) { mTargetPower = v; }
  void SetLossLimit(_VQCMC_AGC_LOSS_LIMIT_LEVEL v) { mLossLimit = v; }
  void SetGainLimit(_VQCMC_AGC_GAIN_LIMIT_LEVEL v) { mGainLimit = v; }
  void SetRecordPlayback(u32 f) { mfRecordPlayback = f; }

 private:
  u32 mun32MappingId = 0;
  u32 mfReserveIvrSlot = 0;
  u32 mfReserveListenerSlot = 0;
  u32 mun32NbReservedActiveSpeakerSlots = 0;
  u32 mun32NbDominantSpeakers = 3;
  _VQCMC_VAD_NOISE_FLOOR_LEVEL mNoiseFloor = VQCMC_VAD_NOISE_FLOOR_LEVEL_DEFAULT;
  _VQCMC_NOISE_SUPPRESSION_LIMIT_LEVEL mNoiseSuppressionLimit = VQCMC_NOISE_SUPPRESSION_LIMIT_LEVEL_DEFAULT;
  _VQCMC_AGC_TARGET_POWER_LEVEL mTargetPower = VQCMC_AGC_TARGET_POWER_LEVEL_DEFAULT;
  _VQCMC_AGC_LOSS_LIMIT_LEVEL mLossLimit = VQCMC_AGC_LOSS_LIMIT_LEVEL_DEFAULT;
  _VQCMC_AGC_GAIN_LIMIT_LEVEL mGainLimit = VQCMC_AGC_GAIN_LIMIT_LEVEL_DEFAULT;
  u32 mfRecordPlayback = 0;
};

/* Leg-leg join direction: full duplex (1) by default. */
class CVQCMC_JOIN_ATTRIBUTE {
 public:
  CVQCMC_JOIN_ATTRIBUTE() = default;
  CVQCMC_JOIN_ATTRIBUTE(const CVQCMC_JOIN_ATTRIBUTE&) = default;
  CVQCMC_JOIN_ATTRIBUTE& operator=(const CVQCMC_JOIN_ATTRIBUTE&) = default;
  virtual ~CVQCMC_JOIN_ATTRIBUTE() = default;

  u8& IsFullDuplex() { return mfFullDuplex; }
  /* Takes byte 0 of the record: 0x02000000; 0x82000009 for a null record. */
  VQX_RESULT CopyFrom(const _VQCMC_JOIN_ATTRIBUTE* pAttr);

 private:
  u8 mfFullDuplex = 1;
};

/* Mixer-leg join: neither listener nor speaker by default. The leg id
 * arrives by copy (the client's mixer object fills it). */
class CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE {
 public:
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE() = default;
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE(const CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE&) = default;
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE& operator=(const CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE&) = default;
  virtual ~CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE() = default;

  u32 GetLegId() const { return mun32LegId; }
  u32 IsListener() const { return mfListener; }
  u32 IsSpeaker() const { return mfSpeaker; }
  void SetListener(unsigned int f) { mfListener = f; }
  void SetSpeaker(unsigned int f) { mfSpeaker = f; }

 private:
  friend class CVQCMCMixer;
  u32 mun32LegId = 0;
  u32 mfListener = 0;
  u32 mfSpeaker = 0;
};

/* Mixer-mixer join: joined both ways by default. */
class CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE {
 public:
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE() = default;
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE(const CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE&) = default;
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE& operator=(const CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE&) = default;
  virtual ~CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE() = default;

  u32 IsJoinedFrom1to2() const { return mfJoinedFrom1to2; }
  u32 IsJoinedFrom2to1() const { return mfJoinedFrom2to1; }
  void SetJoinedFrom1to2(unsigned int f) { mfJoinedFrom1to2 = f; }
  void SetJoinedFrom2to1(unsigned int f) { mfJoinedFrom2to1 = f; }

 private:
  u32 mfJoinedFrom1to2 = 1;
  u32 mfJoinedFrom2to1 = 1;
};

/* Digits reported by a digit-collected notification. */
class CVQCMC_COLLECTED_DIGIT_ATTRIBUTE {
 public:
  CVQCMC_COLLECTED_DIGIT_ATTRIBUTE() = default;
  CVQCMC_COLLECTED_DIGIT_ATTRIBUTE(const CVQCMC_COLLECTED_DIGIT_ATTRIBUTE&) = default;
  CVQCMC_COLLECTED_DIGIT_ATTRIBUTE& operator=(const CVQCMC_COLLECTED_DIGIT_ATTRIBUTE&) = default;
  virtual ~CVQCMC_COLLECTED_DIGIT_ATTRIBUTE() = default;

  u32& IsValid() { return mfValid; }
  u32& GetMatchingMap() { return mun32MatchingMap; }
  CVQCAFString& GetCollectedDigits() { return mstrDigits; }

  /*
   * Reads a received notification payload of un32PayloadLength bytes in use:
   * valid flag at 32, matching map at 36, the digits from 40 up to their NUL
   * or the end of the payload, whichever comes first (a server need not send
   * the NUL). 0x02000000; 0x82000009 null payload; 0x8200000A (logged,
   * nothing changed) when the payload ends before offset 40. The length comes
   * with the payload so that the digits are read within it: there is no
   * form taking the payload alone.
   */
  VQX_RESULT CopyFrom(const _VQCMC_MSG_NOTIF_DIGIT_COLLECTED* pPayload, u32 un32PayloadLength);

 private:
  u32 mfValid = 0;
  u32 mun32MatchingMap = 0;
  CVQCAFString mstrDigits;
};

/* Call transfer data: one 88-byte record, all zero at construction. */
class CVQCMC_CALL_TRANSFER {
 public:
  CVQCMC_CALL_TRANSFER();
  /* Copies the 88 bytes; byte 63 of the number is forced to NUL so that the
   * number is always a text within its field. */
  explicit CVQCMC_CALL_TRANSFER(const _VQCMC_CALL_TRANSFER& Record);
  CVQCMC_CALL_TRANSFER(const CVQCMC_CALL_TRANSFER&) = default;
  CVQCMC_CALL_TRANSFER& operator=(const CVQCMC_CALL_TRANSFER&) = default;
  CVQCMC_CALL_TRANSFER& operator=(const _VQCMC_CALL_TRANSFER& Record);
  virtual ~CVQCMC_CALL_TRANSFER() = default;

  virtual _VQCMC_CALL_TRANSFER_TYPE& GetType();
  virtual void SetType(const _VQCMC_CALL_TRANSFER_TYPE& Type);
  /* Assigns the number to *pstrNumber when given; returns the number's text. */
  virtual const char* GetTransferNumber(CVQCAFString* pstrNumber) const;
  /* Keeps at most 63 characters; the rest of the field is zeroed. */
  virtual void SetTransferNumber(const CVQCAFString& strNumber);
  virtual _VQCMC_CALL_NATURE_OF_ADDRESS& GetCallingNoa();
  virtual void SetCallingNoa(const _VQCMC_CALL_NATURE_OF_ADDRESS& Noa);
  virtual _VQCMC_CALL_NUMBERING_PLAN& GetCallingNpi();
  virtual void SetCallingNpi(const _VQCMC_CALL_NUMBERING_PLAN& Npi);

  void CopyTo(_VQCMC_CALL_TRANSFER& Record) const;

 private:
  _VQCMC_CALL_TRANSFER mRecord;
};

}  // namespace VQCAF

#endif
