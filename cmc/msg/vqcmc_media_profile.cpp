/*
 * CVQCMC_MEDIA_PROFILE (vqcmc_media_profile.h) and its wire elements:
 *   local SDP, type 3: u32 type; u32 local state; 8 bytes 0; blob from 16
 *   peer SDP, type 4:  u32 type; 4 bytes 0; blob from 8 (element = blob + 16)
 *   name, type 2:      u32 type; u32 5; 8 bytes 0; char[64] from 16, NUL-ended
 */
#include "vqcmc_media_profile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "vqcmc_msg_internal.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

constexpr u32 kLocalBlobOffset = 16u;
constexpr u32 kPeerBlobOffset = 8u;
constexpr u32 kSdpElementExtra = 16u;
constexpr u32 kNameOffset = 16u;
constexpr u32 kNameField = 64u;
constexpr u32 kNameElement = kNameOffset + kNameField;
constexpr u32 kNameWord1 = 5u;
constexpr u32 kCompactScratch = 2048u;
constexpr u32 kMaxElement = 0xFFFFu;
constexpr u8 kBlobMagic[4] = {0xF0, 0xF1, 0xF2, 0x3F};

u32 BlobSize(const _VQX_SDP_INFO_COMPACT* pBlob) { return pBlob->un32Size; }

_VQX_SDP_INFO_COMPACT* DupBlob(const void* pvBlob, u32 un32Size) {
  void* pv = malloc(un32Size);
  if (pv != nullptr) memcpy(pv, pvBlob, un32Size);
  return static_cast<_VQX_SDP_INFO_COMPACT*>(pv);
}

/* Replaces a held blob by un32Size bytes at pvBlob: in place when it is no larger (a held blob's
 * buffer always holds at least its own size), else in a buffer realloc makes room in. False when
 * there is no memory for it: the held blob stays as it was (realloc leaves it untouched). */
bool StoreBlob(_VQX_SDP_INFO_COMPACT*& pBlob, const void* pvBlob, u32 un32Size) {
  if (pBlob != nullptr && un32Size <= BlobSize(pBlob)) {
    memcpy(pBlob, pvBlob, un32Size);
    return true;
  }
  void* pv = realloc(pBlob, un32Size);
  if (pv == nullptr) return false;
  memcpy(pv, pvBlob, un32Size);
  pBlob = static_cast<_VQX_SDP_INFO_COMPACT*>(pv);
  return true;
}

char* DupText(const char* psz, size_t nLength);

/* Replaces a held text by nLength bytes at psz and a NUL, in place when the old text is at least as long. */
void StoreText(char*& pszHeld, const char* psz, size_t nLength) {
  if (pszHeld != nullptr && strlen(pszHeld) >= nLength) {
    memcpy(pszHeld, psz, nLength);
    pszHeld[nLength] = '\0';
    return;
  }
  char* pszNew = DupText(psz, nLength);
  delete[] pszHeld;
  pszHeld = pszNew;
}

char* DupText(const char* psz, size_t nLength) {
  char* pszCopy = new char[nLength + 1];
  memcpy(pszCopy, psz, nLength);
  pszCopy[nLength] = '\0';
  return pszCopy;
}

void PutU32(u8* pby, u32 un32) { memcpy(pby, &un32, 4); }
u32 GetU32(const u8* pby) {
  u32 un32;
  memcpy(&un32, pby, 4);
  return un32;
}

/* A blob received at pby with un32Room bytes of its element left: its size
 * when the magic is there and it fits, else 0. */
u32 ReceivedBlobSize(const u8* pby, u32 un32Room) {
  if (un32Room < sizeof(_VQX_SDP_INFO_COMPACT) || memcmp(pby, kBlobMagic, 4) != 0) return 0;
  const u32 un32Size = GetU32(pby + 4);
  return un32Size >= sizeof(_VQX_SDP_INFO_COMPACT) && un32Size <= un32Room ? un32Size : 0;
}

/* Appends one element of un32Size bytes; 0x8200000A (logged) for more than a set holds. */
VQX_RESULT AddElement(VQX_MSG_HANDLE hMsg, VQXMsgElementSet* pSet, u32 un32Size, u8** ppby, const char* pszFailure) {
  *ppby = nullptr;
  if (un32Size > kMaxElement) {
    VQCMC_LOG_FAILURE("CVQCMC_MEDIA_PROFILE::CreateMessage", "Element too large", VQX_RESULT_INVALID_PARAM);
    return VQX_RESULT_INVALID_PARAM;
  }
  void* pv = nullptr;
  const VQX_RESULT Result = VQXMsgElementAlloc(hMsg, pSet, static_cast<u16>(un32Size), &pv);
  if (pv == nullptr) VqCmcLogLine("%s", pszFailure);
  *ppby = static_cast<u8*>(pv);
  return Result;
}

}  // namespace

