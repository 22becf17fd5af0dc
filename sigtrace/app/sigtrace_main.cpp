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
 * in the foreground SIGHUP does the same (the terminal closed, the session
 * dropped: the run ends with its close, not at once), a daemon ignores it;
 * SIGPIPE is ignored, a broken standard output being noticed by the main loop;
 * SIGXFSZ too, so that a write past a file size limit fails with EFBIG and the
 * segment is cut back to its last whole record instead of the process dying.
 *
 * A start that fails says why on the terminal: the lines written before
 * the log is up go there anyway (the reader's refusal of the file), and the
 * error lines the log file took meanwhile (a refused board list, a gateway
 * port held by another server) are written there once the start has failed
 * (the console closed). Each failure is one error line, the cause: what
 * the layers above add ("Init failed.", "Exit code") are messages. Before
 * its log is up the server's lines pass at the log's default levels
 * (messages and errors), as they will after. A signal during the read of
 * the configuration file is the user's stop: a message says so and the
 * server ends in success.
 *
 * Daemon ("-d"): the parent returns once the daemon has started or refused
 * to: 0 when Init succeeded, else the daemon's own exit status (1, 0 for a
 * stop during the read), its lines written on the terminal meanwhile. Only
 * then does the daemon leave standard output and error for /dev/null;
 * standard input is /dev/null from the fork on, so that the console never
 * takes the terminal. The log is the last thing the application stops: the
 * exit code line reaches the log file too.
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

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

/* Puts /dev/null on each of the descriptors given. */
void ToDevNull(std::initializer_list<int> aFds) {
  const int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return;
  for (const int n : aFds) dup2(fd, n);
  if (fd > STDERR_FILENO) close(fd);
}

/* Forks the daemon. The parent waits for its word on a pipe (one byte once
 * it has started) and exits 0, or, when the pipe closes without it, with the
 * daemon's exit status. The daemon gets the pipe's end for Detach. */
int Daemonize() {
  signal(SIGHUP, SIG_IGN);
  int afd[2];
  const pid_t pid = pipe2(afd, O_CLOEXEC) == 0 ? fork() : -1;
  if (pid < 0) {
    printf("Failed to fork to make this process a deamon!\n");
    exit(-1);
  }
  if (pid > 0) {
    close(afd[1]);
    char c = 0;
    ssize_t n;
    while ((n = read(afd[0], &c, 1)) < 0 && errno == EINTR) {
    }
    if (n == 1) _exit(0);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 1);
  }
  close(afd[0]);
  setsid();
  ToDevNull({STDIN_FILENO});
  return afd[1];
}

/* The daemon has started: the parent returns 0, the terminal is left. */
void Detach(int& fdStarted) {
  if (fdStarted < 0) return;
  fflush(stdout);
  fflush(stderr);
  const char c = 1;
  (void)!write(fdStarted, &c, 1);
  close(fdStarted);
  fdStarted = -1;
  ToDevNull({STDOUT_FILENO, STDERR_FILENO});
}

/* The result, a message whatever it is: a failure's cause has its own error line. */
int ExitStatus(VQX_RESULT r) {
  LogTrace(VQMSG, "Exit code 0x%08X", r);
  return VQX_RESULT_FAILED(r) ? 1 : 0;
}

/* The error lines the log file took during a start that failed, on the terminal. */
void ShowHeldErrorLines() {
  for (const std::string& strLine : TakeHeldErrorLines()) fputs(strLine.c_str(), stderr);
  fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  int fdStarted = -1;
  for (int i = 1; i < argc && fdStarted < 0; i++)
    if (strcmp(argv[i], "-d") == 0) fdStarted = Daemonize();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction Quit {};
  Quit.sa_handler = OnQuitSignal;
  sigemptyset(&Quit.sa_mask);
  sigaction(SIGTERM, &Quit, nullptr);
  sigaction(SIGINT, &Quit, nullptr);
  if (fdStarted < 0) sigaction(SIGHUP, &Quit, nullptr);
  atexit(OnExit);
  VQX_RESULT r = GlobalInit();
  if (VQX_RESULT_FAILED(r)) return ExitStatus(r);
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i), VQMSG);
  HoldErrorLines();

  CVQSigTraceCfgCmdLine CmdLine;
  CmdLine.mCfgFile = "quellan.xml";
  CmdLine.mAdapterName = "ALL";
  /* Without an argument the defaults apply. */
  if (argc > 1) r = CmdLine.ParseCmdLineArgs(argc, argv);
  if (VQX_RESULT_FAILED(r)) {
    LogTrace(VQMSG, "ParseAppArgument Failed."); /* the parser's own line named the option */
    return ExitStatus(r);
  }
  {
    CVQCAFPtr<CVQSigTrace> ptrApp(new CVQSigTrace(CmdLine));
    r = ptrApp->Init();
    if (VQX_RESULT_FAILED(r) && ptrApp->mfStartStopped != 0) {
      r = VQX_RESULT_OK; /* asked for */
    } else if (VQX_RESULT_FAILED(r)) {
      ShowHeldErrorLines();
      LogTrace(VQMSG, "Init failed.");
    } else {
      TakeHeldErrorLines(); /* shown only by a start that fails */
      Detach(fdStarted);
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
