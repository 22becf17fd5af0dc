/*
 * test_names.cpp - names of the SIP and SDP enumerations, status codes and
 * SIP message ids: how many values each function names, the texts as
 * listed (typos included), gaps, and the "Unknown" / "Unk 0x%x" fallbacks.
 */
#include "support/sipie_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

// Every name function names exactly its stated number of values, none past
// 300, and nothing for negative values; no text appears twice in one table.
TEST(Names, EveryFunctionNamesItsCountAndNothingElse)
{
    for (const Vq500IeNameFunction& f : g_kaVq500IeNameFunctions) {
        std::set<std::string> texts;
        u32 un32Named = 0;
        for (i32 v = -300; v <= 300; ++v) {
            const char* sz = f.pfnName(v);
            ASSERT_NE(sz, nullptr) << f.szEnum << " " << v;
            if (strcmp(sz, "Unknown") != 0) {
                ++un32Named;
                EXPECT_GE(v, 0) << f.szEnum;
                EXPECT_TRUE(texts.insert(sz).second) << f.szEnum << " repeats " << sz;
            }
        }
        EXPECT_EQ(un32Named, f.un32Count) << f.szEnum;
        EXPECT_STREQ(f.pfnName(static_cast<i32>(0xFFFFFFFFu)), "Unknown") << f.szEnum;
    }
    EXPECT_EQ(std::size(g_kaVq500IeNameFunctions), 131u);
}

struct NameRow {
    const char* (*pfn)(i32);
    i32 n32Value;
    const char* szText;
};

TEST(Names, TextsAsListed)
{
    const NameRow rows[] = {
        {VQ500_SIP_CACHE_TYPE_STRING, 3, "Unknown"},
        {VQ500_SIP_CACHE_TYPE_STRING, 16, "CACHE_TYPE_MCAST"},
        {VQ500_SIP_CACHE_TYPE_STRING, 4, "CACHE_TYPE_DNS_NAPTR"},
        {VQ500_SIP_BODY_TYPE_STRING, 1, "Unknown"},
        {VQ500_SIP_BODY_TYPE_STRING, 2, "BODY_TYPE_SINGLE_PART"},
        {VQ500_SIP_HEADER_TYPE_STRING, 92, "HEADER_TYPE_GEN_EXTENSION"},
        {VQ500_SIP_HEADER_TYPE_STRING, 93, "Unknown"},
        {VQ500_SIP_HEADER_TYPE_STRING, 10, "HEADER_TYPE_GEN_CALLIDI"},
        {VQ500_SIP_HEADER_TYPE_STRING, 77, "HEADER_TYPE_REQ_REJECT_CONTACTJ"},
        {VQ500_SIP_METHOD_TYPE_STRING, 1, "INVITE"},
        {VQ500_SIP_METHOD_TYPE_STRING, 0, "FIRST"},
        {VQ500_SIP_CODINGS_TYPE_STRING, 0, "CODINGS_TYPE_FRIST"},
        {VQ500_SIP_CONTENT_CODING_TYPE_STRING, 3, "CONTENT_CODING_TYPE_DEFALTE"},
        {VQ500_SIP_WEEK_DAY_STRING, 3, "WEEK_DAY_WEDNSDAY"},
        {VQ500_SIP_MONTH_STRING, 2, "MONTH_FEBUARY"},
        {VQ500_SIP_PRIV_TYPE_STRING, 2, "PRIV_TYPE_SESSON"},
        {VQ500_SIP_RPI_OTHER_NP_VALUE_TYPE_STRING, 24, "VQ500_SIP_RPI_OTHER_NP_VALUE_TYPE_UNKNOWN"},
        {VQ500_SIP_ERROR_MSG_SRC_STRING, 3, "ERROR_MSG_SRC_UNKNOWN"},
        {VQ500_SIP_TRANSPORT_PROTOCOL_TYPE_STRING, 1, "TRANSPORT_PROTOCOL_UDP"},
        {VQ500_SDP_ATTRIBUTE_TYPE_STRING, 85, "VQ500_SDP_ATTRIBUTE_TYPE_CBR_RATE"},
        {VQ500_SDP_ATTRIBUTE_TYPE_STRING, 86, "Unknown"},
        {VQ500_SDP_ATTRIBUTE_TYPE_STRING, 87, "Unknown"},
        {VQ500_SDP_ATTRIBUTE_TYPE_STRING, 88, "VQ500_SDP_ATTRIBUTE_TYPE_EXTN"},
        {VQ500_SDP_ATTRIBUTE_TYPE_STRING, 89, "VQ500_SDP_ATTRIBUTE_TYPE_INACTIVE"},
        {VQ500_SDP_ATTRIBUTE_TYPE_STRING, 90, "VQ500_SDP_ATTRIBUTE_TYPE_LAST"},
        {VQ500_SDP_ATTRIBUTE_TYPE_STRING, 91, "Unknown"},
        {VQ500_SDP_T38_FAX_ATTRIBUTE_TYPE_STRING, 9, "VQ500_SDP_T38_FAX_ATTRIBUTE_TYPE_UDP_EC"},
        {VQ500_SDP_T38_FAX_ATTRIBUTE_TYPE_STRING, 10, "Unknown"},
        {VQ500_SDP_T38_FAX_ATTRIBUTE_TYPE_STRING, 12, "Unknown"},
        {VQ500_SDP_T38_FAX_ATTRIBUTE_TYPE_STRING, 13, "VQ500_SDP_T38_FAX_ATTRIBUTE_TYPE_LAST"},
        {VQ500_SDP_CHANNEL_TYPE_STRING, 8, "Unknown"},
        {VQ500_SDP_CHANNEL_TYPE_STRING, 9, "VQ500_SDP_CHANNEL_TYPE_IMPLICIT"},
        {VQ500_SDP_VCID_ADDR_TYPE_STRING, 1, "VQ500_SDP_VCID_ADDRESS_TYPE_VCCI"},
        {VQ500_SDP_ENCODING_TYPE_STRING, 86, "VQ500_SDP_ENCODING_TYPE_LAST"},
        {VQ500_SDP_ENCODING_TYPE_STRING, 87, "Unknown"},
        {VQ500_SDP_ENCODING_TYPE_STRING, 32, "VQ500_SDP_ENCODING_TYPE_1016"},
        {VQ500_SDP_AAL_SUB_TYPE_STRING, 1, "VQ500_SDP_AAL_SUB_TYPE_UNKNOWN"},
        {VQ500_SDP_AAL_SUB_TYPE_STRING, 9, "Unknown"},
        {VQ500_SDP_NET_TYPE_STRING, 2, "VQ500_SDP_NET_TYPE_IN"},
        {VQ500_SDP_EMAIL_TYPE_STRING, 2, "VQ500_SDP_EMAIL_TYPE_ADDRESS_AND_COMMENT"},
        {VQ500_SDP_EMAIL_TYPE_STRING, 3, "VQ500_SDP_EMAIL_TYPE_DISPNAME_AND_ADDRESS"},
    };
    for (const NameRow& row : rows) {
        EXPECT_STREQ(row.pfn(row.n32Value), row.szText) << row.szText << " for " << row.n32Value;
    }
    // Enumerator constants carry the values their texts name.
    EXPECT_EQ(VQ500_SIP_HEADER_TYPE_GEN_EXTENSION, 92u);
    EXPECT_EQ(VQ500_SIP_METHOD_INVITE, 1u);
    EXPECT_EQ(VQ500_SDP_ATTRIBUTE_TYPE_INACTIVE, 89u);
}

