/*
 * child_process.h - a peer program run as a child of the test: its standard
 * output read line by line with a bounded wait (when captured, else shared
 * with the test), descriptors it inherits, its exit status awaited for a
 * bounded time (kBoundMs unless the caller gives its own), and the child
 * killed and reaped at the latest when the object goes. Header only.
 */
#ifndef TESTING_PEERS_CHILD_PROCESS_H
#define TESTING_PEERS_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "peers/wait_until.h"

namespace peerproc {

/* A program of this build: the environment variable pszEnv when set, else
 * pszRelative under the build directory (two levels above the running test). */
inline std::string BuildProgram(const char* pszEnv, const char* pszRelative) {
  if (const char* psz = std::getenv(pszEnv)) return psz;
  return (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / pszRelative).string();
}

class CChild {
 public:
  /* Each wait of the child (a line, its end) lasts at most this long. */
  static constexpr unsigned kBoundMs = 10000;

  /* inherit: descriptors the child keeps open (sockets the test bound for it, loopback.h HeldPort). */
  explicit CChild(std::vector<std::string> args, bool fCapture = true, const std::vector<int>& inherit = {}) {
    int fd[2];
    if (pipe2(fd, O_CLOEXEC) != 0) return;
    mPid = fork();
    if (mPid == 0) {
      if (fCapture) dup2(fd[1], 1);
      for (const int n : inherit) fcntl(n, F_SETFD, 0);
      std::vector<char*> av;
      for (std::string& a : args) av.push_back(a.data());
      av.push_back(nullptr);
      execvp(av[0], av.data());
      _exit(127);
    }
    close(fd[1]);
    mFd = fd[0];
  }
  ~CChild() {
    if (mPid > 0) Wait();
    if (mPid > 0) kill(mPid, SIGKILL), waitpid(mPid, nullptr, 0);  // still running after kBoundMs
    if (mFd >= 0) close(mFd);
  }
  CChild(const CChild&) = delete;
  CChild& operator=(const CChild&) = delete;

  /* The next line ("" at the end of the output or after kBoundMs; a line begun when the bound ran out is kept for
   * the next call, not returned cut). */
  std::string ReadLine() {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    for (char ch; std::chrono::steady_clock::now() < End;) {
      pollfd p{mFd, POLLIN, 0};
      if (poll(&p, 1, 100) == 1 && read(mFd, &ch, 1) != 1) break;
      if (p.revents == 0) continue;
      if (ch == '\n') return std::exchange(mstrPartial, std::string());
      mstrPartial += ch;
    }
    return std::chrono::steady_clock::now() < End ? std::exchange(mstrPartial, std::string()) : std::string();
  }
  /* The exit status once the child ends within un32BoundMs; -1 otherwise (or after a signal). */
  int Wait(unsigned un32BoundMs = kBoundMs) {
    int status = -1;
    if (mPid <= 0 || !peerwait::WaitUntil([&] { return waitpid(mPid, &status, WNOHANG) == mPid; }, un32BoundMs)) return -1;
    mPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  /* Waits (un32BoundMs at most) until the child runs the program it was given: its /proc entry names another program
   * than this one. Until then it holds copies of this process's descriptors. */
  bool WaitExec(unsigned un32BoundMs = kBoundMs) const {
    const auto Exe = [](const std::string& strLink) {
      std::error_code ec;
      return std::filesystem::read_symlink(strLink, ec);
    };
    const std::filesystem::path Own = Exe("/proc/self/exe");
    const std::string strChild = "/proc/" + std::to_string(mPid) + "/exe";
    return mPid > 0 && peerwait::WaitUntil([&] {
      const std::filesystem::path Now = Exe(strChild);
      return !Now.empty() && Now != Own;
    }, un32BoundMs);
  }

  pid_t mPid = -1;
  int mFd = -1;

 private:
  std::string mstrPartial; /* read of the line to come */
};

}  // namespace peerproc

#endif
