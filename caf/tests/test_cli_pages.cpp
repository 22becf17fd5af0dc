// The console shell off-screen with two pages: its own keys first (Tab and
// reverse Tab, overlays), other keys and ctrl-up/down to the current page,
// removal. Commands, 'T' and 'q' run in the terminal test (test_cli_tmux_it).
#include "cli_test_support.h"
#include "support/vqcaf_test_support.h"

namespace {

TEST(Console, KeysReachConsoleThenPageAndRemovedPagesGo) {
  CVQCAFCli Cli;
  volatile u32 fQuit = 0;
  CDemoPage* pOne = new CDemoPage("one");
  CDemoPage* pTwo = new CDemoPage("two");
  CVQCAFPtr<IVQCAFCliPage> One{pOne};
  CVQCAFPtr<IVQCAFCliPage> Two{pTwo};
  _VQX_CLI_TOOLS_INIT_PARAMS P;
  VqxCliToolsInitParamsDefault(&P);
  P.fOffScreen = 1;
  P.un32Columns = 100;
  ASSERT_EQ(Cli.AddPage(One), VQX_RESULT_OK);
  ASSERT_EQ(Cli.Open(P, &fQuit), VQX_RESULT_OK);
  ASSERT_EQ(Cli.AddPage(Two), VQX_RESULT_OK);
  ASSERT_EQ(Cli.AddPage(Two), VQX_RESULT_ACCESS_DENIED);
  auto Shows = [&](std::initializer_list<int> aKeys, const char* psz) {
    for (int k : aKeys) VqxCliToolsInjectKey(Cli.GetHandle(), k);
    VqxCliToolsRefresh(Cli.GetHandle());
    char sz[8192];
    VqxCliToolsGetFrameText(Cli.GetHandle(), sz, sizeof(sz));
    return std::string(sz).find(psz) != std::string::npos;
  };
  EXPECT_TRUE(Shows({}, "Page 1/2: one\none scroll=0 last=-"));
  EXPECT_TRUE(
      Shows({'\t', VQX_CLI_TOOLS_KEY_CTRL_UP, 'z'}, "Page 2/2: two\ntwo scroll=-1"));  // each step in the terminal test
  EXPECT_EQ(pTwo->mstrUnhandled, "z");
  EXPECT_TRUE(Shows({VQX_CLI_TOOLS_KEY_BACK_TAB, 'h'}, "(q) Quit application\n"));
  EXPECT_TRUE(Shows({}, "(a) two fields\n(b) four fields"));
  const int nDisplays = pOne->mnDisplays;
  EXPECT_TRUE(Shows({'x', 'l'}, "Pages:\n(1) one\n(2) two\n"));  // no page key under an overlay; 'l' swaps overlays
  EXPECT_EQ(pOne->mnDisplays, nDisplays);
  EXPECT_EQ(pOne->mstrUnhandled, "");
  EXPECT_TRUE(Shows({'2'}, "Page 2/2: two\ntwo scroll=-1"));
  EXPECT_EQ(Cli.RemovePage(One), VQX_RESULT_OK);
  EXPECT_EQ(Cli.RemovePage(One), VQX_RESULT_NOT_FOUND);
  EXPECT_TRUE(Shows({}, "Page 1/1: two"));
  EXPECT_EQ(Cli.RemovePage(Two), VQX_RESULT_OK);
  EXPECT_TRUE(Shows({}, "Page 0/0: (no page)"));
  EXPECT_FALSE(Shows({'\t', 'a'}, "> Name"));  // nothing to reach: no crash, no command
}

}  // namespace
