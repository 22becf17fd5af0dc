/*
 * boardsim_fast.cpp - a stand-in adapter board in C++, for the end-to-end
 * benchmark where the Python board (testing/boardsim) cannot hold the rate.
 *
 * Written from the wire formats alone and including no header of this
 * project, so that an encoding mistake on either side shows: UDP discovery,
 * poll and specific discovery answered with the 560-byte adapter
 * advertisement; on each TCP link the 4-byte handshake, host messages (88-byte
 * header) and 92-byte poll blocks read, 64-byte poll replies and batches
 * (64-byte header of sixteen big-endian words, up to 15 messages) sent; the
 * entity discovery of docs/board-discovery.md and the SS7 trace messages of
 * docs/board-trace-messages.md. boardsim_fast_check.py checks its bytes on
 * the wire against the Python board's for the same host requests.
 *
 * The board has one MTP2 instance (1) with one link (11, selector 2: bit mask
 * 0x7F, trunk --trunk, timeslot --timeslot, no name) and no other family. It
 * streams --units SS7 units of --size data bytes, numbered and filled as the
 * Python board numbers and fills them, at --rate units per second (0: as fast
 * as the host reads), to the first link: once the host switches the link's
 * trace on (--start on) or once a host links in (--start link, with the
 * fields of the link and its bit mask, for a host that asks for no trace).
 * A poll reply goes out between two batches; answers to requests made during
 * the burst go out after it. With --sentinel 1 the burst ends with one more
 * SS7 unit, too short to be read (an 8-byte payload): a server that logs it
 * as refused has taken in every unit before it.
 *
 * It prints "ready tcp=PORT", "burst start T" at its first unit and "burst
 * end T units N" when the last has been written (T: seconds since the epoch),
 * and a JSON line of counts when it ends: after --lifetime seconds, on SIGTERM
 * or SIGINT. Its "acked": the units of the burst whose every byte the host's
 * TCP acknowledged, on every link (those gone included; Linux TCP_INFO's bytes
 * acknowledged, the handshake counted), what the host took delivery of however
 * its link ended. Single-threaded (one poll loop); listens on 127.0.0.1 only.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

/* ---------------------------------------------------------------- wire facts */

constexpr uint32_t kIdDiscovery = 0x47574449, kIdSpecific = 0x47574453, kIdPoll = 0x47575049, kIdReply = 0x47575041;
constexpr size_t kAdvSize = 560, kSpecificMin = 264, kPollMin = 32;
constexpr size_t kHostHeader = 88, kPollBlock = 92, kBatchHeader = 64, kMaxBatch = 15;
constexpr uint32_t kTypeRequest = 1, kTypeResponse = 2, kTypeEvent = 4;

/* host message header offsets */
constexpr size_t kHdrId = 0, kHdrType = 4, kHdrLength = 8, kHdrPayloadLen = 12, kHdrPayloadMax = 16, kHdrPayloadStart = 20,
                 kHdrSerial = 24, kHdrCtx1 = 32, kHdrTrack = 40, kHdrFixedTwo = 44, kHdrCtx2 = 48;

/* entity discovery and trace requests */
constexpr uint32_t kConfigGet = 0x04090001, kMtp2List = 0x04210005, kMtp2LinkList = 0x04210014,
                   kMtp2LinkParams = 0x04210012, kSs7TraceSet = 0x04210030, kSs7Unit = 0x04210031;
constexpr uint32_t kOtherLists[] = {0x04540005, 0x04080004, 0x04510004, 0x04390004};
constexpr uint32_t kOtherTraceSets[] = {0x04540030, 0x04080030, 0x04510030, 0x04390030};
constexpr size_t kListSize = 24, kConfigSize = 2688, kLinkParamsSize = 312, kTraceSetSize = 32, kTraceAnswerSize = 16;
constexpr size_t kConfigCount = 0xA6C, kConfigEntries = 0xA70, kListCount = 0x10, kListIds = 0x14, kResult = 0x0C;
constexpr size_t kLinkSelector = 0x20, kLinkTrunk = 0xA0, kLinkSlots = 0xA8;
constexpr uint32_t kFeatureMtp2 = 31, kInstance = 1, kLink = 11, kSelector = 2, kBitMask = 0x7F;
constexpr int32_t kMalformed = -1, kNoEntity = -2;
constexpr size_t kUnitData = 0x30; /* SS7 unit: data offset in the payload */
constexpr size_t kHandshake = 4;
constexpr size_t kTcpiBytesAcked = 120; /* linux/tcp.h: offset of tcpi_bytes_acked (u64) in struct tcp_info */

