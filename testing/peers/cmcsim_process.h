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

/* The stand-in server on udpPort (0: a free one, see UdpPort), looking for the library host on
 * peerPort; extra cmcsim options appended. It stops by itself after 300 s, past the longest test's own
 * bounded waits on a loaded machine (it is told to quit when the object goes). */
class CmcServerProcess {
 public:
  /* The discovery socket is bound here and inherited, as the control socket is (peerctl::ControlledChild). */
  CmcServerProcess(u16 un16UdpPort, u16 un16PeerPort, const std::vector<std::string>& extra = {})
      : mUdp(SOCK_DGRAM, un16UdpPort), mChild(Args(mUdp.Fd(), un16PeerPort, extra), {mUdp.Fd()}) {}
  /* The discovery port it answers on. */
  u16 UdpPort() const { return mUdp.Port(); }
  bool Ready() const { return mChild.Ready(); }
  pid_t Pid() const { return mChild.Pid(); }
  /* One command line, its one-line answer ("" when the stand-in is gone or silent for nSeconds: a command answered
   * once its work is done is given a bound of its own). */
  std::string Command(const std::string& line, int nSeconds = 10) { return mChild.Command(line, nSeconds); }
  /* A number from the "stats" answer, -1 when absent. */
  long Stat(const std::string& key) { return mChild.Stat(key); }

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
  static std::vector<std::string> Args(int nUdp, u16 un16PeerPort, const std::vector<std::string>& extra) {
    const char* pszRoot = std::getenv("VQX_SOURCE_DIR");
    std::vector<std::string> args = {"python3", std::string(pszRoot != nullptr ? pszRoot : ".") + "/testing/cmcsim/cmcsim.py",
                                     "--udp-fd", std::to_string(nUdp), "--peer-port", std::to_string(un16PeerPort),
                                     "--lifetime", "300"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  loopnet::HeldPort mUdp; /* kept for UdpPort: the child answers on its own copy */
  peerctl::ControlledChild mChild;
};

}  // namespace cmcpeer

#endif
