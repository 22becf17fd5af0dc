// The console shell off-screen with two pages: its own keys first (Tab and
// reverse Tab), other keys and ctrl-up/down to the current page, removal.
// Commands, 'T' and 'q' run in the terminal test (test_cli_tmux_it).
#include "cli_test_support.h"
#include "support/vqcaf_test_support.h"

namespace {

TEST(Console, KeysReachConsoleThenPageAndRemovedPagesGo) {
  CDemoPage* pOne = new CDemoPage("one");
  CDemoPage* pTwo = new CDemoPage("two");
  CVQCAFPtr<IVQCAFCliPage> One{pOne};
  CVQCAFPtr<IVQCAFCliPage> Two{pTwo};
  OffScreen C(One);  // a page added before the opening
  ASSERT_EQ(C.Cli.AddPage(Two), VQX_RESULT_OK);
  ASSERT_EQ(C.Cli.AddPage(Two), VQX_RESULT_ACCESS_DENIED);
  EXPECT_TRUE(C.Shows({}, "Page 1/2: one\none scroll=0 last=-"));
  EXPECT_TRUE(C.Shows({'\t', VQX_CLI_TOOLS_KEY_CTRL_UP, 'z'}, "Page 2/2: two\ntwo scroll=-1"));
  EXPECT_EQ(pTwo->mstrUnhandled, "z");
  EXPECT_TRUE(C.Shows({VQX_CLI_TOOLS_KEY_BACK_TAB}, "Page 1/2: one"));
  EXPECT_EQ(pOne->mstrUnhandled, "");
  EXPECT_EQ(C.Cli.RemovePage(One), VQX_RESULT_OK);
  EXPECT_EQ(C.Cli.RemovePage(One), VQX_RESULT_NOT_FOUND);
  EXPECT_TRUE(C.Shows({}, "Page 1/1: two\ntwo scroll=-1"));
  EXPECT_EQ(C.Cli.RemovePage(Two), VQX_RESULT_OK);
  EXPECT_TRUE(C.Shows({}, "Page 0/0: (no page)"));
  EXPECT_FALSE(C.Shows({'\t', 'a'}, "> Name"));  // nothing to reach: no crash, no command
}

}  // namespace
