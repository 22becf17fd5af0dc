// vqx_test_support.h - what the utility-library tests share: the usual headers, result lists, bounded waits for the
// threaded tests, a stand-in host message and the golden-file reader.
//
// The host library owns the real message type; the utility library sits below it and knows only the header
// offsets of vqx_msg_layout.h, which is all the stand-in uses. It allocates the way the host library does (at least
// 96 bytes, header set as at allocation) and provides an allocator for VqxMsgElementSetAllocator.
#ifndef VQX_TEST_SUPPORT_H
#define VQX_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vqx_msg_layout.h"
#include "vqx_result.h"

// Several calls' results in one assertion: EXPECT_EQ((Results{a(), b()}), Results(2, expected)).
using Results = std::vector<VQX_RESULT>;

// Bound of every wait of the threaded tests; never reached when the code works.
constexpr std::chrono::seconds kVqxTestWait{10};

// Polls a condition every millisecond until it holds (true) or kVqxTestWait has passed (false).
template <class F>
bool VqxTestWaitUntil(F fCondition) {
  for (const auto until = std::chrono::steady_clock::now() + kVqxTestWait;;) {
    if (fCondition()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// A count-down latch with bounded waits; with a count of 1, a gate that handlers block on until the test opens it.
struct VqxTestLatch {
  explicit VqxTestLatch(int n = 1) : m_n(n) {}
  void CountDown() { --m_n; }
  bool Wait() const { return VqxTestWaitUntil([this] { return m_n <= 0; }); }
  std::atomic<int> m_n;
};

// One message buffer, 8-byte aligned, owned by the object; payload bytes filled with 0xA5 so that tests see what
// was (not) written.
class VqxTestMsg {
 public:
  explicit VqxTestMsg(u32 un32PayloadCapacity);
  static VqxTestMsg Adopt(void* pMsg);  // a buffer made by VqxTestMsgAlloc
  void* Msg() { return m_pStorage.get(); }
  u32& Field(u32 un32Offset) { return *reinterpret_cast<u32*>(static_cast<u8*>(Msg()) + un32Offset); }
  u32& Used() { return Field(VQX_MSG_OFFSET_PAYLOAD_LENGTH); }
  u32& Cap() { return Field(VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH); }
  u8* Payload() { return static_cast<u8*>(Msg()) + VQX_MSG_HEADER_SIZE; }
  u32* Set(std::ptrdiff_t offset) { return reinterpret_cast<u32*>(Payload() + offset); }  // from the payload start
  std::vector<u8> Bytes() { return {static_cast<u8*>(Msg()), static_cast<u8*>(Msg()) + m_un32Length}; }

 private:
  VqxTestMsg() = default;
  std::unique_ptr<u64[]> m_pStorage;
  u32 m_un32Length = 0;
};

// Allocator and release for VqxMsgElementSetAllocator; hLib, when not null, is a VQX_TEST_MSG_LIB that counts the
// calls and can refuse or give less than asked.
struct VQX_TEST_MSG_LIB {
  u32 un32Allocs = 0, un32Releases = 0, un32Shortchange = 0;
  bool fFail = false;
};
VQX_RESULT VqxTestMsgAlloc(void* hLib, u32 un32PayloadSize, void** ppMsg);
VQX_RESULT VqxTestMsgRelease(void* hLib, void** ppMsg);

// Bytes of tests/data/<name> (the folder comes from VQX_TEST_DATA).
std::vector<u8> VqxTestReadGolden(const char* pszName);

#endif
