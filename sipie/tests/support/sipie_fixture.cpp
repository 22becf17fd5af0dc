/*
 * sipie_fixture.cpp - the message stand-in, log capture and golden files of
 * the element-copy tests.
 */
#include "sipie_fixture.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

void SetHeader(std::vector<u8>& buffer, u32 un32Used, u32 un32Capacity)
{
    PutU32(buffer.data() + VQX_MSG_OFFSET_LENGTH, VQX_MSG_HEADER_SIZE + un32Capacity);
    PutU32(buffer.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH, un32Used);
    PutU32(buffer.data() + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, un32Capacity);
    PutU32(buffer.data() + VQX_MSG_OFFSET_PAYLOAD_START, VQX_MSG_HEADER_SIZE);
}

} // namespace

TestMsg::TestMsg(u32 un32Fixed, u32 un32Capacity, u32 un32Layout) : m_buffer(VQX_MSG_HEADER_SIZE + un32Capacity)
{
    SetHeader(m_buffer, 0, un32Capacity);
    EXPECT_EQ(VqxMsgElementInitLayout(Msg(), un32Fixed, un32Layout), VQX_RESULT_OK);
}

TestMsg::TestMsg(const std::vector<u8>& payload, u32 un32Capacity) : m_buffer(VQX_MSG_HEADER_SIZE + un32Capacity)
{
    EXPECT_LE(payload.size(), un32Capacity);
    memcpy(Payload(), payload.data(), payload.size());
    SetHeader(m_buffer, static_cast<u32>(payload.size()), un32Capacity);
}

u32 TestMsg::Used() const
{
    return GetU32(m_buffer.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH);
}

std::vector<u8> TestMsg::Bytes() const
{
    const u8* p = m_buffer.data() + VQX_MSG_HEADER_SIZE;
    return std::vector<u8>(p, p + Used());
}

u8* TestMsg::Alloc(void* pSet, u16 un16Size)
{
    void* pv = nullptr;
    EXPECT_EQ(VQXMsgElementAlloc(Msg(), pSet, un16Size, &pv), VQX_RESULT_OK);
    return static_cast<u8*>(pv);
}

void TestMsg::AddString(void* pSet, const char* szText)
{
    EXPECT_EQ(VQXMsgElementStringAdd(Msg(), pSet, szText), VQX_RESULT_OK);
}

std::vector<std::string>& LogCapture::Lines()
{
    static std::vector<std::string> s_lines;
    return s_lines;
}

int LogCapture::Sink(const char* szFormat, ...)
{
    char szLine[512];
    va_list args;
    va_start(args, szFormat);
    const int n = vsnprintf(szLine, sizeof szLine, szFormat, args);
    va_end(args);
    Lines().emplace_back(szLine);
    return n;
}

std::vector<std::string> LogCapture::Masked()
{
    std::vector<std::string> out;
    for (std::string line : Lines()) {
        // "...:123\n" -> "...:N"
        const size_t nColon = line.rfind(':');
        if (nColon != std::string::npos && line.size() > nColon + 1 && line.back() == '\n') {
            line = line.substr(0, nColon) + ":N";
        }
        out.push_back(line);
    }
    return out;
}

IeCopyContext HostContext(const void* pSrcMsg)
{
    return IeCopyContext{0, 2, LogCapture::Sink, pSrcMsg};
}

IeCopyContext SwapContext(u32 un32Order, const void* pSrcMsg)
{
    return IeCopyContext{1, un32Order, LogCapture::Sink, pSrcMsg};
}

void PutU32(void* pv, u32 un32Value)
{
    memcpy(pv, &un32Value, sizeof un32Value);
}

void PutU16(void* pv, u16 un16Value)
{
    memcpy(pv, &un16Value, sizeof un16Value);
}

u32 GetU32(const void* pv)
{
    u32 un32Value;
    memcpy(&un32Value, pv, sizeof un32Value);
    return un32Value;
}

std::vector<u8> ReadGolden(const std::string& name)
{
    const char* szDir = getenv("VQX_TEST_DATA");
    std::ifstream in(std::string(szDir != nullptr ? szDir : "tests/data") + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ValueText(const char* p, u16 un16Length)
{
    if (p == nullptr) {
        return "(null)";
    }
    EXPECT_EQ(strlen(p), un16Length) << p;
    return p;
}

std::string ParamValue(const void* pSet, const char* szName, u16* pun16Cursor)
{
    u16 un16Length = 0xFFFF;
    const char* p = VQ500SipParameterFind(pSet, szName, pun16Cursor, nullptr, &un16Length);
    return ValueText(p, un16Length);
}
