// vqx_test_msg.h - a stand-in host message for utility-library tests, and the golden-file reader.
//
// The host library owns the real message type; the utility library sits below it and only knows the header offsets
// of vqx_msg_layout.h. The stand-in lays its header out the same way (checked below), allocates the way the host
// library does (at least 96 bytes, header set as at allocation) and provides an allocator for
// VqxMsgElementSetAllocator.
#ifndef VQX_TEST_MSG_H
#define VQX_TEST_MSG_H

#include <cstddef>
#include <memory>
#include <vector>

#include "vqx_msg_layout.h"
#include "vqx_result.h"
#include "vqx_types.h"

struct VQX_TEST_MSG_HEADER {
  u32 un32MsgId, MsgType, un32Length, un32PayloadLength, un32PayloadMaxLength, un32PayloadStart;
  u32 un32SerialNumber;  // offset 24: a resize must not copy it
  u32 hAdapter;
  u64 un64UserContext1;
  u32 un32TrackMagic, un32FixedTwo;
  u64 un64UserContext2;
  u8 abyRest[32];
};
static_assert(sizeof(VQX_TEST_MSG_HEADER) == VQX_MSG_HEADER_SIZE);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32MsgId) == VQX_MSG_OFFSET_MSG_ID &&
              offsetof(VQX_TEST_MSG_HEADER, MsgType) == VQX_MSG_OFFSET_MSG_TYPE &&
              offsetof(VQX_TEST_MSG_HEADER, un32Length) == VQX_MSG_OFFSET_LENGTH &&
              offsetof(VQX_TEST_MSG_HEADER, un32PayloadLength) == VQX_MSG_OFFSET_PAYLOAD_LENGTH &&
              offsetof(VQX_TEST_MSG_HEADER, un32PayloadMaxLength) == VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH &&
              offsetof(VQX_TEST_MSG_HEADER, un32PayloadStart) == VQX_MSG_OFFSET_PAYLOAD_START &&
              offsetof(VQX_TEST_MSG_HEADER, hAdapter) == VQX_MSG_OFFSET_ADAPTER &&
              offsetof(VQX_TEST_MSG_HEADER, un64UserContext1) == VQX_MSG_OFFSET_USER_CONTEXT1 &&
              offsetof(VQX_TEST_MSG_HEADER, un64UserContext2) == VQX_MSG_OFFSET_USER_CONTEXT2);

// One message buffer, 8-byte aligned, owned by the object. Payload bytes are filled with 0xA5 so that tests see
// what was (not) written.
class VqxTestMsg {
 public:
  explicit VqxTestMsg(u32 un32PayloadCapacity);
  void* Msg() { return m_pStorage.get(); }
  VQX_TEST_MSG_HEADER* Header() { return static_cast<VQX_TEST_MSG_HEADER*>(Msg()); }
  u8* Payload() { return static_cast<u8*>(Msg()) + VQX_MSG_HEADER_SIZE; }
  // The set word at that offset from the payload start.
  u32* Set(std::ptrdiff_t offset) { return reinterpret_cast<u32*>(Payload() + offset); }
  // The whole buffer, to prove that a refused call wrote nothing.
  std::vector<u8> Bytes() { return {static_cast<u8*>(Msg()), static_cast<u8*>(Msg()) + m_un32Length}; }
  // Adopts a buffer made by VqxTestMsgAlloc.
  static VqxTestMsg Adopt(void* pMsg);

 private:
  VqxTestMsg() = default;
  std::unique_ptr<u64[]> m_pStorage;
  u32 m_un32Length = 0;
};

// Allocator and release for VqxMsgElementSetAllocator. hLib, when not null, is a VQX_TEST_MSG_LIB that counts calls
// and can refuse or shortchange.
struct VQX_TEST_MSG_LIB {
  u32 un32Allocs = 0, un32Releases = 0;
  bool fFail = false;       // refuse every allocation
  u32 un32Shortchange = 0;  // give this many payload bytes less than asked
};
VQX_RESULT VqxTestMsgAlloc(void* hLib, u32 un32PayloadSize, void** ppMsg);
VQX_RESULT VqxTestMsgRelease(void* hLib, void** ppMsg);

// Bytes of tests/data/<name> (the folder comes from VQX_TEST_DATA).
std::vector<u8> VqxTestReadGolden(const char* pszName);

#endif
