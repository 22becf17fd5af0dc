/*
 * control_line.h - the tests' side of a stand-in's control port (the board
 * and the call/media control stand-in speak the same one-line protocol): one
 * command line, one answer line, and numbers read from the "stats" answer;
 * the stand-in run as a child whose control socket the test binds and hands
 * down. Header only.
 */
#ifndef TESTING_PEERS_CONTROL_LINE_H
#define TESTING_PEERS_CONTROL_LINE_H

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "gw_raw_host.h"
#include "loopback.h"

namespace peerctl {

/* Sends one command line on fd and returns the answer line ("" when the stand-in is gone or gave no answer within
 * nSeconds: a command answered once its work is done, such as a burst, is given a bound of its own). */
inline std::string Command(int fd, const std::string& line, int nSeconds = 10) {
  const std::string l = line + "\n";
  const timeval tv{nSeconds, 0};
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) return "";
  if (send(fd, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) return "";
  std::string out;
  for (char ch; recv(fd, &ch, 1, 0) == 1 && ch != '\n';) out += ch;
  return out;
}

/* The number after the first "key": in a one-line JSON answer, -1 when absent. */
inline long long Number(const std::string& json, const std::string& key) {
  const std::string k = "\"" + key + "\": ";
  const size_t i = json.find(k);
  return i == std::string::npos ? -1 : static_cast<long long>(std::strtoull(json.c_str() + i + k.size(), nullptr, 10));
}

/* A number from the "stats" answer (first occurrence of "key": N), -1 when absent. */
inline long Stat(int fd, const std::string& key) { return static_cast<long>(Number(Command(fd, "stats"), key)); }

/*
 * A stand-in run as a child (args: the program and its options, "--control-fd N" appended) whose
 * control socket is bound here and inherited with the descriptors of inherit (all of them must be
 * open): a port only picked here and bound by the child could be taken in between by another
 * program, whose stand-in the test would then drive. Ready once it answers "stats" (its
 * interpreter has started and took over its sockets, kStartSeconds at most: a loaded machine may
 * take many seconds to start an interpreter); told to quit when the object goes, and reaped
 * (killed when it outlives the child's bounded wait).
 */
class ControlledChild {
 public:
  static constexpr int kStartSeconds = 60;
  ControlledChild(std::vector<std::string> args, std::vector<int> inherit) {
    loopnet::HeldPort Control(SOCK_STREAM);
    for (const int n : inherit)
      if (n < 0) return;
    if (!Control.Ok()) return;
    args.insert(args.end(), {"--control-fd", std::to_string(Control.Fd())});
    inherit.push_back(Control.Fd());
    mpChild = std::make_unique<peerproc::CChild>(args, false, inherit);
    if (mpChild->mPid <= 0 || (mCtl = gwpeer::ConnectLoopback(Control.Port())) < 0) return;
    timeval tv{10, 0};
    setsockopt(mCtl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    if (Command("stats", kStartSeconds).empty()) {
      close(mCtl);
      mCtl = -1;
    }
  }
  ~ControlledChild() {
    if (mCtl < 0) return;
    Command("quit");
    close(mCtl);
  }
  ControlledChild(const ControlledChild&) = delete;
  ControlledChild& operator=(const ControlledChild&) = delete;
  bool Ready() const { return mpChild != nullptr && mpChild->mPid > 0 && mCtl >= 0; }
  /* The child's process id (-1 without one). */
  pid_t Pid() const { return mpChild != nullptr ? mpChild->mPid : -1; }
  /* One command line, its one-line answer ("" when the stand-in is gone or silent for nSeconds). */
  std::string Command(const std::string& line, int nSeconds = 10) { return peerctl::Command(mCtl, line, nSeconds); }
  /* A number from the "stats" answer, -1 when absent. */
  long Stat(const std::string& key) { return peerctl::Stat(mCtl, key); }

 private:
  std::unique_ptr<peerproc::CChild> mpChild;
  int mCtl = -1;
};

}  // namespace peerctl

#endif
