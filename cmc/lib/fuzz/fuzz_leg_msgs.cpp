/*
 * fuzz_leg_msgs.cpp - leg messages and resynchronisation records into the
 * leg router with live legs: a server record, legs in Ready and in Cleg
 * unsynced, then messages of the router's ids (call offers, answers,
 * notifications, NotifLegSync with an element area whose set words come from
 * the input, private timeouts) with random payloads, user contexts and
 * lengths, and clock steps that fire the state timers. Single-thread jobs,
 * run by the intake; the sanitizers catch reads past a payload, leaks and
 * double releases.
 *
 * Input: records {u8 selector, u8 flags, u16 clock step, u16 length, length
 * payload bytes}; the selector picks the id, flags bit 0 gives a NotifLegSync
 * its element area, bit 1 a user context from the payload's first 8 bytes.
 */
#include <cstring>
#include <vector>

#include "bench/bench_cmc_common.h"
#include "vqcmc_lib_leg_internal.h"

namespace {

const u32 kIds[] = {0x0A010001u, 0x0A010004u, 0x0A010011u, 0x0A010012u, 0x0A010016u, 0x0A010017u, 0x0A01001Bu,
                    0x0A01001Cu, 0x0A01001Fu, 0x0A010044u, 0x0A010051u, 0x0A010056u, 0x0A010065u, 0x0A010091u,
                    0x0A010101u, 0x0A010106u, 0x0A020302u, 0x0A020303u, 0x0A020411u, 0x0A020411u, 0x0A020411u};
constexpr u32 kServer = 0x100;

void Drain(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pData, size_t nSize) {
  static VQX_LIB_HANDLE s_hVqx = cmcbench::OpenHostLib();
  if (s_hVqx == nullptr) return 0;
  cmcbench::s_un32Now = 1000;
  VQCMC_LIB_HANDLE hCmc = cmcbench::OpenCmc(s_hVqx, 1, Drain, nullptr, 128, 32);
  if (hCmc == nullptr) return 0;
  std::vector<VQX_MSG_HANDLE> aLoop;
  VQX_MSG_HANDLE hAdded = nullptr;
  VQXGetMsg(s_hVqx, 8 + sizeof(_VQX_HOST_INFO) + 16, &hAdded);
  hAdded->un32MsgId = VQCMC_HL_ADAPTER_ADDED;
  hAdded->hAdapter = 0xDA000000u;
  hAdded->un32PayloadLength = 8 + sizeof(_VQX_HOST_INFO) + 16;
  memset(VQXMsgPayload(hAdded), 0, hAdded->un32PayloadLength);
  const u32 hServer = kServer;
  memcpy(VQXMsgPayload(hAdded) + VQCMC_HL_ADDED_OFFSET_HANDLE, &hServer, 4);
  cmcbench::IntakeLoop(hCmc, s_hVqx, aLoop, {hAdded});
  /* Four legs on the ready server, two of them unsynchronised. */
  VqxMutexGet(hCmc->hThreadSem);
  _VQCMC_HOST_CTX* pHost = VqCmcHostFirst(hCmc);
  if (pHost != nullptr) {
    pHost->fReady = 1;
    for (u32 un32Id = 1; un32Id <= 4; un32Id++) {
      _VQCMC_ENTITY_CTX* pLeg = nullptr;
      VqCmcLibLegCreate(hCmc, pHost, un32Id, 0x700 + un32Id, &pLeg);
      if (pLeg != nullptr && un32Id > 2) VqCmcLegStateChange(hCmc, pHost, pLeg, VQCMC_LIB_STATE_CLEG_UNSYNCED);
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
      const u32 un32Id = kIds[un8Selector % (sizeof(kIds) / sizeof(kIds[0]))];
      const bool fElements = un32Id == VQCMC_SRV_NOTIF_LEG_SYNC && (un8Flags & 1) != 0;
      /* Exactly the payload it uses, so that a read past it is one past the buffer. */
      const u32 un32Init = fElements ? VQXMsgComputeSize(sizeof(_VQCMC_SRV_NOTIF_LEG_SYNC) + (un16Step & 0x1F8), 0, 0) : 0;
      const u32 un32Used = fElements ? std::max(un32Init, un32Len & ~7u) : std::max<u32>(un32Len, 8);
      VQX_MSG_HANDLE h = nullptr;
      if (VQXGetMsg(s_hVqx, un32Used, &h) != VQX_RESULT_API_OK) break;
      memset(VQXMsgPayload(h), 0, un32Used);
      /* An element area after the record, then the input over it: set words and elements as given. */
      if (fElements) VQXMsgElementInit(h, un32Init - 8);
      memcpy(VQXMsgPayload(h), pData + nPos, std::min(un32Len, un32Used));
      h->un32PayloadLength = un32Used;
      h->un32MsgId = un32Id;
      h->MsgType = VQX_MSG_TYPE_EVENT;
      h->hAdapter = (un8Selector & 0x80) != 0 ? VQCMC_LOCAL_DELIVERY : kServer;
      h->un64UserContext1 = (static_cast<u64>(pHost->un32PoolIndex) << 32) | (1 + (un8Flags >> 4) % 5);
      if ((un8Flags & 2) != 0 && un32Len >= 8) memcpy(&h->un64UserContext1, pData + nPos, 8);
      nPos += un32Len;
      aMsgs.push_back(h);
    }
    cmcbench::IntakeLoop(hCmc, s_hVqx, aLoop, aMsgs);
  }
  for (VQX_MSG_HANDLE& h : aLoop) VQXReleaseMsgEx(s_hVqx, &h);
  VQCmcLibClose(hCmc);
  return 0;
}
