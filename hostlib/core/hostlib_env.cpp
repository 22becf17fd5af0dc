/*
 * hostlib_env.cpp - what the host library reads from its environment and
 * the local interfaces: the gateway port, the extra gateway addresses
 * ("(gw0[/gw1]:port)" groups), the allowed subnets, and the choice of the
 * local gw0 and gw1 addresses. Called at open, from the log thread while an
 * address is not settled, and when a path to a peer comes up.
 */
#include <arpa/inet.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/vqx_host_internal.h"
#include "vqx_gwlib.h"

namespace {

/* An environment variable cut to nMax characters (1024); empty when not set. */
std::string VqxEnv(const char *pszName, size_t nMax = VQX_GW_ENV_VALUE_MAX) {
  const char *psz = getenv(pszName);
  if (psz == nullptr) return std::string();
  return std::string(psz, strnlen(psz, nMax));
}

bool VqxBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void VqxFormatAddr(char *pszOut, size_t size, u32 un32NetAddr) {
  const u32 h = ntohl(un32NetAddr);
  snprintf(pszOut, size, "%u.%u.%u.%u", h >> 24, (h >> 16) & 0xFF, (h >> 8) & 0xFF, h & 0xFF);
}

/* --------------------------------------------- extra gateway addresses */

/* Error of one group: "%s %s%s%s, String is: '%s'\n"; of the structure: "%s
 * %s%s%s\n". */
VQX_RESULT VqxExtraFail(char *pszError, const char *pszMessage, const std::string &part, const std::string *pGroup) {
  if (pszError != nullptr) {
    const char *pszOpen = part.empty() ? "" : "(";
    const char *pszClose = part.empty() ? "" : ")";
    if (pGroup != nullptr) {
      snprintf(pszError, VQX_GW_ERROR_TEXT_SIZE, "%s %s%s%s, String is: '%s'\n", pszMessage, pszOpen, part.c_str(),
               pszClose, pGroup->c_str());
    } else {
      snprintf(pszError, VQX_GW_ERROR_TEXT_SIZE, "%s %s%s%s\n", pszMessage, pszOpen, part.c_str(), pszClose);
    }
  }
  return VQX_RESULT_API_INVALID_PARAM;
}

/* An address of a group: dotted IPv4 when it begins with a digit, else a name (a board's serial number or name,
 * or a host and its application, looked for by specific discovery).
 */
bool VqxExtraAddrValid(const std::string &text, bool fFirst) {
  if (text.empty() || text.size() > VQX_GW_ADDR_TEXT_MAX) return false;
  if (!isdigit(static_cast<unsigned char>(text[0]))) return true;
  u32 un32Addr = 0;
  if (!VqxParseIpv4(text.c_str(), &un32Addr)) return false;
  if (un32Addr == 0xFFFFFFFFu) return false;
  return !(fFirst && un32Addr == 0);
}

/* Token of a group from i up to a blank or one of the stop characters. */
std::string VqxToken(const std::string &s, size_t &i, const char *pszStops) {
  const size_t start = i;
  while (i < s.size() && !VqxBlank(s[i]) && strchr(pszStops, s[i]) == nullptr) i++;
  return s.substr(start, i - start);
}

void VqxSkipBlanks(const std::string &s, size_t &i) {
  while (i < s.size() && VqxBlank(s[i])) i++;
}

/* One group's content (between the parentheses); group is the whole "(...)" for
 * messages. */
VQX_RESULT VqxExtraParseGroup(const std::string &body, const std::string &group, _VQX_EXTRA_GW_ADDR *pOut,
                              char *pszError) {
  size_t nSlash = 0, nColon = 0;
  for (char c : body) {
    nSlash += c == '/';
    nColon += c == ':';
  }
  if (nSlash > 1) return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: More than on / between ()", "", &group);
  if (nColon > 1) return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: More than on : between ()", "", &group);

  /* The group is read from left to right: a text that ends inside an address says so; one that ends after it
   * (or a blank group) lacks its ':'. */
  size_t i = 0;
  VqxSkipBlanks(body, i);
  if (i >= body.size()) return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Missing a : between ()", "", &group);
  const std::string first = VqxToken(body, i, "/:");
  if (first.empty()) {
    return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Found no 'first IP address' in string", "", &group);
  }
  if (i >= body.size()) {
    return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Unexpected end of string after 'first IP address'", first,
                        &group);
  }
  if (!VqxExtraAddrValid(first, true)) {
    return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Invalid 'first IP address'", first, &group);
  }
  VqxSkipBlanks(body, i);
  if (i >= body.size()) return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Missing a : between ()", "", &group);
  if (body[i] != '/' && body[i] != ':') {
    return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Did not find / after 'first IP address'", first, &group);
  }
  std::string second;
  if (body[i] == '/') {
    i++;
    VqxSkipBlanks(body, i);
    second = VqxToken(body, i, "/:");
    if (i >= body.size()) {
      return VqxExtraFail(pszError,
                          "VQX_GW_REMOTE_ADDR: Unexpected end of string after "
                          "'Second IP address'",
                          second, &group);
    }
    if (!VqxExtraAddrValid(second, false)) {
      return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Invalid 'second IP address'", second, &group);
    }
    VqxSkipBlanks(body, i);
    if (i >= body.size()) return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Missing a : between ()", "", &group);
    if (body[i] != ':') {
      return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Did not find : after 'second IP address'", second, &group);
    }
  }
  i++; /* the ':' */
  const std::string rest = body.substr(i);
  char *pszEnd = nullptr;
  const unsigned long ulPort = strtoul(rest.c_str(), &pszEnd, 0);
  for (const char *p = pszEnd; *p != '\0'; p++) {
    if (!VqxBlank(*p)) {
      return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Unexpect characters after 'Port'", std::string(p), &group);
    }
  }
  if (ulPort > 0xFFFF) {
    /* A port that does not fit 16 bits would silently become another one. */
    return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Unexpect characters after 'Port'", rest, &group);
  }
  if (pOut != nullptr) {
    memset(pOut, 0, sizeof(*pOut));
    snprintf(pOut->szIpAddress0, sizeof(pOut->szIpAddress0), "%s", first.c_str());
    snprintf(pOut->szIpAddress1, sizeof(pOut->szIpAddress1), "%s", second.c_str());
    pOut->un16Port = static_cast<u16>(ulPort);
  }
  return VQX_RESULT_OK;
}

}  // namespace

