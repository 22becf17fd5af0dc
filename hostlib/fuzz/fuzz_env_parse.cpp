/*
 * fuzz_env_parse.cpp - the parsers of the gateway settings a user gives in the
 * environment: VQX_GW_SUBNETS, VQX_GW_PORT, VQX_GW_ADDRESS_0/1 and
 * VQX_GW_REMOTE_ADDR. Input: a first byte choosing the variable (& 7), the
 * rest its text (cut at the first NUL, as the environment would).
 * Checks: an IPv4 text parses only as four decimal octets and reads back as
 * itself; a subnet list holds no 0, broadcast or 127.0.0.1 entry and is null
 * exactly when empty; a port is 1..65535 (the default for anything else);
 * an address setting gives the parsed address or the invalid one; the remote
 * list fills no more than its room, counts the same without a table, and each
 * entry and the error text end within their fields.
 */
#include <arpa/inet.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "gw/hostlib_gwglue_internal.h"

namespace {

constexpr u32 kRoom = 4;

/* The variables live in buffers of ours, put in the environment once and rewritten for each input
 * (setenv would keep every old value: the run would grow without end). An empty value reads as unset. */
struct EnvVar {
  std::string strName;
  char szEntry[VQX_GW_ENV_VALUE_MAX + 64] = {};
  explicit EnvVar(const char* pszName) : strName(pszName) {
    Set("");
    putenv(szEntry);
  }
  void Set(const std::string& strValue) {
    snprintf(szEntry, sizeof(szEntry), "%s=%s", strName.c_str(), strValue.substr(0, VQX_GW_ENV_VALUE_MAX + 8).c_str());
  }
};
EnvVar& Var(const char* pszName) {
  static EnvVar s_aVars[3] = {EnvVar("VQX_GW_PORT"), EnvVar("VQX_GW_ADDRESS_0"), EnvVar("VQX_GW_ADDRESS_1")};
  for (EnvVar& v : s_aVars)
    if (v.strName == pszName) return v;
  abort();
}

void CheckIpv4(const std::string& strText) {
  u32 un32Addr = 0;
  if (!VqxParseIpv4(strText.c_str(), &un32Addr)) return;
  char sz[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &un32Addr, sz, sizeof(sz)) == nullptr) abort();
  /* Leading zeros are allowed in the text, so compare the numbers read back. */
  u32 un32Again = 0;
  if (!VqxParseIpv4(sz, &un32Again) || un32Again != un32Addr) abort();
  for (const char c : strText)
    if ((c < '0' || c > '9') && c != '.') abort();
}

void CheckSubnets(const std::string& strText) {
  u32 un32Count = 7, fExclude = 7;
  u32* paAddr = VqxHostParseGwSubnets(strText.c_str(), &un32Count, &fExclude);
  if ((paAddr == nullptr) != (un32Count == 0) || fExclude > 1) abort();
  for (u32 i = 0; i < un32Count; i++)
    if (paAddr[i] == 0 || paAddr[i] == 0xFFFFFFFFu || paAddr[i] == htonl(0x7F000001u)) abort();
  free(paAddr);
}

void CheckPort(const std::string& strText) {
  Var("VQX_GW_PORT").Set(strText);
  const u16 un16Port = VqxGwPortFromEnv(nullptr);
  const std::string strSeen = strText.substr(0, VQX_GW_ENV_VALUE_MAX); /* the library reads at most this */
  const unsigned long ul = strtoul(strSeen.c_str(), nullptr, 0);
  const u16 un16Want = strSeen.empty() || ul == 0 || ul > 0xFFFF ? VQX_LIB_DEFAULT_GW_PORT : static_cast<u16>(ul);
  if (un16Port != un16Want || un16Port == 0) abort();
}

void CheckAddress(const std::string& strText, u32 fGw1, bool fByParams) {
  _VQX_LIB_PARAMS params;
  memset(&params, 0, sizeof(params));
  const char* pszVar = fGw1 ? "VQX_GW_ADDRESS_1" : "VQX_GW_ADDRESS_0";
  if (fByParams) {
    snprintf(fGw1 ? params.szGw1Address : params.szGw0Address, 64, "%s", strText.c_str());
  } else {
    Var(pszVar).Set(strText);
  }
  const u32 un32Addr = VqxGetLocalIpAddrToUse(nullptr, &params, fGw1);
  Var(pszVar).Set("");
  const std::string strUsed = fByParams ? std::string(fGw1 ? params.szGw1Address : params.szGw0Address) : strText;
  u32 un32Want = VQX_GW_INVALID_ADDR;
  if (!VqxParseIpv4(strUsed.c_str(), &un32Want)) un32Want = VQX_GW_INVALID_ADDR;
  if (un32Addr != un32Want) abort();
}

void CheckRemote(const std::string& strText) {
  _VQX_EXTRA_GW_ADDR aAddr[kRoom + 1];
  memset(aAddr, 0x5A, sizeof(aAddr));
  char szError[VQX_GW_ERROR_TEXT_SIZE + 1];
  memset(szError, 0x5A, sizeof(szError));
  u32 un32Count = kRoom;
  const VQX_RESULT r = VQXParseExtraGwAddr(strText.c_str(), &un32Count, aAddr, szError);
  if (un32Count > kRoom || memchr(szError, '\0', VQX_GW_ERROR_TEXT_SIZE) == nullptr) abort();
  if (szError[VQX_GW_ERROR_TEXT_SIZE] != 0x5A) abort();
  for (u32 i = 0; i < un32Count; i++) {
    if (memchr(aAddr[i].szIpAddress0, '\0', 64) == nullptr || memchr(aAddr[i].szIpAddress1, '\0', 64) == nullptr) abort();
    if (aAddr[i].szIpAddress0[0] == '\0') abort();
    /* An entry that begins with a digit was taken as a dotted IPv4 address; any other is a name. */
    u32 un32Addr = 0;
    if (isdigit(static_cast<unsigned char>(aAddr[i].szIpAddress0[0])) && !VqxParseIpv4(aAddr[i].szIpAddress0, &un32Addr))
      abort();
  }
  const char* pbyAfter = reinterpret_cast<const char*>(&aAddr[kRoom]);
  for (size_t k = 0; k < sizeof(aAddr[kRoom]); k++)
    if (pbyAfter[k] != 0x5A) abort();
  /* Without a table the groups are only counted: as many as with a table of room enough. */
  u32 un32Counted = 0;
  const VQX_RESULT rCount = VQXParseExtraGwAddr(strText.c_str(), &un32Counted, nullptr, nullptr);
  if (un32Count < kRoom && (un32Counted != un32Count || rCount != r)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  if (size == 0) return 0;
  static const bool s_fUnset = unsetenv("VQX_GW_ADDRESS") == 0; /* read before VQX_GW_ADDRESS_0 */
  (void)s_fUnset;
  const char* pszText = reinterpret_cast<const char*>(pbyData + 1);
  const std::string strText(pszText, strnlen(pszText, size - 1));
  switch (pbyData[0] & 7) {
    case 0:
      CheckSubnets(strText);
      break;
    case 1:
      CheckPort(strText);
      break;
    case 2:
    case 3:
      CheckAddress(strText, pbyData[0] & 1, false);
      break;
    case 4:
    case 5:
      CheckAddress(strText, pbyData[0] & 1, true);
      break;
    case 6:
      CheckRemote(strText);
      break;
    default:
      CheckIpv4(strText);
      break;
  }
  return 0;
}
