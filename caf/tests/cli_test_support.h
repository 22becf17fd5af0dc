/*
 * cli_test_support.h - shared by the shell tests: Sh() runs a shell command
 * and gives its output; CDemoPage is a console page double that shows its
 * state, takes 'a' (two fields) and 'b' (four fields) commands, scrolls with
 * ctrl-up/down, and may take an application mutex in Display as real pages do;
 * OffScreen is a console without a terminal.
 */
#ifndef CLI_TEST_SUPPORT_H
#define CLI_TEST_SUPPORT_H

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "vqcafcli.h"

inline std::string Sh(const std::string& strCommand) {
  std::string s;
  FILE* p = popen(strCommand.c_str(), "r");
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;) s.append(buf, n);
  if (p != nullptr) pclose(p);
  return s;
}

class CDemoPage : public VQCAF::IVQCAFCliPage {
 public:
  explicit CDemoPage(const char* pszTitle, VQCAF::CVQCAFMutex* pAppMutex = nullptr)
      : mstrTitle(pszTitle), mpAppMutex(pAppMutex) {}
  ~CDemoPage() override { mfAlive = false; }
  VQX_RESULT Display() override {
    VQCAF::CVQCAFMutexAutoGetGive Lock(mpAppMutex);
    mnDisplays++;
    VqxCliToolsPrint(mhCli, "%s scroll=%d last=%s\n", mstrTitle.c_str(), mnScroll, mstrApplied.c_str());
    return mfAlive ? VQX_RESULT_OK : VQX_RESULT_FAIL;
  }
  VQX_RESULT HandleChoice(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfHandled) override {
    const char* apszLabels[] = {"Name : ", "Port : ", "Mode : ", "Note : "};
    const char* apszValues[] = {"n0", "1", "on", "-"};
    const bool fCmd = nKey == 'a' || nKey == 'b';
    *pfHandled = fCmd || nKey == VQX_CLI_TOOLS_KEY_CTRL_UP || nKey == VQX_CLI_TOOLS_KEY_CTRL_DOWN;
    if (!*pfHandled) mstrUnhandled += static_cast<char>(nKey);
    mnScroll += (nKey == VQX_CLI_TOOLS_KEY_CTRL_DOWN) - (nKey == VQX_CLI_TOOLS_KEY_CTRL_UP);
    if (fCmd) pCmd->un32Cmd = static_cast<u32>(nKey);
    for (int i = 0; fCmd && i < (nKey == 'a' ? 2 : 4); i++) {
      snprintf(pCmd->aszLabel[i], VQX_CLI_TOOLS_CMD_TEXT_SIZE, "%s", apszLabels[i]);
      snprintf(pCmd->aszValue[i], VQX_CLI_TOOLS_CMD_TEXT_SIZE, "%s", apszValues[i]);
    }
    return VQX_RESULT_OK;
  }
  /* The port field must be decimal and at most 65535. */
  VQX_RESULT ValidateUserInput(_VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfValid) override {
    const char* psz = pCmd->aszValue[pCmd->un32Index];
    const size_t n = strlen(psz);
    *pfValid = pCmd->un32Index != 1 || (n > 0 && n <= 5 && strspn(psz, "0123456789") == n && atoi(psz) <= 65535);
    return VQX_RESULT_OK;
  }
  VQX_RESULT ApplyUserInput(_VQX_CLI_TOOLS_CMD* pCmd) override {
    mstrApplied = std::string(1, static_cast<char>(pCmd->un32Cmd));
    for (u32 i = 0; i < 4 && pCmd->aszLabel[i][0] != '\0'; i++) mstrApplied += std::string(":") + pCmd->aszValue[i];
    return VQX_RESULT_OK;
  }
  const char* GetTitle() override { return mstrTitle.c_str(); }
  u32 IsEnabled() override { return 1; }
  void SetEnabled(unsigned int) override {}
  const char* GetHelp() override { return "(a) two fields\n(b) four fields\n"; }

  std::string mstrTitle;
  VQCAF::CVQCAFMutex* mpAppMutex;
  std::atomic<bool> mfAlive{true};
  std::atomic<int> mnDisplays{0};
  int mnScroll = 0;
  std::string mstrApplied = "-";
  std::string mstrUnhandled;
};

/* An off-screen console, opened with First added before the opening (if any); Shows injects keys,
 * refreshes and tells whether the frame holds the text. */
struct OffScreen {
  VQCAF::CVQCAFCli Cli;
  _VQX_CLI_TOOLS_INIT_PARAMS P;
  explicit OffScreen(VQCAF::CVQCAFPtr<VQCAF::IVQCAFCliPage> First = {}) {
    VqxCliToolsInitParamsDefault(&P);
    P.fOffScreen = 1;
    EXPECT_EQ(First.IsNull() ? VQX_RESULT_OK : Cli.AddPage(First), VQX_RESULT_OK);
    EXPECT_EQ(Cli.Open(P, nullptr), VQX_RESULT_OK);
  }
  bool Shows(std::initializer_list<int> aKeys, const char* pszText) {
    for (int k : aKeys) VqxCliToolsInjectKey(Cli.GetHandle(), k);
    VqxCliToolsRefresh(Cli.GetHandle());
    char sz[8192];
    VqxCliToolsGetFrameText(Cli.GetHandle(), sz, sizeof(sz));
    return std::string(sz).find(pszText) != std::string::npos;
  }
};

#endif
