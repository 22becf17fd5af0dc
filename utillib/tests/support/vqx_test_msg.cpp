// vqx_test_msg.cpp - the stand-in host message and golden reader of vqx_test_msg.h.
#include "support/vqx_test_msg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

u64* VqxTestMsgNewBuffer(u32 un32PayloadCapacity, u32& un32Length) {
  const u64 un64Length = static_cast<u64>(un32PayloadCapacity) + VQX_MSG_HEADER_SIZE;
  un32Length = un64Length < 96 ? 96 : static_cast<u32>(un64Length);
  u64* pStorage = new u64[(un32Length + 7) / 8];
  std::memset(pStorage, 0xA5, un32Length);
  const VQX_TEST_MSG_HEADER hdr{0x0201DEADu /* not set yet */, 0, un32Length, 0, un32Length - VQX_MSG_HEADER_SIZE,
                                VQX_MSG_HEADER_SIZE, 0, 0, 0, 1, 2, 0, {}};
  std::memcpy(pStorage, &hdr, sizeof hdr);
  std::memset(reinterpret_cast<u8*>(pStorage) + VQX_MSG_HEADER_SIZE + 4, 0, 4);
  return pStorage;
}

}  // namespace

VqxTestMsg::VqxTestMsg(u32 un32PayloadCapacity) : m_pStorage(VqxTestMsgNewBuffer(un32PayloadCapacity, m_un32Length)) {}

VqxTestMsg VqxTestMsg::Adopt(void* pMsg) {
  VqxTestMsg msg;
  msg.m_pStorage.reset(static_cast<u64*>(pMsg));
  msg.m_un32Length = msg.Header()->un32Length;
  return msg;
}

VQX_RESULT VqxTestMsgAlloc(void* hLib, u32 un32PayloadSize, void** ppMsg) {
  auto* pLib = static_cast<VQX_TEST_MSG_LIB*>(hLib);
  *ppMsg = nullptr;
  if (pLib != nullptr) {
    if (pLib->fFail) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    un32PayloadSize -= pLib->un32Shortchange;
    ++pLib->un32Allocs;
  }
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
