/*
 * vqcmc_lib_refused.cpp - what the host library refused to send for the
 * library: a batch of the coalescing queue whose wait for room ended (the
 * server's unread backlog at its bound, the library stopping), a server gone
 * meanwhile. The host library hands each refused message back (a record per
 * way out: the sends made under hThreadSem, and what the intake hands to the
 * receive thread); an application's command is answered here as its server
 * would refuse it, the refusal's result at word 7, and that answer goes
 * through the intake like a server's, so that the command fails to its own
 * listener instead of waiting for the end of its call. The library's own
 * messages (registration, claims) are dropped: their state machines send them
 * again. One line a second at most says how many were refused.
 * Runs with hThreadSem held, but for the receive thread's filling of the
 * intake's record, which only the next intake (the same thread) reads.
 */
#include <cstring>

#include "vqcmc_lib_internal.h"

namespace {

/* An application's command the server would answer: group 0x0A01, kind 1, room for the result word. */
bool IsCommand(VQX_MSG_HANDLE hMsg) {
  return (hMsg->un32MsgId >> 16) == VQCMC_MSG_GROUP_PUBLIC && hMsg->MsgType == VQCMC_MSG_KIND_COMMAND &&
         hMsg->un32PayloadLength >= VQCMC_PAYLOAD_OFFSET_WORD7 + sizeof(u32);
}

void Reset(VQX_SEND_REFUSALS& r, VQX_MSG_HANDLE* pahMsg, VQX_RESULT* paResult) {
  r = VQX_SEND_REFUSALS{pahMsg, paResult, VQCMC_COALESCING_SLOTS, 0};
}

}  // namespace

void VqCmcRefusalsInit(VQCMC_LIB_CTX* pCtx) {
  Reset(pCtx->SendRefusals, pCtx->ahSendRefused, pCtx->aSendRefusedResult);
  Reset(pCtx->IntakeRefusals, pCtx->ahIntakeRefused, pCtx->aIntakeRefusedResult);
}

void VqCmcRefusalsTake(VQCMC_LIB_CTX* pCtx, VQX_SEND_REFUSALS* pRefusals) {
  const u32 un32Count = pRefusals->un32Count;
  if (un32Count == 0) return;
  pRefusals->un32Count = 0;
  u32 un32Answered = 0;
  for (u32 i = 0; i < un32Count; i++) {
    VQX_MSG_HANDLE hMsg = pRefusals->pahMsg[i];
    pRefusals->pahMsg[i] = nullptr;
    if (!IsCommand(hMsg)) {
      VqCmcMsgFreeHandle(pCtx, &hMsg);
      continue;
    }
    const u32 un32Result = pRefusals->paResult[i];
    hMsg->MsgType = VQCMC_MSG_KIND_RESPONSE;
    memcpy(VQXMsgPayload(hMsg) + VQCMC_PAYLOAD_OFFSET_WORD7, &un32Result, sizeof(un32Result));
    pCtx->RefusedAnswers.push_back(hMsg);
    un32Answered++;
  }
  pCtx->un32RefusedSinceLine += un32Count;
  pCtx->un32RefusedAnsweredSinceLine += un32Answered;
  pCtx->RefusedLastResult = pRefusals->paResult[un32Count - 1];
  u32 un32LeftOut = 0;
  if (!pCtx->RefusedLines.Allow(VqCmcClockRead(pCtx), un32LeftOut)) return;
  VQCMC_ERR(pCtx, "VqCmcSendMsg", pCtx->RefusedLastResult,
            "%u message(s) refused by the host library, %u of them commands, each answered with its refusal",
            pCtx->un32RefusedSinceLine, pCtx->un32RefusedAnsweredSinceLine);
  pCtx->un32RefusedSinceLine = pCtx->un32RefusedAnsweredSinceLine = 0;
}

void VqCmcRefusalsAnswer(VQCMC_LIB_CTX* pCtx, void (*pFctHandle)(VQCMC_LIB_CTX*, VQX_MSG_HANDLE)) {
  /* Kept with the filter by the receive thread's sends of the last hand-back; a batch at most, taken in turns. */
  for (bool fMore = pCtx->hFilter != nullptr; fMore;) {
    VQXTakeSendRefusals(pCtx->hVqxLib, pCtx->hFilter, &pCtx->IntakeRefusals);
    fMore = pCtx->IntakeRefusals.un32Count == pCtx->IntakeRefusals.un32Max;
    VqCmcRefusalsTake(pCtx, &pCtx->IntakeRefusals);
  }
  if (pCtx->RefusedAnswers.empty()) return;
  std::vector<VQX_MSG_HANDLE> Answers;
  Answers.swap(pCtx->RefusedAnswers);
  for (VQX_MSG_HANDLE hMsg : Answers) pFctHandle(pCtx, hMsg);
}

void VqCmcRefusalsFree(VQCMC_LIB_CTX* pCtx) {
  for (VQX_SEND_REFUSALS* p : {&pCtx->SendRefusals, &pCtx->IntakeRefusals}) {
    for (u32 i = 0; i < p->un32Count; i++) VqCmcMsgFreeHandle(pCtx, &p->pahMsg[i]);
    p->un32Count = 0;
  }
  for (VQX_MSG_HANDLE& hMsg : pCtx->RefusedAnswers) VqCmcMsgFreeHandle(pCtx, &hMsg);
  pCtx->RefusedAnswers.clear();
}
