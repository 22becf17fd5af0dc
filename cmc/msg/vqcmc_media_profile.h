/*
 * vqcmc_media_profile.h - CVQCMC_MEDIA_PROFILE, a leg's media profile: a
 * name, a 64-byte media-description record (never interpreted here) and a
 * local and a peer session description held as compact SDP blobs.
 *
 * Model. A value class: copies are deep. Its wire form is the 72-byte
 * _VQCMC_MEDIA_PROFILE with up to three elements (local SDP type 3, peer SDP
 * type 4, name type 2; layouts in vqcmc_media_profile.cpp), built into a
 * holder by CreateMessage and read from a received payload by CopyFrom. A
 * state of 4 keeps that side's SDP out of the wire form. A blob is exactly
 * the size in its own header (offset 4).
 * Results: 0x02000000; 0x82000015 no blob held; 0x82000013 alteration (not
 * supported); 0x8200000A a blob whose element cannot be held (logged).
 * Threads: one thread at a time (the leg attributes lock around it).
 */
#ifndef VQCMC_MEDIA_PROFILE_H
#define VQCMC_MEDIA_PROFILE_H

#include "vqcafstring.h"
#include "vqcmc_msgset.h"
#include "vqx_media.h"

/* How a profile would be altered; alteration is not supported. */
enum _VQCMC_MEDIA_PROFILE_ALTERATION_TYPE : u32 {};

namespace VQCAF {

/* A state that keeps that side's SDP out of the wire form. */
constexpr u32 VQCMC_SDP_STATE_WITHHELD = 4u;

class CVQCMC_MEDIA_PROFILE {
 public:
  CVQCMC_MEDIA_PROFILE();
  CVQCMC_MEDIA_PROFILE(const CVQCMC_MEDIA_PROFILE& Other);
  CVQCMC_MEDIA_PROFILE& operator=(const CVQCMC_MEDIA_PROFILE& Other);
  ~CVQCMC_MEDIA_PROFILE();

  /* State 1, then the record compacted (2048-byte scratch): its failure is
   * returned and the old blob kept; else the blob replaced by a copy. */
  VQX_RESULT SetLocalSDP(_VQX_SDP_INFO& Sdp);
  VQX_RESULT SetPeerSDP(_VQX_SDP_INFO& Sdp);
  /* 0x82000015 without a blob, else the expansion's result. */
  VQX_RESULT GetLocalSDP(_VQX_SDP_INFO& Sdp);
  VQX_RESULT GetPeerSDP(_VQX_SDP_INFO& Sdp);
  /* The held blob itself (not a copy) when ppSdp is not null. */
  VQX_RESULT GetLocalSDP(_VQX_SDP_INFO_COMPACT** ppSdp);
  VQX_RESULT GetPeerSDP(_VQX_SDP_INFO_COMPACT** ppSdp);
  /* Frees *ppSdp and nulls it. */
  static void FreeSDP(_VQX_SDP_INFO_COMPACT** ppSdp);
  /* Stores a copy of pSrc (size from its header; null: none) in *ppDst, freeing
   * what it held; without memory for the copy *ppDst is kept (logged). */
  static void CopyCompactSDP(_VQX_SDP_INFO_COMPACT* pSrc, _VQX_SDP_INFO_COMPACT** ppDst);

  u32& GetLocalSdpState() { return localSdpState; }
  u32& GetPeerSdpState() { return peerSdpState; }
  /* The 64-byte record, read and written in place. */
  u8* GetMediaDescription() { return mediaDescription; }
  CVQCAFString GetProfileName() const;
  VQX_RESULT SetByProfileName(const char* pszName);
  VQX_RESULT Alter(const char* pszSdp, _VQCMC_MEDIA_PROFILE_ALTERATION_TYPE Type);
  VQX_RESULT AlterBySDP(_VQX_SDP_INFO* pSdp, _VQCMC_MEDIA_PROFILE_ALTERATION_TYPE Type);

  /* A new holder with this profile's wire form (null on failure, logged);
   * hand it back to DestroyMessage. */
  CVQCMCMsgset<_VQCMC_MEDIA_PROFILE>* CreateMessage() const;
  static void DestroyMessage(CVQCMCMsgset<_VQCMC_MEDIA_PROFILE>* pMsgset);
  /* The wire form written straight into pDst, its elements appended to
   * hMsg (what CreateMessage holds; the leg attributes' copies use it to
   * spare a message). A first refused element ends it: its result. */
  VQX_RESULT WriteTo(VQX_MSG_HANDLE hMsg, _VQCMC_MEDIA_PROFILE* pDst) const;
  /*
   * Reads a received profile: the media-description record, then each
   * element (local SDP with its state, peer SDP, name). The record and its
   * set must pass the checks against hSrcMsg (else their code, logged,
   * nothing changed); an element too short for what it names, or a blob
   * without its magic or larger than its element, is skipped (logged). A
   * blob there is no memory for leaves the one held (and its state) as it
   * was, is logged, and makes the result 0x82000012 once the rest is read.
   */
  /* (The message comes with the record so that both are checked: there is
   * no form taking the record alone.) */
  VQX_RESULT CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_PROFILE* pSrc);
  /* The same for a profile inside a record that the caller has checked
   * against hSrcMsg already (only its set is checked here), the profile then
   * holding exactly what the payload carries (as a fresh profile read with
   * CopyFrom would: both states 0 and no blob or name unless an element
   * gives them), its buffers reused where they fit. */
  VQX_RESULT ReplaceFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_PROFILE* pSrc);

 private:
  VQX_RESULT SetSDP(_VQX_SDP_INFO& Sdp, u32& un32State, _VQX_SDP_INFO_COMPACT*& pBlob);
  /* fReplace: ReplaceFrom (the record checked by the caller), else CopyFrom. */
  VQX_RESULT Read(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_PROFILE* pSrc, bool fReplace);

  u32 localSdpState = 0;
  _VQX_SDP_INFO_COMPACT* localSdp = nullptr;
  u32 peerSdpState = 0;
  _VQX_SDP_INFO_COMPACT* peerSdp = nullptr;
  char* profileName = nullptr;
  u8 mediaDescription[64] = {};
};

}  // namespace VQCAF

#endif
