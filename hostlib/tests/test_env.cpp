/*
 * test_env.cpp - the environment the host library reads: the extra gateway
 * address syntax with every error text, the subnet list, the gateway port,
 * the choice of local addresses against a given interface table, and a
 * loopback local address confining the transports to the loopback interface.
 */
#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "gw/hostlib_gwglue_internal.h"
#include "peers/loopback.h"
#include "support/hostlib_fixture.h"

namespace {

TEST(Env, ExtraAddressSyntaxTable) {
  for (const auto &row : DataRows("extra_gw_addr.txt")) {
    ASSERT_EQ(row.size(), 4u);
    const std::string text = row[0].substr(1, row[0].size() - 2);
    SCOPED_TRACE(text);
    char szError[VQX_GW_ERROR_TEXT_SIZE];
    u32 un32Count = 0;
    EXPECT_EQ(VQXParseExtraGwAddr(text.c_str(), &un32Count, nullptr, szError), DataNum(row[1]));
    EXPECT_EQ(un32Count, DataNum(row[2]));
    EXPECT_EQ(std::string(szError), row[3] == "-" ? std::string() : "VQX_GW_REMOTE_ADDR: " + row[3] + "\n");
  }
}

TEST(Env, ExtraAddressRecordsAreFilledAndArrayLimitStops) {
  _VQX_EXTRA_GW_ADDR aAddr[3];
  memset(aAddr, 0xAB, sizeof(aAddr));
  u32 un32Count = 3;
  ASSERT_EQ(VQXParseExtraGwAddr("(10.0.0.1/10.1.0.1:12358)(10.0.0.2:5000)", &un32Count, aAddr, nullptr), VQX_RESULT_API_OK);
  ASSERT_EQ(un32Count, 2u);
  EXPECT_EQ(std::string(aAddr[0].szIpAddress1) + ":" + std::to_string(aAddr[1].un16Port), "10.1.0.1:5000");
  EXPECT_EQ(aAddr[2].un16Port, 0xABAB) << "untouched";
  un32Count = 1;
  EXPECT_EQ(VQXParseExtraGwAddr("(10.0.0.1:1)(10.0.0.2:2)(10.0.0.3:3)", &un32Count, aAddr, nullptr), VQX_RESULT_API_OK);
  EXPECT_EQ(un32Count, 1u) << "the array's size stops the parse";
  EXPECT_EQ(VQXParseExtraGwAddr("(10.0.0.1:1)", nullptr, nullptr, nullptr), VQX_RESULT_API_NULL_PARAM);
  char szError[VQX_GW_ERROR_TEXT_SIZE];
  EXPECT_EQ(VQXParseExtraGwAddr(("(" + std::string(64, 'h') + ":1)").c_str(), &un32Count, nullptr, szError),
            VQX_RESULT_API_INVALID_PARAM) << "a text longer than its field";
  EXPECT_NE(strstr(szError, "Invalid 'first IP address'"), nullptr);
  /* 1024 characters are read; one more and the list is refused whole, rather than cut inside or after a group. */
  for (const size_t nLength : {VQX_GW_ENV_VALUE_MAX, VQX_GW_ENV_VALUE_MAX + 1}) {
    std::string strList = "(10.0.0.1:1)";
    strList.resize(nLength - 12, ' '), strList += "(10.0.0.2:2)";
    un32Count = 3;
    const bool fRefused = nLength > VQX_GW_ENV_VALUE_MAX;
    EXPECT_EQ(VQXParseExtraGwAddr(strList.c_str(), &un32Count, aAddr, szError),
              fRefused ? VQX_RESULT_API_INVALID_PARAM : VQX_RESULT_API_OK) << nLength;
    EXPECT_EQ(un32Count, fRefused ? 0u : 2u) << nLength;
    EXPECT_EQ(std::string(szError), fRefused ? "VQX_GW_REMOTE_ADDR: Longer than 1024 characters: refused whole, none "
                                               "of its addresses used\n" : "") << nLength;
  }
}

TEST(Env, SubnetListTable) {
  const struct { const char *pszText; u32 fExclude; std::vector<const char *> expected; } rows[] = {
      {"!(10.0.0.0, 127.0.0.1)", 1, {"10.0.0.0"}},
      {"\"(192.168.1.0,10.2.0.0)", 0, {"192.168.1.0", "10.2.0.0"}},
      {"  (0.0.0.0, 255.255.255.255, bad, 10.0.0.0", 0, {"10.0.0.0"}},
      {"(10.0.0.0,", 0, {"10.0.0.0"}},
      {"no list", 0, {}},
      {"()", 0, {}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.pszText);
    u32 un32Count = 99, fExclude = 99;
    u32 *pa = VqxHostParseGwSubnets(row.pszText, &un32Count, &fExclude);
    EXPECT_EQ(fExclude, row.fExclude);
    ASSERT_EQ(un32Count, row.expected.size());
    for (size_t i = 0; i < row.expected.size(); i++) EXPECT_EQ(pa[i], inet_addr(row.expected[i]));
    free(pa);
  }
}

TEST(Env, Ipv4ParserIsStrict) {
  u32 un32 = 0;
  EXPECT_TRUE(VqxParseIpv4("1.2.3.4", &un32));
  EXPECT_EQ(un32, inet_addr("1.2.3.4"));
  for (const char *psz : {"1.2.3", "1.2.3.4.5", "1.2.3.256", "1..2.3", "1.2.3.4x", "", "0001.2.3.4"}) {
    EXPECT_FALSE(VqxParseIpv4(psz, &un32)) << psz;
  }
}

class EnvLib : public HostLibTest {
 protected:
  void TearDown() override {
    for (const char* pszName : {"VQX_GW_PORT", "VQX_GW_ADDRESS", "VQX_GW_ADDRESS_0", "VQX_GW_ADDRESS_1", "VQX_GW_REMOTE_ADDR"}) {
      unsetenv(pszName);
    }
    VqxGwLibSetInterfaceProvider(nullptr);
    HostLibTest::TearDown();
  }
};

TEST_F(EnvLib, GatewayPortFromTheEnvironment) {
  struct { const char *pszValue; u16 un16Port; bool fWarn; } rows[] = {
      {"0x3046", 12358, false}, {"5000", 5000, false}, {"010", 8, false},
              {"abc", 12358, true},     {"0", 12358, true},    {"70000", 12358, true}};
  for (auto &row : rows) {
    SCOPED_TRACE(row.pszValue);
    mLog.Clear();
    setenv("VQX_GW_PORT", row.pszValue, 1);
    EXPECT_EQ(VqxGwPortFromEnv(mhLib), row.un16Port);
    const std::string warn = std::string("WARNING: VQXLibrary invalid VQX_GW_PORT specified (") + row.pszValue +
                             "). Will use default (12358)\n";
    EXPECT_EQ(row.fWarn, mLog.WaitFor(warn.c_str(), row.fWarn ? 2000 : 50));
  }
  unsetenv("VQX_GW_PORT");
  EXPECT_EQ(VqxGwPortFromEnv(mhLib), 12358);
}

u32 OneLanInterface(u32 un32Max, u32 *paAddr, u32 *paBcast, u32 *paMask) {
  if (un32Max < 2) return 0;
  paAddr[0] = inet_addr("192.168.7.12");
  paMask[0] = inet_addr("255.255.255.0");
  paBcast[0] = inet_addr("192.168.7.255");
  paAddr[1] = inet_addr("10.9.0.5");
  paMask[1] = inet_addr("255.255.0.0");
  paBcast[1] = inet_addr("10.9.255.255");
  return 2;
}

u32 NoInterface(u32, u32 *, u32 *, u32 *) { return 0; }

TEST_F(EnvLib, SubnetSelectsTheInterfaceAndUnknownAddressIsWarned) {
  VqxGwLibSetInterfaceProvider(OneLanInterface);
  setenv("VQX_GW_ADDRESS_0", "192.168.7.0", 1);
  setenv("VQX_GW_ADDRESS_1", "172.16.0.1", 1);
  setenv("VQX_GW_REMOTE_ADDR", "(10.0.0.1:0)(gw-a/trace:7)", 1);
  _VQX_LIB_PARAMS params = HostLibTestParams(nullptr);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  EXPECT_EQ(VqxIpAddressesPrepare(mhLib, &params), VQX_RESULT_OK);
  VQX_LIB *pLib = VqxLib(mhLib);
  EXPECT_EQ(std::string(params.szGw0Address) + " " + pLib->szLocalGw0Address + " [" + params.szGw1Address + "]",
            "192.168.7.12 192.168.7.12 []");
  EXPECT_EQ((std::vector<u32>{pLib->fGw0Settled, pLib->fGw1Settled, pLib->fNoLocalAddress, params.un16GwPort}),
            (std::vector<u32>{1, 0, 0, 12358})) << "gw0 settled, gw1 not, an address found, the default port";
  ASSERT_EQ(params.un32NbExtraGwAddr, 2u);
  EXPECT_STREQ(params.paExtraGwAddr[1].szIpAddress0, "gw-a");
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  EXPECT_TRUE(
      mLog.WaitFor("WARNING: VQX_GW_ADDRESS_1 is set to '172.16.0.1', "
                   "which is not an available local IP address!)\n"));
  /* A name is kept and looked for by name: said once, the address beside it not. */
  EXPECT_TRUE(mLog.WaitFor("VQX_GW_REMOTE_ADDR: (gw-a/trace:7) names no IPv4 address"));
  EXPECT_EQ(mLog.Count("names no IPv4 address"), 1u);

  /* A peer on the second interface's subnet gives gw1 its local address. */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  EXPECT_EQ(VqxHostGuessLocalIPs(mhLib, "192.168.7.40", "10.9.3.3"), VQX_RESULT_OK);
  EXPECT_STREQ(pLib->szLocalGw1Address, "10.9.0.5");
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
}

/* A board list in the environment refused (longer than the 1024 characters read, or a syntax error): its line, and
 * the open fails, that line in the log the open was given (its error callback), not on standard error alone, and no
 * other line of the open at the error level (the open's own step line would only repeat it); the
 * same list beside a list of the parameters' own (the one used) is only told. */
TEST_F(EnvLib, RemoteAddressListRefusedFailsTheOpenWithItsLine) {
  VqxGwLibSetInterfaceProvider(OneLanInterface);
  std::string strLong;
  for (u32 i = 0; strLong.size() <= VQX_GW_ENV_VALUE_MAX; i++) strLong += "(127.0.0." + std::to_string(2 + i) + ":23458)";
  _VQX_EXTRA_GW_ADDR Own{};
  strcpy(Own.szIpAddress0, "127.0.0.2");
  const struct {
    std::string strList;
    bool fOwnList;
    VQX_RESULT Result;
    const char* pszLine;
  } aRows[] = {
      {strLong, false, VQX_RESULT_API_INVALID_PARAM,
       "VQX_GW_REMOTE_ADDR: Longer than 1024 characters: refused whole, none of its addresses used"},
      {"(127.0.0.2:1:2)", false, VQX_RESULT_API_INVALID_PARAM, "VQX_GW_REMOTE_ADDR: More than on : between ()"},
      {"(127.0.0.2:23458)(127.0.0.300:23458)", false, VQX_RESULT_API_INVALID_PARAM,
       "VQX_GW_REMOTE_ADDR: Invalid 'first IP address' (127.0.0.300), String is: '(127.0.0.300:23458)'"},
      {strLong, true, VQX_RESULT_OK, "VQX_GW_REMOTE_ADDR: Longer than 1024 characters"},
  };
  for (const auto& r : aRows) {
    SCOPED_TRACE(r.pszLine);
    setenv("VQX_GW_REMOTE_ADDR", r.strList.c_str(), 1);
    mLog.Clear();
    _VQX_LIB_PARAMS params = HostLibTestParams(nullptr);
    params.un32NbExtraGwAddr = r.fOwnList ? 1 : 0;
    params.paExtraGwAddr = r.fOwnList ? &Own : nullptr;
    VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
    EXPECT_EQ(VqxIpAddressesPrepare(mhLib, &params), r.Result);
    EXPECT_EQ(params.un32NbExtraGwAddr, r.fOwnList ? 1u : 0u);
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
    EXPECT_TRUE(mLog.WaitFor(r.pszLine));
    if (r.fOwnList) continue;
    CapturedLog OpenLog;
    params = HostLibTestParams(&OpenLog);
    VQX_LIB_HANDLE hLib = nullptr;
    EXPECT_EQ(VQXOpenLib(&params, &hLib), r.Result);
    EXPECT_EQ(hLib, nullptr);
    EXPECT_EQ(OpenLog.Count(r.pszLine), 1u) << "the open's error callback";
    EXPECT_EQ(OpenLog.Count("VQXOpenLib: "), 0u) << "no knock-on line";
  }
}

TEST_F(EnvLib, DefaultsTakeInterfacesAndNoneSetsTheFlag) {
  VqxGwLibSetInterfaceProvider(OneLanInterface);
  _VQX_LIB_PARAMS params = HostLibTestParams(nullptr);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  EXPECT_EQ(VqxIpAddressesPrepare(mhLib, &params), VQX_RESULT_OK);
  EXPECT_STREQ(params.szGw0Address, "192.168.7.12");
  EXPECT_STREQ(params.szGw1Address, "10.9.0.5");
  VqxGwLibSetInterfaceProvider(NoInterface);
  params = HostLibTestParams(nullptr);
  EXPECT_EQ(VqxIpAddressesPrepare(mhLib, &params), VQX_RESULT_OK);
  VQX_LIB *pLib = VqxLib(mhLib);
  EXPECT_EQ(pLib->fNoLocalAddress, 1u);
  EXPECT_EQ(pLib->fGw0Settled, 1u);
  EXPECT_STREQ(pLib->szLocalGw0Address, "");
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
}

/* What each transport instance is given: its discovery ids, port and gateway block, handle base, roles, subnets. */
TEST_F(EnvLib, TransportParameterRecords) {
  VqxGwLibSetInterfaceProvider(OneLanInterface);
  setenv("VQX_GW_SUBNETS", "!(10.0.0.0, 127.0.0.1)", 1);
  VQX_LIB *pLib = VqxLib(mhLib);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(mhLib);
  strcpy(pLib->szLocalGw0Address, "192.168.7.12");
  pLib->Params.un16GwPort = 5000;
  pLib->Params.abyGwBlock[0] = 0x34;
  pLib->Params.abyGwBlock[1] = 0x12;
  pLib->Params.HostType = VQX_ADAPTER_TYPE_HOST;
  struct Row { u32 fHosts; const char *pszIds; u8 un8Base; u32 fWait, fDetect, un32HostType; } rows[] = {
      {0, "IDWGSDWGIPWGAPWG", 0xCA, 0, 1, 0},
      {1, "IDLHSDLHIPLHAPLH", 0xCB, 1, 0, 6},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.fHosts);
    VqxGwLibParams p;
    u32 *paSubnets = nullptr;
    VqxGwFillParams(mhLib, row.fHosts, &p, &paSubnets);
    const u32 aun32Ids[4] = {p.un32GwDiscoveryId, p.un32GwDiscoverySpecificId, p.un32GwPollId, p.un32GwReplyId};
    EXPECT_EQ(memcmp(aun32Ids, row.pszIds, 16), 0);
    EXPECT_EQ((std::vector<u32>{p.aun16GwPorts[0], p.aun16GwPorts[1], p.un8PeerHandlesBase, p.fWaitConnections,
                                p.fDetectAdapters, p.un32HostType, p.fAllowedSubnetsExclude, p.un32NbAllowedSubnets}),
              (std::vector<u32>{5000, 0x1234, row.un8Base, row.fWait, row.fDetect, row.un32HostType, 1, 1}));
    EXPECT_EQ(p.paun32AllowedSubnetIps[0], inet_addr("10.0.0.0"));
    EXPECT_STREQ(row.fHosts ? p.HostGwParms.szIpAddress0 : p.AdapterGwParams.szIpAddress0, "192.168.7.12");
    free(paSubnets);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(mhLib);
  unsetenv("VQX_GW_SUBNETS");
}

/* The unique host id: the local gw0 address as the interface list holds it, then the process id. */
TEST(EnvUniqueId, LocalAddressThenProcessId) {
  VqxGwLibSetInterfaceProvider(OneLanInterface);
  setenv("VQX_GW_ADDRESS_0", "10.9.0.5", 1);
  CapturedLog log;
  _VQX_LIB_PARAMS params = HostLibTestParams(&log);
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
  EXPECT_EQ(static_cast<u32>(VqxLib(hLib)->un64UniqueHostId >> 32), inet_addr("10.9.0.5"));
  EXPECT_EQ(static_cast<u32>(VqxLib(hLib)->un64UniqueHostId), static_cast<u32>(getpid()));
  EXPECT_STREQ(params.szGw0Address, "10.9.0.5");
  EXPECT_STREQ(params.szGw1Address, "192.168.7.12") << "gw1: the next interface";
  EXPECT_EQ(params.un32BuildNumber, static_cast<u32>(getpid()));
  /* The process-wide interface list lives while an instance is open: the last close releases it. */
  VQX_LIB_HANDLE hLib2 = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib2), VQX_RESULT_API_OK);
  u32 un32Count = 0;
  EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXGetIpInterfaces(&un32Count, nullptr, nullptr, nullptr), VQX_RESULT_OK) << "one instance still open";
  EXPECT_EQ(un32Count, 2u);
  EXPECT_EQ(VQXCloseLibEx(&hLib2), VQX_RESULT_API_OK);
  EXPECT_EQ(VQXGetIpInterfaces(&un32Count, nullptr, nullptr, nullptr), VQX_RESULT_INVALID_STATE) << "released";
  unsetenv("VQX_GW_ADDRESS_0");
  VqxGwLibSetInterfaceProvider(nullptr);
}