bool VqxParseIpv4(const char *pszText, u32 *pun32Addr) {
  u32 un32Value = 0;
  const char *p = pszText;
  for (int octet = 0; octet < 4; octet++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    u32 un32Octet = 0;
    int nDigits = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
      un32Octet = un32Octet * 10 + static_cast<u32>(*p - '0');
      if (++nDigits > 3 || un32Octet > 255) return false;
      p++;
    }
    un32Value = (un32Value << 8) | un32Octet;
    if (octet < 3) {
      if (*p != '.') return false;
      p++;
    }
  }
  if (*p != '\0') return false;
  *pun32Addr = htonl(un32Value);
  return true;
}

VQX_RESULT VQXParseExtraGwAddr(const char *pszText, u32 *pun32Count, _VQX_EXTRA_GW_ADDR *paAddr, char *pszError) {
  if (pszError != nullptr) pszError[0] = '\0';
  if (pun32Count == nullptr) return VQX_RESULT_API_NULL_PARAM;
  const u32 un32Room = *pun32Count;
  *pun32Count = 0;
  if (pszText == nullptr) return VQX_RESULT_OK;
  /* Cut, the list would end inside a group (refused there) or between two (its end lost unsaid): refused whole. */
  if (strnlen(pszText, VQX_GW_ENV_VALUE_MAX + 1) > VQX_GW_ENV_VALUE_MAX) {
    if (pszError != nullptr)
      snprintf(pszError, VQX_GW_ERROR_TEXT_SIZE,
               "VQX_GW_REMOTE_ADDR: Longer than %u characters: refused whole, none of its addresses used\n",
               VQX_GW_ENV_VALUE_MAX);
    return VQX_RESULT_API_INVALID_PARAM;
  }
  const std::string s(pszText);
  u32 un32Read = 0;
  size_t i = 0;
  while (i < s.size()) {
    if (paAddr != nullptr && un32Read >= un32Room) break;
    const size_t open = s.find('(', i);
    if (open == std::string::npos) {
      size_t j = i;
      VqxSkipBlanks(s, j);
      if (j < s.size()) {
        *pun32Count = un32Read;
        return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Missing an opening parenthesis", s.substr(j), nullptr);
      }
      break;
    }
    const size_t close = s.find(')', open + 1);
    const size_t reopen = s.find('(', open + 1);
    if (reopen != std::string::npos && (close == std::string::npos || reopen < close)) {
      *pun32Count = un32Read;
      return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Double-opening parenthesis", s.substr(open), nullptr);
    }
    if (close == std::string::npos) {
      *pun32Count = un32Read;
      return VqxExtraFail(pszError, "VQX_GW_REMOTE_ADDR: Missing a closing parenthesis", s.substr(open), nullptr);
    }
    const std::string group = s.substr(open, close - open + 1);
    const std::string body = s.substr(open + 1, close - open - 1);
    const VQX_RESULT result =
        VqxExtraParseGroup(body, group, paAddr != nullptr ? &paAddr[un32Read] : nullptr, pszError);
    if (VQX_RESULT_FAILED(result)) {
      *pun32Count = un32Read;
      return result;
    }
    un32Read++;
    i = close + 1;
  }
  *pun32Count = un32Read;
  return un32Read != 0 ? VQX_RESULT_API_OK : VQX_RESULT_OK;
}

