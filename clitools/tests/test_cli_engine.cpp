/*
 * test_cli_engine.cpp - the console engine off-screen: lines cut at the
 * width with escapes of no width, remaining lines, the prompt flow of
 * commands (defaults, refusal asked again, no-field commands, too many
 * fields, Escape), and the bounded log ring.
 */
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "../clitools_keys_internal.h"
#include "vqx_clitools_cli.h"
#include "vqx_result.h"

namespace {

/* A shell double: draws what it is told, records the command calls. */
struct Shell {
  std::vector<std::string> aPage;  // printed as is by Display
  std::vector<u32> aRemaining;     // GetRemainingLines after each piece
  _VQX_CLI_TOOLS_CMD Start{};      // the command a key starts
  std::vector<std::string> aCalls;
  std::string strRefuse = "bad";   // value the validator refuses
  VQX_CLI_TOOLS_HANDLE h = nullptr;

  explicit Shell(u32 cols = 20, u32 rows = 12, u32 un32MaxFields = 4) {
    _VQX_CLI_TOOLS_INIT_PARAMS P;
    VqxCliToolsInitParamsDefault(&P);
    snprintf(P.szTitle, sizeof(P.szTitle), "TITLE");
    snprintf(P.szPromptHint, sizeof(P.szPromptHint), "hint");
    P.fOffScreen = 1;
    P.un32Columns = cols;
    P.un32Rows = rows;
    P.un32LogViewLines = 2;
    P.un32LogLines = 16;
    P.un32MaxPromptFields = un32MaxFields;
    P.pvContext = this;
    P.pfnDisplay = [](void* pv, VQX_CLI_TOOLS_HANDLE hCli) {
      auto* s = static_cast<Shell*>(pv);
      s->aRemaining.clear();
      for (const std::string& t : s->aPage) {
        VqxCliToolsPrint(hCli, "%s", t.c_str());
        s->aRemaining.push_back(VqxCliToolsGetRemainingLines(hCli));
      }
    };
    P.pfnHandleKey = [](void* pv, int nKey, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfHandled) {
      auto* s = static_cast<Shell*>(pv);
      s->aCalls.push_back("key " + std::to_string(nKey) + (pCmd->un32Cmd == 0 && pCmd->aszLabel[0][0] == 0 ? "" : " dirty"));
      if (nKey == 'c') *pCmd = s->Start;
      *pfHandled = 1;
    };
    P.pfnValidate = [](void* pv, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfValid) {
      auto* s = static_cast<Shell*>(pv);
      s->aCalls.push_back("validate " + std::to_string(pCmd->un32Index) + " " + pCmd->aszValue[pCmd->un32Index]);
      *pfValid = s->strRefuse != pCmd->aszValue[pCmd->un32Index];
    };
    P.pfnApply = [](void* pv, _VQX_CLI_TOOLS_CMD* pCmd) {
      std::string s = "apply " + std::to_string(pCmd->un32Cmd);
      for (u32 i = 0; i < VQX_CLI_TOOLS_MAX_CMD_FIELDS && pCmd->aszLabel[i][0]; i++) s += std::string(" ") + pCmd->aszValue[i];
      static_cast<Shell*>(pv)->aCalls.push_back(s);
    };
    EXPECT_EQ(VqxCliToolsOpen(&P, &h), VQX_RESULT_OK);
  }
  ~Shell() { VqxCliToolsClose(h); }
  std::string Frame() {
    EXPECT_EQ(VqxCliToolsRefresh(h), VQX_RESULT_OK);
    char sz[8192];
    EXPECT_EQ(VqxCliToolsGetFrameText(h, sz, sizeof(sz)), VQX_RESULT_OK);
    return sz;
  }
  void Keys(const std::string& s) {
    for (char c : s) VqxCliToolsInjectKey(h, c == '\n' ? '\r' : c);
  }
  void Command(u32 un32Cmd, std::vector<std::pair<const char*, const char*>> aFields) {
    memset(&Start, 0, sizeof(Start));
    Start.un32Cmd = un32Cmd;
    for (size_t i = 0; i < aFields.size(); i++) {
      snprintf(Start.aszLabel[i], VQX_CLI_TOOLS_CMD_TEXT_SIZE, "%s", aFields[i].first);
      snprintf(Start.aszValue[i], VQX_CLI_TOOLS_CMD_TEXT_SIZE, "%s", aFields[i].second);
    }
  }
};

TEST(CliEngine, FrameCutsAtWidthAndCountsLines) {
  Shell S(20, 12);  // 12 rows: title, 7 page rows, separator, 2 log rows, prompt
  S.aPage = {"\033[32mgreen text that is longer than twenty\033[m\n", "two\n", "a", "b\n", "\n\n\n\n", "x\ny\nz\n"};
  VqxCliToolsLogAppend(S.h, "log one\nlog two\nlog three");
  const std::string strExpected =
      "TITLE\n"
      "green text that is l\n"
      "two\n"
      "ab\n\n\n\n\n"
      "--------------------\n"
      "log two\n"
      "log three\n"
      "hint\n";
  EXPECT_EQ(S.Frame(), strExpected);
  EXPECT_EQ(S.aRemaining, (std::vector<u32>{6, 5, 4, 4, 0, 0}));
  VqxCliToolsLogScroll(S.h, 1);
  EXPECT_NE(S.Frame().find("log one\nlog two\nhint"), std::string::npos);
  VqxCliToolsLogClearBuffer(S.h);
  EXPECT_NE(S.Frame().find("-\n\n\nhint"), std::string::npos);
}

TEST(CliEngine, RingKeepsTheNewestLines) {
  Shell S(20, 12);
  for (int i = 0; i < 40; i++) VqxCliToolsLogAppend(S.h, ("line " + std::to_string(i)).c_str());
  VqxCliToolsLogScroll(S.h, 1000);  // clamped at the oldest kept line (16 kept)
  EXPECT_NE(S.Frame().find("line 24\nline 25\nhint"), std::string::npos);
}

TEST(CliEngine, PromptFlowAsksUntilValidThenApplies) {
  Shell S(60, 12);
  S.Command(7, {{"Entity : ", "e1"}, {"Group : ", "g1"}});
  S.Keys("c");
  EXPECT_NE(S.Frame().find("> Entity : e1\n"), std::string::npos);
  S.Keys("\n");          // default kept
  S.Keys("bad\n");       // refused: asked again
  EXPECT_NE(S.Frame().find("Invalid value, try again: > Group : bad"), std::string::npos);
  S.Keys("\x08\x08\x08gx\n");
  S.Keys("z");           // no command: a key again
  EXPECT_EQ(S.aCalls, (std::vector<std::string>{"key 99", "validate 0 e1", "validate 1 bad", "validate 1 gx",
                                                "apply 7 e1 gx", "key 122"}));
}

/* The terminal's bytes as keys: DEL, what terminals send for Backspace,
 * edits like Backspace; escape sequences whole, a lone Escape only at the
 * end of what was read. */
TEST(CliEngine, TerminalBytesBecomeKeys) {
  const struct {
    const char* pszRow;
    std::string strIn;
    bool fFlush;
    std::vector<int> aKeys;
  } rows[] = {
      {"DEL is Backspace", "a\x7f\x08", false, {'a', 8, 8}},
      {"LF is Enter", "\n\r", false, {'\r', '\r'}},
      {"cursor keys", "\x1b[A\x1b[1;5B\x1bOa\x1b[Z\x1b[6~", false,
       {VQX_CLI_TOOLS_KEY_UP, VQX_CLI_TOOLS_KEY_CTRL_DOWN, VQX_CLI_TOOLS_KEY_CTRL_UP, VQX_CLI_TOOLS_KEY_BACK_TAB,
        VQX_CLI_TOOLS_KEY_PAGE_DOWN}},
      {"unused sequence skipped whole", "\x1b[15~x", false, {-1, 'x'}},
      {"sequence not complete yet", "\x1b[1;5", false, {0}},
      {"lone Escape at the end", "\x1b", true, {VQX_CLI_TOOLS_KEY_ESCAPE}},
  };
  for (const auto& row : rows) {
    std::string s = row.strIn;
    std::vector<int> a;
    while (!s.empty() && a.size() < 16) {
      a.push_back(VqxCliToolsTakeKey(s, row.fFlush));
      if (a.back() == 0) break;
    }
    EXPECT_EQ(a, row.aKeys) << row.pszRow;
  }
  Shell S(60, 12);
  S.Command(3, {{"Name : ", "ab"}});
  S.Keys("c");
  std::string strTyped = "\x7fx\r";
  for (int nKey; !strTyped.empty() && (nKey = VqxCliToolsTakeKey(strTyped, true)) > 0;) VqxCliToolsInjectKey(S.h, nKey);
  EXPECT_EQ(S.aCalls.back(), "apply 3 ax");
}

TEST(CliEngine, CommandsWithoutFieldsTooManyFieldsAndEscape) {
  Shell S(100, 12, 4);
  S.Command(6, {});
  S.Keys("c");
  S.Command(9, {{"1", ""}, {"2", ""}, {"3", ""}, {"4", ""}, {"5", ""}});
  S.Keys("c");
  S.Command(8, {{"A : ", "a"}});
  S.Keys("c");
  VqxCliToolsInjectKey(S.h, VQX_CLI_TOOLS_KEY_ESCAPE);
  S.Keys("x");
  EXPECT_EQ(S.aCalls, (std::vector<std::string>{"key 99", "validate 0 ", "apply 6", "key 99", "key 99", "key 120"}));
  EXPECT_NE(S.Frame().find("VqxCliToolsCliThread: Command (9) exceed maximum prompt size (4)!!! Increase this value"),
            std::string::npos);
}

TEST(CliEngine, WholeFrameBytesAndRefusals) {
  char sz[256];
  const u32 n = VqxCliToolsBuildFrame("ab\033[1mcdef\nxy", 4, 3, sz, sizeof(sz));
  EXPECT_EQ(std::string(sz, n), "\033[Hab\033[1mcd\033[m\033[K\r\nxy\033[m\033[K\r\n\033[m\033[K");
  VQX_CLI_TOOLS_HANDLE h = nullptr;
  _VQX_CLI_TOOLS_INIT_PARAMS P;
  VqxCliToolsInitParamsDefault(&P);
  EXPECT_EQ(VqxCliToolsOpen(&P, &h), VQX_RESULT_NULL_PARAM);  // no callbacks
  EXPECT_EQ(h, nullptr);
}

}  // namespace