/* VQX_GW_ADDRESS_0 on 127.0.0.0/8, with the system's table (no provider): the table is the loopback interface
 * alone, gw0 settles on it and the adapters' discovery goes to 127.0.0.1; another setting lifts it. */
TEST(EnvLoopback, LoopbackAddressConfinesTheTransportsToLoopback) {
  const u16 un16Port = loopnet::FreeLoopbackPort();
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));  // beside the transport's own socket on the port
  const sockaddr_in a = loopnet::LoopbackAddress(un16Port);
  ASSERT_EQ(bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof(a)), 0);
  for (const char *pszAddress : {"127.0.0.1", "127.0.0.0"}) {
    SCOPED_TRACE(pszAddress);
    setenv("VQX_GW_ADDRESS_0", pszAddress, 1);
    CapturedLog log;
    _VQX_LIB_PARAMS params = HostLibTestParams(&log);
    params.fAdaptersGwOff = 0, params.un16GwPort = un16Port;
    VQX_LIB_HANDLE hLib = nullptr;
    ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
    u32 un32Count = 4, aAddr[4], aBcast[4], aMask[4];
    ASSERT_EQ(VQXGetIpInterfaces(&un32Count, aAddr, aBcast, aMask), VQX_RESULT_OK);
    EXPECT_EQ(std::vector<u32>(aAddr, aAddr + un32Count), std::vector<u32>{inet_addr("127.0.0.1")});
    EXPECT_EQ(aMask[0], inet_addr("255.0.0.0"));
    EXPECT_STREQ(params.szGw0Address, "127.0.0.1");
    EXPECT_STREQ(VqxLib(hLib)->szLocalGw0Address, "127.0.0.1");
    u8 buf[512];
    pollfd pf{s, POLLIN, 0};
    EXPECT_TRUE(poll(&pf, 1, 5000) == 1 && recv(s, buf, sizeof(buf), 0) > 0) << "discovery sent to 127.0.0.1";
    EXPECT_EQ(log.Count("unique host id"), 0u) << "a random host id is no error when confined on purpose";
    EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
    while (recv(s, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
  }
  close(s);
  setenv("VQX_GW_ADDRESS_0", "10.9.0.5", 1);
  VqxGwLibSetInterfaceProvider(OneLanInterface);
  _VQX_LIB_PARAMS params = HostLibTestParams(nullptr);
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&params, &hLib), VQX_RESULT_API_OK);
  EXPECT_EQ(VqxGwLibLoopbackOnly(), 0u) << "another local address lifts the confinement";
  EXPECT_EQ(VQXCloseLibEx(&hLib), VQX_RESULT_API_OK);
  unsetenv("VQX_GW_ADDRESS_0");
  VqxGwLibSetInterfaceProvider(nullptr);
}

}  // namespace