void Be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}
void Le32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16), p[3] = uint8_t(v >> 24);
}
uint32_t GetBe32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t GetLe32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }
size_t Pad8(size_t n) { return (n + 7) & ~size_t(7); }

double Now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

/* ---------------------------------------------------------------- options */

struct Options {
  uint16_t udpPort = 0, tcpPort = 0;
  int udpFd = -1; /* --udp-fd: a UDP socket the parent bound on 127.0.0.1, inherited */
  std::string serial = "12345678", name = "simboard";
  uint32_t build = 0x02070B04, trunk = 5, timeslot = 16, size = 16;
  double lifetime = 60, rate = 0;
  uint64_t units = 0;
  bool startOnLink = false, sentinel = false;
};

[[noreturn]] void Usage(const char* why) {
  fprintf(stderr,
          "boardsim_fast: %s\nusage: boardsim_fast --udp-port P|--udp-fd N [--tcp-port P] [--serial S] [--name N] [--build B]\n"
          "  [--trunk T] [--timeslot S] [--units N] [--size BYTES] [--rate UNITS_PER_S] [--start on|link]\n"
          "  [--lifetime SECONDS] [--sentinel 0|1]\n",
          why);
  exit(2);
}

uint64_t Number(const char* opt, const char* text, uint64_t max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) Usage((std::string("bad ") + opt).c_str());
  return v;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (i + 1 >= argc) Usage(("missing value of " + a).c_str());
    const char* v = argv[++i];
    if (a == "--udp-port") o.udpPort = uint16_t(Number("--udp-port", v, 65535));
    else if (a == "--udp-fd") o.udpFd = int(Number("--udp-fd", v, 65535));
    else if (a == "--tcp-port") o.tcpPort = uint16_t(Number("--tcp-port", v, 65535));
    else if (a == "--serial") o.serial = v;
    else if (a == "--name") o.name = v;
    else if (a == "--build") o.build = uint32_t(Number("--build", v, 0xFFFFFFFF));
    else if (a == "--trunk") o.trunk = uint32_t(Number("--trunk", v, 0xFFF));
    else if (a == "--timeslot") o.timeslot = uint32_t(Number("--timeslot", v, 31));
    else if (a == "--units") o.units = Number("--units", v, 0xFFFFFFFFu);
    else if (a == "--size") o.size = uint32_t(Number("--size", v, 4096));
    else if (a == "--rate") o.rate = double(Number("--rate", v, 100000000));
    else if (a == "--lifetime") o.lifetime = double(Number("--lifetime", v, 86400));
    else if (a == "--sentinel") o.sentinel = Number("--sentinel", v, 1) == 1;
    else if (a == "--start" && (std::string(v) == "on" || std::string(v) == "link")) o.startOnLink = std::string(v) == "link";
    else Usage(("unknown option " + a + " " + v).c_str());
  }
  if (o.udpPort == 0 && o.udpFd < 0) Usage("--udp-port is required");
  if (o.udpPort != 0 && o.udpFd >= 0) Usage("--udp-port and --udp-fd: one only");
  if (o.udpFd >= 0) { /* the inherited socket must be a UDP one bound on 127.0.0.1 */
    int type = 0;
    socklen_t tl = sizeof(type);
    sockaddr_in a{};
    socklen_t al = sizeof(a);
    if (getsockopt(o.udpFd, SOL_SOCKET, SO_TYPE, &type, &tl) != 0 || type != SOCK_DGRAM ||
        getsockname(o.udpFd, reinterpret_cast<sockaddr*>(&a), &al) != 0 || a.sin_family != AF_INET ||
        a.sin_addr.s_addr != htonl(INADDR_LOOPBACK) || a.sin_port == 0)
      Usage("--udp-fd: not a UDP socket bound to 127.0.0.1");
  }
  if (o.size == 0) Usage("--size must be 1..4096");
  if (o.serial.size() > 127 || o.name.size() > 127) Usage("--serial and --name: at most 127 characters");
  return o;
}

/* ---------------------------------------------------------------- messages */

