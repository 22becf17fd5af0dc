// The running trace server's console as an operator sees it: the program in
// a tmux pane of 132 x 50, the simulated board tracing SS7
// (sigtrace_test_server.h). The table's columns, colours and totals as drawn,
// Tab to the board's page and back, then "g", "s", "p", "r" and "Q" typed
// into the pane, each seen in the server's log, the last ending the run; and
// "-e" ending a run shown on the board's page on time; a hang-up ending the
// run with its close. Skipped without tmux.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>

#include "support/sigtrace_test_server.h"

namespace {

/* The bench and a tmux server of its own, the program started in pane "st". */
struct CTmuxBench {
  sigtest::CServerBench B;
  std::string Tmux(const std::string& strArgs) {
    std::string s;
    if (FILE* f = popen(("tmux -S " + B.Path("tmux.sock") + " " + strArgs + " 2>/dev/null").c_str(), "r")) {
      for (int c; (c = fgetc(f)) != EOF;) s += static_cast<char>(c);
      pclose(f);
    }
    return s;
  }
  /* The pane once it shows every part (bounded wait): a part the page before a key also shows would end the
   * wait before the key is handled, and one part alone could end it on a frame half drawn. */
  std::string Screen(std::initializer_list<const char*> Parts) {
    std::string s;
    peerwait::WaitUntil(
        [&] {
          s = Tmux("capture-pane -p -e -t st");
          return std::all_of(Parts.begin(), Parts.end(), [&](const char* p) { return s.find(p) != std::string::npos; });
        },
        10000);
    return s;
  }
  /* Each part is on the pane once it shows them all. */
  void ExpectScreen(std::initializer_list<const char*> Parts) {
    const std::string s = Screen(Parts);
    for (const char* psz : Parts) EXPECT_NE(s.find(psz), std::string::npos) << psz << "\n" << s;
  }
  /* The program has ended (rc.txt written) and the tmux server is gone before the bench removes their
   * folder: the program still writes its closing lines after the one a test waits for. */
  ~CTmuxBench() {
    peerwait::WaitUntil([&] { return !B.Read("rc.txt").empty(); }, 10000);
    Tmux("kill-server");
    const std::string strProbe = "tmux -S " + B.Path("tmux.sock") + " has-session 2>/dev/null";
    peerwait::WaitUntil([&] { return system(strProbe.c_str()) != 0; }, 5000);
  }
  /* The program with strArgs; its exit status is written to rc.txt. */
  void Start(const std::string& strArgs) {
    Tmux("new-session -d -x 132 -y 50 -s st 'cd " + B.mstrDir + " && " +
         peerproc::BuildProgram("VQX_SIGTRACE_PROGRAM", "sigtrace/sigtrace") + " " + strArgs + "; echo rc=$? > rc.txt'");
  }
};

TEST(ConsoleInTmux, TableTabAndKeys) {
  if (system("which tmux > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  CTmuxBench T;
  auto& B = T.B;
  auto Tmux = [&](const std::string& strArgs) { return T.Tmux(strArgs); };
  T.Start("-ss7 -e 60000");
  ASSERT_TRUE(B.WaitTracesOn(2));
  EXPECT_EQ(B.SendUnits(3), 6);
  ASSERT_TRUE(B.Drained());
  T.ExpectScreen({"    Group                                   | Type  | Nb        | RX        | TX        | EXT       | LOST      | Filename",
                  "\033[32m    SS7                                     | SS7   |         2 |",
                  "        12345678:LINK_A                                         |",
                  "\033[32m    TOTAL                                   |       |         2 |         3 |         3 |         0 |         0 |"});
  /* the main page also shows LINK_A: each page is known by what only it shows */
  Tmux("send-keys -t st Tab");
  T.ExpectScreen({"Page 2/2", "LINK_A", "Name                             | Desc"});
  Tmux("send-keys -t st BTab");
  T.ExpectScreen({"Page 1/2", "GW_PORT=", "Running"});
  const std::pair<const char*, const char*> kKeys[] = {
      {"g Enter", "Close log file SS7_000.cap for group=SS7"},
      {"s 12345678 Enter LINK_A Enter", "Free entity: \033[32m 12345678:LINK_A"},
      {"p SS7 Enter y Enter", "ChangeProviderGroupState is only supported for entity type H248"},  // not "ALL" from g
      {"r Enter", "Config successfully reloaded"},
      {"Q", "CVQSigTracePage::HandleChoice: manually quitting application!!"},
      {"", "MainLoop ended (0x02000000)"},
  };
  for (const auto& [pszKeys, pszLog] : kKeys) {
    if (*pszKeys != '\0') Tmux(std::string("send-keys -t st ") + pszKeys);
    EXPECT_TRUE(peerwait::WaitUntil([&] { return !B.LogLines(pszLog).empty(); }, 5000)) << pszKeys << pszLog;
  }
  EXPECT_EQ(B.Board().Stat("traces_on"), 0) << "traces switched off at the end";
  EXPECT_TRUE(peerwait::WaitUntil([&] { return B.Read("rc.txt") == "rc=0\n"; }, 10000)) << B.Read("rc.txt");
}

/* A hang-up of the program on its terminal (kill -HUP, as when the terminal closes): the console gives the terminal
 * back and the run ends with its close, traces off, exit 0. */
TEST(ConsoleInTmux, AHangUpEndsTheRunWithItsClose) {
  if (system("which tmux > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  CTmuxBench T;
  T.Start("-ss7 -e 60000");
  ASSERT_TRUE(T.B.WaitTracesOn(2));
  T.Screen({"Page 1/2"});  // the console draws: its own signal handlers are in place
  /* The program is the only child of the pane's shell. */
  const long nShell = atol(T.Tmux("list-panes -t st -F '#{pane_pid}'").c_str());
  long nPid = 0;
  std::ifstream("/proc/" + std::to_string(nShell) + "/task/" + std::to_string(nShell) + "/children") >> nPid;
  const pid_t Pid = static_cast<pid_t>(nPid);
  ASSERT_GT(Pid, 0) << "shell " << nShell;
  ASSERT_EQ(kill(Pid, SIGHUP), 0);
  EXPECT_TRUE(peerwait::WaitUntil([&] { return T.B.Read("rc.txt") == "rc=0\n"; }, 10000)) << T.B.Read("rc.txt");
  EXPECT_EQ(T.B.LogLines("MainLoop ended (0x02000000)").size(), 1u);
  EXPECT_EQ(T.B.Board().Stat("traces_on"), 0) << "traces switched off at the end";
}

/* "-e 1500" while the board's page is shown: the run ends not before 1.5 s and within one main-loop period
 * (100 ms) after, exit 0. */
TEST(ConsoleInTmux, RunTimeEndsTheRunOnAnAdapterPage) {
  if (system("which tmux > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  CTmuxBench T;
  T.Start("-ss7 -e 1500");
  T.Screen({"Page 1/2"});  // the board's page is listed
  T.Tmux("send-keys -t st Tab");
  const std::string s = T.Screen({"Page 2/2", "Name                             | Desc"});
  ASSERT_NE(s.find("Name                             | Desc"), std::string::npos) << s;
  ASSERT_TRUE(T.B.LogLines("Test duration").empty()) << "the board's page was shown before the end";
  EXPECT_TRUE(peerwait::WaitUntil([&] { return T.B.Read("rc.txt") == "rc=0\n"; }, 10000)) << T.B.Read("rc.txt");
  /* within the period, unless the machine held the run's thread past it */
  const auto [nRun, nHeld] = T.B.RunAndHeldMs("Test duration (1500) completed");
  EXPECT_TRUE(nRun >= 1500 && nRun <= 1500 + 100 + 20 + nHeld) << nRun << " ms" << ", the machine held " << nHeld << " ms";
}

}  // namespace
