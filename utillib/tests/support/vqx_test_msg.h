/*
 * vqx_test_msg.h - a stand-in host message for utility-library tests.
 *
 * The host library owns the real message type; the utility library sits
 * below it and only knows the header offsets of vqx_msg_layout.h. This
 * stand-in lays its header out the same way (checked below), allocates
 * buffers the way the host library does (at least 96 bytes, header set as at
 * allocation) and provides an allocator for VqxMsgElementSetAllocator.
 */
#ifndef VQX_TEST_MSG_H
#define VQX_TEST_MSG_H

#include "vqx_msg_layout.h"
#include "vqx_result.h"
#include "vqx_types.h"

#include <cstddef>
#include <memory>

struct VQX_TEST_MSG_HEADER {
    u32 un32MsgId;
    u32 MsgType;
    u32 un32Length;
    u32 un32PayloadLength;
    u32 un32PayloadMaxLength;
    u32 un32PayloadStart;
    u32 un32SerialNumber;
    u32 hAdapter;
    u64 un64UserContext1;
    u32 un32TrackMagic;
    u32 un32FixedTwo;
    u64 un64UserContext2;
    u32 un32TimeStamp;
    u32 un32LocalWord;
    u32 un32TxSeq;
    u32 un32TrackMark;
    u64 un64SourceUniqueId;
    u16 un16FragInfo;
    u16 un16ConnectionCount;
    u32 un32PiggyAck;
};

static_assert(sizeof(VQX_TEST_MSG_HEADER) == VQX_MSG_HEADER_SIZE);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32MsgId) == VQX_MSG_OFFSET_MSG_ID);
static_assert(offsetof(VQX_TEST_MSG_HEADER, MsgType) == VQX_MSG_OFFSET_MSG_TYPE);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32Length) == VQX_MSG_OFFSET_LENGTH);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32PayloadLength) == VQX_MSG_OFFSET_PAYLOAD_LENGTH);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32PayloadMaxLength) == VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32PayloadStart) == VQX_MSG_OFFSET_PAYLOAD_START);
static_assert(offsetof(VQX_TEST_MSG_HEADER, hAdapter) == VQX_MSG_OFFSET_ADAPTER);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un64UserContext1) == VQX_MSG_OFFSET_USER_CONTEXT1);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un64UserContext2) == VQX_MSG_OFFSET_USER_CONTEXT2);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32TrackMagic) == 40);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32FixedTwo) == 44);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32TimeStamp) == 56);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32LocalWord) == 60);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32TxSeq) == 64);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32TrackMark) == 68);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un64SourceUniqueId) == 72);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un16FragInfo) == 80);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un16ConnectionCount) == 82);
static_assert(offsetof(VQX_TEST_MSG_HEADER, un32PiggyAck) == 84);

/* One message buffer, 8-byte aligned, owned by the object. */
class VqxTestMsg {
public:
    /* Header as the host library sets it at allocation; the payload capacity
     * is raised so that the buffer has at least 96 bytes. Payload bytes are
     * filled with 0xA5 so that tests see what was (not) written. */
    explicit VqxTestMsg(u32 un32PayloadCapacity);

    void* Msg() { return m_pStorage.get(); }
    VQX_TEST_MSG_HEADER* Header() { return reinterpret_cast<VQX_TEST_MSG_HEADER*>(m_pStorage.get()); }
    u8* Payload() { return reinterpret_cast<u8*>(m_pStorage.get()) + VQX_MSG_HEADER_SIZE; }
    u32 BufferSize() const { return m_un32Length; }

    /* Adopts a buffer made by VqxTestMsgAlloc. */
    static VqxTestMsg Adopt(void* pMsg);

private:
    VqxTestMsg() = default;
    std::unique_ptr<u64[]> m_pStorage;
    u32 m_un32Length = 0;
};

/* Allocator and release for VqxMsgElementSetAllocator. hLib, when not null,
 * is a VQX_TEST_MSG_LIB that counts calls and can refuse or shortchange. */
struct VQX_TEST_MSG_LIB {
    u32 un32Allocs = 0;
    u32 un32Releases = 0;
    bool fFail = false;       /* refuse every allocation */
    u32 un32Shortchange = 0;  /* give this many payload bytes less than asked */
};

VQX_RESULT VqxTestMsgAlloc(void* hLib, u32 un32PayloadSize, void** ppMsg);
VQX_RESULT VqxTestMsgRelease(void* hLib, void** ppMsg);

#endif