/* A host message as a board puts it on the wire: header words big-endian,
 * serial number and user contexts copied raw from the request (or 0). */
std::vector<uint8_t> Message(uint32_t id, uint32_t type, const std::vector<uint8_t>& payload, const uint8_t* request = nullptr) {
  std::vector<uint8_t> m(kHostHeader + payload.size(), 0);
  uint8_t* h = m.data();
  Be32(h + kHdrId, id);
  Be32(h + kHdrType, type);
  Be32(h + kHdrLength, uint32_t(m.size()));
  Be32(h + kHdrPayloadLen, uint32_t(payload.size()));
  Be32(h + kHdrPayloadMax, uint32_t(payload.size()));
  Be32(h + kHdrPayloadStart, uint32_t(kHostHeader));
  Be32(h + kHdrTrack, 1);
  Be32(h + kHdrFixedTwo, 2);
  if (request != nullptr) {
    memcpy(h + kHdrSerial, request + kHdrSerial, 4);
    memcpy(h + kHdrCtx1, request + kHdrCtx1, 8);
    memcpy(h + kHdrCtx2, request + kHdrCtx2, 8);
  }
  std::copy(payload.begin(), payload.end(), m.begin() + kHostHeader);
  return m;
}

/* Appends one batch (header and messages) to out. */
void AppendBatch(std::vector<uint8_t>& out, const std::vector<std::vector<uint8_t>>& msgs) {
  if (msgs.size() > kMaxBatch) { /* the header holds at most 15 sizes */
    fprintf(stderr, "boardsim_fast: a batch of %zu messages, at most %zu\n", msgs.size(), kMaxBatch);
    abort();
  }
  const size_t at = out.size();
  out.resize(at + kBatchHeader, 0);
  Be32(&out[at], uint32_t(msgs.size()));
  for (size_t i = 0; i < msgs.size(); i++) Be32(&out[at + 4 + 4 * i], uint32_t(msgs[i].size()));
  for (const auto& m : msgs) out.insert(out.end(), m.begin(), m.end());
}

/* One unit of the SS7 family: its payload fields and data, as docs/board-trace-messages.md lays them out. */
struct UnitFields {
  uint32_t trunk = 0, mask = 0, bits = 0, annexA = 0, variant = 1, pcLength = 14;
};

class Board {
 public:
  explicit Board(const Options& o) : m(o) {}
  bool Open();
  void Run();

 private:
  /* What a link sends, in order: answer bytes, or the burst (built as it leaves). */
  struct Item {
    std::vector<uint8_t> bytes;
    bool burst = false;
  };
  struct Link {
    int fd = -1;
    std::vector<uint8_t> in;
    std::vector<uint8_t> cur; /* whole frames being written */
    size_t curSent = 0;
    uint64_t curAt = kHandshake;  /* stream offset of cur's first byte */
    std::deque<uint64_t> unitEnds; /* stream offset just past each burst unit written, not acknowledged yet */
    uint64_t acked = 0;            /* burst units acknowledged whole, taken out of unitEnds */
    bool curEndsBurst = false;
    uint32_t pollReplies = 0;
    std::vector<Item> queue;
  };

  void OnUdp();
  void OnAccept();
  bool OnReadable(Link& l);
  bool OnWritable(Link& l);
  bool Parse(Link& l);
  void OnRequest(Link& l, const uint8_t* msg, size_t size);
  bool Answer(uint32_t id, const uint8_t* p, size_t n, std::vector<uint8_t>& out, bool& fStart);
  bool Refill(Link& l);
  uint64_t Budget() const;
  void AppendUnits(Link& l, uint64_t count);
  static uint64_t AckedUnits(Link& l);
  void StartBurst(Link& l, const UnitFields& f);
  void Drop(size_t i);
  int TimeoutMs() const;
  void Report();

  Options m;
  int mUdp = -1, mListen = -1;
  uint16_t mTcpPort = 0;
  uint8_t mAdv[kAdvSize] = {};
  std::vector<Link> mLinks;
  /* the burst: once per run */
  bool mBurstStarted = false, mBurstOver = false;
  UnitFields mFields;
  uint64_t mLeft = 0, mBuilt = 0;
  uint32_t mUnit = 0; /* the board's unit count, from 1 */
  double mBurstT0 = 0;
  bool mTraceOn = false;
  uint64_t mPolls = 0, mTraceRequests = 0, mMessages = 0, mUdpPackets = 0, mLinksAccepted = 0;
  uint64_t mAckedGone = 0; /* burst units acknowledged on links dropped since */
};