VQX_RESULT VqxIpExtraAttachAddrListParse(const char *pszText, u32 *pun32Count, _VQX_EXTRA_GW_ADDR *paAddr,
                                         char *pszError) {
  return VQXParseExtraGwAddr(pszText, pun32Count, paAddr, pszError);
}

u32 *VqxHostParseGwSubnets(const char *pszText, u32 *pun32Count, u32 *pfExclude) {
  *pun32Count = 0;
  *pfExclude = 0;
  if (pszText == nullptr) return nullptr;
  const std::string s(pszText, strnlen(pszText, VQX_GW_ENV_VALUE_MAX));
  size_t i = 0;
  VqxSkipBlanks(s, i);
  if (i < s.size() && s[i] == '"') i++;
  for (; i < s.size() && s[i] != '('; i++) {
    if (s[i] == '!') *pfExclude = 1;
  }
  if (i >= s.size()) return nullptr;
  i++; /* the '(' */
  u32 *paAddr = nullptr;
  u32 un32Count = 0;
  while (i < s.size()) {
    VqxSkipBlanks(s, i);
    if (i >= s.size()) break;
    const std::string entry = VqxToken(s, i, ",)");
    if (!entry.empty() && entry.size() <= VQX_GW_SUBNET_ENTRY_MAX) {
      u32 un32Addr = 0;
      if (VqxParseIpv4(entry.c_str(), &un32Addr) && un32Addr != 0 && un32Addr != 0xFFFFFFFFu &&
          un32Addr != htonl(0x7F000001u)) {
        u32 *paGrown = static_cast<u32 *>(realloc(paAddr, sizeof(u32) * (un32Count + 1)));
        if (paGrown == nullptr) break;
        paAddr = paGrown;
        paAddr[un32Count++] = un32Addr;
      }
    }
    VqxSkipBlanks(s, i);
    if (i >= s.size() || s[i] == ')') break;
    if (s[i] == ',') i++;
  }
  *pun32Count = un32Count;
  return paAddr;
}

u16 VqxGwPortFromEnv(VQX_LIB_HANDLE hLib) {
  const std::string value = VqxEnv("VQX_GW_PORT");
  if (value.empty()) return VQX_LIB_DEFAULT_GW_PORT;
  const unsigned long ulPort = strtoul(value.c_str(), nullptr, 0);
  if (ulPort == 0 || ulPort > 0xFFFF) {
    VQX_LOG_V(hLib, 0,
              "WARNING: VQXLibrary invalid VQX_GW_PORT specified (%s). Will "
              "use default (%d)\n",
              value.c_str(), static_cast<int>(VQX_LIB_DEFAULT_GW_PORT));
    return VQX_LIB_DEFAULT_GW_PORT;
  }
  return static_cast<u16>(ulPort);
}

/* ------------------------------------------------------ local addresses */

