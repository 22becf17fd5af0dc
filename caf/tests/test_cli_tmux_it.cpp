// A two-page console application in a real terminal (tmux): Tab, prompts of
// two and four fields with defaults, a refused value asked again, ctrl-up and
// ctrl-down reaching the page, 'T', 'q' confirmed, exit status 0 and the
// terminal settings as before; then in service mode and on a pipe: no escape
// sequence written and no time spent at end of input. The same program runs
// the demo when VQX_CLI_DEMO is set.
#include <sys/resource.h>

#include "cli_test_support.h"
#include "support/vqcaf_test_support.h"
#include "vqcaf.h"

namespace {

int RunDemo() {
  volatile u32 fQuit = 0;
  _VQX_CLI_TOOLS_INIT_PARAMS Cli;
  VqxCliToolsInitParamsDefault(&Cli);
  snprintf(Cli.szTitle, sizeof(Cli.szTitle), "Demo console");
  CVQCAFGlobalsParams Params;
  Params.mpCliParams = &Cli;
  Params.mpfQuit = &fQuit;
  if (GlobalInit() != VQX_RESULT_OK || GlobalSetParam(&Params) != VQX_RESULT_OK) return 1;
  CVQCAFPtr<IVQCAFCliPage> One(new CDemoPage("one"));
  CVQCAFPtr<IVQCAFCliPage> Two(new CDemoPage("two"));
  GetCli()->AddPage(One);
  GetCli()->AddPage(Two);
  const char* pszMs = getenv("VQX_CLI_DEMO_MS");
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(pszMs ? atoi(pszMs) : 60000);
  while (fQuit == 0 && std::chrono::steady_clock::now() < End)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  GetCli()->RemovePage(One);
  GetCli()->RemovePage(Two);
  CVQCAFGlobalsParams Empty;
  GlobalSetParam(&Empty);
  GlobalUninit();
  return fQuit != 0 || pszMs != nullptr ? 0 : 2;
}
/* Runs before main: the same program is the demo when VQX_CLI_DEMO is set. */
const bool kDemo = [] {
  if (getenv("VQX_CLI_DEMO") != nullptr) exit(RunDemo());
  return false;
}();

const std::string kExe = std::filesystem::read_symlink("/proc/self/exe").string();

TEST(CliTmux, TwoPageDemoInARealTerminal) {
  ASSERT_EQ(Sh("command -v tmux >/dev/null && echo yes"), "yes\n") << "tmux is needed (scripts/deps.sh)";
  CTempDir Dir;
  const std::string strTmux = "tmux -L vqx_cli_" + std::to_string(getpid()) + " ";
  const std::string strRun = "cd " + Dir.Path("") + "; stty -a > before; VQX_CLI_DEMO=1 " + kExe +
                             "; echo $? > rc.tmp; stty -a > after; mv rc.tmp rc; sleep 60";
  Sh(strTmux + "new-session -d -x 100 -y 30 -s demo \"sh -c '" + strRun + "'\"");
  auto Screen = [&] { return Sh(strTmux + "capture-pane -p -t demo"); };
  ExpectRows("cli_tmux_steps.txt", 2, [&](std::vector<std::string>& a) {
    if (!a[0].empty()) Sh(strTmux + "send-keys -t demo " + a[0]);
    if (!WaitFor([&] { return Screen().find(a[1]) != std::string::npos; })) a[1] = "not on the screen:\n" + Screen();
  });
  EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(Dir.Path("rc")); })) << Screen();
  Sh(strTmux + "kill-server");
  EXPECT_EQ(ReadFile(Dir.Path("rc")), "0\n");
  EXPECT_EQ(ReadFile(Dir.Path("after")), ReadFile(Dir.Path("before")));
  EXPECT_NE(ReadFile(Dir.Path("before")).find("icanon"), std::string::npos);
}

TEST(CliTmux, NoTerminalNoEscapesAndIdleAtEndOfInput) {
  auto CpuMs = [] {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
  };
  for (const char* pszEnv : {"VQX_SERVICE_MODE=1 ", ""}) {
    const double dStartMs = CpuMs();
    const std::string strOut =
        Sh(std::string(pszEnv) + "VQX_CLI_DEMO=1 VQX_CLI_DEMO_MS=1500 " + kExe + " </dev/null; echo rc=$?");
    EXPECT_EQ(strOut.find('\x1b'), std::string::npos) << pszEnv;
    EXPECT_NE(strOut.find("rc=0"), std::string::npos) << strOut;
    EXPECT_LT(CpuMs() - dStartMs, 750.0) << pszEnv << "spent on a 1500 ms run";
  }
}

}  // namespace