bool Board::Open() {
  const auto Bind = [](int fd, uint16_t port) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_port = htons(port), a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  };
  mUdp = m.udpFd >= 0 ? m.udpFd : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const bool fUdp = m.udpFd >= 0 ? fcntl(mUdp, F_SETFL, fcntl(mUdp, F_GETFL) | O_NONBLOCK) == 0 : Bind(mUdp, m.udpPort);
  if (mUdp < 0 || mListen < 0 || !fUdp || !Bind(mListen, m.tcpPort) || listen(mListen, 4) != 0) {
    fprintf(stderr, "boardsim_fast: cannot listen on 127.0.0.1 (%s)\n", strerror(errno));
    return false;
  }
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len);
  mTcpPort = ntohs(a.sin_port);
  /* advertisement: id, new-information flag at 7, TCP port, then the information block */
  Be32(mAdv, kIdReply);
  mAdv[7] = 1;
  Be32(mAdv + 8, mTcpPort);
  memcpy(mAdv + 24, m.name.data(), m.name.size());
  memcpy(mAdv + 152, m.serial.data(), m.serial.size());
  memcpy(mAdv + 284, "127.0.0.1", 9);
  mAdv[415] = 1; /* gw0 and gw1 path flags */
  mAdv[419] = 1;
  Be32(mAdv + 420, m.build);
  return true;
}

void Board::OnUdp() {
  uint8_t pkt[2048];
  sockaddr_in from{};
  socklen_t len = sizeof(from);
  const ssize_t n = recvfrom(mUdp, pkt, sizeof(pkt), 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 4) return;
  mUdpPackets++;
  const uint32_t id = GetBe32(pkt);
  bool fAnswer = id == kIdDiscovery || (id == kIdPoll && size_t(n) >= kPollMin);
  if (id == kIdSpecific && size_t(n) >= kSpecificMin) {
    const std::string who(reinterpret_cast<const char*>(pkt + 8), strnlen(reinterpret_cast<const char*>(pkt + 8), 128));
    fAnswer = who == m.serial || who == m.name;
  }
  if (fAnswer) sendto(mUdp, mAdv, sizeof(mAdv), 0, reinterpret_cast<sockaddr*>(&from), len);
}

void Board::OnAccept() {
  const int fd = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  int one = 1, buf = 64 * 1024; /* a board's buffers are small: a poll reply waits behind little */
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
  uint8_t pid[4];
  Be32(pid, uint32_t(getpid()));
  if (send(fd, pid, sizeof(pid), MSG_NOSIGNAL) != 4 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) { /* a probe gone at once */
    close(fd);
    return;
  }
  mLinks.push_back(Link{});
  mLinks.back().fd = fd;
  mLinksAccepted++;
  if (m.startOnLink && !mBurstStarted) StartBurst(mLinks.back(), UnitFields{m.trunk, 1u << m.timeslot, kBitMask});
}

bool Board::OnReadable(Link& l) {
  uint8_t buf[65536];
  const ssize_t n = recv(l.fd, buf, sizeof(buf), 0);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (n == 0) return false;
  l.in.insert(l.in.end(), buf, buf + n);
  return Parse(l);
}

/* Host to board: host messages back to back and 92-byte poll blocks (first word 0). */
bool Board::Parse(Link& l) {
  size_t off = 0;
  while (l.in.size() - off >= 4) {
    const uint8_t* p = l.in.data() + off;
    const size_t left = l.in.size() - off;
    if (GetBe32(p) == 0) {
      if (left < kPollBlock) break;
      off += kPollBlock;
      mPolls++;
      l.pollReplies++;
      continue;
    }
    if (left < kHostHeader) break;
    const uint64_t size = kHostHeader + uint64_t(GetBe32(p + kHdrPayloadLen));
    if (size > kHostHeader + 0x400000) return false; /* not a stream of host messages: drop the link */
    if (left < size) break;
    mMessages++;
    if (GetBe32(p + kHdrType) == kTypeRequest) OnRequest(l, p, size_t(size));
    off += size_t(size);
  }
  l.in.erase(l.in.begin(), l.in.begin() + ptrdiff_t(off));
  return true;
}

