/*
 * sipie_fixture.h - what the element-copy tests share: a host message
 * stand-in with element sets, a log sink that keeps the lines a copy writes
 * (line numbers masked), and the golden files beside the tests.
 *
 * TestMsg lays out only the header fields the element sets read
 * (vqx_msg_layout.h); its payload starts 8-aligned like the host library's.
 */
#ifndef SIPIE_FIXTURE_H
#define SIPIE_FIXTURE_H

#include "vq500_sip_ie.h"
#include "vqx_msg_layout.h"

#include <string>
#include <vector>

class TestMsg {
public:
    /* A message of un32Capacity payload bytes, prepared for sets after a
     * fixed structure of un32Fixed bytes (32-bit layout unless given). */
    explicit TestMsg(u32 un32Fixed, u32 un32Capacity = 0x10000, u32 un32Layout = VQX_MSG_ELEMENT_LAYOUT_32);
    /* A message whose payload is exactly these bytes (a golden file). */
    explicit TestMsg(const std::vector<u8>& payload, u32 un32Capacity = 0x10000);

    void* Msg() { return m_buffer.data(); }
    u8* Payload() { return m_buffer.data() + VQX_MSG_HEADER_SIZE; }
    u8* At(u32 un32Offset) { return Payload() + un32Offset; }
    u32 Used() const;
    std::vector<u8> Bytes() const;

    /* Appends an element to the set at pSet; asserts success. */
    u8* Alloc(void* pSet, u16 un16Size);
    void AddString(void* pSet, const char* szText);
    /* Offset of a pointer into the payload. */
    u32 Offset(const void* pv) { return static_cast<u32>(static_cast<const u8*>(pv) - Payload()); }

private:
    std::vector<u8> m_buffer;
};

/* Collects the lines a copy logs; Mask() replaces the line numbers by "N". */
struct LogCapture {
    static std::vector<std::string>& Lines();
    static int Sink(const char* szFormat, ...);
    static std::vector<std::string> Masked();
};

/* Context in host order, or converting a byte-reversed tree. */
IeCopyContext HostContext(const void* pSrcMsg = nullptr);
IeCopyContext SwapContext(u32 un32Order, const void* pSrcMsg = nullptr);

void PutU32(void* pv, u32 un32Value);
void PutU16(void* pv, u16 un16Value);
u32 GetU32(const void* pv);

std::vector<u8> ReadGolden(const std::string& name);

/* A value read as the library hands it back: its C text, checked against
 * the length given with it; "(null)" when there is none. ParamValue looks
 * the parameter up first. */
std::string ValueText(const char* p, u16 un16Length);
std::string ParamValue(const void* pSet, const char* szName, u16* pun16Cursor = nullptr);

#endif
