/*
 * bench_shutdown.cpp - how long the trace server takes from SIGTERM to its
 * exit, against the host library's close alone, both against the simulated
 * board (testing/boardsim, every family of the activation profile) on
 * 127.0.0.1.
 *
 * BM_SigtermToExit: the program of this build ("-ss7", its gateway kept on
 * loopback by its quellan.xml) traces the board's two SS7 links; timed is
 * SIGTERM to the end of the process (its traces off, files closed, framework
 * stopped). BM_BareHostLibClose: a host library of this process that found
 * the board; timed is VQXCloseLibEx. The target: the first within 50 ms of
 * the second. Run from the source tree's root (scripts/bench.sh), or with
 * VQX_SOURCE_DIR set.
 */
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "peers/boardsim_process.h"
#include "peers/child_process.h"
#include "peers/loopback.h"
#include "peers/wait_until.h"
#include "vqx_host.h"
#include "vqx_host_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Source() {
  const char* psz = getenv("VQX_SOURCE_DIR");
  return psz != nullptr ? psz : ".";
}

/* The board on its own ports, with the profile of every family. */
struct SBoard {
  gwpeer::BoardProcess Board{0, {"--profile", Source() + "/sigtrace/tests/data/activate_profile.json"}};
  u16 un16Port = Board.UdpPort();
};

/* The bounded waits of the bench: at most 5 s each. */
constexpr unsigned kWaitMs = 5000;

void BM_SigtermToExit(benchmark::State& state) {
  SBoard B;
  /* The run directory goes on every way out, an error's too. */
  struct SRunDir {
    std::filesystem::path Path =
        std::filesystem::temp_directory_path() / ("bench_shutdown_" + std::to_string(getpid()));
    ~SRunDir() {
      std::error_code Ignored;
      std::filesystem::remove_all(Path, Ignored);
    }
  } RunDir;
  const std::filesystem::path& Dir = RunDir.Path;
  std::filesystem::create_directories(Dir);
  std::ofstream(Dir / "quellan.xml")
      << "<quellan><params><host pollDelay=\"200\" networkDownDelay=\"500\" adapterDownDelay=\"1100\">"
      << "<env VQX_GW_ADDRESS_0=\"127.0.0.1\" VQX_GW_PORT=\"" << B.un16Port << "\" VQX_GW_REMOTE_ADDR=\"(127.0.0.1:"
      << B.un16Port << ")\"/></host><log baseName=\"" << (Dir / "server").string() << "\"/></params></quellan>\n";
  const std::string strProgram = peerproc::BuildProgram("VQX_SIGTRACE_PROGRAM", "sigtrace/sigtrace");
  for (auto _ : state) {
    const pid_t Pid = fork();
    if (Pid == 0) {
      if (chdir(Dir.c_str()) != 0) _exit(127);
      freopen("/dev/null", "r", stdin), freopen("/dev/null", "w", stdout), freopen("/dev/null", "w", stderr);
      execl(strProgram.c_str(), "sigtrace", "-ss7", "-e", "60000", static_cast<char*>(nullptr));
      _exit(127);
    }
    if (!peerwait::WaitUntil([&] { return B.Board.Stat("traces_on") == 2; }, kWaitMs)) {
      kill(Pid, SIGKILL), waitpid(Pid, nullptr, 0);
      return state.SkipWithError("the server did not switch the board's traces on");
    }
    const auto t0 = Clock::now();
    kill(Pid, SIGTERM);
    int nStatus = 0;
    waitpid(Pid, &nStatus, 0);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) return state.SkipWithError("the server did not exit 0");
    /* The board sees the link go before the next run links in. */
    peerwait::WaitUntil([&] { return B.Board.Stat("traces_on") == 0; }, kWaitMs);
  }
}
BENCHMARK(BM_SigtermToExit)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_BareHostLibClose(benchmark::State& state) {
  SBoard B;
  loopnet::LoopbackNets Nets;
  for (auto _ : state) {
    _VQX_LIB_PARAMS Params{};
    Params.un32StructVersion = 1, Params.un32TransportType = 1, Params.un16GwPort = B.un16Port;
    Params.pFctErrorCallback = [](void*, VQX_LIB_HANDLE, const char*) {};
    snprintf(Params.szApplicationName, sizeof(Params.szApplicationName), "bench");
    VQX_LIB_HANDLE hLib = nullptr;
    if (VQXOpenLib(&Params, &hLib) != VQX_RESULT_API_OK) return state.SkipWithError("VQXOpenLib failed");
    u32 un32Adapters = 0, ahAdapters[4];
    const auto Found = [&] {
      return VQXGetAdaptersList(hLib, 4, &un32Adapters, ahAdapters) == VQX_RESULT_API_OK && un32Adapters != 0;
    };
    if (!peerwait::WaitUntil(Found, kWaitMs)) {
      VQXCloseLibEx(&hLib);
      return state.SkipWithError("the board was not found");
    }
    const auto t0 = Clock::now();
    VQXCloseLibEx(&hLib);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
}
BENCHMARK(BM_BareHostLibClose)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