void Board::OnRequest(Link& l, const uint8_t* msg, size_t size) {
  const uint32_t id = GetBe32(msg + kHdrId);
  std::vector<uint8_t> payload;
  bool fStart = false;
  if (!Answer(id, msg + kHostHeader, size - kHostHeader, payload, fStart)) return;
  Item it;
  AppendBatch(it.bytes, {Message(id, kTypeResponse, payload, msg)});
  l.queue.push_back(std::move(it));
  if (fStart && !m.startOnLink && !mBurstStarted) StartBurst(l, mFields);
}

/* The answer payload of a request the board knows (false: not answered). */
bool Board::Answer(uint32_t id, const uint8_t* p, size_t n, std::vector<uint8_t>& out, bool& fStart) {
  const uint32_t item = n >= 16 ? GetLe32(p + 0x0C) : 0;
  const auto List = [&](std::initializer_list<uint32_t> ids) {
    out.assign(std::max(kListSize, kListIds + 4 * ids.size()), 0);
    Le32(out.data() + kListCount, uint32_t(ids.size()));
    size_t i = 0;
    for (uint32_t v : ids) Le32(out.data() + kListIds + 4 * i++, v);
  };
  if (id == kConfigGet) {
    out.assign(std::max(kConfigSize, kConfigEntries + 16), 0);
    Le32(out.data() + kConfigCount, 1);
    Le32(out.data() + kConfigEntries + 4, kFeatureMtp2);
    Le32(out.data() + kConfigEntries + 8, 1);
    Le32(out.data() + kConfigEntries + 12, 1);
    return true;
  }
  if (id == kMtp2List) return List({kInstance}), true;
  if (id == kMtp2LinkList) return item == kInstance ? List({kLink}) : List({}), true;
  for (uint32_t other : kOtherLists)
    if (id == other) return List({}), true;
  if (id == kMtp2LinkParams) {
    out.assign(kLinkParamsSize, 0);
    if (item != kLink) return Le32(out.data() + kResult, uint32_t(kNoEntity)), true;
    Le32(out.data() + kLinkSelector, kSelector);
    Le32(out.data() + kLinkTrunk, m.trunk);
    Le32(out.data() + kLinkSlots + 4 * m.timeslot, 1);
    return true;
  }
  const bool fSs7 = id == kSs7TraceSet;
  if (!fSs7 && std::find(std::begin(kOtherTraceSets), std::end(kOtherTraceSets), id) == std::end(kOtherTraceSets)) return false;
  mTraceRequests++;
  out.assign(kTraceAnswerSize, 0);
  Le32(out.data() + 0x08, 1);
  int32_t result = kNoEntity;
  /* SS7 request: 8 zero bytes, version 1, item 0, action 0/1, trunk, timeslot mask (not 0), bit mask byte, 3 zero bytes */
  const bool fWellFormed = fSs7 && n == kTraceSetSize && std::all_of(p, p + 8, [](uint8_t b) { return b == 0; }) &&
                           GetLe32(p + 0x08) == 1 && item == 0 && GetLe32(p + 0x10) <= 1 && GetLe32(p + 0x18) != 0 &&
                           p[0x1D] == 0 && p[0x1E] == 0 && p[0x1F] == 0;
  if (fSs7 && !fWellFormed) result = kMalformed;
  if (fWellFormed && (GetLe32(p + 0x14) & 0xFFF) == m.trunk && GetLe32(p + 0x18) == 1u << m.timeslot) {
    result = 0;
    mTraceOn = GetLe32(p + 0x10) == 1;
    if (mTraceOn) {
      mFields = UnitFields{m.trunk, 1u << m.timeslot, p[0x1C]};
      fStart = true;
    }
  }
  Le32(out.data() + kResult, uint32_t(result));
  return true;
}

void Board::StartBurst(Link& l, const UnitFields& f) {
  mBurstStarted = true;
  mFields = f;
  mLeft = m.units;
  if (mLeft == 0) return;
  l.queue.push_back(Item{{}, true});
}

