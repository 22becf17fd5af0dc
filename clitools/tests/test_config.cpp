/*
 * test_config.cpp - the configuration-file parser line by line (sections,
 * every .NETWORK key, the bounds and the refusals) and the copy into
 * host-library parameters.
 */
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "vqx_clitools.h"

namespace {

struct Parsed {
  _VQX_CLI_TOOLS_NETWORK_CONFIG Net{};
  _VQX_CLI_TOOLS_ANY_CONFIG Any{};
  char szError[VQX_CLI_TOOLS_ERROR_TEXT_SIZE] = "";
  /* Feeds the lines; the result of the first refused one (and its index), else 0x02000000. */
  VQX_RESULT Feed(std::initializer_list<std::string> lines, size_t* pnIndex = nullptr) {
    size_t n = 0;
    for (const std::string& s : lines) {
      const VQX_RESULT r = VqxCliToolsAnyConfigParseLine(s.c_str(), &Net, &Any, szError);
      if (r != VQX_RESULT_OK) {
        if (pnIndex != nullptr) *pnIndex = n;
        return r;
      }
      n++;
    }
    return VQX_RESULT_OK;
  }
};

TEST(CliToolsConfig, NetworkKeysAndOtherSections) {
  Parsed p;
  ASSERT_EQ(p.Feed({"# comment", "", ".NETWORK", "applicationName = tracer", "VQX_GW_ADDRESS_0=10.0.0.1",
                    "VQX_GW_ADDRESS_1 =10.1.0.1", "VQX_GW_PORT = 12000", "VQX_GW_PORT = 12001", "VQX_GW_PORT=12002",
                    "VQX_GW_REMOTE_ADDR = (10.0.0.5:12358)(10.0.1.5/10.0.2.5:12359)", "VQX_GW_REMOTE_ADDR=(10.0.3.9:1)",
                    "pollDelay = 1000", "networkDownDelay=3000", "adapterDownDelay = 8000", "flowControl = 16",
                    "; comment", ".CLI_CONFIG", "refresh = 500", ".LOG_FILE_CONFIG", "size = 10", ".END"}),
            VQX_RESULT_OK)
      << p.szError;
  EXPECT_STREQ(p.Net.szApplicationName, "tracer");
  EXPECT_STREQ(p.Net.szGwAddress0, "10.0.0.1");
  EXPECT_EQ(p.Net.un16GwPort, 12000);
  ASSERT_EQ(p.Net.un32NbExtraGwPorts, 2u);
  EXPECT_EQ(p.Net.aun16ExtraGwPorts[0], 12001);
  EXPECT_EQ(p.Net.aun16ExtraGwPorts[1], 12002);
  ASSERT_EQ(p.Net.un32NbExtraGwAddr, 3u);
  ASSERT_EQ(p.Feed({".NETWORK", "VQX_GW_ADDRESS_1 =", ".END"}), VQX_RESULT_OK) << "an empty value empties the field";
  EXPECT_STREQ(p.Net.szGwAddress1, "");
  EXPECT_STREQ(p.Net.aExtraGwAddr[1].szIpAddress1, "10.0.2.5");
  EXPECT_EQ(p.Net.aExtraGwAddr[1].un16Port, 12359);
  EXPECT_STREQ(p.Net.aExtraGwAddr[2].szIpAddress0, "10.0.3.9");
  EXPECT_EQ(p.Net.un32PollDelayMs, 1000u);
  EXPECT_EQ(p.Net.un32NetworkDownDelayMs, 3000u);
  EXPECT_EQ(p.Net.un32AdapterDownDelayMs, 8000u);
  EXPECT_EQ(p.Net.FlowControlMode, 16);
  ASSERT_EQ(p.Any.un32NbCliLines, 1u);
  EXPECT_STREQ(p.Any.aszCliLines[0], "refresh = 500");
  ASSERT_EQ(p.Any.un32NbLogLines, 1u);
  EXPECT_STREQ(p.Any.aszLogLines[0], "size = 10");
  EXPECT_EQ(p.Any.un32Section, (u32)VQX_CLI_TOOLS_SECTION_NONE);

  _VQX_LIB_PARAMS lib{};
  ASSERT_EQ(VqxCliToolsNetworkConfigCopyToVqxLibParams(&p.Net, &lib), VQX_RESULT_OK);
  EXPECT_STREQ(lib.szApplicationName, "tracer");
  EXPECT_EQ(lib.un16GwPort, 12000);
  u16 aun16Ports[16];
  memcpy(aun16Ports, lib.abyGwBlock, sizeof(aun16Ports));
  EXPECT_EQ(aun16Ports[1], 12002);
  EXPECT_EQ(lib.un32NbExtraGwAddr, 3u);
  EXPECT_EQ(lib.paExtraGwAddr, p.Net.aExtraGwAddr);
  EXPECT_EQ(lib.NetworkRedundancy.fValid, 1u);
  EXPECT_EQ(lib.NetworkRedundancy.un32PollDelayMs, 1000u) << "a configured delay is kept, not the default";
  EXPECT_EQ(lib.NetworkRedundancy.un32NetworkDownDelayMs, 3000u);
  EXPECT_EQ(lib.NetworkRedundancy.un32AdapterDownDelayMs, 8000u);
  EXPECT_EQ(lib.NetworkRedundancy.FlowControlMode, 16);
  EXPECT_EQ(lib.NetworkRedundancy.fUseGw0 + lib.NetworkRedundancy.fUseGw1, 2u);
}

TEST(CliToolsConfig, CopyFillsDefaultsOfAnEmptySection) {
  _VQX_CLI_TOOLS_NETWORK_CONFIG net{};
  _VQX_LIB_PARAMS lib{};
  ASSERT_EQ(VqxCliToolsNetworkConfigCopyToVqxLibParams(&net, &lib), VQX_RESULT_OK);
  char szName[64];
  snprintf(szName, sizeof(szName), "UnnamedApp_0x%08X", static_cast<u32>(getpid()));
  EXPECT_STREQ(lib.szApplicationName, szName);
  EXPECT_EQ(lib.NetworkRedundancy.un32PollDelayMs, 2000u);
  EXPECT_EQ(lib.NetworkRedundancy.un32NetworkDownDelayMs, 4500u);
  EXPECT_EQ(lib.NetworkRedundancy.un32AdapterDownDelayMs, 10000u);
  EXPECT_EQ(lib.paExtraGwAddr, nullptr);
  EXPECT_EQ(VqxCliToolsNetworkConfigCopyToVqxLibParams(nullptr, &lib), VQX_RESULT_NULL_PARAM);
}

TEST(CliToolsConfig, BadLinesAreRefusedAndKeepWhatCameBefore) {
  const std::string sLong(1023, 'x'), sName128(128, 'n'), sAddr64(64, 'a'), sCli256(256, 'c');
  const struct {
    const char* pszRow;
    std::initializer_list<std::string> lines;
    const char* pszError;
  } rows[] = {
      {"line too long", {".NETWORK", sLong}, "Line longer than 1022"},
      {"unknown section", {".NETWORKS"}, "Unknown section '.NETWORKS'"},
      {"outside section", {"pollDelay = 1"}, "Line outside a section"},
      {"after end", {".NETWORK", ".END", "pollDelay = 1"}, "Line outside a section"},
      {"no equal sign", {".NETWORK", "pollDelay 1"}, "Missing '='"},
      {"unknown key", {".NETWORK", "PollDelay = 1"}, "Unknown .NETWORK key 'PollDelay'"},
      {"port 0", {".NETWORK", "VQX_GW_PORT = 0"}, "VQX_GW_PORT must be 1 to 65535"},
      {"port 65536", {".NETWORK", "VQX_GW_PORT = 65536"}, "VQX_GW_PORT must be 1 to 65535"},
      {"delay not a number", {".NETWORK", "pollDelay = 1s"}, "pollDelay must be a number"},
      {"delay past 32 bits", {".NETWORK", "pollDelay = 4294967296"}, "pollDelay must be a number"},
      {"flow control", {".NETWORK", "flowControl = 256"}, "flowControl must be 0 to 255"},
      {"name too long", {".NETWORK", "applicationName=" + sName128}, "applicationName longer"},
      {"address too long", {".NETWORK", "VQX_GW_ADDRESS_1=" + sAddr64}, "VQX_GW_ADDRESS_1 longer"},
      {"remote syntax", {".NETWORK", "VQX_GW_REMOTE_ADDR = (10.0.0.1:1"}, "Missing a closing parenthesis"},
      {"remote bad address", {".NETWORK", "VQX_GW_REMOTE_ADDR = (10.0.0.1:1)(10.0.0.1.1:1)"}, "Invalid 'first IP address' (10.0.0.1.1)"},
      {"cli line too long", {".CLI_CONFIG", sCli256}, "Line longer than 255 characters in the section"},
  };
  for (const auto& row : rows) {
    Parsed p;
    size_t nIndex = 99;
    EXPECT_EQ(p.Feed(row.lines, &nIndex), VQX_RESULT_INVALID_CONFIG) << row.pszRow;
    EXPECT_EQ(nIndex, row.lines.size() - 1) << row.pszRow;
    EXPECT_NE(strstr(p.szError, row.pszError), nullptr) << row.pszRow << ": " << p.szError;
  }
}

TEST(CliToolsConfig, BoundsOfRepeatedEntries) {
  Parsed p;
  ASSERT_EQ(p.Feed({".NETWORK", "VQX_GW_PORT = 1"}), VQX_RESULT_OK);
  for (int i = 0; i < 16; i++) ASSERT_EQ(p.Feed({"VQX_GW_PORT = 2"}), VQX_RESULT_OK) << i;
  EXPECT_EQ(p.Feed({"VQX_GW_PORT = 3"}), VQX_RESULT_INVALID_CONFIG);
  ASSERT_EQ(p.Feed({"VQX_GW_REMOTE_ADDR=(10.0.0.1:1)(10.0.0.2:1)(10.0.0.3:1)(10.0.0.4:1)(10.0.0.5:1)(10.0.0.6:1)(10.0.0.7:1)"
                    "(10.0.0.8:1)(10.0.0.9:1)(10.0.0.10:1)(10.0.0.11:1)(10.0.0.12:1)(10.0.0.13:1)(10.0.0.14:1)"}),
            VQX_RESULT_OK);
  EXPECT_EQ(p.Feed({"VQX_GW_REMOTE_ADDR=(10.0.0.15:1)(10.0.0.16:1)(10.0.0.17:1)"}), VQX_RESULT_INVALID_CONFIG);
  EXPECT_EQ(p.Net.un32NbExtraGwAddr, 14u) << "a list that does not fit changes nothing";
  ASSERT_EQ(p.Feed({"VQX_GW_REMOTE_ADDR=(10.0.0.15:1)(10.0.0.16:2)"}), VQX_RESULT_OK) << "the table filled to its last slot";
  EXPECT_EQ(p.Feed({"VQX_GW_REMOTE_ADDR=(10.0.0.17:1)"}), VQX_RESULT_INVALID_CONFIG);
  _VQX_LIB_PARAMS lib{};
  ASSERT_EQ(VqxCliToolsNetworkConfigCopyToVqxLibParams(&p.Net, &lib), VQX_RESULT_OK);
  ASSERT_EQ(lib.un32NbExtraGwAddr, VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR);
  EXPECT_STREQ(lib.paExtraGwAddr[VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR - 1].szIpAddress0, "10.0.0.16");
  EXPECT_EQ(lib.paExtraGwAddr[VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR - 1].un16Port, 2);
  ASSERT_EQ(p.Feed({".LOG_FILE_CONFIG"}), VQX_RESULT_OK);
  for (u32 i = 0; i < VQX_CLI_TOOLS_MAX_LOG_LINES; i++) ASSERT_EQ(p.Feed({"k = v"}), VQX_RESULT_OK);
  EXPECT_EQ(p.Feed({"k = v"}), VQX_RESULT_INVALID_CONFIG);
  EXPECT_STREQ(p.szError, "More than 32 lines in the section");
  EXPECT_EQ(VqxCliToolsAnyConfigParseLine(nullptr, &p.Net, &p.Any, p.szError), VQX_RESULT_NULL_PARAM);
}

}  // namespace
