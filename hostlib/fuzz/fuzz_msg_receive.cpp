/*
 * fuzz_msg_receive.cpp - received host messages from arbitrary bytes.
 *
 * Each input is a sequence of received buffers (2-byte length, then that many
 * bytes). Every buffer goes through what the receive path does before
 * dispatch: restore the header byte order, check the header against the bytes
 * received, and hand fragments to reassembly. The library must never read
 * outside a buffer, leak one, or hand out a message whose header does not
 * fit it.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "vqx_host_internal.h"

namespace {

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
    return hLib;
  }();
  return s_hLib;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  VQX_LIB_HANDLE hLib = OpenOnce();
  VqxHostLibCriticalSectionEnter(hLib);
  VQX_FRAG_STATE state;
  if (VqxFragInit(hLib, &state) != VQX_RESULT_OK) abort();
  size_t offset = 0;
  while (offset + 2 <= size) {
    const size_t length = static_cast<size_t>(pbyData[offset]) | (static_cast<size_t>(pbyData[offset + 1]) << 8);
    offset += 2;
    if (length > size - offset) break;
    /* The transport hands over a buffer of exactly the bytes received. */
    void* pBuf = VqxBufMalloc(hLib, length < VQX_MSG_HEADER_SIZE ? VQX_MSG_HEADER_SIZE : length, 0, __FILE__, __LINE__);
    if (pBuf == nullptr) break;
    memcpy(pBuf, pbyData + offset, length);
    offset += length;
    VQX_MSG_HANDLE hMsg = static_cast<VQX_MSG_HANDLE>(pBuf);
    VqxHostSwapMsgIdReceived(hMsg);
    VqxHostSwapMsgReceived(hMsg);
    if (VqxMsgCheckReceivedHeader(hMsg, length) != VQX_RESULT_OK || hMsg->un16FragInfo == 0) {
      VqxMsgReleaseInternal(hLib, hMsg);
      continue;
    }
    if (VqxFragReassemble(hLib, &state, &hMsg) == VQX_RESULT_OK && hMsg != nullptr) {
      if (VqxMsgCheckHeader(hLib, hMsg) != VQX_RESULT_OK) abort();
      VqxMsgReleaseInternal(hLib, hMsg);
    }
  }
  VqxFragUninit(hLib, &state);
  VqxHostLibCriticalSectionLeave(hLib);
  if (VqxBufLiveCount(hLib) != 0) abort();
  return 0;
}
