/*
 * hostlib_peer_held.cpp - messages of an older peer (build at most 799)
 * received ahead of its sequence, held per path until the missing ones come
 * from the other path. The receive side (gw/hostlib_rx.cpp) decides what is
 * held and delivers it; this keeps the storage, releases what waited too long
 * (the library's receive thread, every 10 ms while anything is held) and
 * what a peer holds when it goes, so that nothing held is lost unnoticed.
 * Under the library lock.
 */
#include <stdlib.h>

#include "peer/vqx_host_peer_internal.h"
#include "vqx_clock.h"

namespace {

PFCT_VQX_PEER_HELD_RELEASE s_pFctHeldRelease = nullptr;

}  // namespace

bool VqxPeerHeldPush(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path, VQX_MSG_HANDLE hMsg) {
  if (pPeer->ahHeldMsg[un32Path] == nullptr) {
    pPeer->ahHeldMsg[un32Path] = static_cast<VQX_MSG_HANDLE*>(calloc(VQX_PEER_HELD_MAX, sizeof(VQX_MSG_HANDLE)));
    if (pPeer->ahHeldMsg[un32Path] == nullptr) return false;
  }
  const u32 un32Slot = pPeer->aun32HeldFirst[un32Path] + pPeer->aun32HeldCount[un32Path];
  if (un32Slot >= VQX_PEER_HELD_MAX) return false;
  if (pPeer->aun32HeldCount[un32Path] == 0) pPeer->aun64HeldSince[un32Path] = VQXGetClock();
  pPeer->ahHeldMsg[un32Path][un32Slot] = hMsg;
  pPeer->aun32HeldCount[un32Path]++;
  VqxPeerLib(hLib)->un32NbHeld++;
  return true;
}

VQX_MSG_HANDLE VqxPeerHeldFirst(const VQX_PEER* pPeer, u32 un32Path) {
  if (pPeer->aun32HeldCount[un32Path] == 0) return nullptr;
  return pPeer->ahHeldMsg[un32Path][pPeer->aun32HeldFirst[un32Path]];
}

VQX_MSG_HANDLE VqxPeerHeldLast(const VQX_PEER* pPeer, u32 un32Path) {
  if (pPeer->aun32HeldCount[un32Path] == 0) return nullptr;
  return pPeer->ahHeldMsg[un32Path][pPeer->aun32HeldFirst[un32Path] + pPeer->aun32HeldCount[un32Path] - 1];
}

VQX_MSG_HANDLE VqxPeerHeldPop(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path) {
  if (pPeer->aun32HeldCount[un32Path] == 0) return nullptr;
  VQX_MSG_HANDLE& rSlot = pPeer->ahHeldMsg[un32Path][pPeer->aun32HeldFirst[un32Path]];
  VQX_MSG_HANDLE hMsg = rSlot;
  rSlot = nullptr;
  pPeer->aun32HeldFirst[un32Path]++;
  /* Emptied: the next hold starts at the first slot again. */
  if (--pPeer->aun32HeldCount[un32Path] == 0) pPeer->aun32HeldFirst[un32Path] = 0;
  VqxPeerLib(hLib)->un32NbHeld--;
  return hMsg;
}

u32 VqxPeerHeldDrop(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path) {
  u32 n = 0;
  while (VQX_MSG_HANDLE hMsg = VqxPeerHeldPop(hLib, pPeer, un32Path)) {
    VqxMsgReleaseInternal(hLib, hMsg);
    n++;
  }
  pPeer->un64SeqLost += n;
  VqxLib(hLib)->Counters.RxMsgNotQueued += n;
  return n;
}

void VqxPeerSetHeldRelease(PFCT_VQX_PEER_HELD_RELEASE pFct) { s_pFctHeldRelease = pFct; }

void VqxPeerHeldRelease(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 fDeliver) {
  if (pPeer->aun32HeldCount[0] == 0 && pPeer->aun32HeldCount[1] == 0) return;
  const u32 hAdapter = pPeer->hAdapter;
  if (fDeliver != 0 && s_pFctHeldRelease != nullptr) {
    s_pFctHeldRelease(hLib, hAdapter);
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return;
  }
  /* Not to be delivered (the record goes), or nothing to deliver them: dropped, but told. */
  const u32 n = VqxPeerHeldDrop(hLib, pPeer, VQX_PEER_PATH_GW0) + VqxPeerHeldDrop(hLib, pPeer, VQX_PEER_PATH_GW1);
  if (n != 0) VQX_LOG_V(hLib, 0, "%s: %u message(s) held ahead of their sequence dropped\n", pPeer->szName, n);
}

bool VqxPeerHeldExpire(VQX_LIB_HANDLE hLib) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr || pPl->un32NbHeld == 0) return false;
  const u64 un64Now = VQXGetClock();
  for (u32 i = 0; i < VQX_PEER_MAX && pPl->un32NbHeld != 0; i++) {
    VQX_PEER* pPeer = pPl->apSlots[i];
    if (pPeer == nullptr) continue;
    for (u32 p = 0; p < 2; p++) {
      if (pPeer->aun32HeldCount[p] != 0 && un64Now - pPeer->aun64HeldSince[p] >= VQX_PEER_HELD_MAX_MS) {
        VqxPeerHeldRelease(hLib, pPeer, 1);
        break;
      }
    }
  }
  return pPl->un32NbHeld != 0;
}
