/*
 * fuzz_peer_gwop.cpp - the peer layer's messages of group 0x020D (remote
 * filters, peer value, host list, flow-control level, message delay) from
 * arbitrary bytes, as a remote host and as a board send them.
 *
 * Each input: a selector byte, then the received buffer. Selector bit 0:
 * from the board (else the host); bits 1-3: the id (0x020D0100 + n); bit 7
 * clear: the sizes and type are made to agree with the buffer, as the
 * receive path guarantees, so that the payload gets explored; bit 6: a
 * response rather than a request.
 * The header is restored and checked as the receive path does; the message
 * then goes to the peer layer, which answers through the send path; with no
 * transport the answer waits in the peer's send fifo, emptied after each
 * input. The library must never read outside a
 * buffer, leak one, or keep a remote filter larger than what was received.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "vqx_gwlib.h"
#include "peer/vqx_host_peer_internal.h"

namespace {

constexpr u32 kHost = 0xCB000001u;
constexpr u32 kBoard = 0xCA000001u;

VQX_LIB_HANDLE OpenOnce() {
  static VQX_LIB_HANDLE s_hLib = [] {
    _VQX_LIB_PARAMS params;
    memset(&params, 0, sizeof(params));
    params.un32StructVersion = 1;
    params.un32TransportType = 1;
    params.fAdaptersGwOff = 1;
    params.un32TraceLevel = 0xFFFFFFFF;
    params.pErrorFile = fopen("/dev/null", "w");
    VQX_LIB_HANDLE hLib = nullptr;
    if (VQXOpenLib(&params, &hLib) != VQX_RESULT_API_OK) abort();
    VQX_GW_HOST_ADV host{};
    host.un32Id = 0x484C5041;
    host.Info.un64UniqueId = 0x7F00000100000002ull;
    strcpy(host.Info.szHostName, "fuzzhost");
    strcpy(host.Info.szAppName, "fuzzapp");
    strcpy(host.Info.szIpAddress0, "10.0.0.2");
    host.Info.un32BuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
    VQX_GW_ADAPTER_ADV board{};
    board.un32Id = 0x47575041;
    strcpy(board.Info.szSerialNumber, "FUZZ1");
    strcpy(board.Info.szIpAddress0, "10.0.0.3");
    board.Info.un32BuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
    VqxHostLibCriticalSectionEnter(hLib);
    if (VqxHostAdapterPathAdd(hLib, kHost, nullptr, &host, 1) != VQX_RESULT_API_OK) abort();
    if (VqxHostAdapterPathAdd(hLib, kBoard, &board, nullptr, 1) != VQX_RESULT_API_OK) abort();
    /* What the connection sequence queued for them goes nowhere without a transport. */
    VqxHostFreeAdapterSendFifo(hLib, VqxHostAdapterOrHostByHandle(hLib, kHost));
    VqxHostFreeAdapterSendFifo(hLib, VqxHostAdapterOrHostByHandle(hLib, kBoard));
    VqxHostLibCriticalSectionLeave(hLib);
    return hLib;
  }();
  return s_hLib;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  if (size < 1) return 0;
  VQX_LIB_HANDLE hLib = OpenOnce();
  const u8 selector = pbyData[0];
  pbyData++;
  size--;
  const u32 un32Live = VqxBufLiveCount(hLib);
  VqxHostLibCriticalSectionEnter(hLib);
  /* The transport hands over a buffer of exactly the bytes received. */
  void* pBuf = VqxBufMalloc(hLib, size < VQX_MSG_HEADER_SIZE ? VQX_MSG_HEADER_SIZE : size, 0, __FILE__, __LINE__);
  if (pBuf == nullptr) abort();
  memset(pBuf, 0, size < VQX_MSG_HEADER_SIZE ? VQX_MSG_HEADER_SIZE : size);
  memcpy(pBuf, pbyData, size);
  VQX_MSG_HANDLE hMsg = static_cast<VQX_MSG_HANDLE>(pBuf);
  VqxHostSwapMsgIdReceived(hMsg);
  VqxHostSwapMsgReceived(hMsg);
  hMsg->un32MsgId = VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR + ((selector >> 1) % 8u);
  const u32 hFrom = (selector & 1) != 0 ? kBoard : kHost;
  hMsg->hAdapter = hFrom;
  /* Most of the time the sizes agree with the buffer, as the receive path guarantees, so that the payload is what gets explored. */
  if ((selector & 0x80) == 0 && size >= VQX_MSG_HEADER_SIZE) {
    hMsg->un32Length = static_cast<u32>(size);
    hMsg->un32PayloadStart = VQX_MSG_HEADER_SIZE;
    hMsg->un32PayloadMaxLength = static_cast<u32>(size) - VQX_MSG_HEADER_SIZE;
    if (hMsg->un32PayloadLength > hMsg->un32PayloadMaxLength) hMsg->un32PayloadLength = hMsg->un32PayloadMaxLength;
    hMsg->MsgType = (selector & 0x40) != 0 ? VQX_MSG_TYPE_RESPONSE : VQX_MSG_TYPE_REQUEST;
  }
  if (VqxMsgCheckReceivedHeader(hMsg, static_cast<u64>(size)) != VQX_RESULT_OK) {
    VqxMsgReleaseInternal(hLib, hMsg);
  } else {
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hFrom);
    if (pPeer == nullptr) abort();
    if (!VqxPeerHandleGwOpMsg(hLib, pPeer, hMsg)) abort();
  }
  VQX_PEER* pHost = VqxHostAdapterOrHostByHandle(hLib, kHost);
  if (pHost == nullptr || pHost->un32NbRemoteFilters > 1u + 0xFFFFu) abort();
  /* Keep the remote filters from piling up across inputs; answers wait in the send fifos (no transport). */
  if (pHost->un32NbRemoteFilters > 64) VqxRemoteHostFiltersFreeAll(hLib, pHost);
  VqxHostFreeAdapterSendFifo(hLib, pHost);
  if (VQX_PEER* pBoard = VqxHostAdapterOrHostByHandle(hLib, kBoard)) VqxHostFreeAdapterSendFifo(hLib, pBoard);
  VqxHostLibCriticalSectionLeave(hLib);
  /* Every message was freed (remote filters are not buffers). */
  if (VqxBufLiveCount(hLib) != un32Live) abort();
  return 0;
}
