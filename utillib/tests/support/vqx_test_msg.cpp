/*
 * vqx_test_msg.cpp - the stand-in host message of vqx_test_msg.h.
 */
#include "support/vqx_test_msg.h"

#include <cstring>

namespace {

constexpr u32 kMinBuffer = 96;
constexpr u32 kNotSetId = 0x0201DEADu;

u64* VqxTestMsgNewBuffer(u32 un32PayloadCapacity, u32& un32Length)
{
    const u64 un64Length = static_cast<u64>(un32PayloadCapacity) + VQX_MSG_HEADER_SIZE;
    un32Length = un64Length < kMinBuffer ? kMinBuffer : static_cast<u32>(un64Length);
    u64* pStorage = new u64[(un32Length + 7) / 8];
    std::memset(pStorage, 0xA5, un32Length);
    VQX_TEST_MSG_HEADER hdr{};
    hdr.un32MsgId = kNotSetId;
    hdr.un32Length = un32Length;
    hdr.un32PayloadMaxLength = un32Length - VQX_MSG_HEADER_SIZE;
    hdr.un32PayloadStart = VQX_MSG_HEADER_SIZE;
    hdr.un32TrackMagic = 1;
    hdr.un32FixedTwo = 2;
    std::memcpy(pStorage, &hdr, sizeof hdr);
    std::memset(reinterpret_cast<u8*>(pStorage) + VQX_MSG_HEADER_SIZE + 4, 0, 4);
    return pStorage;
}

} // namespace

VqxTestMsg::VqxTestMsg(u32 un32PayloadCapacity)
    : m_pStorage(VqxTestMsgNewBuffer(un32PayloadCapacity, m_un32Length))
{
}

VqxTestMsg VqxTestMsg::Adopt(void* pMsg)
{
    VqxTestMsg msg;
    msg.m_pStorage.reset(static_cast<u64*>(pMsg));
    msg.m_un32Length = msg.Header()->un32Length;
    return msg;
}

VQX_RESULT VqxTestMsgAlloc(void* hLib, u32 un32PayloadSize, void** ppMsg)
{
    auto* pLib = static_cast<VQX_TEST_MSG_LIB*>(hLib);
    *ppMsg = nullptr;
    if (pLib != nullptr) {
        if (pLib->fFail) {
            return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
        }
        un32PayloadSize -= pLib->un32Shortchange;
        ++pLib->un32Allocs;
    }
    u32 un32Length = 0;
    *ppMsg = VqxTestMsgNewBuffer(un32PayloadSize, un32Length);
    return VQX_RESULT_API_OK;
}

VQX_RESULT VqxTestMsgRelease(void* hLib, void** ppMsg)
{
    if (hLib != nullptr) {
        ++static_cast<VQX_TEST_MSG_LIB*>(hLib)->un32Releases;
    }
    delete[] static_cast<u64*>(*ppMsg);
    *ppMsg = nullptr;
    return VQX_RESULT_OK;
}
