/*
 * loopback.h - what every test and benchmark that talks over sockets needs
 * so that nothing leaves 127.0.0.1: socket addresses on 127.0.0.0/8, a port
 * free for both TCP and UDP and kept for this process, a socket bound there
 * for a child to inherit, and the gateway transport's interface table
 * replaced by loopback nets (discovery broadcasts sent to 127.0.0.1).
 *
 * The interface table is process-wide: set it before the transport opens and
 * restore it (UseLoopbackNets(0), or a LoopbackNets going out of scope) after
 * it closes. Header only; the caller links the gateway transport.
 */
#ifndef TESTING_PEERS_LOOPBACK_H
#define TESTING_PEERS_LOOPBACK_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>

#include "vqx_gwlib.h"

namespace loopnet {

/* The IPv4 socket address addr:port (host order in). */
inline sockaddr_in LoopbackAddress(u16 port, u32 addr = 0x7F000001u) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(addr);
  a.sin_port = htons(port);
  return a;
}

/* The local port a socket is bound to. */
inline u16 BoundPort(int s) {
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  return ntohs(a.sin_port);
}

/*
 * Ports handed to tests lie below the kernel's ephemeral range: a port the
 * kernel numbers itself (a listener bound to port 0, a UDP socket's first
 * send, an outgoing connection) never lands on one between its choice here
 * and the bind of the stand-in that gets it. A port given out stays this
 * process's until it exits: a lock on its byte of kPortLockFile keeps every
 * other test process off it, and a set keeps this process from giving it
 * twice. Without both, parallel tests shared ports: a board that binds
 * 127.0.0.1:P takes every answer sent to another process's gateway socket
 * numbered P (its discovery then finds nothing), or a board's control port
 * was another board's.
 */
constexpr const char* kPortLockFile = "/tmp/vqx-test-ports.lock";
/* Above the gateway's default port (12358) and the ports a gateway opens after it. */
constexpr u16 kLowestTestPort = 20000;

/* The first port of the kernel's ephemeral range (32768 when unreadable or not above the test ports). */
inline u32 EphemeralPortsStart() {
  unsigned low = 0, high = 0;
  FILE* f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r");
  const bool fRead = f != nullptr && fscanf(f, "%u %u", &low, &high) == 2;
  if (f != nullptr) fclose(f);
  return fRead && low > kLowestTestPort ? low : 32768u;
}

/* True when port binds on 127.0.0.1 for TCP and for UDP right now. */
inline bool LoopbackPortBindable(u16 port) {
  const sockaddr_in a = LoopbackAddress(port);
  bool fFree = true;
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    fFree = fFree && s >= 0 && bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
    if (s >= 0) close(s);
  }
  return fFree;
}

/* The ports this process was given and the lock file that keeps them. The
 * file is opened before main, so that tests counting their descriptors do
 * not count it; a forked child opens it again, since the open file it
 * inherited holds its parent's ports. */
struct TestPortLocks {
  std::mutex m;
  std::set<u16> given;
  int fd = -1;
  pid_t pid = 0;
  TestPortLocks() { Reopen(); }
  void Reopen() {
    if (fd >= 0) close(fd);
    fd = open(kPortLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) fchmod(fd, 0666); /* every user's tests share it, whoever made it */
    pid = getpid();
  }
};
inline TestPortLocks g_TestPorts;

/* A port free for both TCP and UDP on 127.0.0.1 and kept for this process (see above); 0 when none was found. */
inline u16 FreeLoopbackPort() {
  TestPortLocks& t = g_TestPorts;
  const std::lock_guard<std::mutex> g(t.m);
  if (t.pid != getpid()) t.Reopen();
  const u32 span = EphemeralPortsStart() - kLowestTestPort;
  const u32 start = static_cast<u32>(getpid()) * 7919u +
                    static_cast<u32>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (u32 i = 0; i < span && i < 4096; i++) {
    const u16 port = static_cast<u16>(kLowestTestPort + (start + i) % span);
    if (t.given.count(port) != 0) continue;
    /* A lock of the open file: it conflicts with every other process's and ends with this one.
     * Without the file (not writable) the port is only probed. */
    struct flock l{};
    l.l_type = F_WRLCK, l.l_whence = SEEK_SET, l.l_start = port, l.l_len = 1;
    if (t.fd >= 0 && fcntl(t.fd, F_OFD_SETLK, &l) != 0) continue;
    if (!LoopbackPortBindable(port)) {
      l.l_type = F_UNLCK;
      if (t.fd >= 0) fcntl(t.fd, F_OFD_SETLK, &l);
      continue;
    }
    t.given.insert(port);
    return port;
  }
  return 0;
}