/* Units the rate allows now (whole batches, or what is left). */
uint64_t Board::Budget() const {
  const uint64_t perTurn = 8 * kMaxBatch; /* then the loop looks at its sockets again */
  uint64_t n = std::min(mLeft, perTurn);
  if (m.rate > 0 && mBuilt > 0) {
    const double due = (Now() - mBurstT0) * m.rate;
    const uint64_t allowed = due > double(mBuilt) ? uint64_t(due) - mBuilt : 0;
    n = std::min(n, allowed < mLeft ? allowed / kMaxBatch * kMaxBatch : mLeft);
  }
  return n;
}

/* Appends `count` units to l.cur in batches of up to 15: header words big-endian, payload little-endian. */
void Board::AppendUnits(Link& l, uint64_t count) {
  std::vector<uint8_t>& out = l.cur;
  const size_t payload = Pad8(kUnitData + m.size), msgSize = kHostHeader + payload;
  while (count > 0) {
    const uint32_t inBatch = uint32_t(std::min<uint64_t>(count, kMaxBatch));
    size_t at = out.size();
    out.resize(at + kBatchHeader + inBatch * msgSize, 0);
    uint8_t* h = out.data() + at;
    Be32(h, inBatch);
    for (uint32_t i = 0; i < inBatch; i++) Be32(h + 4 + 4 * i, uint32_t(msgSize));
    at += kBatchHeader;
    for (uint32_t i = 0; i < inBatch; i++, at += msgSize) {
      l.unitEnds.push_back(l.curAt + at + msgSize);
      uint8_t* u = out.data() + at;
      const uint32_t n = ++mUnit;
      Be32(u + kHdrId, kSs7Unit);
      Be32(u + kHdrType, kTypeEvent);
      Be32(u + kHdrLength, uint32_t(msgSize));
      Be32(u + kHdrPayloadLen, uint32_t(payload));
      Be32(u + kHdrPayloadMax, uint32_t(payload));
      Be32(u + kHdrPayloadStart, uint32_t(kHostHeader));
      Be32(u + kHdrTrack, 1);
      Be32(u + kHdrFixedTwo, 2);
      uint8_t* q = u + kHostHeader;
      const uint32_t aWords[] = {1, n, 1 + n % 2, m.size, mFields.trunk, mFields.mask, mFields.bits, mFields.annexA,
                                 mFields.variant, mFields.pcLength};
      for (size_t w = 0; w < std::size(aWords); w++) Le32(q + 8 + 4 * w, aWords[w]);
      for (uint32_t k = 0; k < m.size; k++) q[kUnitData + k] = uint8_t(n + k);
    }
    count -= inBatch;
    mBuilt += inBatch;
    mLeft -= inBatch;
  }
}

/* The next bytes of a link once `cur` is out: poll replies, then its queue in order. */
bool Board::Refill(Link& l) {
  l.curAt += l.cur.size();
  if (l.unitEnds.size() > 8192) AckedUnits(l); /* the list kept short */
  l.cur.clear();
  l.curSent = 0;
  l.curEndsBurst = false;
  if (l.pollReplies > 0) {
    l.cur.assign(kBatchHeader * l.pollReplies, 0xFF);
    l.pollReplies = 0;
    return true;
  }
  while (!l.queue.empty() && l.cur.empty()) {
    Item& front = l.queue.front();
    if (!front.burst) {
      l.cur.swap(front.bytes);
      l.queue.erase(l.queue.begin());
      break;
    }
    const uint64_t n = Budget();
    if (n == 0) return false; /* the rate holds it back */
    if (mBuilt == 0) {
      mBurstT0 = Now();
      printf("burst start %.6f\n", mBurstT0);
      fflush(stdout);
    }
    AppendUnits(l, n);
    if (mLeft == 0 && m.sentinel) AppendBatch(l.cur, {Message(kSs7Unit, kTypeEvent, std::vector<uint8_t>(8, 0))});
    if (mLeft == 0) {
      l.curEndsBurst = true;
      l.queue.erase(l.queue.begin());
    }
  }
  return !l.cur.empty();
}

