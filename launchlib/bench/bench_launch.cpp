/*
 * bench_launch.cpp - the launch library's two figures:
 *  - watchdog reaction: from a watched child's last ready notification to the
 *    report of its end, against the configured heartbeat time (counter
 *    "ratio", target at most 1.25);
 *  - killing and reaping a 200-process tree (a shell and 199 sleeping
 *    children) by the library's tree kill, against this program's own
 *    SIGKILL of the same pids (counter "vs_plain_kill", target at most 3).
 * This process is made a child subreaper so that every killed process is
 * reaped here.
 */
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "launchlib_internal.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr u32 kHeartbeatMs = 400;

struct Ended {
  std::mutex M;
  std::condition_variable Cv;
  bool fEnded = false;
};

void NoPrint(void*, u32, const char*, const char*, va_list) {}
void OnShutdown(void* pv, VQX_LAUNCH_LIB_HANDLE, _VQX_LAUNCH_LIB_PROCESS_INFO* p) {
  auto* e = static_cast<Ended*>(pv);
  std::lock_guard<std::mutex> L(e->M);
  e->fEnded = e->fEnded || p->un32State == VQX_LAUNCH_STATE_DESTROYED;
  e->Cv.notify_all();
}

void BM_WatchdogReaction(benchmark::State& state) {
  double dWorst = 0;
  for (auto _ : state) {
    Ended E;
    _VQX_LAUNCH_LIB_PARAMS P{};
    P.pFctPrint = NoPrint;
    P.pFctLaunchProcessShutdown = OnShutdown;
    P.pvShutdownContext = &E;
    P.un32MaxApplication = 1;
    P.fAppManager = 1;
    P.un32HeartbeatTimeMs = kHeartbeatMs;
    P.un32StartingTimeMs = 60000;
    VQX_LAUNCH_LIB_HANDLE h = nullptr;
    VQXLaunchLibOpen(&P, &h);
    _VQX_LAUNCH_LIB_CREATE_PROCESS C{};
    C.pszPath = "/bin/sleep";
    C.pszParams = "30";
    u32 un32Id = 0;
    VQXLaunchLibCreateProcess(h, &C, &un32Id);
    VQX_MSG_HEADER Hdr{};
    u8 aPayload[512] = {};
    Clock::time_point T0;
    {
      std::lock_guard<std::recursive_mutex> L(h->Mutex);
      _VQX_HOST_INFO I{};
      I.hAdapter = 0xCB000001u;
      snprintf(I.szHostName, sizeof(I.szHostName), "localhost");
      I.un64UniqueHostId = static_cast<u32>(h->Ctx[un32Id].Pid);
      memcpy(aPayload + VQX_NOTIF_OFFSET_INFO, &I, sizeof(I));
      Hdr.un32MsgId = VQX_MSG_ID_API_NOTIF_HOST_ADDED;
      VqxLaunchHandleMsg(h, &Hdr, aPayload, sizeof(aPayload));
      memset(aPayload, 0, sizeof(aPayload));
      aPayload[VQX_LAUNCH_OFFSET_WATCH] = 1;
      Hdr.un32MsgId = VQX_LAUNCH_MSG_ID_NOTIF_READY;
      Hdr.hAdapter = 0xCB000001u;
      VqxLaunchHandleMsg(h, &Hdr, aPayload, VQX_LAUNCH_NOTIF_SIZE);
      T0 = Clock::now();  /* the last answer: the child now stays silent */
    }
    {
      std::unique_lock<std::mutex> L(E.M);
      E.Cv.wait_for(L, std::chrono::seconds(5), [&] { return E.fEnded; });
    }
    const double dSec = std::chrono::duration<double>(Clock::now() - T0).count();
    state.SetIterationTime(dSec);
    dWorst = std::max(dWorst, dSec * 1000.0 / kHeartbeatMs);
    VQXLaunchLibClose(h);
  }
  state.counters["ratio"] = dWorst;
}
BENCHMARK(BM_WatchdogReaction)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

/* A shell with 199 sleeping children, all started; the root's pid. */
pid_t StartTree() {
  const pid_t Pid = fork();
  if (Pid == 0) {
    execl("/bin/sh", "sh", "-c", "i=0; while [ $i -lt 199 ]; do sleep 30 & i=$((i+1)); done; wait",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int n = 0; n < 2000 && VqxLaunchCollectTree(Pid, false).size() < 200; ++n) usleep(2000);
  return Pid;
}

/* Reaps the 200 processes (children and re-parented orphans). */
void ReapAll() {
  for (int n = 0; n < 200;) {
    if (waitpid(-1, nullptr, 0) > 0) ++n;
    else break;
  }
}

double dLibrary = 0, dPlain = 0;

void BM_TreeKill200(benchmark::State& state) {
  const bool fPlain = state.range(0) != 0;
  for (auto _ : state) {
    const pid_t Root = StartTree();
    std::vector<VqxLaunchProc> aTree = VqxLaunchCollectTree(Root, false);
    const auto T0 = Clock::now();
    if (fPlain) {
      for (auto& P : aTree) kill(P.Pid, SIGKILL);
    } else {
      VqxLaunchKillTree(Root, false);
    }
    ReapAll();
    const double dSec = std::chrono::duration<double>(Clock::now() - T0).count();
    state.SetIterationTime(dSec);
    (fPlain ? dPlain : dLibrary) += dSec;
    state.counters["processes"] = static_cast<double>(aTree.size());
  }
  if (!fPlain && dPlain > 0) state.counters["vs_plain_kill"] = dLibrary / dPlain;
}
BENCHMARK(BM_TreeKill200)->Arg(1)->Arg(0)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