/*
 * A socket bound on 127.0.0.1 (or another loopback address, host order) by
 * the test and inherited by a stand-in child (its --*-fd options), so that no
 * moment passes between the port's choice and its bind. type: SOCK_DGRAM, or
 * SOCK_STREAM listening; port 0 binds one of FreeLoopbackPort. SO_REUSEADDR
 * is set before the bind: the gateway transport (bound to 0.0.0.0 with
 * SO_REUSEADDR) shares a board's discovery port, and a stand-in started anew
 * binds the port the transport still holds. Closed when the object goes (the
 * child keeps its own copy).
 */
class HeldPort {
 public:
  explicit HeldPort(int type, u16 port = 0, u32 addr = 0x7F000001u) : mFd(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
    const sockaddr_in a = LoopbackAddress(port != 0 ? port : FreeLoopbackPort(), addr);
    const int on = 1;
    if (mFd < 0 || a.sin_port == 0 || setsockopt(mFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(mFd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 || (type == SOCK_STREAM && listen(mFd, 4) != 0))
      Close();
  }
  ~HeldPort() { Close(); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  bool Ok() const { return mFd >= 0; }
  int Fd() const { return mFd; }
  /* The port bound, 0 when the bind failed. */
  u16 Port() const { return mFd >= 0 ? BoundPort(mFd) : 0; }
  void Close() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
  }

 private:
  int mFd;
};

/* Interface provider: 127.0.0.1/8 with broadcast 127.255.255.255, nothing else. */
inline u32 LoopbackInterfaces(u32 max, u32* a, u32* b, u32* m) {
  if (max == 0) return 0;
  a[0] = htonl(0x7F000001u);
  b[0] = htonl(0x7FFFFFFFu);
  m[0] = htonl(0xFF000000u);
  return 1;
}

/* Interface provider of two nets, so that a peer's two paths differ: 127.0.0.1/24 (gw0) and 127.0.1.1/24 (gw1). */
inline u32 TwoLoopbackInterfaces(u32 max, u32* a, u32* b, u32* m) {
  const u32 aAddr[2] = {0x7F000001u, 0x7F000101u};
  u32 n = 0;
  for (; n < 2 && n < max; n++) {
    a[n] = htonl(aAddr[n]);
    m[n] = htonl(0xFFFFFF00u);
    b[n] = htonl(aAddr[n] | 0xFFu);
  }
  return n;
}

/*
 * The transport's interface table: 1 = LoopbackInterfaces, 2 = TwoLoopbackInterfaces, discovery broadcasts
 * to 127.0.0.1 in both; 0 restores the system's table and broadcasts.
 */
inline void UseLoopbackNets(u32 nets) {
  VqxGwLibSetInterfaceProvider(nets == 0 ? nullptr : nets == 1 ? LoopbackInterfaces : TwoLoopbackInterfaces);
  VqxGwLibSetBroadcastRedirect(nets != 0 ? htonl(0x7F000001u) : 0);
  if (nets != 0) VQXGetIpInterfacesInit();
}

/* The loopback table while it lives. */
class LoopbackNets {
 public:
  explicit LoopbackNets(u32 nets = 1) { UseLoopbackNets(nets); }
  ~LoopbackNets() { UseLoopbackNets(0); }
  LoopbackNets(const LoopbackNets&) = delete;
  LoopbackNets& operator=(const LoopbackNets&) = delete;
};

}  // namespace loopnet

#endif