u32 VqxLocalInterfaces(u32 *paun32Addr, u32 *paun32Mask) {
  u32 aun32Bcast[VQX_GW_MAX_LOCAL_IFACES];
  if (VQX_RESULT_FAILED(VQXGetIpInterfacesRefresh())) return 0;
  u32 un32Count = VQX_GW_MAX_LOCAL_IFACES;
  if (VQX_RESULT_FAILED(VQXGetIpInterfaces(&un32Count, paun32Addr, aun32Bcast, paun32Mask))) return 0;
  return un32Count;
}

u32 VqxGetLocalIpAddrToUse(VQX_LIB_HANDLE, const _VQX_LIB_PARAMS *pParams, u32 fGw1) {
  std::string text = fGw1 ? std::string(pParams->szGw1Address, strnlen(pParams->szGw1Address, 64))
                          : std::string(pParams->szGw0Address, strnlen(pParams->szGw0Address, 64));
  if (text.empty()) text = VqxEnv(fGw1 ? "VQX_GW_ADDRESS_1" : "VQX_GW_ADDRESS");
  if (text.empty() && !fGw1) text = VqxEnv("VQX_GW_ADDRESS_0");
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return VQX_GW_INVALID_ADDR;
  u32 un32Addr = 0;
  return VqxParseIpv4(text.c_str(), &un32Addr) ? un32Addr : VQX_GW_INVALID_ADDR;
}

bool VqxIsLoopback(u32 un32Addr) { return un32Addr != VQX_GW_INVALID_ADDR && (ntohl(un32Addr) >> 24) == 127; }

namespace {

/* Matches a wanted address (or subnet) against the interfaces; the interface's
 * address, or invalid. */
u32 VqxMatchInterface(u32 un32Wanted, u32 un32Count, const u32 *paAddr, const u32 *paMask) {
  if (un32Wanted == VQX_GW_INVALID_ADDR) return VQX_GW_INVALID_ADDR;
  for (u32 k = 0; k < un32Count; k++) {
    if (un32Wanted == paAddr[k]) return paAddr[k];
    if ((un32Wanted & ~paMask[k]) == 0 && (un32Wanted & paMask[k]) == (paAddr[k] & paMask[k])) return paAddr[k];
  }
  return VQX_GW_INVALID_ADDR;
}

/* Writes a settled address into the parameters and the instance. */
void VqxSettle(VQX_LIB *pLib, _VQX_LIB_PARAMS *pParams, u32 fGw1, u32 un32Addr) {
  char *pszParam = fGw1 ? pParams->szGw1Address : pParams->szGw0Address;
  char *pszLocal = fGw1 ? pLib->szLocalGw1Address : pLib->szLocalGw0Address;
  VqxFormatAddr(pszParam, 64, un32Addr);
  memcpy(pszLocal, pszParam, 64);
  (fGw1 ? pLib->fGw1Settled : pLib->fGw0Settled) = 1;
}

/* A listed entry that is a name is looked for only by its name, by broadcast on the local subnets: said once at the
 * open, so that a name written where an address was meant (a host name: nothing resolves one) does not pass
 * unseen. */
void VqxTellNamedEntries(VQX_LIB_HANDLE hLib, const _VQX_LIB_PARAMS *pParams) {
  if (pParams->paExtraGwAddr == nullptr) return;
  for (u32 i = 0; i < pParams->un32NbExtraGwAddr; i++) {
    const _VQX_EXTRA_GW_ADDR &e = pParams->paExtraGwAddr[i];
    if (e.szIpAddress0[0] == '\0' || isdigit(static_cast<unsigned char>(e.szIpAddress0[0]))) continue;
    const unsigned uPort = e.un16Port != 0 ? e.un16Port : pParams->un16GwPort;
    VQX_LOG_V(hLib, 0,
              "VQX_GW_REMOTE_ADDR: (%.63s%s%.63s:%u) names no IPv4 address: a peer of that name (a board's serial "
              "number or name, or a host and its application) is looked for by broadcast on the local subnets\n",
              e.szIpAddress0, e.szIpAddress1[0] != '\0' ? "/" : "", e.szIpAddress1, uPort);
  }
}

}  // namespace