struct NumberRow {
    u32 un32Value;
    const char* szText;
};

TEST(Names, StatusCodes)
{
    const NumberRow rows[] = {
        {100, "Trying"}, {406, "Not Acceptable"}, {606, "Not Acceptable"}, {302, "Moved Temporarly"},
        {488, "Not Accpetable Here"}, {200, "Ok"}, {505, "Version Unsupported"},
        {199, "Unk 0xc7"}, {0, "Unk 0x0"}, {607, "Unk 0x25f"}, {0xFFFFFFFFu, "Unk 0xffffffff"},
    };
    for (const NumberRow& row : rows) {
        EXPECT_STREQ(SIP_STATUS_STRING(row.un32Value), row.szText) << row.un32Value;
    }
    u32 un32Named = 0;
    for (u32 v = 0; v < 1000; ++v) {
        un32Named += strncmp(SIP_STATUS_STRING(v), "Unk 0x", 6) != 0;
    }
    EXPECT_EQ(un32Named, 52u);
}

TEST(Names, MessageIds)
{
    const NumberRow rows[] = {
        {0x43F0001, "SIP_OP_ALLOC"},
        {0x43F006C, "SIP_CMD_UA_OPTIONS_REQ"},
        {0x43F006D, "SIP_NOTIF_UA_OPTIONS_CFM"},
        {0x43F006E, "SIP_NOTIF_UA_OPTIONS_IND"},
        {0x43F00D1, "SIP_NOTIF_ALARM"},
        {0x43F0000, "Unk 0x43f0000"},
        {0x43F00D2, "Unk 0x43f00d2"},
        {0x43F00B2, "Unk 0x43f00b2"},
    };
    for (const NumberRow& row : rows) {
        EXPECT_STREQ(VQ500_MSG_ID_SIP_STRING(row.un32Value), row.szText) << row.un32Value;
    }
    u32 un32Named = 0;
    for (u32 v = 0x43F0000; v < 0x43F0100; ++v) {
        un32Named += strncmp(VQ500_MSG_ID_SIP_STRING(v), "Unk 0x", 6) != 0;
    }
    EXPECT_EQ(un32Named, 62u);
}

// An unlisted number's text stays until the same function formats another;
// the other function has a buffer of its own.
TEST(Names, UnlistedBuffersPerFunction)
{
    const char* sz199 = SIP_STATUS_STRING(199);
    const char* szId = VQ500_MSG_ID_SIP_STRING(0x43F00B2);
    EXPECT_STREQ(sz199, "Unk 0xc7");
    const char* sz299 = SIP_STATUS_STRING(299);
    EXPECT_EQ(sz199, sz299);
    EXPECT_STREQ(sz299, "Unk 0x12b");
    EXPECT_STREQ(szId, "Unk 0x43f00b2");
}

} // namespace
