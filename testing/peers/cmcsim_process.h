/*
 * cmcsim_process.h - the stand-in call/media control server
 * (testing/cmcsim/cmcsim.py) run as a python3 child on 127.0.0.1 with its
 * line-command connection, a host library that finds it (hosts' instance on
 * its own port, the stand-ins as extra addresses on 127.0.0.1) and a bounded
 * wait on a condition; ports and the loopback interface table come from
 * loopback.h. Header only, for the integration tests of the libraries that
 * talk to the servers;
 * the source tree is found through VQX_SOURCE_DIR.
 */
#ifndef CMCSIM_PROCESS_H
#define CMCSIM_PROCESS_H

#include <arpa/inet.h>
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
    const u16 un16Ctl = loopnet::FreeLoopbackPort();
    const char* pszRoot = std::getenv("VQX_SOURCE_DIR");
    std::vector<std::string> args = {"python3", std::string(pszRoot != nullptr ? pszRoot : ".") + "/testing/cmcsim/cmcsim.py",
                                     "--udp-port", std::to_string(un16UdpPort), "--peer-port",
                                     std::to_string(un16PeerPort), "--control-port", std::to_string(un16Ctl),
                                     "--lifetime", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    mPid = fork();
    if (mPid == 0) {
      std::vector<char*> av;
      for (std::string& a : args) av.push_back(a.data());
      av.push_back(nullptr);
      execvp(av[0], av.data());
      _exit(127);
    }
    /* it listens once its interpreter has started: bounded retries */
    WaitUntil(
        [&] {
          const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          const sockaddr_in a = loopnet::LoopbackAddress(un16Ctl);
          if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
            close(s);
            return false;
          }
          timeval tv{10, 0};
          setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
          mCtl = s;
          return true;
        },
        5000);
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

 private:
  pid_t mPid = -1;
  int mCtl = -1;
};

}  // namespace cmcpeer

#endif