bool Board::OnWritable(Link& l) {
  for (int turn = 0; turn < 64; turn++) {
    if (l.curSent == l.cur.size()) {
      if (l.curEndsBurst) {
        mBurstOver = true;
        printf("burst end %.6f units %llu\n", Now(), static_cast<unsigned long long>(mBuilt));
        fflush(stdout);
      }
      if (!Refill(l)) return true;
    }
    const ssize_t n = send(l.fd, l.cur.data() + l.curSent, l.cur.size() - l.curSent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    l.curSent += size_t(n);
    if (l.curSent < l.cur.size()) return true; /* the host reads on */
  }
  return true;
}

uint64_t Board::AckedUnits(Link& l) {
  uint8_t info[kTcpiBytesAcked + 8] = {};
  socklen_t len = sizeof(info);
  uint64_t bytes = 0;
  if (getsockopt(l.fd, IPPROTO_TCP, TCP_INFO, info, &len) == 0 && len >= sizeof(info)) memcpy(&bytes, info + kTcpiBytesAcked, 8);
  for (; !l.unitEnds.empty() && l.unitEnds.front() <= bytes; l.acked++) l.unitEnds.pop_front();
  return l.acked;
}

void Board::Drop(size_t i) {
  Link& l = mLinks[i];
  mAckedGone += AckedUnits(l);
  const bool fBurst = l.curEndsBurst || std::any_of(l.queue.begin(), l.queue.end(), [](const Item& it) { return it.burst; });
  if (fBurst && !mBurstOver) {
    mBurstOver = true;
    printf("burst lost %.6f units %llu of %llu\n", Now(), static_cast<unsigned long long>(mBuilt),
           static_cast<unsigned long long>(m.units));
    fflush(stdout);
  }
  close(l.fd);
  mLinks.erase(mLinks.begin() + ptrdiff_t(i));
}

/* Until a rate-limited burst may send again, else 100 ms. */
int Board::TimeoutMs() const {
  if (m.rate <= 0 || mLeft == 0 || mBuilt == 0) return 100;
  const double due = mBurstT0 + double(mBuilt + kMaxBatch) / m.rate - Now();
  return std::clamp(int(due * 1000.0) + 1, 1, 100);
}

void Board::Report() {
  uint64_t acked = mAckedGone;
  for (Link& l : mLinks) acked += AckedUnits(l);
  printf("{\"units\": %llu, \"polls\": %llu, \"messages\": %llu, \"trace_requests\": %llu, \"traces_on\": %d, "
         "\"links\": %llu, \"udp\": %llu, \"acked\": %llu}\n",
         static_cast<unsigned long long>(mBuilt), static_cast<unsigned long long>(mPolls),
         static_cast<unsigned long long>(mMessages), static_cast<unsigned long long>(mTraceRequests), mTraceOn ? 1 : 0,
         static_cast<unsigned long long>(mLinksAccepted), static_cast<unsigned long long>(mUdpPackets),
         static_cast<unsigned long long>(acked));
  fflush(stdout);
}

volatile sig_atomic_t g_fStop = 0;

void Board::Run() {
  printf("ready tcp=%u\n", mTcpPort);
  fflush(stdout);
  const double end = Now() + m.lifetime;
  while (g_fStop == 0 && Now() < end) {
    std::vector<pollfd> fds = {{mUdp, POLLIN, 0}, {mListen, POLLIN, 0}};
    for (const Link& l : mLinks) {
      /* a burst the rate holds back waits for the time-out, not for a writable socket (no spinning) */
      const bool fOut = l.curSent < l.cur.size() || l.pollReplies > 0 ||
                        (!l.queue.empty() && (!l.queue.front().burst || Budget() > 0));
      fds.push_back({l.fd, short(POLLIN | (fOut ? POLLOUT : 0)), 0});
    }
    if (poll(fds.data(), fds.size(), TimeoutMs()) < 0 && errno != EINTR) break;
    const size_t nPolled = fds.size() - 2; /* a link accepted below waits for the next turn */
    if (fds[0].revents & POLLIN) OnUdp();
    if (fds[1].revents & POLLIN) OnAccept();
    for (size_t i = nPolled; i-- > 0;) {
      const short ev = fds[2 + i].revents;
      bool fOk = true;
      if (ev & (POLLIN | POLLHUP | POLLERR)) fOk = OnReadable(mLinks[i]);
      /* a rate-limited burst is due again on time, whatever poll said */
      if (fOk && ((ev & POLLOUT) || m.rate > 0)) fOk = OnWritable(mLinks[i]);
      if (!fOk) Drop(i);
    }
  }
  Report();
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_fStop = 1; };
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Board b(o);
  if (!b.Open()) return 1;
  b.Run();
  return 0;
}
