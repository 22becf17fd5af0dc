/*
 * gw_raw_host.h - a raw host peer for tests and benchmarks of the gateway
 * transport and the host library: it asks an instance on 127.0.0.1 for its
 * advertisement over UDP, connects to the advertised TCP port and sends the
 * handshake block, and hands back the socket. What it sends and reads after
 * that is up to the caller. Also the loopback-only interface table that such
 * tests install, so that nothing leaves 127.0.0.1.
 */
#ifndef GW_RAW_HOST_H
#define GW_RAW_HOST_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "vqx_gwlib_wire.h"

namespace gwpeer {

using namespace vqxgw;

/* Interface provider: 127.0.0.1/8 with broadcast 127.255.255.255, nothing else. */
inline u32 LoopbackInterfaces(u32 max, u32* a, u32* b, u32* m) {
  if (max == 0) return 0;
  a[0] = htonl(0x7F000001u);
  b[0] = htonl(0x7FFFFFFFu);
  m[0] = htonl(0xFF000000u);
  return 1;
}

/* Who the raw host says it is, and how its socket is set up. */
struct RawHost {
  u64 un64UniqueId = 0x7F000001FFFFFFFFull; /* greater than the instance's, so it accepts */
  u32 un32BuildNumber = kHostBuildNumber;
  u8 un8NewInfo = 1;
  const char* pszHostName = "board";
  const char* pszAppName = "standin";
  bool fNoDelay = false;   /* TCP_NODELAY on the link */
  int iSendBuffer = 0;     /* SO_SNDBUF when not 0 */
};

/* Links into the instance answering discovery on udpPort. Returns the TCP
 * socket (the caller closes it), or -1 when no advertisement came within 2 s
 * or the connection or handshake failed. */
inline int LinkIn(u16 udpPort, const RawHost& me = RawHost()) {
  int u = socket(AF_INET, SOCK_DGRAM, 0);
  if (u < 0) return -1;
  timeval tv{2, 0};
  setsockopt(u, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001u);
  a.sin_port = htons(udpPort);
  u8 d[kDiscoverySize];
  EncodeDiscovery(0x484C4449, d);
  sendto(u, d, sizeof(d), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  u8 buf[1500];
  ssize_t n = recv(u, buf, sizeof(buf), 0);
  close(u);
  VQX_GW_HOST_ADV adv;
  if (n <= 0 || !DecodeHostAdv(VqxGwCursor(buf, size_t(n)), adv)) return -1;

  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  int on = 1;
  if (me.fNoDelay) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  if (me.iSendBuffer != 0) setsockopt(s, SOL_SOCKET, SO_SNDBUF, &me.iSendBuffer, sizeof(me.iSendBuffer));
  a.sin_port = htons(u16(adv.un32TcpPort));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  VQX_GW_HOST_ADV blk{};
  blk.un32Id = 0x484C5041;
  blk.un8Kind = 1;
  blk.un8NewInfo = me.un8NewInfo;
  blk.un32TcpPort = 1;
  blk.Info.un64UniqueId = me.un64UniqueId;
  std::strncpy(blk.Info.szHostName, me.pszHostName, sizeof(blk.Info.szHostName) - 1);
  std::strncpy(blk.Info.szAppName, me.pszAppName, sizeof(blk.Info.szAppName) - 1);
  std::strcpy(blk.Info.szIpAddress0, "127.0.0.1");
  blk.Info.un32BuildNumber = me.un32BuildNumber;
  u8 enc[kHostAdvSize];
  EncodeHostAdv(blk, enc);
  u8 out[4 + kHostAdvSize];
  PutBe32(out, kHostAdvSize);
  std::memcpy(out + 4, enc, sizeof(enc));
  if (write(s, out, sizeof(out)) != ssize_t(sizeof(out))) {
    close(s);
    return -1;
  }
  return s;
}

}  // namespace gwpeer

#endif
