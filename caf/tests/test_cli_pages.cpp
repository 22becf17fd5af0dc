// The console shell off-screen with two pages: its own keys first (Tab and
// reverse Tab, overlays), other keys and ctrl-up/down to the current page,
// removal. Commands, 'T' and 'q' run in the terminal test (test_cli_tmux_it).
#include "cli_test_support.h"
#include "support/vqcaf_test_support.h"

namespace {

struct Console : ::testing::Test {
  CVQCAFCli Cli;
  volatile u32 fQuit = 0;
  CDemoPage* pOne = new CDemoPage("one");
  CDemoPage* pTwo = new CDemoPage("two");
  CVQCAFPtr<IVQCAFCliPage> One{pOne}, Two{pTwo};
  void SetUp() override {
    _VQX_CLI_TOOLS_INIT_PARAMS P;
    VqxCliToolsInitParamsDefault(&P);
    P.fOffScreen = 1;
    P.un32Columns = 100;
    ASSERT_EQ(Cli.AddPage(One), VQX_RESULT_OK);
    ASSERT_EQ(Cli.Open(P, &fQuit), VQX_RESULT_OK);
    ASSERT_EQ(Cli.AddPage(Two), VQX_RESULT_OK);
    ASSERT_EQ(Cli.AddPage(Two), VQX_RESULT_ACCESS_DENIED);
  }
  std::string Frame() {
    VqxCliToolsRefresh(Cli.GetHandle());
    char sz[8192];
    VqxCliToolsGetFrameText(Cli.GetHandle(), sz, sizeof(sz));
    return sz;
  }
  void Keys(std::initializer_list<int> aKeys) {
    for (int k : aKeys) VqxCliToolsInjectKey(Cli.GetHandle(), k == '\n' ? '\r' : k);
  }
  bool Shows(const char* psz) { return Frame().find(psz) != std::string::npos; }
};

TEST_F(Console, KeysReachConsoleThenPage) {
  EXPECT_TRUE(Shows("Page 1/2: one\none scroll=0 last=-"));
  Keys({'\t'});
  EXPECT_TRUE(Shows("Page 2/2: two\ntwo scroll=0"));
  Keys({VQX_CLI_TOOLS_KEY_CTRL_UP, VQX_CLI_TOOLS_KEY_CTRL_UP, VQX_CLI_TOOLS_KEY_CTRL_DOWN, 'z'});
  EXPECT_TRUE(Shows("two scroll=-1"));
  EXPECT_EQ(pTwo->mstrUnhandled, "z");
  Keys({VQX_CLI_TOOLS_KEY_BACK_TAB, 'h'});
  const std::string strHelp = Frame();
  EXPECT_NE(strHelp.find("(q) Quit application\n"), std::string::npos);
  EXPECT_NE(strHelp.find("(a) two fields\n(b) four fields"), std::string::npos);
  const int nDisplays = pOne->mnDisplays;
  Keys({'x', 'l'});  // no page key under an overlay; 'l' swaps overlays
  EXPECT_TRUE(Shows("Pages:\n(1) one\n(2) two\n"));
  EXPECT_EQ(pOne->mnDisplays, nDisplays);
  EXPECT_EQ(pOne->mstrUnhandled, "");
  Keys({'2'});
  EXPECT_TRUE(Shows("Page 2/2: two\ntwo scroll=-1"));
}

TEST_F(Console, RemovedPageIsNoLongerShown) {
  EXPECT_EQ(Cli.RemovePage(One), VQX_RESULT_OK);
  EXPECT_EQ(Cli.RemovePage(One), VQX_RESULT_NOT_FOUND);
  EXPECT_TRUE(Shows("Page 1/1: two"));
  EXPECT_EQ(Cli.RemovePage(Two), VQX_RESULT_OK);
  EXPECT_TRUE(Shows("Page 0/0: (no page)"));
  Keys({'\t', 'a'});  // nothing to reach: no crash, no command
  EXPECT_FALSE(Shows("> Name"));
}

}  // namespace