CVQCMC_MEDIA_PROFILE::CVQCMC_MEDIA_PROFILE() = default;

CVQCMC_MEDIA_PROFILE::CVQCMC_MEDIA_PROFILE(const CVQCMC_MEDIA_PROFILE& Other) { *this = Other; }

CVQCMC_MEDIA_PROFILE& CVQCMC_MEDIA_PROFILE::operator=(const CVQCMC_MEDIA_PROFILE& Other) {
  if (this == &Other) return *this;
  localSdpState = Other.localSdpState;
  peerSdpState = Other.peerSdpState;
  CopyCompactSDP(Other.localSdp, &localSdp);
  CopyCompactSDP(Other.peerSdp, &peerSdp);
  delete[] profileName;
  profileName = Other.profileName == nullptr ? nullptr : DupText(Other.profileName, strlen(Other.profileName));
  memcpy(mediaDescription, Other.mediaDescription, sizeof(mediaDescription));
  return *this;
}

CVQCMC_MEDIA_PROFILE::~CVQCMC_MEDIA_PROFILE() {
  delete[] profileName;
  FreeSDP(&localSdp);
  FreeSDP(&peerSdp);
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::SetSDP(_VQX_SDP_INFO& Sdp, u32& un32State, _VQX_SDP_INFO_COMPACT*& pBlob) {
  un32State = 1;
  alignas(8) u8 abyScratch[kCompactScratch];
  auto* pScratch = reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(abyScratch);
  const VQX_RESULT Result = VQXMediaLibSdpInfoCompact(&Sdp, kCompactScratch, pScratch);
  if (VQX_RESULT_FAILED(Result)) return Result;
  CopyCompactSDP(pScratch, &pBlob);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::SetLocalSDP(_VQX_SDP_INFO& Sdp) { return SetSDP(Sdp, localSdpState, localSdp); }
VQX_RESULT CVQCMC_MEDIA_PROFILE::SetPeerSDP(_VQX_SDP_INFO& Sdp) { return SetSDP(Sdp, peerSdpState, peerSdp); }

VQX_RESULT CVQCMC_MEDIA_PROFILE::GetLocalSDP(_VQX_SDP_INFO& Sdp) {
  return localSdp == nullptr ? VQX_RESULT_NOT_FOUND : VQXMediaLibSdpInfoExpand(localSdp, &Sdp);
}
VQX_RESULT CVQCMC_MEDIA_PROFILE::GetPeerSDP(_VQX_SDP_INFO& Sdp) {
  return peerSdp == nullptr ? VQX_RESULT_NOT_FOUND : VQXMediaLibSdpInfoExpand(peerSdp, &Sdp);
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::GetLocalSDP(_VQX_SDP_INFO_COMPACT** ppSdp) {
  if (localSdp == nullptr) return VQX_RESULT_NOT_FOUND;
  if (ppSdp != nullptr) *ppSdp = localSdp;
  return VQX_RESULT_OK;
}
VQX_RESULT CVQCMC_MEDIA_PROFILE::GetPeerSDP(_VQX_SDP_INFO_COMPACT** ppSdp) {
  if (peerSdp == nullptr) return VQX_RESULT_NOT_FOUND;
  if (ppSdp != nullptr) *ppSdp = peerSdp;
  return VQX_RESULT_OK;
}

void CVQCMC_MEDIA_PROFILE::FreeSDP(_VQX_SDP_INFO_COMPACT** ppSdp) {
  if (ppSdp == nullptr) return;
  free(*ppSdp);
  *ppSdp = nullptr;
}

void CVQCMC_MEDIA_PROFILE::CopyCompactSDP(_VQX_SDP_INFO_COMPACT* pSrc, _VQX_SDP_INFO_COMPACT** ppDst) {
  if (ppDst == nullptr || pSrc == *ppDst) return;
  _VQX_SDP_INFO_COMPACT* pCopy = pSrc == nullptr ? nullptr : DupBlob(pSrc, BlobSize(pSrc));
  if (pSrc != nullptr && pCopy == nullptr) {
    VQCMC_LOG_FAILURE("CVQCMC_MEDIA_PROFILE::CopyCompactSDP", "No memory for the SDP blob: the one held is kept",
                      VQX_RESULT_NOT_ENOUGH_MEMORY);
    return;
  }
  FreeSDP(ppDst);
  *ppDst = pCopy;
}

CVQCAFString CVQCMC_MEDIA_PROFILE::GetProfileName() const {
  return profileName == nullptr ? CVQCAFString() : CVQCAFString(profileName);
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::SetByProfileName(const char* pszName) {
  char* pszNew = pszName == nullptr ? nullptr : DupText(pszName, strlen(pszName));
  delete[] profileName;
  profileName = pszNew;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::Alter(const char*, _VQCMC_MEDIA_PROFILE_ALTERATION_TYPE) {
  return VQX_RESULT_NOT_SUPPORTED;
}
VQX_RESULT CVQCMC_MEDIA_PROFILE::AlterBySDP(_VQX_SDP_INFO*, _VQCMC_MEDIA_PROFILE_ALTERATION_TYPE) {
  return VQX_RESULT_NOT_SUPPORTED;
}

CVQCMCMsgset<_VQCMC_MEDIA_PROFILE>* CVQCMC_MEDIA_PROFILE::CreateMessage() const {
  u32 un32Room = 0;
  if (localSdp != nullptr) un32Room += VQXMsgElementComputeSize(BlobSize(localSdp) + kSdpElementExtra);
  if (peerSdp != nullptr) un32Room += VQXMsgElementComputeSize(BlobSize(peerSdp) + kSdpElementExtra);
  if (profileName != nullptr) un32Room += VQXMsgElementComputeSize(kNameElement);
  auto* pSet = new CVQCMCMsgset<_VQCMC_MEDIA_PROFILE>(un32Room);
  if (pSet->GetPayload() == nullptr || VQX_RESULT_FAILED(WriteTo(pSet->GetMsg(), pSet->GetPayload()))) {
    delete pSet;
    return nullptr;
  }
  return pSet;
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::WriteTo(VQX_MSG_HANDLE hMsg, _VQCMC_MEDIA_PROFILE* pDst) const {
  if (hMsg == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  memcpy(pDst->abyMediaDescription, mediaDescription, sizeof(mediaDescription));
  pDst->un8Zero = 0;
  memset(pDst->abyReserved, 0, sizeof(pDst->abyReserved));
  pDst->setProfileElements = 0;
  VQXMsgElementSet* pSet = &pDst->setProfileElements;
  VQX_RESULT Result = VQX_RESULT_OK;
  u8* pby = nullptr;
  if (localSdp != nullptr && localSdpState != VQCMC_SDP_STATE_WITHHELD) {
    const u32 un32Blob = BlobSize(localSdp);
    Result = AddElement(hMsg, pSet, u64{un32Blob} + kSdpElementExtra > kMaxElement ? kMaxElement + 1 : un32Blob + kSdpElementExtra,
                        &pby, "CVQCMC_MEDIA_PROFILE::CreateMessage => ElementAlloc Failed for Local SDP\n");
    if (pby != nullptr) {
      PutU32(pby, VQCMC_MEDIA_ELEMENT_LOCAL_SDP);
      PutU32(pby + 4, localSdpState);
      memcpy(pby + kLocalBlobOffset, localSdp, un32Blob);
    }
  }
  if ((Result & 0xC0000000u) == 0 && peerSdp != nullptr && peerSdpState != VQCMC_SDP_STATE_WITHHELD) {
    const u32 un32Blob = BlobSize(peerSdp);
    Result = AddElement(hMsg, pSet, u64{un32Blob} + kSdpElementExtra > kMaxElement ? kMaxElement + 1 : un32Blob + kSdpElementExtra,
                        &pby, "CVQCMC_MEDIA_PROFILE::CreateMessage => ElementAlloc Failed for Peer SDP\n");
    if (pby != nullptr) {
      PutU32(pby, VQCMC_MEDIA_ELEMENT_PEER_SDP);
      memcpy(pby + kPeerBlobOffset, peerSdp, un32Blob);
    }
  }
  if ((Result & 0xC0000000u) == 0 && profileName != nullptr) {
    Result = AddElement(hMsg, pSet, kNameElement, &pby,
                        "CVQCMC_MEDIA_PROFILE::CreateMessage => ElementAlloc Failed for Local Profile Name\n");
    if (pby != nullptr) {
      PutU32(pby, VQCMC_MEDIA_ELEMENT_NAME);
      PutU32(pby + 4, kNameWord1);
      // By length, at most 63 characters: the element's last byte stays the NUL.
      memcpy(pby + kNameOffset, profileName, strnlen(profileName, kNameField - 1));
    }
  }
  return Result;
}

void CVQCMC_MEDIA_PROFILE::DestroyMessage(CVQCMCMsgset<_VQCMC_MEDIA_PROFILE>* pMsgset) { delete pMsgset; }

VQX_RESULT CVQCMC_MEDIA_PROFILE::CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_PROFILE* pSrc) {
  return Read(hSrcMsg, pSrc, false);
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::ReplaceFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_PROFILE* pSrc) {
  return Read(hSrcMsg, pSrc, true);
}

VQX_RESULT CVQCMC_MEDIA_PROFILE::Read(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_PROFILE* pSrc, bool fReplace) {
  static const char* const kOperation = "CVQCMC_MEDIA_PROFILE::CopyFrom";
  VQX_RESULT Result = fReplace ? VqxMsgElementCheckSet(hSrcMsg, &pSrc->setProfileElements)
                               : VqCmcCheckRecordSet(hSrcMsg, pSrc, sizeof(*pSrc), &pSrc->setProfileElements);
  if (VQX_RESULT_FAILED(Result)) {
    VQCMC_LOG_FAILURE(kOperation, "Malformed profile refused", Result);
    return Result;
  }
  memcpy(mediaDescription, pSrc->abyMediaDescription, sizeof(mediaDescription));
  bool afSeen[3] = {};  // local, peer, name
  u16 un16Size = 0;
  for (void* pv = nullptr; (pv = VQXMsgElementGetNext(&pSrc->setProfileElements, pv, &un16Size)) != nullptr;) {
    const u8* pby = static_cast<const u8*>(pv);
    if (un16Size < 4) {
      VQCMC_LOG_FAILURE(kOperation, "Short element skipped", VQX_RESULT_INVALID_MESSAGE);
      continue;
    }
    const u32 un32Type = GetU32(pby);
    if (un32Type == VQCMC_MEDIA_ELEMENT_LOCAL_SDP || un32Type == VQCMC_MEDIA_ELEMENT_PEER_SDP) {
      const bool fLocal = un32Type == VQCMC_MEDIA_ELEMENT_LOCAL_SDP;
      const u32 un32At = fLocal ? kLocalBlobOffset : kPeerBlobOffset;
      const u32 un32Blob = un16Size > un32At ? ReceivedBlobSize(pby + un32At, un16Size - un32At) : 0;
      if (un32Blob == 0) {
        VQCMC_LOG_FAILURE(kOperation, "Malformed SDP element skipped", VQX_RESULT_INVALID_MESSAGE);
        continue;
      }
      afSeen[fLocal ? 0 : 1] = true;
      if (!StoreBlob(fLocal ? localSdp : peerSdp, pby + un32At, un32Blob)) {
        Result = VQX_RESULT_NOT_ENOUGH_MEMORY;
        VQCMC_LOG_FAILURE(kOperation, "No memory for the SDP blob: the one held is kept", Result);
        continue;
      }
      if (fLocal) localSdpState = GetU32(pby + 4);
    } else if (un32Type == VQCMC_MEDIA_ELEMENT_NAME) {
      if (un16Size <= kNameOffset) {
        VQCMC_LOG_FAILURE(kOperation, "Short name element skipped", VQX_RESULT_INVALID_MESSAGE);
        continue;
      }
      const char* pszName = reinterpret_cast<const char*>(pby + kNameOffset);
      const u32 un32Field = std::min<u32>(un16Size - kNameOffset, kNameField);
      afSeen[2] = true;
      StoreText(profileName, pszName, VqCmcFieldLength(pszName, un32Field));
    }
  }
  if (fReplace) {
    if (!afSeen[0]) localSdpState = 0, FreeSDP(&localSdp);
    if (!afSeen[1]) FreeSDP(&peerSdp);
    if (!afSeen[2]) delete[] profileName, profileName = nullptr;
    peerSdpState = 0;
  }
  return Result;
}

}  // namespace VQCAF
