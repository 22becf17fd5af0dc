/*
 * test_result_codes.cpp - names and descriptions of result words.
 *
 * Table-driven: every row names the word it checks. The constants of
 * vqx_result.h are read from the header and checked against their own
 * spelling, which the name table was not generated from.
 */
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "vqx_host.h"
#include "vqx_host_internal.h"

namespace {

std::string ErrorString(VQX_RESULT result, u32 size = 256) {
  char sz[256];
  memset(sz, 'x', sizeof(sz));
  EXPECT_EQ(VQXGetErrorString(result, size, sz), VQX_RESULT_API_OK);
  return sz;
}

struct NameRow {
  VQX_RESULT result;
  const char* pszExpected;
};

/* Every constant of vqx_result.h, read from the header as spelled there (the name table comes from elsewhere). */
TEST(ResultNames, EveryConstantIsNamedAsSpelled) {
  const char* pszRoot = getenv("VQX_SOURCE_DIR");
  std::ifstream in(std::string(pszRoot != nullptr ? pszRoot : ".") + "/utillib/vqx_result.h");
  u32 un32Count = 0;
  for (std::string line; std::getline(in, line);) {
    char szName[96];
    unsigned int uValue = 0;
    if (sscanf(line.c_str(), "#define %95s 0x%x", szName, &uValue) != 2 || strncmp(szName, "VQX_RESULT_", 11) != 0) {
      continue;
    }
    EXPECT_EQ(ErrorString(uValue), szName) << line;
    un32Count++;
  }
  EXPECT_EQ(un32Count, 86u) << "every constant of the header was read";
}

const NameRow kBuiltNames[] = {
    {0x82020005, "VQX_DB.ACCESS_DENIED"},
    {0x84220005, "VQ500_MANAGER_SS7_MTP3.ACCESS_DENIED"},
    {0x8200FFFF, "VQX_COMMON.0x8200FFFF"},
    {0x82170001, ".FAIL"},
    {0x84170001, "VQ500_RESULT_BOOTMGR_FAIL: Fail"},
    {0x84170FFF, "UnkErrorCode"},
    {0x02010203, "VQX_API.0x02010203"},
    {0x82010203, "VQX_API.0x82010203"},
    {0x82010211, "VQX_API.0x82010211"},
    {0x82010219, "VQX_API.0x82010219"},
    {0x8200001B, "VQX_COMMON.0x8200001B"},
    {0x82000021, "VQX_COMMON.0x82000021"},
    {0xC2000001, "VQX_COMMON.FAIL"},
    {0x82000000, "VQX_COMMON.OK"},
    {0x02020000, "VQX_DB.OK"},
    {0x80000000, ".OK"},
    {0x80000123, "0x80000123"},
    {0x84570022, "VQ500_MANAGER_ISDNNFAS.OPERATION_INCOMPLETE"},
    {0x84080001, "VQ500_MANAGER_ISDN.FAIL"},
    {0x84100001, ".FAIL"},
    {0x84280001, "VQ500_INTERADAPTER.FAIL"},
    {0x84170000, "UnkErrorCode"},
    {0x04170000, "VQ500_RESULT_BOOTMGR_OK: Success"},
    {0x8417001A, "VQ500_RESULT_BOOTMGR_BUFFER_TOO_SMALL: BufferTootSmall"},
    {0x84170201, "VQ500_RESULT_BOOTMGR_NO_OVERRIDE: "},
    {0x8417021F, "VQ500_RESULT_BOOTMGR_SPARE_MEZZANINE_FOUND: "},
    {0x84170208, "UnkErrorCode"},
    {0x84160020, "VQ500_RESULT_VPMGR_UNSUPPORTED_VERSION: UnsuppVersion"},
    {0x04160249, "VQ500_RESULT_VPMGR_NVPARAMS_EFFECTIVE_AFTER_REBOOT: "},
    {0x0416024A, "VQ500_RESULT_VPMGR_NVPARAMS_EFFECTIVE_NOW: "},
    {0x8416025C, "VQ500_RESULT_VPMGR_CANNOT_SET_IP_DTMF_CTRL: "},
    {0x84200022, "VQ500_RESULT_SS7MGR_OPERATION_INCOMPLETE: OpIncomplete"},
    {0x84206201, "VQ500_RESULT_SS7_TCAP_MANDATORY_COMPONENT_MISSING: "},
    {0x84360200, "VQ500_RESULT_BERTMGR_FEATURE_NOT_AVAILABLE: FeatureNotAvailable"},
    {0x84360009, "VQ500_RESULT_BERTMGR_NULL_PARAM: NullParam"},
};

TEST(ResultNames, BuiltFromSourceAndCode) {
  for (const NameRow& row : kBuiltNames) {
    EXPECT_EQ(ErrorString(row.result), row.pszExpected) << std::hex << row.result;
  }
}

TEST(ResultNames, CutToBufferAndArgumentChecks) {
  EXPECT_EQ(ErrorString(0x82010206, 8), "VQX_RES");
  EXPECT_EQ(ErrorString(0x82010206, 1), "");
  EXPECT_EQ(ErrorString(0x84170001, 10), "VQ500_RES");
  char sz[4];
  EXPECT_EQ(VQXGetErrorString(0x82010206, 4, nullptr), VQX_RESULT_API_NULL_PARAM);
  EXPECT_EQ(VQXGetErrorString(0x82010206, 0, sz), VQX_RESULT_API_INVALID_PARAM);
}

TEST(ResultNames, ManagerTablesHoldGenericRowsFirst) {
  const struct {
    const VQX_MANAGER_ERROR_ROW* paRows;
    u32 un32Count;
    u32 un32Source;
    u32 un32Expected;
  } tables[] = {{g_aBootMgrError, g_aBootMgrErrorCount, 1047, 29 + 24},
                {g_aVpMgrError, g_aVpMgrErrorCount, 1046, 29 + 93},
                {g_aSs7MgrError, g_aSs7MgrErrorCount, 1056, 29 + 26},
                {g_aBertMgrError, g_aBertMgrErrorCount, 1078, 29 + 2}};
  for (const auto& t : tables) {
    EXPECT_EQ(t.un32Count, t.un32Expected) << t.un32Source;
    EXPECT_EQ(t.paRows[0].un32Result, t.un32Source << 16) << t.un32Source;
    EXPECT_EQ(t.paRows[1].un32Result, 0x80000001u + (t.un32Source << 16)) << t.un32Source;
    EXPECT_EQ(t.paRows[28].un32Result, 0x80000022u + (t.un32Source << 16)) << t.un32Source;
    for (u32 i = 0; i < t.un32Count; i++) {
      EXPECT_LT(strlen(t.paRows[i].szText), sizeof(t.paRows[i].szText));
      EXPECT_NE(strstr(t.paRows[i].szText, ": "), nullptr) << t.paRows[i].szText;
    }
  }
  EXPECT_STREQ(g_aBertMgrError[30].szText, "VQ500_RESULT_BERTMGR_ALREADY_ALLOCATED: ");
  EXPECT_EQ(g_aBertMgrError[30].un32Result, 0x84360200u);
}

const NameRow kDescriptions[] = {
    {0x84170001, "Error class not supported by this function"},
    {0x82020005, "Error class not supported by this function"},
    {0x82010003, "VQX_RESULT_TIMEOUT : Delay expired"},
    {0x82000003, "VQX_RESULT_TIMEOUT : Delay expired"},
    {0x02000000, "VQX_RESULT_OK : Success"},
    {0x02010000, "VQX_RESULT_OK : Success"},
    {0x82000020, "VQX_RESULT_UNSUPPORTED_VERSION : unsupported verion"},
    {0x82000022, "VQX_RESULT_OPERATION_INCOMPLETE : Operation incomplete "},
    {0x82010206, "VQX_RESULT_API_INVALID_LIB_HANDLE : Invalid library handle was given as argument"},
    {0x42010203, "VQX_RESULT_API_INCOMPLETE : List retrieved is incomplete because array is too small"},
    {0x8201020F, "VQX_RESULT_API_MSG_ENDMAGIC_INVALID : Message \"EndMagic\" protection was overwritten by client"},
    {0x82000217, "VQX_RESULT_API_INVALID_SEND_FIFO_SIZE : Invalid 'send fifo size' (un32SendFifoSize) parameter"},
    {0x8201021C, "VQX_RESULT_API_INVALID_NB_PREALLOC_BUF_POOLS : Too many pre-allocated buffer pools (un32NbPreAllocBufferPools > VQX_API_MAX_PREALLOC_BUF_POOLS)"},
    {0x82010219, "Unkown error code"},
    {0x8201001B, "Unkown error code"},
};

TEST(ResultDescriptions, TableRows) {
  for (const NameRow& row : kDescriptions) {
    const char* psz = nullptr;
    EXPECT_EQ(VQXGetErrorDescription(row.result, &psz), VQX_RESULT_API_OK);
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, row.pszExpected) << std::hex << row.result;
  }
  EXPECT_EQ(VQXGetErrorDescription(0x82010003, nullptr), VQX_RESULT_API_NULL_PARAM);
}

}  // namespace
