/*
 * sigtrace_main.cpp - the trace server program: daemon mode, the framework's
 * start, the command line, the application's run and the exit status.
 *
 * Exit status: 0 when the run ended in success (or a warning), 1 otherwise
 * (a group that had units and wrote none of them fails the run, its
 * summary on standard error);
 * the 32-bit result is logged ("Exit code 0x%08X"), since a process status
 * keeps only 8 bits of it. SIGTERM and SIGINT set the application's quit flag,
 * so that the run ends as by the quit key (traces off, files closed); one
 * that comes during the close cuts short its wait for the boards' last units;
 * SIGPIPE is ignored, a broken standard output being noticed by the main loop;
 * SIGXFSZ too, so that a write past a file size limit fails with EFBIG and the
 * segment is cut back to its last whole record instead of the process dying.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sigtrace_app.h"
#include "vqcaf.h"
#include "vqcafptr.h"

using namespace VQCAF;

namespace {

void OnQuitSignal(int /*nSignal*/) { VqSigTraceSignalQuit(); }

volatile sig_atomic_t s_fUninitDone = 0;

/* The exit handler: the framework goes down however the process ends. */
void OnExit() {
  if (s_fUninitDone == 0) {
    s_fUninitDone = 1;
    GlobalUninit();
  }
}

/* Detaches from the terminal: the parent exits 0, the child carries on. */
void Daemonize() {
  signal(SIGHUP, SIG_IGN);
  const pid_t pid = fork();
  if (pid < 0) {
    printf("Failed to fork to make this process a deamon!\n");
    exit(-1);
  }
  if (pid > 0) exit(0);
  setsid();
  const int fd = open("/dev/null", O_RDWR);
  if (fd >= 0) {
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO) close(fd);
  }
}

int ExitStatus(VQX_RESULT r) {
  LogTrace(VQX_RESULT_FAILED(r) ? VQERR : VQMSG, "Exit code 0x%08X", r);
  return VQX_RESULT_FAILED(r) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "-d") == 0) Daemonize();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction Quit {};
  Quit.sa_handler = OnQuitSignal;
  sigemptyset(&Quit.sa_mask);
  sigaction(SIGTERM, &Quit, nullptr);
  sigaction(SIGINT, &Quit, nullptr);
  atexit(OnExit);
  VQX_RESULT r = GlobalInit();
  if (VQX_RESULT_FAILED(r)) return ExitStatus(r);

  CVQSigTraceCfgCmdLine CmdLine;
  CmdLine.mCfgFile = "quellan.xml";
  CmdLine.mAdapterName = "ALL";
  /* Without an argument the defaults apply. */
  if (argc > 1) r = CmdLine.ParseCmdLineArgs(argc, argv);
  if (VQX_RESULT_FAILED(r)) {
    LogTrace(VQERR, "ParseAppArgument Failed.");
    return ExitStatus(r);
  }
  {
    CVQCAFPtr<CVQSigTrace> ptrApp(new CVQSigTrace(CmdLine));
    r = ptrApp->Init();
    if (VQX_RESULT_FAILED(r)) {
      LogTrace(VQERR, "Init failed.");
    } else {
      r = ptrApp->MainLoop();
      /* The close may still fail the run (a group that wrote nothing, or the
       * clean-up itself). */
      const u32 rClear = ptrApp->Clear();
      if (!VQX_RESULT_FAILED(r)) r = VQX_RESULT_FAILED(rClear) ? rClear : ptrApp->mun32RunResult;
    }
  }
  const int nStatus = ExitStatus(r);
  s_fUninitDone = 1;
  GlobalUninit(r);
  return nStatus;
}
