/*
 * loopback.h - what every test and benchmark that talks over sockets needs
 * so that nothing leaves 127.0.0.1: socket addresses on 127.0.0.0/8, a port
 * free for both TCP and UDP, and the gateway transport's interface table
 * replaced by loopback nets (discovery broadcasts sent to 127.0.0.1).
 *
 * The interface table is process-wide: set it before the transport opens and
 * restore it (UseLoopbackNets(0), or a LoopbackNets going out of scope) after
 * it closes. Header only; the caller links the gateway transport.
 */
#ifndef TESTING_PEERS_LOOPBACK_H
#define TESTING_PEERS_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

/* A port free for both TCP and UDP on 127.0.0.1 (the transports listen on both); 0 when none was found. */
inline u16 FreeLoopbackPort() {
  for (int i = 0; i < 50; i++) {
    const int t = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    bind(t, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    a = LoopbackAddress(BoundPort(t));
    close(t);
    const int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool fFree = a.sin_port != 0 && bind(u, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
    close(u);
    if (fFree) return ntohs(a.sin_port);
  }
  return 0;
}

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
