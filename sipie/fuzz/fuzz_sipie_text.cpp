// fuzz_sipie_text.cpp - every text parser of the element library over any
// text: URI split (and composition of its parts), Content-Type, parameter
// lists, Diversion and User-to-User lines, status codes, Remote-Party-ID
// parameter texts. Each ends in a result, writes only inside the text or
// the message, and a refused add leaves the message as it was.
//
// Input: one selector byte, then the text (a NUL is appended).
#include "vq500_sip_ie.h"
#include "vqx_msg_layout.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr u32 kCapacity = 0x8000;

struct Msg {
    std::vector<u8> buf = std::vector<u8>(VQX_MSG_HEADER_SIZE + kCapacity);
    Msg()
    {
        const u32 un32Length = VQX_MSG_HEADER_SIZE + kCapacity, un32Cap = kCapacity;
        memcpy(buf.data() + VQX_MSG_OFFSET_LENGTH, &un32Length, 4);
        memcpy(buf.data() + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, &un32Cap, 4);
        VQXMsgElementInit(buf.data(), 8);
    }
    void* P() { return buf.data(); }
    void* Set() { return buf.data() + VQX_MSG_HEADER_SIZE; }
    std::vector<u8> Used()
    {
        u32 un32Used;
        memcpy(&un32Used, buf.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH, 4);
        return {buf.begin(), buf.begin() + VQX_MSG_HEADER_SIZE + un32Used};
    }
};

void Inside(const std::string& text, const char* p)
{
    if (p != nullptr && (p < text.data() || p > text.data() + text.size())) {
        abort();
    }
}

// An add that fails must leave the message untouched.
template <class F>
void Add(Msg& m, F add)
{
    const std::vector<u8> before = m.Used();
    if (VQX_RESULT_FAILED(add()) && m.Used() != before) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1) {
        return 0;
    }
    const u8 bySel = pData[0] % 7;
    std::string text(reinterpret_cast<const char*>(pData + 1), nSize - 1);
    const std::string original = text.c_str();
    Msg m;
    switch (bySel) {
    case 0: {
        char* ap[5];
        u32 un32Port = 0;
        VQ500SipAddrspecStrParseString(text.data(), &ap[0], &ap[1], &ap[2], &ap[3], &ap[4], &un32Port);
        for (char* p : ap) {
            Inside(text, p);
        }
        if (un32Port > 65535) {
            abort();
        }
        char szOut[300];
        memset(szOut, 'X', sizeof szOut);
        VQ500SipAddrspecStrCreateString(ap[0], ap[1], ap[2], ap[3], ap[4], un32Port, 256, szOut);
        if (strnlen(szOut, 256) > 255 || szOut[256] != 'X') {
            abort();
        }
        break;
    }
    case 1:
        Add(m, [&] { return VQ500SipHeaderAddStr_ContentType(m.P(), m.Set(), original.c_str()); });
        if (auto* h = static_cast<SipHeaderContenttypeIe*>(VQ500SipHeaderFind(m.Set(), 20, nullptr, nullptr))) {
            char szOut[64];
            VQ500SipHeaderCreateString_ContentType(h, sizeof szOut, szOut);
        }
        break;
    case 2:
        Add(m, [&] { return VQ500SipParameterFillStr(m.P(), m.Set(), original.c_str()); });
        break;
    case 3: {
        char* ap[6];
        VQ500SipHeaderGetStr_Diversion(text.data(), &ap[0], &ap[1], &ap[2], &ap[3], &ap[4], &ap[5]);
        for (char* p : ap) {
            Inside(text, p);
        }
        break;
    }
    case 4: {
        char* ap[4];
        VQ500SipHeaderGetStr_UUI(text.data(), &ap[0], &ap[1], &ap[2], &ap[3]);
        for (char* p : ap) {
            Inside(text, p);
        }
        break;
    }
    case 5: {
        u16 un16Code = 0;
        if (VQX_RESULT_SUCCEEDED(VQ500GetStatusCodeBody(original.c_str(), &un16Code)) && un16Code > 999) {
            abort();
        }
        break;
    }
    default:
        Add(m, [&] {
            return VQ500SipHeaderAdd_RemotePartyId(m.P(), m.Set(), "d", "sip", "u", nullptr, "h", 0, original.c_str());
        });
        break;
    }
    return 0;
}