VQX_RESULT VqxIpAddressesPrepare(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS *pParams) {
  VQX_LIB *pLib = VqxLib(hLib);
  u32 aAddr[VQX_GW_MAX_LOCAL_IFACES], aMask[VQX_GW_MAX_LOCAL_IFACES];
  u32 aWanted[2] = {VqxGetLocalIpAddrToUse(hLib, pParams, 0), VqxGetLocalIpAddrToUse(hLib, pParams, 1)};
  const bool afGiven[2] = {aWanted[0] != VQX_GW_INVALID_ADDR, aWanted[1] != VQX_GW_INVALID_ADDR};
  /* A local address on 127.0.0.0/8 keeps the process's transports on the loopback interface. */
  VqxGwLibSetLoopbackOnly(VqxIsLoopback(aWanted[0]) || VqxIsLoopback(aWanted[1]));
  if (VQX_RESULT_FAILED(VQXGetIpInterfacesInit())) {
    VQX_LOG_V(hLib, 0, "%s, result 0x%08X\n", "ERROR: Host library could not get list of local IP addresses!",
              VQX_RESULT_API_FAIL);
    return VQX_RESULT_API_FAIL;
  }
  const u32 un32Count = VqxLocalInterfaces(aAddr, aMask);
  if (!afGiven[0] && un32Count > 0) aWanted[0] = aAddr[0];
  if (!afGiven[1]) {
    for (u32 k = 0; k < un32Count; k++) {
      if (aAddr[k] != aWanted[0]) {
        aWanted[1] = aAddr[k];
        break;
      }
    }
  }
  pLib->fGw0Settled = pLib->fGw1Settled = 0;
  pLib->szLocalGw0Address[0] = pLib->szLocalGw1Address[0] = '\0';
  for (u32 fGw1 = 0; fGw1 < 2; fGw1++) {
    const u32 un32Match = VqxMatchInterface(aWanted[fGw1], un32Count, aAddr, aMask);
    if (un32Match != VQX_GW_INVALID_ADDR) {
      VqxSettle(pLib, pParams, fGw1, un32Match);
      continue;
    }
    (fGw1 ? pParams->szGw1Address : pParams->szGw0Address)[0] = '\0';
    if (afGiven[fGw1]) {
      const u32 h = ntohl(aWanted[fGw1]);
      VQX_LOG_V(hLib, 0,
                "WARNING: %s is set to '%u.%u.%u.%u', which is not an "
                "available local IP address!)\n",
                fGw1 ? "VQX_GW_ADDRESS_1" : "VQX_GW_ADDRESS_0", h >> 24, (h >> 16) & 0xFF, (h >> 8) & 0xFF, h & 0xFF);
    }
  }
  pLib->fNoLocalAddress = 0;
  if (!pLib->fGw0Settled && !pLib->fGw1Settled && un32Count == 0) {
    pLib->fGw0Settled = pLib->fGw1Settled = 1;
    pLib->fNoLocalAddress = 1;
  }

  pLib->un16EnvGwPort = VqxGwPortFromEnv(hLib);

  const std::string remote = VqxEnv("VQX_GW_REMOTE_ADDR", VQX_GW_ENV_VALUE_MAX + 1); /* one more: too long is refused */
  free(pLib->paEnvExtraGwAddr);
  pLib->paEnvExtraGwAddr = nullptr;
  pLib->un32NbEnvExtraGwAddr = 0;
  if (!remote.empty()) {
    char szError[VQX_GW_ERROR_TEXT_SIZE];
    u32 un32Count2 = 0;
    VQX_RESULT result = VQXParseExtraGwAddr(remote.c_str(), &un32Count2, nullptr, szError);
    if (VQX_RESULT_FAILED(result)) {
      /* A board list refused fails the open when it is the one to use: running on without the boards it names
         would pass for success. */
      VQX_LOG_V(hLib, 0, "%s", szError); /* the text ends its line */
      if (pParams->un32NbExtraGwAddr == 0 || pParams->paExtraGwAddr == nullptr) return result;
    }
    if (un32Count2 != 0) {
      pLib->paEnvExtraGwAddr = static_cast<_VQX_EXTRA_GW_ADDR *>(calloc(un32Count2, sizeof(_VQX_EXTRA_GW_ADDR)));
      if (pLib->paEnvExtraGwAddr != nullptr) {
        result = VQXParseExtraGwAddr(remote.c_str(), &un32Count2, pLib->paEnvExtraGwAddr, szError);
        if (VQX_RESULT_FAILED(result)) VQX_LOG_V(hLib, 0, "%s", szError);
        pLib->un32NbEnvExtraGwAddr = un32Count2;
      }
    }
  }
  if (pParams->un16GwPort == 0) pParams->un16GwPort = pLib->un16EnvGwPort;
  if (pParams->un32NbExtraGwAddr == 0 || pParams->paExtraGwAddr == nullptr) {
    pParams->un32NbExtraGwAddr = pLib->un32NbEnvExtraGwAddr;
    pParams->paExtraGwAddr = pLib->paEnvExtraGwAddr;
  }
  VqxTellNamedEntries(hLib, pParams);
  return VQX_RESULT_OK;
}

