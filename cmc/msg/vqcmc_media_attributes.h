/*
 * vqcmc_media_attributes.h - the variable parts of the media commands as
 * element-set holders: files to play (CVQCMC_PLAY_ATTRIBUTE), files to
 * record to (CVQCMC_RECORD_ATTRIBUTE) and tone strings to play or collect
 * (CVQCMC_EVENT_ATTRIBUTE).
 *
 * Model. A client fills one (Add...), then copies it into a command payload
 * with CopyTo; a received payload is read with CopyFrom or by adopting the
 * received message. Element layouts are in vqcmc_attr_records.h. Play and
 * record paths follow the URL rule: a path without "://" anywhere in it is
 * stored as "file://" + path. Only the play attribute grows: when an
 * element is refused (any result with either top bit set, a warning too) it
 * moves into a message of twice the capacity, never above 65536 bytes.
 * An element that cannot be held (more than 65535 bytes) is refused with
 * 0x8200000A, logged, before anything is allocated. Other results are the
 * element library's (0x8200001A no room, ...); 0x82000009 null text;
 * 0x82000014 an empty holder (its allocation failed).
 * Reading what came from outside takes the message it came in beside the
 * payload (CopyFrom(hSrcMsg, pSrc)): a payload pointer alone cannot be
 * checked against the bytes its message holds, so there is no such form.
 * Threads: one thread at a time. Growth borrows the host library from the
 * framework's bridge (CVQCAFComm).
 */
#ifndef VQCMC_MEDIA_ATTRIBUTES_H
#define VQCMC_MEDIA_ATTRIBUTES_H

#include "vqcafstring.h"
#include "vqcmc_attr_records.h"
#include "vqcmc_msgset.h"

namespace VQCAF {

/* Largest message a play attribute grows to. */
constexpr u32 VQCMC_PLAY_MAX_MSG_SIZE = 65536u;

class CVQCMC_PLAY_ATTRIBUTE : public CVQCMCMsgset<_VQCMC_PLAY_ATTRIBUTE> {
 public:
  CVQCMC_PLAY_ATTRIBUTE() = default;
  CVQCMC_PLAY_ATTRIBUTE(VQX_MSG_HANDLE hMsg, _VQCMC_PLAY_ATTRIBUTE* pPayload) : CVQCMCMsgset(hMsg, pPayload) {}

  /* Appends a play file element (parameters at 0, 4, 8, URL from 12),
   * growing the message while the element is refused. Growth stops with
   * 0x82000006 once the message has reached 65536 bytes, with the resize's
   * result when no larger message can be had, 0x82000014 on an empty holder;
   * every stop logs "AddPlayFilePath: Maximum msgset size reached! (65536
   * bytes)" at VQERR and leaves the list as it was. */
  VQX_RESULT AddPlayFilePath(const char* pszPath, unsigned int un32Param1, unsigned int un32Param2,
                             unsigned int un32Param3);
  VQX_RESULT AddPlayFilePath(const CVQCAFString& strPath, unsigned int un32Param1, unsigned int un32Param2,
                             unsigned int un32Param3) {
    return AddPlayFilePath(strPath.c_str(), un32Param1, un32Param2, un32Param3);
  }
  /* The 20 fixed bytes and the file elements into pDst in hDstMsg. */
  VQX_RESULT CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_PLAY_ATTRIBUTE* pDst) const;
  /* A received play attribute (checked against hSrcMsg) into this holder. */
  VQX_RESULT CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_PLAY_ATTRIBUTE* pSrc);
};

class CVQCMC_RECORD_ATTRIBUTE : public CVQCMCMsgset<_VQCMC_RECORD_ATTRIBUTE> {
 public:
  CVQCMC_RECORD_ATTRIBUTE() = default;
  CVQCMC_RECORD_ATTRIBUTE(VQX_MSG_HANDLE hMsg, _VQCMC_RECORD_ATTRIBUTE* pPayload) : CVQCMCMsgset(hMsg, pPayload) {}

  /* Appends a record path element (URL and its NUL); no growth. */
  VQX_RESULT AddRecFilePath(const char* pszPath);
  VQX_RESULT AddRecFilePath(const CVQCAFString& strPath) { return AddRecFilePath(strPath.c_str()); }
  VQX_RESULT CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_RECORD_ATTRIBUTE* pDst) const;
  VQX_RESULT CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_RECORD_ATTRIBUTE* pSrc);
};

class CVQCMC_EVENT_ATTRIBUTE : public CVQCMCMsgset<_VQCMC_EVENT_ATTRIBUTE> {
 public:
  /* Inter-tone timeout 60. */
  CVQCMC_EVENT_ATTRIBUTE();
  /* Adopts the message and writes 60 into its inter-tone timeout. */
  CVQCMC_EVENT_ATTRIBUTE(VQX_MSG_HANDLE hMsg, _VQCMC_EVENT_ATTRIBUTE* pPayload);

  void SetInterToneTimeout(unsigned short un16Timeout);
  /* Appends a tone element (the string and its NUL); no growth. */
  VQX_RESULT AddToneString(const char* pszTones);
  VQX_RESULT CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_EVENT_ATTRIBUTE* pDst) const;
  VQX_RESULT CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_EVENT_ATTRIBUTE* pSrc);
};

}  // namespace VQCAF

#endif
