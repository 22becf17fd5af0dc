// The application's main console page on off-screen consoles, over an
// application whose groups are set by hand (tests/data/main_page_groups.txt):
// the table with its colours and each group's lost records on a tall screen, scrolled past every group and
// on a short screen (golden frames), then the keys as typed, each row with
// what the next frame and the log show (tests/data/main_page_keys.txt).
#include <gtest/gtest.h>

#include <fstream>

#include "sigtrace_app.h"
#include "sigtrace_page.h"
#include "support/sigtrace_test_app.h"
#include "support/sigtrace_test_support.h"

using namespace VQCAF;

namespace {

constexpr const char* kGroups[] = {"SS7", "mgc1", "CASR2", "ISDN", "SIP"};

/* \b, \t and \e of the data files. */
std::string Unescape(std::string s) {
  for (const auto& [pszFrom, c] : {std::pair{"\\b", '\b'}, {"\\t", '\t'}, {"\\e", '\x1b'}})
    for (size_t i; (i = s.find(pszFrom)) != std::string::npos;) s.replace(i, 2, 1, c);
  return s;
}

class MainPage : public ::testing::Test {
 protected:
  void SetUp() override {
    CmdLine.mun32ExecTimeMs = 1500;
    pApp = std::make_unique<CVQSigTrace>(CmdLine);
    snprintf(pApp->mHostInfo.szHostName, sizeof(pApp->mHostInfo.szHostName), "gwhost");
    pApp->mstrAppName = "quellan", pApp->mun32GwPort = 5001, pApp->mun32PacketCount = 42;
    pApp->mAdapters.Alloc(VQCAF_DEBUG_INFO, "BOARD1");
    for (const auto& R : sigtest::DataRows("main_page_groups.txt")) {
      CVQSigTraceGrp* g = pApp->mGroups.Alloc(VQCAF_DEBUG_INFO, R[0].c_str());
      g->mstrName = R[0].c_str(), g->mun32Type = std::stoul(R[1]), g->mun32RxCount = std::stoul(R[2]);
      g->mun32TxCount = std::stoul(R[3]), g->mun32ExtCount = std::stoul(R[4]), g->mun32LostCount = std::stoul(R[5]);
      g->mfCaptureOff = R[6] == "1", g->mfStdout = R[7] == "1";
      g->mstrCurrentFile.Format("%s_000.cap", R[0].c_str());
      std::istringstream In(R[8]);
      for (std::string s; In >> s;) {
        const size_t n = s.find(':');
        g->mvEntities.push_back(sigtest::Entity(g->mun32Type, s.substr(0, n).c_str(), s.substr(n + 1).c_str()));
        g->mvEntities.back().mun32RxCount = g->mun32RxCount / 2, g->mvEntities.back().mun32TxCount = g->mun32TxCount / 2;
      }
    }
    pPage = new CVQSigTracePage(pApp.get());
    Page = CVQCAFPtr<IVQCAFCliPage>(pPage);
    pPage->Attach();
  }
  void Show(u32 un32Rows) {
    if (pCon) pCon->Cli.RemovePage(Page);
    pCon = std::make_unique<sigtest::COffScreenConsole>(un32Rows, 130);
    pCon->Cli.AddPage(Page);
  }
  /* One frame with its escapes, ESC shown as "^[". */
  std::string Colours() {
    VqxCliToolsRefresh(pCon->Cli.GetHandle());
    static char s_ac[65536];
    VqxCliToolsGetFrameWithEscapes(pCon->Cli.GetHandle(), s_ac, sizeof(s_ac));
    std::string s(s_ac);
    for (size_t i; (i = s.find('\x1b')) != std::string::npos;) s.replace(i, 1, "^[");
    return s;
  }

  sigtest::CScratchDir Dir;
  sigtest::CLogLines Log;
  CVQSigTraceCfgCmdLine CmdLine;
  std::unique_ptr<CVQSigTrace> pApp;
  CVQSigTracePage* pPage = nullptr;
  CVQCAFPtr<IVQCAFCliPage> Page;
  std::unique_ptr<sigtest::COffScreenConsole> pCon;
};

TEST_F(MainPage, TableColoursScrollAndShortScreen) {
  Show(50);
  std::string strFrames = "# 50 rows\n" + Colours();
  for (u32 i = 0; i < 7; i++) VqxCliToolsInjectKey(pCon->Cli.GetHandle(), VQX_CLI_TOOLS_KEY_CTRL_DOWN);
  EXPECT_EQ(pPage->GetScroll(), 5u) << "at most the groups in use";
  strFrames += "# scrolled past every group\n" + Colours();
  for (u32 i = 0; i < 7; i++) VqxCliToolsInjectKey(pCon->Cli.GetHandle(), VQX_CLI_TOOLS_KEY_CTRL_UP);
  for (u32 un32Rows : {32u, 26u}) {  // room for the first group and one entity; for no group
    Show(un32Rows);
    strFrames += "# " + std::to_string(un32Rows) + " rows\n" + Colours();
  }
  EXPECT_EQ(sigtest::CompareGolden("main_page.txt", strFrames), "");
}

TEST_F(MainPage, KeysAsTyped) {
  pApp->mGroups.Find("ISDN")->mfStdout = 0;  // every group writes a file here
  for (const char* psz : kGroups) EXPECT_EQ(pApp->mGroups.Find(psz)->CreateNewFile(), VQX_RESULT_OK);
  std::ofstream("bad.xml") << "<quellan><signaling><ss7 trunk=\"x\"/></signaling></quellan>\n";
  CVQCAFPtr<IVQCAFCliPage> Other(new CVQSigTracePage(pApp.get()));
  Show(50);
  pCon->Cli.AddPage(Other);
  for (const auto& R : sigtest::DataRows("main_page_keys.txt")) {
    const u32 fQuitBefore = pApp->mfQuit;
    const std::string strFrame = pCon->Keys(Unescape(R[0]), R[1] == "1"), strLog = Log.Text();
    const bool fAbsent = R[2][0] == '!';
    EXPECT_TRUE(R[2] == "-" || (strFrame.find(R[2].substr(fAbsent)) == std::string::npos) == fAbsent) << R[0] << "\n" << strFrame;
    EXPECT_TRUE(R[3] == "-" || strLog.find(Unescape(R[3])) != std::string::npos) << R[0] << "\n" << strLog;
    EXPECT_EQ(pApp->mfQuit, fQuitBefore + (R[3].find("quitting") != std::string::npos)) << R[0];
  }
  EXPECT_EQ(pApp->mGroups.Find("mgc1")->mfCaptureOff, 0);
  EXPECT_EQ(pApp->mGroups.Find("SS7")->mvEntities.size(), 1u);
  for (const char* psz : kGroups) EXPECT_FALSE(pApp->mGroups.Find(psz)->mFile.IsOpened()) << psz << ": rotated";
}

}  // namespace
