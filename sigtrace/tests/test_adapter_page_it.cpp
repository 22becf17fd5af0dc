// The adapter's console page on off-screen consoles, over an adapter that
// discovered a board of every entity type: the rows (golden frame), the
// scroll notes and the drift back on a taller screen, 'r', and the add
// command's fields (a bad entity and an empty group asked again) with the
// activations it posts.
#include <gtest/gtest.h>

#include "sigtrace_adapter_page.h"
#include "sigtrace_cfg_cmdline.h"
#include "vqcaf.h"
#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_support.h"

using namespace VQCAF;

namespace {

constexpr const char* kAbove = "(more entity to display above, press ctrl-up-arrow to scroll down)";
constexpr const char* kBelow = "(more entities to display below, press ctrl-down-arrow to scroll up)";

std::string Fields(const sigtest::SAppMsg& M) {
  if (M.un32Id != QUELLAN_NOTIF_ACTIVATE_MONITORING || M.Payload.size() != VQ_SIGTRACE_NOTIF_ACTIVATE_SIZE) return "none";
  const u8* p = M.Payload.data();
  u32 a[3];
  memcpy(a, p + VQ_SIGTRACE_NOTIF_OFFSET_PORT, sizeof(a));
  char sz[300];
  snprintf(sz, sizeof(sz), "%.127s|%.127s|%u|%u|%u", p + VQ_SIGTRACE_NOTIF_OFFSET_ENTITY, p + VQ_SIGTRACE_NOTIF_OFFSET_GROUP,
           a[0], a[1], a[2]);
  return sz;
}

TEST(AdapterPage, RowsNotesDriftResyncAndAddCommand) {
  sigtest::CBoardBench B(sigtest::ReadFile(sigtest::DataPath("page_profile.json")));
  ASSERT_TRUE(B.AddAdapter() && B.WaitReady().un32Id != 0);
  // A second page over the same adapter, drawn on screens of chosen heights.
  CVQSigTraceAdapterPage* pPage = new CVQSigTraceAdapterPage(B.pAdapter.get());
  CVQCAFPtr<IVQCAFCliPage> Page(pPage);
  std::unique_ptr<sigtest::COffScreenConsole> pCon;
  auto Show = [&](u32 un32Rows) {
    if (pCon) pCon->Cli.RemovePage(Page);
    pCon = std::make_unique<sigtest::COffScreenConsole>(un32Rows);
    pCon->Cli.AddPage(Page);
  };
  auto Key = [&](int nKey) { return VqxCliToolsInjectKey(pCon->Cli.GetHandle(), nKey), pCon->Frame(); };

  Show(40);  // 24 entities, room for fewer
  EXPECT_EQ(sigtest::Count(pCon->Frame(), kBelow), 1u);
  Key(VQX_CLI_TOOLS_KEY_CTRL_UP);  // nothing above: stays
  EXPECT_EQ(pPage->GetScroll(), 0u);
  for (u32 n = 0; n < 30 && sigtest::Count(pCon->Frame(), kBelow) == 1;) Key(VQX_CLI_TOOLS_KEY_CTRL_DOWN), n++;
  EXPECT_EQ(sigtest::Count(Key(VQX_CLI_TOOLS_KEY_CTRL_DOWN), kAbove), 1u);  // nothing below: stays
  const u32 un32Bottom = pPage->GetScroll();
  EXPECT_GT(un32Bottom, 0u);
  Show(60);  // a taller screen: one row back per refresh until every row shows
  for (u32 s = un32Bottom; s > 0; s--) {
    EXPECT_EQ(pPage->GetScroll(), s);
    pCon->Frame();
  }
  EXPECT_EQ(sigtest::CompareGolden("adapter_page.txt", pCon->Frame()), "");

  B.Lines("");
  Key('r');
  EXPECT_NE(B.WaitReady().un32Id, 0u);
  EXPECT_EQ(B.Lines("<Sync> 12345678: Started!").size(), 1u);
  const std::pair<const char*, const char*> kSteps[] = {
      // Typed (then Return), and what the prompt line shows next.
      {"link_a", "Invalid value, try again: > Entity                 : link_a"},  // names are exact
      {"LINK_A", "> Group                  : "},
      {"", "Invalid value, try again: > Group                  : "},  // no empty group
      {"grp", "> Port (0 for all ports) : 0"},
      {"abc", "> Cap file               : 0"},
  };
  // The add command on the application's console, over the page the adapter made.
  pCon->Cli.RemovePage(Page);
  auto AppKeys = [](const std::string& strKeys, bool fEnter) { return sigtest::ConsoleKeys(*GetCli(), strKeys, fEnter); };
  EXPECT_NE(AppKeys("a", false).find("> Entity                 : \n"), std::string::npos);
  for (const auto& [pszTyped, pszShown] : kSteps) EXPECT_NE(AppKeys(pszTyped, true).find(pszShown), std::string::npos) << pszTyped;
  AppKeys("2", true);
  // Entity, group, port, capture flag, extended flag: the cap-file answer is both flags.
  EXPECT_EQ(Fields(B.Next(2000)), "LINK_A|grp|0|1|1");  // cap file 2 is 1
  EXPECT_NE(AppKeys("a", false).find("> Entity                 : LINK_A"), std::string::npos);  // the last values are the defaults
  for (const char* psz : {"R2_07", "", "5060", ""}) AppKeys(psz, true);
  EXPECT_EQ(Fields(B.Next(2000)), "R2_07|grp|5060|0|1");  // CAS R2 as text, extended
  AppKeys("a", false);
  for (const char* psz : {"R2_07", "", "", "0"}) AppKeys(psz, true);
  EXPECT_EQ(Fields(B.Next(2000)), "R2_07|grp|5060|0|0");  // neither
}

/* The console may still hold the adapter's page when the adapter goes: the page is detached first, and its calls
 * afterwards do nothing and touch nothing of the freed adapter (AddressSanitizer would see it). */
TEST(AdapterPage, APageOutlivingItsAdapterNoLongerReachesIt) {
  sigtest::CBoardBench B(R"({"tucl": [{"id": 7, "name": "SIP"}]})");
  ASSERT_TRUE(B.AddAdapter() && B.WaitReady().un32Id != 0);
  CVQCAFPtr<IVQCAFCliPage> Page = B.pAdapter->GetPage();
  ASSERT_TRUE(Page.Get() != nullptr && Page->IsEnabled() == 1);
  B.pAdapter.reset();
  EXPECT_STREQ(Page->GetTitle(), "12345678");
  EXPECT_EQ(Page->IsEnabled(), 0u);
  Page->SetEnabled(1);
  _VQX_CLI_TOOLS_CMD Cmd{};
  u32 fHandled = 0, fValid = 0;
  EXPECT_EQ(Page->HandleChoice('r', &Cmd, &fHandled), VQX_RESULT_OK);
  Cmd.un32Cmd = CVQSigTraceAdapterPage::kCmdResync;
  EXPECT_EQ(Page->ValidateUserInput(&Cmd, &fValid), VQX_RESULT_OK);
  EXPECT_EQ(Page->ApplyUserInput(&Cmd), VQX_RESULT_OK);
  EXPECT_EQ(Page->Display(), VQX_RESULT_OK);
  EXPECT_EQ(fHandled + fValid + Cmd.un32Cmd, 0u) << "nothing handled, validated or left pending";
}

}  // namespace
