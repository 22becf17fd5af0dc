/*
 * vqcaflogtables.cpp - names of the trace levels and of the sub-modules.
 */
#include <iterator>

#include "vqcaflogtypes.h"

namespace VQCAF {

namespace {

struct VQCAF_LOG_NAME {
  u32 un32Value;
  const char* pszName;
};

const VQCAF_LOG_NAME s_aTraceLevelNames[] = {
    {VQLV0, "VQLV0"}, {VQLV1, "VQLV1"}, {VQLV2, "VQLV2"}, {VQLV3, "VQLV3"}, {VQLV4, "VQLV4"},
    {VQMSG, "VQMSG"}, {VQERR, "VQERR"}, {VQDIS, "VQDIS"},
};

/* Indexed by sub-module number (see vqcaflogtypes.h for the owners). */
const char* const s_apszSubModNames[VQCAF_SUBMODULE_COUNT] = {
    /*  0 */ "SM00", "BASE", "GW  ", "CLI ", "SER ", "CMC ", "CALL", "ALM ",
    /*  8 */ "CM  ", "COMM", "H248", "SM11", "SM12", "SM13", "SM14", "SM15",
    /* 16 */ "SM16", "SM17", "SM18", "SM19", "SM20", "SM21", "SM22", "SM23",
    /* 24 */ "SM24", "SM25", "SM26", "SM27", "SM28", "SM29", "SM30", "SM31",
    /* 32 */ "SM32", "SM33", "SM34", "SM35", "SM36", "VQLT", "SM38", "SM39",
    /* 40 */ "SM40", "SM41", "SM42", "SM43", "SM44", "SM45", "SM46", "SM47",
    /* 48 */ "APP01", "APP02", "APP03", "APP04", "APP05", "APP06", "APP07", "APP08",
    /* 56 */ "APP09", "APP10", "APP11", "APP12", "APP13", "APP14", "APP15", "APP16",
};
static_assert(std::size(s_apszSubModNames) == VQCAF_SUBMODULE_COUNT);

const char* LookupName(const VQCAF_LOG_NAME* pTable, size_t Count, u32 un32Value, const char* pszFallback) {
  for (size_t i = 0; i < Count; i++) {
    if (pTable[i].un32Value == un32Value) return pTable[i].pszName;
  }
  return pszFallback;
}

}  // namespace

const char* GetSubModName(u32 un32SubMod) {
  return un32SubMod < VQCAF_SUBMODULE_COUNT ? s_apszSubModNames[un32SubMod] : "????";
}

const char* GetTraceLevelName(u32 un32Level) {
  return LookupName(s_aTraceLevelNames, std::size(s_aTraceLevelNames), un32Level, "VQLV?");
}

}  // namespace VQCAF
