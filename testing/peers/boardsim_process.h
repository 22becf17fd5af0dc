/*
 * boardsim_process.h - the simulated board (testing/boardsim/boardsim.py)
 * run as a python3 child on loopback, with its line-command connection,
 * and a board played by raw sockets for what the simulated one cannot do
 * (listen on 127.0.0.1 while it advertises other addresses, stay mute after
 * the link). Header only, for the tests of the libraries that talk to
 * boards; the source tree is found through VQX_SOURCE_DIR.
 */
#ifndef BOARDSIM_PROCESS_H
#define BOARDSIM_PROCESS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "peers/gw_raw_host.h"
#include "peers/control_line.h"
#include "peers/wait_until.h"

namespace gwpeer {

/* The simulated board answering discovery on udpPort (0: a free one, see
 * UdpPort) at udpAddr (host order: 127.0.0.1, or a board's own loopback
 * address); extra boardsim options appended. It stops by itself after 300 s, past the longest
 * test's own bounded waits on a loaded machine (it is told to quit when the object goes). */
class BoardProcess {
 public:
  /* The discovery socket is bound here and inherited, as the control socket is (peerctl::ControlledChild). */
  BoardProcess(u16 udpPort, const std::vector<std::string>& extra = {}, u32 udpAddr = 0x7F000001u)
      : m_udp(SOCK_DGRAM, udpPort, udpAddr), m_child(Args(m_udp.Fd(), extra), {m_udp.Fd()}) {}
  bool Ready() const { return m_child.Ready(); }
  pid_t Pid() const { return m_child.Pid(); }
  /* The discovery port it answers on. */
  u16 UdpPort() const { return m_udp.Port(); }
  /* One command line, its one-line answer ("" when the stand-in is gone or silent for nSeconds). */
  std::string Command(const std::string& line, int nSeconds = 10) { return m_child.Command(line, nSeconds); }
  /* A number from the "stats" answer, -1 when absent. */
  long Stat(const std::string& key) { return m_child.Stat(key); }

 private:
  static std::vector<std::string> Args(int udp, const std::vector<std::string>& extra) {
    const char* root = std::getenv("VQX_SOURCE_DIR");
    std::vector<std::string> args = {"python3", std::string(root != nullptr ? root : ".") + "/testing/boardsim/boardsim.py",
                                     "--udp-fd", std::to_string(udp), "--lifetime", "300"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  loopnet::HeldPort m_udp; /* kept for UdpPort: the child answers on its own copy */
  peerctl::ControlledChild m_child;
};

/* A board played by raw sockets: a TCP listener on 127.0.0.1 and the
 * advertisement of serial number 87654321 (or the one given) with the given path addresses,
 * sent unasked to an adapters' instance until it links in. What the link
 * then carries (the 4-byte handshake or nothing) is the caller's. */
struct RawBoard {
  int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  RawBoard() {
    const sockaddr_in a = LoopbackAddress(0);
    bind(lst, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    listen(lst, 4);
  }
  ~RawBoard() {
    close(udp);
    close(lst);
  }
  /* The advertisement of a board "fake" of that serial number and path addresses, its links to tcpPort (with
   * fPaths false it uses neither path: never linked to). */
  static std::vector<u8> Advertisement(const char* serial, u16 tcpPort, const char* ip0, const char* ip1, bool fPaths = true) {
    const u8 f = fPaths ? 1 : 0;
    VQX_GW_ADAPTER_ADV adv{vqxgw::kAdaptersReplyId, {}, 1, tcpPort, {}};
    adv.Info = {{}, "fake", {}, 0, {}, {}, {0, 0, 0, f}, {0, 0, 0, f}, vqxgw::kHostBuildNumber, 0, 0, {}};
    std::strncpy(adv.Info.szSerialNumber, serial, sizeof(adv.Info.szSerialNumber) - 1);
    std::strncpy(adv.Info.szIpAddress0, ip0, 63);
    std::strncpy(adv.Info.szIpAddress1, ip1, 63);
    u8 pkt[vqxgw::kAdapterAdvSize];
    vqxgw::EncodeAdapterAdv(adv, pkt);
    return std::vector<u8>(pkt, pkt + sizeof(pkt));
  }
  /* The accepted link, or -1 when the instance did not link in within 3 s. */
  int AdvertiseUntilLinked(u16 udpPort, const char* ip0, const char* ip1, const char* serial = "87654321") {
    const std::vector<u8> pkt = Advertisement(serial, BoundPort(lst), ip0, ip1);
    const sockaddr_in to = LoopbackAddress(udpPort);
    for (int i = 0; i < 30; i++) {
      sendto(udp, pkt.data(), pkt.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
      pollfd pf{lst, POLLIN, 0};
      if (poll(&pf, 1, 100) == 1) return accept(lst, nullptr, nullptr);
    }
    return -1;
  }
};

}  // namespace gwpeer

#endif
