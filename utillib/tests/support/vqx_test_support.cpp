// vqx_test_support.cpp - the stand-in host message and the golden reader of vqx_test_support.h.
#include "support/vqx_test_support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

u64* VqxTestMsgNewBuffer(u32 un32PayloadCapacity, u32& un32Length) {
  un32Length = std::max<u64>(96, u64(un32PayloadCapacity) + VQX_MSG_HEADER_SIZE);
  u64* pStorage = new u64[(un32Length + 7) / 8];
  std::memset(pStorage, 0xA5, un32Length);
  std::memset(pStorage, 0, VQX_MSG_HEADER_SIZE);
  std::memset(reinterpret_cast<u8*>(pStorage) + VQX_MSG_HEADER_SIZE + 4, 0, 4);
  u32* pun32 = reinterpret_cast<u32*>(pStorage);
  pun32[VQX_MSG_OFFSET_MSG_ID / 4] = 0x0201DEADu;  // not set yet
  pun32[VQX_MSG_OFFSET_LENGTH / 4] = un32Length;
  pun32[VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH / 4] = un32Length - VQX_MSG_HEADER_SIZE;
  pun32[VQX_MSG_OFFSET_PAYLOAD_START / 4] = VQX_MSG_HEADER_SIZE;
  return pStorage;
}

}  // namespace

// The length is set in the body: a member initialiser would run before m_un32Length's own (= 0) and be undone.
VqxTestMsg::VqxTestMsg(u32 un32PayloadCapacity) { m_pStorage.reset(VqxTestMsgNewBuffer(un32PayloadCapacity, m_un32Length)); }

VqxTestMsg VqxTestMsg::Adopt(void* pMsg) {
  VqxTestMsg msg;
  msg.m_pStorage.reset(static_cast<u64*>(pMsg));
  msg.m_un32Length = msg.Field(VQX_MSG_OFFSET_LENGTH);
  return msg;
}

VQX_RESULT VqxTestMsgAlloc(void* hLib, u32 un32PayloadSize, void** ppMsg) {
  auto* pLib = static_cast<VQX_TEST_MSG_LIB*>(hLib);
  *ppMsg = nullptr;
  if (pLib != nullptr && pLib->fFail) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  if (pLib != nullptr) ++pLib->un32Allocs, un32PayloadSize -= pLib->un32Shortchange;
  u32 un32Length = 0;
  *ppMsg = VqxTestMsgNewBuffer(un32PayloadSize, un32Length);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxTestMsgRelease(void* hLib, void** ppMsg) {
  if (hLib != nullptr) ++static_cast<VQX_TEST_MSG_LIB*>(hLib)->un32Releases;
  delete[] static_cast<u64*>(*ppMsg);
  *ppMsg = nullptr;
  return VQX_RESULT_OK;
}

std::vector<u8> VqxTestReadGolden(const char* pszName) {
  const char* pszDir = std::getenv("VQX_TEST_DATA");
  const std::string path = std::string(pszDir != nullptr ? pszDir : "utillib/tests/data") + "/" + pszName;
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f.good()) << path;
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}
