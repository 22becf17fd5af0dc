/*
 * gw_raw_host.h - a raw host peer for tests and benchmarks of the gateway
 * transport and the host library: it asks an instance on 127.0.0.1 for its
 * advertisement over UDP, connects to the advertised TCP port and sends the
 * handshake block, and hands back the socket. What it sends and reads after
 * that is up to the caller. Also raw UDP and TCP ends on 127.0.0.0/8 for
 * tests that play a peer packet by packet; the loopback addresses and
 * interface table come from loopback.h.
 */
#ifndef GW_RAW_HOST_H
#define GW_RAW_HOST_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "loopback.h"
#include "vqx_gwlib_wire.h"

namespace gwpeer {

using namespace vqxgw;

using loopnet::BoundPort;
using loopnet::LoopbackAddress;
using loopnet::LoopbackInterfaces;

/* A TCP socket connected to 127.0.0.1:port, or -1. */
inline int ConnectLoopback(u16 port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = LoopbackAddress(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0) return s;
  close(s);
  return -1;
}

/* Whether the far end closed the socket within ms without sending a byte. */
inline bool ClosedWithoutData(int s, u32 ms) {
  pollfd pf{s, POLLIN, 0};
  u8 b;
  return poll(&pf, 1, int(ms)) == 1 && recv(s, &b, 1, MSG_DONTWAIT) <= 0;
}

/* A UDP socket bound to an address of 127.0.0.0/8 that talks to an
 * instance's discovery port. */
class RawUdp {
 public:
  explicit RawUdp(u32 from = 0x7F000001u) : m_s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in a = LoopbackAddress(0, from);
    m_fBound = bind(m_s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
  }
  ~RawUdp() { close(m_s); }
  RawUdp(const RawUdp&) = delete;
  RawUdp& operator=(const RawUdp&) = delete;
  bool Bound() const { return m_fBound; }
  bool Send(u16 port, const std::vector<u8>& pkt) {
    const sockaddr_in a = LoopbackAddress(port);
    return sendto(m_s, pkt.data(), pkt.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) ==
           ssize_t(pkt.size());
  }
  /* The next datagram within ms (empty when none came). */
  std::vector<u8> Recv(u32 ms) {
    pollfd pf{m_s, POLLIN, 0};
    u8 buf[2048];
    const ssize_t n = poll(&pf, 1, int(ms)) == 1 ? recv(m_s, buf, sizeof(buf), MSG_DONTWAIT) : 0;
    return n > 0 ? std::vector<u8>(buf, buf + n) : std::vector<u8>();
  }

 private:
  int m_s;
  bool m_fBound;
};

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