void VqxIpAddressesUpdate(VQX_LIB_HANDLE hLib) {
  VQX_LIB *pLib = VqxLib(hLib);
  if (pLib->fGw0Settled && pLib->fGw1Settled) return;
  u32 aAddr[VQX_GW_MAX_LOCAL_IFACES], aMask[VQX_GW_MAX_LOCAL_IFACES];
  const u32 un32Count = VqxLocalInterfaces(aAddr, aMask);
  if (un32Count == 0) {
    VQX_LOG_V(hLib, 0, "%s, result 0x%08X\n", "ERROR: Host library could not get list of local IP addresses!",
              VQX_RESULT_API_FAIL);
    return;
  }
  bool fChanged = false;
  for (u32 fGw1 = 0; fGw1 < 2; fGw1++) {
    if (fGw1 ? pLib->fGw1Settled : pLib->fGw0Settled) continue;
    const u32 un32Match = VqxMatchInterface(VqxGetLocalIpAddrToUse(hLib, &pLib->Params, fGw1), un32Count, aAddr, aMask);
    if (un32Match == VQX_GW_INVALID_ADDR) continue;
    VqxSettle(pLib, &pLib->Params, fGw1, un32Match);
    fChanged = true;
  }
  const VQX_HOSTLIB_GATEWAY_GLUE *pGlue = VqxHostLibGatewayGlue();
  if (fChanged && pGlue != nullptr && pGlue->pFctApplyParams != nullptr) {
    if (pLib->pvAdaptersGw != nullptr) pGlue->pFctApplyParams(hLib, 0);
    if (pLib->pvHostsGw != nullptr) pGlue->pFctApplyParams(hLib, 1);
  }
}

VQX_RESULT VqxHostGuessLocalIPs(VQX_LIB_HANDLE hLib, const char *pszPeerGw0, const char *pszPeerGw1) {
  VQX_LIB *pLib = VqxLib(hLib);
  if (pszPeerGw0 == nullptr || pszPeerGw0[0] == '\0' || strcmp(pszPeerGw0, "127.0.0.1") == 0) return VQX_RESULT_OK;
  u32 aAddr[VQX_GW_MAX_LOCAL_IFACES], aMask[VQX_GW_MAX_LOCAL_IFACES];
  u32 un32Count = 0;
  bool fListed = false;
  const char *apszPeer[2] = {pszPeerGw0, pszPeerGw1};
  char *apszLocal[2] = {pLib->szLocalGw0Address, pLib->szLocalGw1Address};
  for (u32 fGw1 = 0; fGw1 < 2; fGw1++) {
    const char *pszPeer = apszPeer[fGw1];
    if (apszLocal[fGw1][0] != '\0' || pszPeer == nullptr || strcmp(pszPeer, "127.0.0.1") == 0) continue;
    u32 un32Peer = 0;
    if (!VqxParseIpv4(pszPeer, &un32Peer)) continue;
    if (!fListed) {
      un32Count = VqxLocalInterfaces(aAddr, aMask);
      fListed = true;
    }
    for (u32 k = 0; k < un32Count; k++) {
      if ((un32Peer & aMask[k]) == (aAddr[k] & aMask[k])) {
        VqxFormatAddr(apszLocal[fGw1], 64, aAddr[k]);
        break;
      }
    }
  }
  return VQX_RESULT_OK;
}
