/*
 * cmcsim_process.h - the stand-in call/media control server
 * (testing/cmcsim/cmcsim.py) run as a python3 child on 127.0.0.1 with its
 * line-command connection, a host library that finds it (hosts' instance on
 * its own port, the stand-ins as extra addresses on 127.0.0.1) and a bounded
 * wait on a condition; ports and the loopback interface table come from
 * loopback.h; helpers for its control commands (answers, the last command
 * seen, notifications, call offers, scripted resynchronisations and the
 * ownership claims they expect). Header only, for the integration tests of
 * the libraries that talk to the servers; the source tree is found through
 * VQX_SOURCE_DIR.
 */
#ifndef CMCSIM_PROCESS_H
#define CMCSIM_PROCESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host_params.h"
#include "loopback.h"
#include "control_line.h"
#include "wait_until.h"
#include "vqx_host.h"

namespace cmcpeer {

/* The bounded wait on a condition (wait_until.h). */
using peerwait::WaitUntil;

/* Host library parameters: the hosts' instance only, on un16Port, the servers' ports as extra addresses. */
inline _VQX_LIB_PARAMS HostParams(u16 un16Port, const std::vector<u16>& servers, std::vector<_VQX_EXTRA_GW_ADDR>* pAddr) {
  return hostpeer::HostOnlyParams(un16Port, "cmc_client", servers, pAddr);
}

/* The stand-in server on udpPort, looking for the library host on peerPort; extra cmcsim options
 * appended. It stops by itself after 60 s. */
class CmcServerProcess {
 public:
  CmcServerProcess(u16 un16UdpPort, u16 un16PeerPort, const std::vector<std::string>& extra = {}) {
    /* The control socket is bound here and inherited: a port only picked here and bound by the
     * child could be taken in between by another program, whose control port the test would reach. */
    const int nListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in Any = loopnet::LoopbackAddress(0);
    if (nListen < 0 || bind(nListen, reinterpret_cast<const sockaddr*>(&Any), sizeof(Any)) != 0 ||
        listen(nListen, 2) != 0) {
      if (nListen >= 0) close(nListen);
      return;
    }
    const u16 un16Ctl = loopnet::BoundPort(nListen);
    const char* pszRoot = std::getenv("VQX_SOURCE_DIR");
    std::vector<std::string> args = {"python3", std::string(pszRoot != nullptr ? pszRoot : ".") + "/testing/cmcsim/cmcsim.py",
                                     "--udp-port", std::to_string(un16UdpPort), "--peer-port",
                                     std::to_string(un16PeerPort), "--control-fd", std::to_string(nListen),
                                     "--lifetime", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    mPid = fork();
    if (mPid == 0) {
      fcntl(nListen, F_SETFD, 0);
      std::vector<char*> av;
      for (std::string& a : args) av.push_back(a.data());
      av.push_back(nullptr);
      execvp(av[0], av.data());
      _exit(127);
    }
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopnet::LoopbackAddress(un16Ctl);
    const bool fConnected = mPid > 0 && connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
    close(nListen); /* the child's copy listens on */
    if (!fConnected) {
      close(s);
      return;
    }
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    mCtl = s;
    /* ready once it answers: its interpreter has started and its sockets are bound */
    if (Command("stats").empty()) {
      close(mCtl);
      mCtl = -1;
    }
  }
  ~CmcServerProcess() {
    if (mCtl >= 0) {
      Command("quit");
      close(mCtl);
    }
    if (mPid > 0 && !WaitUntil([&] { return waitpid(mPid, nullptr, WNOHANG) == mPid; }, 2000)) {
      kill(mPid, SIGKILL);
      waitpid(mPid, nullptr, 0);
    }
  }
  bool Ready() const { return mPid > 0 && mCtl >= 0; }
  /* One command line, its one-line answer ("" when the stand-in is gone). */
  std::string Command(const std::string& line) { return peerctl::Command(mCtl, line); }
  /* A number from the "stats" answer, -1 when absent. */
  long Stat(const std::string& key) { return peerctl::Stat(mCtl, key); }

  /* How commands of one id ("0x0A010017") or of "all" are answered from now on: result code or
   * "silent"; mapping id at 8 "keep", "auto" (a fresh one) or a number ("" the default rule). */
  bool Answer(const std::string& id, const std::string& result, const std::string& mapping = "") {
    return Command("answer " + id + " " + result + (mapping.empty() ? "" : " " + mapping)) == "ok";
  }
  /* What the last command of a name (e.g. "CALL_LEG_CREATE") carried; seen false when none came. */
  struct Seen {
    bool fSeen = false;
    u64 un64Dest = 0, un64Ctx1 = 0, un64Ctx2 = 0;
    long long nKind = -1, nPayloadLength = -1;
  };
  Seen Last(const std::string& name) {
    const std::string s = Command("last " + name);
    if (s.empty() || s[0] != '{') return {};
    return {true, static_cast<u64>(peerctl::Number(s, "dest")), static_cast<u64>(peerctl::Number(s, "ctx1")),
            static_cast<u64>(peerctl::Number(s, "ctx2")), peerctl::Number(s, "kind"), peerctl::Number(s, "plen")};
  }
  /* Command violations the stand-in counted, all names together. */
  long Violations() {
    const std::string s = Command("stats");
    const size_t i = s.find("\"violations\": {");
    if (i == std::string::npos) return -1;
    const size_t end = s.find('}', i);
    long n = 0;
    for (size_t at = s.find(": ", i + 15); at < end; at = s.find(": ", at + 2))
      n += std::strtol(s.c_str() + at + 2, nullptr, 10);
    return n;
  }
  /* count notifications of id naming entity where the catalogue keys it (numbered 1.. at 36). */
  bool Notify(u32 un32Id, u32 un32Entity, u32 un32Count = 1) {
    return Command("notify " + Hex(un32Id) + " " + Hex(un32Entity) + " " + std::to_string(un32Count)) == "ok";
  }
  /* A call offer: leg id at 32 (0: the library picks), mapping id at 8. */
  bool Offer(u32 un32LegId, u32 un32MappingId) {
    return Command("offer " + Hex(un32LegId) + " " + Hex(un32MappingId)) == "ok";
  }
  /* Plays a resynchronisation: SYNC_STARTING, the items in order ("leg ID MAP [media]", "link ID1 ID2
   * MAP1 MAP2", "mixer ID MAP", "mixerlink MIXER ENTITY MIXERMAP ENTITYMAP", "notify ID ENTITY COUNT"),
   * READY. The ownership messages the items call for are then expected: see Claims. */
  bool Resync(const std::vector<std::string>& items) {
    if (Command("script clear") != "ok") return false;
    for (const std::string& item : items)
      if (Command("script " + item) != "ok") return false;
    return Command("resync") == "ok";
  }
  /* Ownership messages received byte for byte as the played scripts expect, others, and those still awaited. */
  struct Claims {
    long nMatched, nUnexpected, nMissing;
    bool operator==(const Claims&) const = default;
  };
  Claims ClaimCounts() {
    const std::string s = Command("stats");
    return {static_cast<long>(peerctl::Number(s, "claims")), static_cast<long>(peerctl::Number(s, "claims_unexpected")),
            static_cast<long>(peerctl::Number(s, "claims_missing"))};
  }
  static std::string Hex(u32 un32Value) {
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%X", un32Value);
    return sz;
  }

 private:
  pid_t mPid = -1;
  int mCtl = -1;
};

}  // namespace cmcpeer

#endif
