/*
 * fuzz_mixer_msgs.cpp - mixer messages and the mixer and mixer-link
 * resynchronisation records through the intake with live mixers: a ready
 * server, mixers in Ready and in Cmixer unsynced and a leg (mapping ids
 * 0x601.., 0x701), then messages of the mixer router's ids (answers by
 * context, notifications by word 7 and word 8, NotifMixerSync with an element
 * area whose set words come from the input or with sound play and record
 * sets, NotifMixerLinkSync, the mixer's private timeouts and entries) with
 * random payloads, lengths and user contexts, and clock steps that fire the
 * 10000 ms timers. Single-thread jobs run by the intake; the default and
 * mixer callbacks read every byte they get. The sanitizers catch reads past a
 * payload, leaks and double releases.
 *
 * Input: records {u8 selector, u8 flags, u16 clock step, u16 length, length
 * payload bytes}; the selector picks the id (bit 7: local delivery), flags
 * bit 0 gives a NotifMixerSync an element area under the input, bit 1 sound
 * sets instead, bit 2 a user context from the payload's first 8 bytes, bits
 * 4-6 the mixer named by the context.
 */
#include <cstring>
#include <vector>

#include "bench/bench_cmc_common.h"
#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_mixer_internal.h"

namespace {

const u32 kIds[] = {0x0A010020u, 0x0A010021u, 0x0A010027u, 0x0A010030u, 0x0A010032u, 0x0A010033u, 0x0A010035u,
                    0x0A010038u, 0x0A010051u, 0x0A010056u, 0x0A010065u, 0x0A010072u, 0x0A010076u, 0x0A020305u,
                    0x0A020306u, 0x0A020415u, 0x0A020415u, 0x0A020415u, 0x0A020416u, 0x0A020416u};
constexpr u32 kServer = 0x100;
constexpr u32 kSyncSize = sizeof(_VQCMC_SRV_NOTIF_MIXER_SYNC);

/* Reads the whole payload it was given, as an application would. */
void ReadAll(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* phMsg) {
  volatile u8 un8Sum = 0;
  const u8* p = VQXMsgPayload(*phMsg);
  for (u32 i = 0; i < (*phMsg)->un32PayloadLength; i++) un8Sum = un8Sum + p[i];
}

/* A play set with one file and a record set with one path, as a server builds them. */
void SoundSets(VQX_MSG_HANDLE h) {
  u8* pPayload = VQXMsgPayload(h);
  void* pElement = nullptr;
  if (VQXMsgElementAlloc(h, pPayload + offsetof(_VQCMC_SRV_NOTIF_MIXER_SYNC, setPlayAttributes),
                         sizeof(_VQCMC_PLAY_ATTRIBUTE), &pElement) == VQX_RESULT_OK) {
    VQXMsgElementAlloc(h, pElement, 24, &pElement);
  }
  if (VQXMsgElementAlloc(h, pPayload + offsetof(_VQCMC_SRV_NOTIF_MIXER_SYNC, setRecordAttributes),
                         sizeof(_VQCMC_RECORD_ATTRIBUTE), &pElement) == VQX_RESULT_OK) {
    VQXMsgElementStringAdd(h, pElement, "rec.wav");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pData, size_t nSize) {
  static VQX_LIB_HANDLE s_hVqx = cmcbench::OpenHostLib();
  if (s_hVqx == nullptr) return 0;
  cmcbench::s_un32Now = 1000;
  VQCMC_LIB_HANDLE hCmc = cmcbench::OpenCmc(s_hVqx, 1, ReadAll, nullptr, 128, 32);
  if (hCmc == nullptr) return 0;
  std::vector<VQX_MSG_HANDLE> aLoop;
  cmcbench::AddReadyServer(s_hVqx, hCmc, kServer);
  /* Four mixers on the ready server, two of them unsynchronised, and a leg to join them. */
  VqxMutexGet(hCmc->hThreadSem);
  _VQCMC_HOST_CTX* pHost = VqCmcHostFirst(hCmc);
  if (pHost != nullptr) {
    for (u32 un32Id = 1; un32Id <= 5; un32Id++) {
      _VQCMC_ENTITY_CTX* pEntity = nullptr;
      if (un32Id == 5) {
        VqCmcLibLegCreate(hCmc, pHost, un32Id, 0x701, &pEntity);
        continue;
      }
      VqCmcLibMixerCreate(hCmc, pHost, un32Id, 0x600 + un32Id, &pEntity);
      if (pEntity == nullptr) continue;
      pEntity->Params.Callback.pFctCallback = ReadAll;
      if (un32Id > 2) VqCmcMixerStateChange(hCmc, pHost, pEntity, VQCMC_LIB_STATE_CMIXER_UNSYNCED);
    }
  }
  VqxMutexGive(hCmc->hThreadSem);
  size_t nPos = 0;
  for (int nBatch = 0; nBatch < 16 && nPos + 6 <= nSize && pHost != nullptr; nBatch++) {
    std::vector<VQX_MSG_HANDLE> aMsgs;
    for (int i = 0; i < 8 && nPos + 6 <= nSize; i++) {
      const u8 un8Selector = pData[nPos], un8Flags = pData[nPos + 1];
      u16 un16Step = 0, un16Len = 0;
      memcpy(&un16Step, pData + nPos + 2, 2);
      memcpy(&un16Len, pData + nPos + 4, 2);
      nPos += 6;
      const u32 un32Len = std::min<u32>(un16Len % 1200, static_cast<u32>(nSize - nPos));
      cmcbench::s_un32Now += un16Step;
      const u32 un32Id = kIds[(un8Selector & 0x7F) % (sizeof(kIds) / sizeof(kIds[0]))];
      const bool fSync = un32Id == VQCMC_SRV_NOTIF_MIXER_SYNC;
      const bool fElements = fSync && (un8Flags & 1) != 0, fSound = fSync && (un8Flags & 2) != 0;
      /* Exactly the payload it uses, so that a read past it is one past the buffer. */
      const u32 un32Init = fElements || fSound ? VQXMsgComputeSize(kSyncSize + (un16Step & 0x1F8), 0, 0) : 0;
      const u32 un32Used = fSound ? un32Init + 256 : fElements ? std::max(un32Init, un32Len & ~7u)
                                                                : std::max<u32>(un32Len, 8);
      VQX_MSG_HANDLE h = nullptr;
      if (VQXGetMsg(s_hVqx, un32Used, &h) != VQX_RESULT_API_OK) break;
      memset(VQXMsgPayload(h), 0, un32Used);
      h->un32PayloadLength = un32Used;
      if (fElements || fSound) VQXMsgElementInit(h, un32Init - 8);
      /* The input over the record (sound sets: up to their words only, then the sets). */
      memcpy(VQXMsgPayload(h), pData + nPos, std::min(un32Len, fSound ? kSyncSize - 8 : un32Used));
      if (fSound) SoundSets(h);
      if (!fElements && !fSound) h->un32PayloadLength = un32Len;
      h->un32MsgId = un32Id;
      h->MsgType = VQX_MSG_TYPE_EVENT;
      h->hAdapter = (un8Selector & 0x80) != 0 ? VQCMC_LOCAL_DELIVERY : kServer;
      h->un64UserContext1 = (static_cast<u64>(pHost->un32PoolIndex) << 32) | (1 + (un8Flags >> 4) % 6);
      if ((un8Flags & 4) != 0 && un32Len >= 8) memcpy(&h->un64UserContext1, pData + nPos, 8);
      nPos += un32Len;
      aMsgs.push_back(h);
    }
    cmcbench::IntakeLoop(hCmc, s_hVqx, aLoop, aMsgs);
  }
  for (VQX_MSG_HANDLE& h : aLoop) VQXReleaseMsgEx(s_hVqx, &h);
  VQCmcLibClose(hCmc);
  return 0;
}
