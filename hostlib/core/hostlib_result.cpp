/*
 * hostlib_result.cpp - names and descriptions of result words.
 *
 * Every table is data generated from data/result_codes.txt
 * (vqx_result_tables.inc); this file holds only the lookups. Pure functions of
 * constant tables: callable from any thread, with or without a library.
 */
#include <string.h>

#include "vqx_host.h"
#include "core/vqx_host_internal.h"
#include "vqx_string.h"

namespace {

struct VQX_CODE_TEXT_ROW {
  u32 un32Value;
  const char* pszText;
};

struct VQX_MANAGER_TABLE {
  u32 un32Source;
  const VQX_MANAGER_ERROR_ROW* paRows;
  u32 un32Count;
};

}  // namespace

#include "core/vqx_result_tables.inc"

namespace {

template <size_t N>
const char* VqxLookupText(const VQX_CODE_TEXT_ROW (&aRows)[N], u32 un32Value, const char* pszFallback) {
  for (const VQX_CODE_TEXT_ROW& row : aRows) {
    if (row.un32Value == un32Value) return row.pszText;
  }
  return pszFallback;
}

const VQX_MANAGER_TABLE* VqxManagerTable(u32 un32Source) {
  for (const VQX_MANAGER_TABLE& table : s_aVqxManagerTables) {
    if (table.un32Source == un32Source) return &table;
  }
  return nullptr;
}

}  // namespace

const char* VqxResultSourceName(u32 un32Source) { return VqxLookupText(s_aVqxSourceNames, un32Source, ""); }

const char* VqxResultExactName(VQX_RESULT Result) { return VqxLookupText(s_aVqxExactNames, Result, nullptr); }

VQX_RESULT VQXGetErrorString(VQX_RESULT Result, u32 un32BufSize, char* pszBuf) {
  if (pszBuf == nullptr) return VQX_RESULT_API_NULL_PARAM;
  if (un32BufSize == 0) return VQX_RESULT_API_INVALID_PARAM;

  const char* pszExact = VqxResultExactName(Result);
  if (pszExact != nullptr) {
    Snprintf(pszBuf, un32BufSize, "%s", pszExact);
    return VQX_RESULT_API_OK;
  }
  const u32 un32Source = VQX_RESULT_SOURCE(Result);
  const char* pszSource = VqxResultSourceName(un32Source);

  if (const VQX_MANAGER_TABLE* pTable = VqxManagerTable(un32Source)) {
    const char* pszRow = "UnkErrorCode";
    for (u32 i = 0; i < pTable->un32Count; i++) {
      if (pTable->paRows[i].un32Result == Result) {
        pszRow = pTable->paRows[i].szText;
        break;
      }
    }
    Snprintf(pszBuf, un32BufSize, "%s", pszRow);
    return VQX_RESULT_API_OK;
  }

  const char* pszSuffix = VqxLookupText(s_aVqxGenericSuffix, VQX_RESULT_CODE(Result), nullptr);
  if (pszSuffix != nullptr) {
    Snprintf(pszBuf, un32BufSize, "%s.%s", pszSource, pszSuffix);
  } else {
    Snprintf(pszBuf, un32BufSize, "%s%s0x%08X", pszSource, pszSource[0] != '\0' ? "." : "", Result);
  }
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXGetErrorDescription(VQX_RESULT Result, const char** ppszDescription) {
  if (ppszDescription == nullptr) return VQX_RESULT_API_NULL_PARAM;
  const u32 un32Source = VQX_RESULT_SOURCE(Result);
  if (un32Source != VQX_ERROR_SOURCE_COMMON && un32Source != VQX_ERROR_SOURCE_API) {
    *ppszDescription = "Error class not supported by this function";
  } else {
    *ppszDescription = VqxLookupText(s_aVqxDescriptions, VQX_RESULT_CODE(Result), "Unkown error code");
  }
  return VQX_RESULT_API_OK;
}

const char* VqxResultName(VQX_RESULT Result, char* pszBuf, u32 un32BufSize) {
  VQXGetErrorString(Result, un32BufSize, pszBuf);
  return pszBuf;
}
