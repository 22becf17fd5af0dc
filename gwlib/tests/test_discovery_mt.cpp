/*
 * test_discovery_mt.cpp - the UDP side of a hosts' instance seen from raw
 * sockets on 127.0.0.0/8: what each packet kind gets (answer or not, and the
 * line that says why), a disabled instance, the source filter; parameter
 * changes; the interface table; allowed subnets; the lost-path search
 * schedule; expiry of a host peer never linked, on the injected clock;
 * an adapters' instance whose records are all taken, by boards present or
 * gone; hosts past the queue of those waiting for a record.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "gw_test_support.h"
#include "gwlib_internal.h"
#include "peers/boardsim_process.h"
#include "peers/wait_until.h"

using namespace gwtest;
using namespace vqxgw;

namespace {

constexpr u64 kId = 0x7F00000100000042ull;

VqxGwLibParams Quellan(Recorder& r) {
  UseLoopbackNets(1);
  return HostParams(FreeLoopbackPort(), 0, kId, "quellan", r, 2000, 4500, 10000, nullptr);
}

/* A host's advertisement; a host type other than 0 makes its handle from its name. */
std::vector<u8> HostAdv(u64 uid, u8 kind, size_t len = kHostAdvSize, u16 tcpPort = 1, u8 hostType = 0,
                        const char* host = "raw") {
  VQX_GW_HOST_ADV adv{0x484C5041, kind, hostType, 0, 0, tcpPort, 0, {}};
  adv.Info = {uid, 0, 2, "raw", "peer", 0, 0, "127.0.0.1", "", kHostBuildNumber, 2, {}};
  std::strncpy(adv.Info.szHostName, host, sizeof(adv.Info.szHostName) - 1);
  u8 b[kHostAdvSize];
  EncodeHostAdv(adv, b);
  return std::vector<u8>(b, b + len);
}

std::vector<u8> Specific(const char* app, size_t len = kSpecificSize) {
  u8 sd[kSpecificSize];
  EncodeSpecificDiscovery(0x484C4453, 0, "testhost", app, sd);
  return std::vector<u8>(sd, sd + len);
}

/* Sends pkt from u and waits for the line that tells its fate; then a
 * discovery from another socket: once that one is answered, pkt's handling
 * is over (the discover thread takes packets in turn). Returns the answers
 * pkt got, each checked to be our kind-1 advertisement. */
size_t Answers(Instance& in, UdpPeer& u, const std::vector<u8>& pkt, const std::string& line) {
  const u16 port = in.params.aun16GwPorts[0];
  in.rec.ClearLines();
  u.Send(port, pkt);
  EXPECT_TRUE(in.rec.WaitLine(line)) << line;
  UdpPeer marker;
  marker.Send(port, Word(0x484C4449, 4));
  EXPECT_FALSE(marker.Recv(3000).empty()) << line;
  size_t n = 0;
  for (std::vector<u8> a = u.Recv(0); !a.empty(); a = u.Recv(0), n++) {
    VQX_GW_HOST_ADV adv;
    EXPECT_TRUE(DecodeHostAdv(VqxGwCursor(a.data(), a.size()), adv)) << line;
    EXPECT_EQ(adv.un32Id, 0x484C5041u) << line;
    EXPECT_EQ(adv.un8Kind, kAdvKindAnswer) << line;
    EXPECT_EQ(adv.Info.un64UniqueId, kId) << line;
    EXPECT_NE(adv.un32TcpPort, 0u) << line;
  }
  return n;
}

/* Lines (errors and traces) of in holding part. */
long Lines(Instance& in, const std::string& part) {
  std::lock_guard<std::mutex> g(in.rec.m);
  const auto Has = [&](const std::string& l) { return l.find(part) != l.npos; };
  return std::count_if(in.rec.Errors.begin(), in.rec.Errors.end(), Has) +
         std::count_if(in.rec.Traces.begin(), in.rec.Traces.end(), Has);
}

/* Whether the packets sent to in before the call are handled: a discovery sent after them is answered (the discover
 * thread takes packets in turn). */
bool Handled(Instance& in) {
  UdpPeer marker;
  marker.Send(in.params.aun16GwPorts[0], Word(0x484C4449, 4));
  return !marker.Recv(3000).empty();
}

}  // namespace

TEST(GwDiscovery, EachPacketKindGetsItsAnswerOrItsReason) {
  Instance in(Quellan);
  UdpPeer u;
  struct Row {
    const char* what;
    std::vector<u8> pkt;
    size_t answers;
    const char* line;
  } const rows[] = {
      {"discovery", Word(0x484C4449, 4), 1, "Received 'who is there' from 0x7F000001. Replying..."},
      {"poll", Word(0x484C5049, 32), 1, "Received 'poll' from 0x7F000001. Replying..."},
      {"poll 31", Word(0x484C5049, 31), 0, "Received unknown packet from 0x7F000001. Ignoring."},
      {"specific, us", Specific("quellan"), 1, "Received 'are you testhost.quellan' from 0x7F000001. Replying..."},
      {"specific 263", Specific("quellan", kSpecificSize - 1), 0, "Received unknown packet"},
      {"specific, other", Specific("other"), 0, "'are you testhost.other' from 0x7F000001. Ignoring, this is not us."},
      {"unknown id", Word(0x12345678, 64), 0, "Received unknown packet"},
      {"host adv 439", HostAdv(kId + 1, 2, kHostAdvSize - 1), 0, "Received unknown packet"},
      {"host adv, our id", HostAdv(kId, 2), 0, "Received 'remote host info' from ourself, ignoring..."},
      {"host adv kind 1 on broadcast", HostAdv(kId + 1, 1), 0,
       "'advertize' from 0x7F000001 on private socket. Ignoring..."}};
  for (const Row& r : rows) EXPECT_EQ(Answers(in, u, r.pkt, r.line), r.answers) << r.what;
  /* disabled: dropped unread, no answer; enabled again: answered */
  ASSERT_EQ(VqxGwLibDisable(in.ctx), VQX_RESULT_OK);
  in.rec.ClearLines();
  u.Send(in.params.aun16GwPorts[0], Word(0x484C4449, 4));
  EXPECT_TRUE(in.rec.WaitLine("VqxGwLibDiscoverThread: Ignoring, remote detect is disabled."));
  EXPECT_TRUE(u.Recv(0).empty());
  ASSERT_EQ(VqxGwLibEnable(in.ctx), VQX_RESULT_OK);
  EXPECT_EQ(Answers(in, u, Word(0x484C4449, 4), "Replying..."), 1u);
}

/* The adapters' and the hosts' instance of one process at one port, as the host library runs them, allocated
 * in either order: a datagram sent to the port's address (no broadcast: the kernel hands it to one socket) reaches
 * the instance it is for, whichever instance reads the port; the first instance destroyed leaves the port to the
 * other, the last one closes it. */
TEST(GwDiscovery, InstancesSharingAPortEachGetTheirOwnPackets) {
  UseLoopbackNets(1);
  const int nFds = FdCount();
  for (const bool fHostsFirst : {false, true}) {
    const u16 port = FreeLoopbackPort();
    const std::function<VqxGwLibParams(Recorder&)> Hosts = [&](Recorder& r) {
      return HostParams(port, 0, kId, "quellan", r, 2000, 4500, 10000, nullptr);
    };
    const std::function<VqxGwLibParams(Recorder&)> Adapters = [&](Recorder& r) {
      return AdapterParams(port, r, 2000, 4500, 10000);
    };
    auto pFirst = std::make_unique<Instance>(fHostsFirst ? Hosts : Adapters);
    auto pSecond = std::make_unique<Instance>(fHostsFirst ? Adapters : Hosts);
    Instance* pHosts = fHostsFirst ? pFirst.get() : pSecond.get();
    Instance* pAdapters = fHostsFirst ? pSecond.get() : pFirst.get();
    UdpPeer u;
    /* Each instance's packet, a few times (either thread may read it), then the survivor alone. */
    for (int nRound = 0; nRound < 4; nRound++) {
      const std::string what = std::string(fHostsFirst ? "hosts first" : "adapters first") + ", round " +
                               std::to_string(nRound);
      if (pHosts != nullptr) {
        EXPECT_EQ(Answers(*pHosts, u, Word(0x484C4449, 4), "'who is there' from 0x7F000001"), 1u) << what;
      }
      if (pAdapters != nullptr) {
        pAdapters->rec.ClearLines();
        u.Send(port, Word(0x47575049, kPollSize));  // an adapters' poll, "GWPI"
        EXPECT_TRUE(pAdapters->rec.WaitLine("Received 'poll' from 0x7F000001. Replying...")) << what;
      }
      if (nRound == 2) (fHostsFirst ? pHosts : pAdapters) = nullptr, pFirst.reset();
    }
  }
  EXPECT_EQ(FdCount(), nFds) << "the port's socket closed with its last instance";
}

/* A port where another process detects adapters: this process's adapters' instance is refused there (it would take
 * that process's boards), its line naming the holder, nothing left open; a hosts' instance there is not (applications
 * of one host share a port), nor a second adapters' instance of the holder. Once the holder has ended, the port is
 * free. */
TEST(GwDiscovery, AdaptersAtAPortAnotherProcessDetectsAdaptersAtAreRefused) {
  UseLoopbackNets(1);
  const u16 port = FreeLoopbackPort();
  const auto Adapters = [&](Recorder& r) { return AdapterParams(port, r, 2000, 4500, 10000); };
  int aToParent[2], aToChild[2];
  ASSERT_EQ(pipe(aToParent), 0);
  ASSERT_EQ(pipe(aToChild), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) { /* the holder: two adapters' instances at the port, allocated only (no thread) */
    Recorder r1, r2;
    VqxGwLibParams p1 = Adapters(r1), p2 = Adapters(r2);
    VqxGwLibContext c1 = nullptr, c2 = nullptr;
    const char cHeld = VqxGwLibAllocate(&p1, &c1) == VQX_RESULT_OK && VqxGwLibAllocate(&p2, &c2) == VQX_RESULT_OK ? 'y' : 'n';
    char c = 0;
    const bool fOk = write(aToParent[1], &cHeld, 1) == 1 && read(aToChild[0], &c, 1) == 1;
    if (c2 != nullptr) VqxGwLibDestroy(c2); /* the claim stays with c1 */
    const bool fStill = write(aToParent[1], "z", 1) == 1 && read(aToChild[0], &c, 1) == 1;
    if (c1 != nullptr) VqxGwLibDestroy(c1);
    _exit(fOk && fStill ? 0 : 1);
  }
  close(aToParent[1]);
  close(aToChild[0]);
  char cHeld = 0;
  ASSERT_EQ(read(aToParent[0], &cHeld, 1), 1);
  ASSERT_EQ(cHeld, 'y') << "the holder's two adapters' instances share its claim";
  const int nFds = FdCount();
  const std::string strLine = "VQXGwLibOpenBroadcastSocket: Gateway port " + std::to_string(port) + " is held by process " +
                              std::to_string(pid) + ", which detects adapters there";
  for (int nRound = 0; nRound < 2; nRound++) { /* the holder with both instances, then with one */
    Recorder r;
    VqxGwLibParams p = Adapters(r);
    VqxGwLibContext c = nullptr;
    EXPECT_EQ(VqxGwLibAllocate(&p, &c), VQX_RESULT_NOT_ACCESSIBLE) << nRound;
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(r.Errors, std::vector<std::string>{strLine + ": not opened (two processes at one port would take each "
                                                           "other's boards)\n"}) << "one error line, the cause";
    EXPECT_TRUE(r.Traced("VqxGwLibAllocate: Failed to allocate the discover sockets")) << "the knock-on traced";
    EXPECT_EQ(FdCount(), nFds) << "nothing left open";
    Instance Hosts([&](Recorder& rh) { return HostParams(port, 0, kId, "quellan", rh, 2000, 4500, 10000, nullptr); });
    EXPECT_NE(Hosts.ctx, nullptr) << "a hosts' instance shares the port";
    char cNext = 0;
    ASSERT_EQ(write(aToChild[1], "x", 1), 1);
    if (nRound == 0) {
      ASSERT_EQ(read(aToParent[0], &cNext, 1), 1);
    }
  }
  int nStatus = -1;
  ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
  EXPECT_EQ(nStatus, 0);
  close(aToParent[0]);
  close(aToChild[1]);
  Instance Free(Adapters);
  EXPECT_NE(Free.ctx, nullptr) << "the holder gone, its claim went with it";
}

/* The port's dispatcher as either instance's discover thread runs it, fed by hand: a packet for the other
 * instance is queued for it and its thread handles it, never the reader's own; the reader's own packet, nobody's
 * and one too short to name anybody are the reader's. Then more packets for the other instance than its inbox holds
 * at once, each dispatched once the one before was taken: its room comes back as they are taken, none dropped. */
TEST(GwDiscovery, PortDispatcherQueuesTheOtherInstancesPacketsAndTheirRoomComesBack) {
  UseLoopbackNets(1);
  const u16 port = FreeLoopbackPort();
  Instance Hosts([&](Recorder& r) { return HostParams(port, 0, kId, "quellan", r, 2000, 4500, 10000, nullptr); });
  Instance Adapters([&](Recorder& r) { return AdapterParams(port, r, 2000, 4500, 10000); });
  GwLibCtx* pHosts = reinterpret_cast<GwLibCtx*>(Hosts.ctx);
  GwLibCtx* pAdapters = reinterpret_cast<GwLibCtx*>(Adapters.ctx);
  const int s = pHosts->aiBcastSocket[0];
  ASSERT_EQ(s, pAdapters->aiBcastSocket[0]) << "one socket for the port";
  /* Trace lines of in holding psz; Count is the same under the recorder's mutex (its waits' predicates). */
  const auto Count = [](Instance& in, const char* psz) {
    return std::count_if(in.rec.Traces.begin(), in.rec.Traces.end(),
                         [&](const std::string& t) { return t.find(psz) != std::string::npos; });
  };
  const auto Lines = [&](Instance& in, const char* psz) {
    std::lock_guard<std::mutex> g(in.rec.m);
    return Count(in, psz);
  };
  const u32 src = htonl(0x7F000001u);
  const u16 srcPort = htons(FreeLoopbackPort()); /* answers go where nobody listens */
  constexpr const char* kNotUs = "'are you testhost.other' from 0x7F000001. Ignoring, this is not us.";
  const struct {
    const char* what;
    GwLibCtx* pReader;
    std::vector<u8> pkt;
    bool fReaders;
    Instance* pFor; /* the instance whose thread handles it, with its line */
    const char* line;
  } rows[] = {
      {"hosts' packet read by the adapters'", pAdapters, Specific("other"), false, &Hosts, kNotUs},
      {"adapters' poll read by the hosts'", pHosts, Word(0x47575049, kPollSize), false, &Adapters, "Received 'poll'"},
      {"the adapters' own poll", pAdapters, Word(0x47575049, kPollSize), true, nullptr, nullptr},
      {"the hosts' own packet", pHosts, Specific("other"), true, nullptr, nullptr},
      {"nobody's", pHosts, Word(0x12345678, 64), true, nullptr, nullptr},
      {"too short to name anybody", pAdapters, std::vector<u8>{0x48, 0x4C, 0x44}, true, nullptr, nullptr}};
  for (const auto& r : rows) {
    const long nBefore = r.pFor != nullptr ? Lines(*r.pFor, r.line) : 0;
    EXPECT_EQ(PortPacketDispatch(r.pReader, s, r.pkt.data(), r.pkt.size(), src, srcPort), r.fReaders) << r.what;
    if (r.pFor != nullptr) {
      EXPECT_TRUE(r.pFor->rec.WaitFor(3000, [&] { return Count(*r.pFor, r.line) > nBefore; })) << r.what;
    }
  }
  /* 600 x 264 bytes: over the inbox's 128 KiB */
  const long nBefore = Lines(Hosts, kNotUs);
  const std::vector<u8> pkt = Specific("other");
  for (int i = 0; i < 600; i++) {
    ASSERT_FALSE(PortPacketDispatch(pAdapters, s, pkt.data(), pkt.size(), src, srcPort)) << i;
    const auto Taken = [&] {
      std::lock_guard<std::mutex> g(pHosts->InboxMutex);
      return pHosts->Inbox.empty();
    };
    for (int n = 0; n < 3000 && !Taken(); n++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Hosts.rec.WaitFor(3000, [&] { return Count(Hosts, kNotUs) >= nBefore + 600; });
  EXPECT_EQ(Lines(Hosts, kNotUs), nBefore + 600);
  EXPECT_FALSE(Hosts.rec.HasError("dropped, its inbox full"));
}

/* A host whose own names fill their fields advertises them cut at the last byte, answers a specific
 * discovery that names it so and no shorter one, and takes its own parameters back unchanged. */
TEST(GwDiscovery, HostNamesFillingTheirFieldsAreTheNamesItAnswersTo) {
  const std::string host(kNameLen, 'h'), app(kNameLen, 'a');
  Instance in([&](Recorder& r) {
    VqxGwLibParams p = Quellan(r);
    std::memcpy(p.HostGwParms.szHostName, host.data(), kNameLen);
    std::memcpy(p.HostGwParms.szAppName, app.data(), kNameLen);
    return p;
  });
  UdpPeer u;
  u.Send(in.params.aun16GwPorts[0], Word(0x484C4449, 4));
  const std::vector<u8> adv = u.Recv(3000);
  VQX_GW_HOST_ADV a;
  ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(adv.data(), adv.size()), a));
  EXPECT_EQ(std::string(a.Info.szHostName), host.substr(0, kNameLen - 1));
  EXPECT_EQ(std::string(a.Info.szAppName), app.substr(0, kNameLen - 1));
  const struct {
    size_t len;
    size_t answers;
    const char* line;
  } rows[] = {{kNameLen - 1, 1, "Replying..."}, {kNameLen - 2, 0, "Ignoring, this is not us."}};
  for (const auto& r : rows) {
    u8 sd[kSpecificSize];
    EncodeSpecificDiscovery(0x484C4453, 0, host.substr(0, r.len).c_str(), app.substr(0, r.len).c_str(), sd);
    EXPECT_EQ(Answers(in, u, std::vector<u8>(sd, sd + kSpecificSize), r.line), r.answers) << r.len;
  }
  EXPECT_EQ(VqxGwLibSetParam(in.ctx, &in.params), VQX_RESULT_OK);
}

TEST(GwDiscovery, SourceFilterWithAutoDiscoveryOffOrLoopbackOnly) {
  /* 127.0.0.1 is in the extra list; 127.0.0.2 only on gw0's subnet */
  struct Row {
    const char* what;
    u32 fDisableAuto, fLoopbackOnly;
    const char* line2; /* the fate of a packet from 127.0.0.2 */
    bool fAnswered2;
  } const rows[] = {{"auto discovery", 0, 0, "Packet from 0x7F000002 match our gw0 subnet.", true},
                    {"auto discovery off", 1, 0, "Ignoring packet from 0x7F000002 (Auto Discovery disabled).", false},
                    {"loopback only", 0, 1, "Only local loopback are allowed", false}};
  for (const Row& r : rows) {
    Instance in([&](Recorder& rec) {
      UseLoopbackNets(1);
      static VQX_GW_EXTRA_ADDR extra;
      const u16 port = FreeLoopbackPort();
      VqxGwLibParams p = HostParams(port, port, kId, "app", rec, 2000, 4500, 10000, &extra);
      p.fDisableAutoDiscovery = r.fDisableAuto;
      p.fLocalLoopbackOnly = r.fLoopbackOnly;
      return p;
    });
    UdpPeer one(0x7F000001u), two(0x7F000002u);
    EXPECT_EQ(Answers(in, one, Word(0x484C4449, 4), "Replying..."), 1u) << r.what;
    EXPECT_EQ(Answers(in, two, Word(0x484C4449, 4), r.line2), r.fAnswered2 ? 1u : 0u) << r.what;
  }
}

TEST(GwDiscovery, HostPeerNeverLinkedExpiresAfterTenSeconds) {
  ClockAhead clock; /* time still passes for what waits on the system's clock (link attempts end) */
  {
    Instance in(Quellan);
    UdpPeer u;
    const u16 port = in.params.aun16GwPorts[0];
    /* a port bound without a listener refuses the link at once */
    const int refuser = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = LoopbackAddress(0);
    ASSERT_EQ(bind(refuser, reinterpret_cast<const sockaddr*>(&a), sizeof(a)), 0);
    u.Send(port, HostAdv(kId - 1, 2, kHostAdvSize, BoundPort(refuser)));
    EXPECT_TRUE(in.rec.WaitLine("Creating host raw.peer"));
    /* each unknown packet makes the discover thread run its periodic
     * work; the line of a second one tells that the first one's is over */
    u32 from = 0x7F00000A;
    auto pass = [&] {
      for (int k = 0; k < 2; k++, from++) {
        UdpPeer marker(from);
        marker.Send(port, Word(0x12345678, 8));
        char line[64];
        snprintf(line, sizeof(line), "unknown packet from 0x%08X", from);
        EXPECT_TRUE(in.rec.WaitLine(line)) << line;
      }
      return in.rec.Traced("(raw.peer) destroyed");
    };
    EXPECT_FALSE(pass()); /* the creation is over: its time is taken */
    clock.Set(9900);
    EXPECT_FALSE(pass());
    clock.Set(10100);
    pass(); /* one that meets the peer inside a link attempt leaves it to the next */
    EXPECT_TRUE(in.rec.WaitLine("(raw.peer) destroyed", 3000));
    close(refuser);
  }
}

namespace {
/* The library clock held where the test sets it. */
std::atomic<u32> g_heldMs{0};
u32 HeldClock() { return g_heldMs.load(); }
}  // namespace

/* A host whose name-made handle another host holds is refused at every advertisement: the line once a
 * second, the count of those left out on a line of its own once the second is over. (The count carried by
 * the next line is the host library's test: here a pass of the thread may tell it first.) */
TEST(GwDiscovery, HandleConflictIsLoggedOnceASecond) {
  constexpr const char* kLine = "VqxGwLibCreatePeer: Host handle conflict: '00112233.peer' (0xCB112233)\n";
  constexpr const char* kLeftOut = "VqxGwLibCreatePeer: Host handle conflict: 20 similar line(s) left out\n";
  g_heldMs = 5000000;
  VqxGwLibSetClock(HeldClock);
  {
    Instance in(Quellan);
    const int refuser = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); /* refuses the links at once */
    const sockaddr_in a = LoopbackAddress(0);
    ASSERT_EQ(bind(refuser, reinterpret_cast<const sockaddr*>(&a), sizeof(a)), 0);
    UdpPeer first, second;
    const u16 port = in.params.aun16GwPorts[0];
    first.Send(port, HostAdv(kId - 1, 2, kHostAdvSize, BoundPort(refuser), 1, "00112233"));
    ASSERT_TRUE(in.rec.WaitLine("Creating host 00112233.peer"));
    const auto Count = [&](const char* psz) {
      std::lock_guard<std::mutex> g(in.rec.m);
      return std::count(in.rec.Errors.begin(), in.rec.Errors.end(), std::string(psz));
    };
    /* ms of the clock, advertisements of the second host, the lines then, the count told on its own */
    const struct { u32 ms, ads; long lines, told; } rows[] = {
        {0, 20, 1, 0},
        {999, 1, 1, 0},   /* within the second: counted */
        {2500, 0, 1, 1},  /* over: the 20 told by the thread's next pass */
        {2500, 5, 1, 1},  /* the told count started a second */
    };
    for (const auto& r : rows) {
      g_heldMs = 5000000 + r.ms;
      for (u32 i = 0; i < r.ads; i++) second.Send(port, HostAdv(kId - 2, 2, kHostAdvSize, BoundPort(refuser), 1, "00112233"));
      /* the discover thread takes packets in turn: once a discovery sent after them is answered, they are handled */
      UdpPeer marker;
      marker.Send(port, Word(0x484C4449, 4));
      ASSERT_FALSE(marker.Recv(3000).empty()) << r.ms;
      if (r.told != 0) {
        EXPECT_TRUE(in.rec.WaitLine(kLeftOut)) << r.ms;
      }
      EXPECT_EQ(Count(kLine), r.lines) << r.ms;
      EXPECT_EQ(Count(kLeftOut), r.told) << r.ms;
    }
    close(refuser);
  }
  VqxGwLibSetClock(nullptr);
}

/* Boards over an adapters' instance's life, on the injected clock: with its 64 records held by boards present (one
 * linked, the others advertising and using no path), a 65th is named once however often it advertises, and not
 * linked. Once they are gone (no link, no advertisement) for longer than their adapter-down delay, the record of the
 * board gone the longest goes to a new board, and the holder of a new board's handle gives it its record; the linked
 * board keeps its record and its link, and a board wanting its handle is named once, as is a second board of its
 * serial number at another address (the record keeps the linked board's address); once its link is closed, such a
 * board is not named while it leaves, and takes its record once it is gone. */
TEST(GwDiscovery, RecordsOfBoardsGoneGoToNewBoards) {
  ClockAhead clock;
  Instance in([](Recorder& r) {
    UseLoopbackNets(1);
    return AdapterParams(FreeLoopbackPort(), r, 0, 500, 1100); /* no polls: the linked board is kept without answers */
  });
  const u16 port = in.params.aun16GwPorts[0];
  gwpeer::RawBoard linked; /* 87654321: handle 0xCA654321 */
  const int s = linked.AdvertiseUntilLinked(port, "127.0.0.1", ""); /* closed in the rows */
  ASSERT_GE(s, 0);
  ASSERT_EQ(send(s, "\0\0\0\7", 4, MSG_NOSIGNAL), 4);
  ASSERT_TRUE(in.rec.WaitReports(1, 3000));
  UdpPeer u;
  u32 from = 0x7F00000A;
  /* The advertisement of a board of that serial number that uses no path (present while it advertises, never
   * linked), handled once the unknown packet sent after it is. */
  const auto Advertise = [&](const std::string& serial, const char* pszFrom) {
    if (pszFrom == nullptr) u.Send(port, gwpeer::RawBoard::Advertisement(serial.c_str(), 1, "127.0.0.1", "", false));
    else UdpPeer(ntohl(inet_addr(pszFrom))).Send(port, gwpeer::RawBoard::Advertisement(serial.c_str(), 1, pszFrom, "", false));
    UdpPeer marker(from);
    marker.Send(port, Word(0x12345678, 8));
    char line[64];
    snprintf(line, sizeof(line), "unknown packet from 0x%08X", from++);
    EXPECT_TRUE(in.rec.WaitLine(line)) << line;
  };
  const auto Count = [&](const std::string& part) { return Lines(in, part); };
  Advertise("10000001", nullptr);
  clock.Set(100); /* the first gone the longest */
  for (u32 i = 2; i < kMaxAdapterPeers; i++) Advertise(std::to_string(10000000 + i), nullptr);
  ASSERT_EQ(Count("Creating adapter fake"), long(kMaxAdapterPeers)) << "the linked board's and 63 others";
  /* Whether the instance holds a record of that serial number (and whether its paths were reported down). */
  const auto Held = [&](const char* pszSerial, bool fReportedDown = false) {
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(in.ctx);
    Lock(c);
    const Peer* p = FindAdapterPeer(c, pszSerial);
    const bool f = p != nullptr && (!fReportedDown || (!p->fSomeUp && p->un32InCallback == 0));
    Unlock(c);
    return f;
  };
  const struct {
    const char* pszRow;
    u32 un32AheadMs;
    bool fCloseLink;       /* the linked board's link closed first */
    const char* pszSerial; /* advertised twice */
    const char* pszLine;
    long nLines; /* of pszLine in the row */
    const char *pszHeld, *pszNotHeld;
    const char* pszFrom = nullptr; /* the advertisement's address and source (127.0.0.1) */
  } aRows[] = {
      {"all present: the 65th named", 100, false, "10000064",
       "VqxGwLibCreatePeer: Adapter '10000064' (fake) cannot be linked: the 64 peer records are taken by boards present", 1,
       "10000001", "10000064"},
      {"gone for longer than their down delay: the one gone the longest given", 1300, false, "10000064",
       "record 0xCA000001 of adapter '10000001', gone for ", 1, "10000064", "10000001"},
      {"and the holder of a new board's handle", 1300, false, "20000002",
       "record 0xCA000002 of adapter '10000002', gone for ", 1, "20000002", "10000002"},
      {"a linked board keeps its handle", 1300, false, "17654321",
       "VqxGwLibCreatePeer: Adapter handle conflict: '17654321' with '87654321'", 1, "87654321", "17654321"},
      {"a second board of its serial number", 1300, false, "87654321",
       "VqxGwLibDiscoverThread: Adapter '87654321' (fake) at 127.0.0.200 not linked: the board linked at 127.0.0.1 has "
       "that serial number", 1, "87654321", "17654321", "127.0.0.200"},
      {"its link closed: no line while it leaves", 1300, true, "27654321", "handle conflict", 0, "87654321", "27654321"},
      {"then gone: its record given", 2500, false, "27654321", "record 0xCA654321 of adapter '87654321', gone for ", 1,
       "27654321", "87654321"},
  };
  for (const auto& r : aRows) {
    if (r.fCloseLink) {
      close(s);
      ASSERT_TRUE(peerwait::WaitUntil([&] { return Held("87654321", true); }, 3000)) << "reported down";
    }
    clock.Set(r.un32AheadMs);
    in.rec.ClearLines();
    Advertise(r.pszSerial, r.pszFrom);
    Advertise(r.pszSerial, r.pszFrom);
    EXPECT_EQ(Count(r.pszLine), r.nLines) << r.pszRow;
    if (r.pszFrom != nullptr) {
      GwLibCtx* c = reinterpret_cast<GwLibCtx*>(in.ctx);
      Lock(c);
      EXPECT_EQ(FindAdapterPeer(c, r.pszSerial)->Gw[0].un32Addr, inet_addr("127.0.0.1")) << r.pszRow;
      Unlock(c);
    }
    EXPECT_TRUE(Held(r.pszHeld) && !Held(r.pszNotHeld)) << r.pszRow;
    EXPECT_EQ(in.rec.Reports(), r.fCloseLink || r.un32AheadMs > 1300 ? 2u : 1u) << r.pszRow << ": the linked board's path";
  }
}

/* A hosts' instance with its 128 records taken (one host linked, the others advertising), on the held clock: a host
 * whose link comes then, and two that advertise after it, are each named once however often they come, and wait;
 * once the linked host leaves, its record goes to the first of them to come, whichever came last (no record for
 * the others), and that one's next link is taken. */
TEST(GwDiscovery, HostsFindingEveryRecordTakenWaitNamedAndAreLinkedInArrivalOrder) {
  g_heldMs = 5000000;
  VqxGwLibSetClock(HeldClock);
  {
    Instance in(Quellan);
    const u16 port = in.params.aun16GwPorts[0];
    UdpPeer u;
    const auto Count = [&](const std::string& part) { return Lines(in, part); };
    const int linked = gwpeer::LinkIn(port);
    ASSERT_GE(linked, 0);
    ASSERT_TRUE(in.rec.WaitReports(1, 3000));
    for (u64 i = 1; i < kMaxHostPeers; i++) { /* a few at a time: the port's socket holds some 64 KiB */
      u.Send(port, HostAdv(kId + 100 + i, 2, kHostAdvSize, 1, 0, "full"));
      if (i % 16 == 0) {
        ASSERT_TRUE(Handled(in)) << i;
      }
    }
    ASSERT_TRUE(Handled(in));
    ASSERT_EQ(Count("Creating host full.peer"), long(kMaxHostPeers - 1));
    gwpeer::RawHost first;
    first.un64UniqueId = kId + 1000;
    first.pszHostName = "first";
    close(gwpeer::LinkIn(port, first)); /* refused: no record */
    ASSERT_TRUE(in.rec.WaitLine("Host 'first.standin' cannot be linked")) << "the accept thread read its handshake";
    for (int n = 0; n < 2; n++)
      for (const char* psz : {"second", "third"}) u.Send(port, HostAdv(kId + (psz[0] == 's' ? 1001 : 1002), 2, kHostAdvSize, 1, 0, psz));
    ASSERT_TRUE(Handled(in));
    for (const char* psz : {"first.standin", "second.peer", "third.peer"})
      EXPECT_EQ(Count(std::string("VqxGwLibCreatePeer: Host '") + psz +
                      "' cannot be linked: the 128 peer records are taken by hosts present"), 1)
          << psz;
    /* Those waiting, the longest first (their number, and as many names as there is room for). */
    const auto Waiting = [&](u32 un32Room) {
      char asz[3][VQX_GW_WAITING_NAME_SIZE];
      u32 n = 0;
      EXPECT_EQ(VqxGwLibGetWaitingPeers(in.ctx, un32Room, &n, asz), VQX_RESULT_OK);
      std::vector<std::string> v(asz, asz + std::min(n, un32Room));
      v.push_back(std::to_string(n));
      return v;
    };
    EXPECT_EQ(Waiting(3), (std::vector<std::string>{"first.standin", "second.peer", "third.peer", "3"}));
    EXPECT_EQ(Waiting(1), (std::vector<std::string>{"first.standin", "3"}));
    u32 n = 0;
    EXPECT_EQ(VqxGwLibGetWaitingPeers(in.ctx, 1, &n, nullptr), VQX_RESULT_NULL_PARAM);
    /* The third advertises last; the linked host leaves. */
    u.Send(port, HostAdv(kId + 1002, 2, kHostAdvSize, 1, 0, "third"));
    close(linked);
    ASSERT_TRUE(in.rec.WaitReports(2, 3000)) << "the linked host's path down";
    /* The expiry's passes (each 100 ms of the clock), until the record is given back: its link's sockets close */
    for (u32 k = 1; k <= 20 && Count("Creating host first.standin") == 0; k++) {
      g_heldMs = 5000000 + 200 * k;
      ASSERT_TRUE(Handled(in));
    }
    ASSERT_EQ(Count("Creating host first.standin"), 1);
    EXPECT_EQ(Count("Creating host second.peer") + Count("Creating host third.peer"), 0) << "no record for them";
    EXPECT_EQ(Waiting(3), (std::vector<std::string>{"second.peer", "third.peer", "2"}));
    const int s = gwpeer::LinkIn(port, first);
    EXPECT_TRUE(in.rec.WaitReports(3, 3000)) << "the first one linked";
    close(s);
  }
  VqxGwLibSetClock(nullptr);
}

/* With every record taken and 256 hosts waiting for one, the hosts that come next are listed apart, after those waiting
 * and in the order they came, once each however often they advertise: the first named, those within its second
 * counted on the line that follows it; none listed once no longer heard from for 30 s. */
TEST(GwDiscovery, HostsPastTheWaitingQueueAreListedApartAndNamedOnceASecond) {
  g_heldMs = 5000000;
  VqxGwLibSetClock(HeldClock);
  {
    Instance in(Quellan);
    const u16 port = in.params.aun16GwPorts[0];
    UdpPeer u;
    const auto Advertise = [&](u64 un64First, u64 un64Count, const char* pszHost) {
      for (u64 i = 0; i < un64Count; i++) {
        u.Send(port, HostAdv(un64First + i, 2, kHostAdvSize, 1, 0, pszHost));
        if (i % 16 == 15 && !Handled(in)) return false; /* a few at a time: the port's socket holds some 64 KiB */
      }
      return Handled(in);
    };
    const auto Waiting = [&] {
      std::vector<std::array<char, VQX_GW_WAITING_NAME_SIZE>> asz(kMaxWaitingPeers + 8);
      u32 n = 0;
      EXPECT_EQ(VqxGwLibGetWaitingPeers(in.ctx, static_cast<u32>(asz.size()), &n,
                                        reinterpret_cast<char(*)[VQX_GW_WAITING_NAME_SIZE]>(asz.data())),
                VQX_RESULT_OK);
      std::vector<std::string> v;
      for (u32 i = 0; i < std::min<u32>(n, static_cast<u32>(asz.size())); i++) v.emplace_back(asz[i].data());
      return v;
    };
    ASSERT_TRUE(Advertise(kId + 100, kMaxHostPeers, "full"));
    ASSERT_TRUE(Advertise(kId + 1000, kMaxWaitingPeers, "queued"));
    ASSERT_EQ(Lines(in, "VqxGwLibCreatePeer: Host 'queued.peer' cannot be linked: the 128 peer records are taken by hosts "
                        "present\n"), long(kMaxWaitingPeers));
    for (int n = 0; n < 2; n++) { /* twice: listed and counted once */
      u.Send(port, HostAdv(kId + 2000, 2, kHostAdvSize, 1, 0, "apart1"));
      ASSERT_TRUE(Advertise(kId + 2001, 3, "apart"));
    }
    std::vector<std::string> v = Waiting();
    ASSERT_EQ(v.size(), kMaxWaitingPeers + 4);
    EXPECT_EQ(std::vector<std::string>(v.end() - 5, v.end()),
              (std::vector<std::string>{"queued.peer", "apart1.peer", "apart.peer", "apart.peer", "apart.peer"}));
    EXPECT_EQ(Lines(in, "VqxGwLibCreatePeer: Host 'apart1.peer' cannot be linked: the 128 peer records are taken by "
                        "hosts present and 256 hosts wait for one\n"), 1);
    EXPECT_EQ(Lines(in, "Host 'apart.peer' cannot be linked"), 0) << "within the second of the first one's line";
    g_heldMs = 5000000 + 1000;
    const std::string strLeftOut = "VqxGwLibCreatePeer: Host cannot be linked, past the 256 waiting for a record: 3 "
                                   "similar line(s) left out";
    ASSERT_TRUE(Handled(in)); /* a pass once the second is over: the count's line at its end */
    EXPECT_TRUE(in.rec.WaitLine(strLeftOut));
    EXPECT_EQ(Lines(in, strLeftOut), 1);
    g_heldMs = 5000000 + 1000 + kWaitingHeardMs + 1;
    EXPECT_EQ(Waiting(), std::vector<std::string>()) << "no longer heard from";
  }
  VqxGwLibSetClock(nullptr);
}

/* The advertisement of a linked board's serial number, by its source: from either of its own paths' addresses (a
 * two-path board advertises from both) it is that board; from another address, a second board, named once. */
TEST(GwDiscovery, SecondBoardOfSerialIsNotTheBoardsOwnOtherPath) {
  Instance in([](Recorder& r) {
    UseLoopbackNets(1);
    return AdapterParams(FreeLoopbackPort(), r, 0, 500, 1100);
  });
  GwLibCtx* c = reinterpret_cast<GwLibCtx*>(in.ctx);
  const auto p = std::make_unique<Peer>();
  p->fIsAdapter = true;
  p->Gw[0].un32Addr = inet_addr("127.0.0.5");
  p->Gw[1].un32Addr = inet_addr("127.0.0.6");
  VQX_GW_ADAPTER_ADV adv{};
  std::strcpy(adv.Info.szSerialNumber, "33333333");
  std::strcpy(adv.Info.szAdapterName, "two");
  const struct {
    const char *pszRow, *pszFrom;
    bool fLinked, fSecond;
    long nLines; /* naming it, so far */
  } aRows[] = {
      {"its gw0 address", "127.0.0.5", true, false, 0},
      {"its gw1 address", "127.0.0.6", true, false, 0},
      {"another address", "127.0.0.7", true, true, 1},
      {"again: named once", "127.0.0.7", true, true, 1},
      {"not linked: taken for its own", "127.0.0.8", false, false, 1},
  };
  for (const auto& r : aRows) {
    p->fSomeUp = r.fLinked;
    Lock(c);
    EXPECT_EQ(SecondBoardOfSerial(c, p.get(), adv, inet_addr(r.pszFrom)), r.fSecond) << r.pszRow;
    Unlock(c);
    EXPECT_EQ(Lines(in, "has that serial number"), r.nLines) << r.pszRow;
  }
}

/* Churn on the injected clock: a linked board's link closes (and links again) every 3 s (a jump of 4 s would be
 * taken for a thread not scheduled, which rediscovers at once), three times a rediscovery period.
 * A board at a listed address that missed the first round (silent until now) still gets the discovery of a later
 * one, answers it and is linked within two rounds (20 s): a path that goes down does not push the next round back. */
TEST(GwDiscovery, BoardAtAListedAddressIsLinkedWithinTwoRoundsWhateverTheChurn) {
  ClockAhead clock;
  loopnet::HeldPort listedUdp(SOCK_DGRAM, 0, 0x7F000003u), listedTcp(SOCK_STREAM, 0, 0x7F000003u);
  ASSERT_TRUE(listedUdp.Ok() && listedTcp.Ok());
  static VQX_GW_EXTRA_ADDR extra;
  Instance in([&](Recorder& r) {
    UseLoopbackNets(1);
    VqxGwLibParams p = AdapterParams(FreeLoopbackPort(), r, 0, 500, 1100);
    extra = VQX_GW_EXTRA_ADDR{};
    std::strcpy(extra.szIpAddress0, "127.0.0.3");
    extra.un16Port = listedUdp.Port();
    p.un32NbExtraGwAddr = 1;
    p.paExtraGwAddr = &extra;
    return p;
  });
  /* The discovery packets that reached the listed address within ms; the last one's sender. */
  sockaddr_in from{};
  const auto Discoveries = [&](u32 ms) {
    int n = 0;
    u8 b[64];
    for (pollfd pf{listedUdp.Fd(), POLLIN, 0}; poll(&pf, 1, int(ms)) == 1; ms = 0) {
      socklen_t fl = sizeof(from);
      if (recvfrom(listedUdp.Fd(), b, sizeof(b), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl) >= 4 &&
          std::memcmp(b, "GWDI", 4) == 0)
        n++;
    }
    return n;
  };
  ASSERT_GE(Discoveries(3000), 1) << "the first round, missed by the board";
  gwpeer::RawBoard churning;
  const u16 port = in.params.aun16GwPorts[0];
  int nFound = 0;
  for (int nStep = 1; nStep <= 7 && nFound == 0; nStep++) {
    clock.Set(u32(nStep) * 3000);
    const size_t nReports = in.rec.Reports();
    const int s = churning.AdvertiseUntilLinked(port, "127.0.0.1", "");
    ASSERT_GE(s, 0) << nStep;
    ASSERT_EQ(send(s, "\0\0\0\7", 4, MSG_NOSIGNAL), 4);
    ASSERT_TRUE(in.rec.WaitReports(nReports + 1, 3000)) << nStep << ": up";
    close(s);
    ASSERT_TRUE(in.rec.WaitReports(nReports + 2, 3000)) << nStep << ": down";
    nFound = Discoveries(500);
  }
  ASSERT_GE(nFound, 1) << "no round reached the listed address in two rounds of churn";
  /* It answers: linked. */
  const std::vector<u8> adv = gwpeer::RawBoard::Advertisement("22222222", listedTcp.Port(), "127.0.0.3", "");
  ASSERT_EQ(sendto(listedUdp.Fd(), adv.data(), adv.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof(from)),
            ssize_t(adv.size()));
  pollfd pf{listedTcp.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&pf, 1, 3000), 1) << "the listed board linked";
}

TEST(GwParams, FixedFieldsCannotChangeAndNullsAreRefused) {
  Instance in(Quellan, false);
  struct Row {
    const char* text;
    void (*change)(VqxGwLibParams&);
  } const rows[] = {
      {"un32GwDiscoveryId cannot be modified", [](VqxGwLibParams& p) { p.un32GwDiscoveryId++; }},
      {"un32GwDiscoverySpecificId cannot be modified", [](VqxGwLibParams& p) { p.un32GwDiscoverySpecificId++; }},
      {"un32GwPollId cannot be modified", [](VqxGwLibParams& p) { p.un32GwPollId++; }},
      {"un32GwReplyId cannot be modified", [](VqxGwLibParams& p) { p.un32GwReplyId++; }},
      {"un64PollHostCtxId cannot be modified", [](VqxGwLibParams& p) { p.un64PollHostCtxId++; }},
      {"fUseSeparatePollSocket cannot be modified", [](VqxGwLibParams& p) { p.fUseSeparatePollSocket ^= 1; }},
      {"fUseTCPNagle cannot be modified", [](VqxGwLibParams& p) { p.fUseTCPNagle ^= 1; }},
      {"un8PeerHandlesBase cannot be modified", [](VqxGwLibParams& p) { p.un8PeerHandlesBase++; }},
      {"fIsGw0 cannot be modified", [](VqxGwLibParams& p) { p.fIsGw0 ^= 1; }},
      {"fIsGw1 cannot be modified", [](VqxGwLibParams& p) { p.fIsGw1 ^= 1; }},
      {"fWaitConnections cannot be modified", [](VqxGwLibParams& p) { p.fWaitConnections ^= 1; }},
      {"fDetectAdapters cannot be modified", [](VqxGwLibParams& p) { p.fDetectAdapters ^= 1; }},
      {"HostGwParms cannot be modified", [](VqxGwLibParams& p) { p.HostGwParms.szAppName[0] = 'X'; }},
      {"HostGwParms.szIpAddress0 cannot be modified",
       [](VqxGwLibParams& p) { std::strcpy(p.HostGwParms.szIpAddress0, "10.0.0.1"); }}};
  for (const Row& r : rows) {
    VqxGwLibParams p = in.params;
    r.change(p);
    EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_INVALID_PARAM) << r.text;
    EXPECT_TRUE(in.rec.HasError(r.text)) << r.text;
  }
  /* an empty gw1 address may be set, once; ports and delays may change */
  VqxGwLibParams p = in.params;
  std::strcpy(p.HostGwParms.szIpAddress1, "127.0.0.2");
  EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_OK);
  std::strcpy(p.HostGwParms.szIpAddress1, "127.0.0.3");
  EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_INVALID_PARAM);
  EXPECT_TRUE(in.rec.HasError("HostGwParms.szIpAddress1 cannot be modified"));
  std::strcpy(p.HostGwParms.szIpAddress1, "127.0.0.2");
  p.RedundancyParams.un32PollDelayMs = 1000;
  EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_OK);
  /* the error callback is required; null handles and pointers are refused */
  VqxGwLibContext ctx = nullptr;
  p = in.params;
  p.pFctErrorLog = nullptr;
  EXPECT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(VqxGwLibAllocate(nullptr, &ctx), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxGwLibAllocate(&in.params, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxGwLibSetParam(in.ctx, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxGwLibEnable(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxGwLibDestroy(nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxGwLibCanSendMsg(nullptr, 1, nullptr), 0u);
}

namespace {
}  // namespace

TEST(GwInterfaces, CountsAndCopies) {
  VQXGetIpInterfacesUninit();
  u32 n = 3;
  u32 a[5], b[5], m[5];
  EXPECT_EQ(VQXGetIpInterfaces(nullptr, a, b, m), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXGetIpInterfaces(&n, a, b, m), VQX_RESULT_INVALID_STATE);
  UseInterfaces({{0x0A000001u, 0xFFFFFF00u}, {0x0A000101u, 0xFFFFFF00u}, {0x0A000201u, 0xFFFFFF00u},
                 {0x0A000301u, 0xFFFFFF00u}, {0x0A000401u, 0xFFFFFF00u}});
  ASSERT_EQ(VQXGetIpInterfacesInit(), VQX_RESULT_OK);
  n = 3;
  ASSERT_EQ(VQXGetIpInterfaces(&n, a, b, m), VQX_RESULT_OK);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(ntohl(a[2]), 0x0A000201u);
  EXPECT_EQ(ntohl(b[2]), 0x0A0002FFu);
  n = 0;
  ASSERT_EQ(VQXGetIpInterfaces(&n, nullptr, nullptr, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(n, 5u);
  /* the system table keeps no loopback and no class D/E entry */
  VqxGwLibSetInterfaceProvider(nullptr);
  ASSERT_EQ(VQXGetIpInterfacesRefresh(), VQX_RESULT_OK);
  n = 5;
  ASSERT_EQ(VQXGetIpInterfaces(&n, a, b, m), VQX_RESULT_OK);
  for (u32 i = 0; i < n; i++) {
    EXPECT_NE(ntohl(a[i]) >> 24, 127u);
    EXPECT_LE(ntohl(a[i]) >> 24, 223u);
  }
  UseLoopbackNets(1);
}

TEST(GwInterfaces, AllowedSubnetsChooseTheBroadcastInterfaces) {
  /* rows: the subnet list, excluded or not; the broadcast a forced round
   * uses and the warning about a subnet no interface is on */
  struct Row {
    u32 subnet, fExclude;
    const char* bcast;
    bool fWarned;
  } const rows[] = {
      {0x7F010000u, 0, "0x7F01FFFF", false},
      {0x7F010000u, 1, "0x7F00FFFF", false},
      {0x0A090000u, 0, nullptr, true}, /* matches nothing: no broadcast */
  };
  for (const Row& r : rows) {
    UseInterfaces({{0x7F000001u, 0xFFFF0000u}, {0x7F010001u, 0xFFFF0000u}});
    VqxGwLibSetBroadcastRedirect(0);
    u32 subnet = htonl(r.subnet);
    Instance in(
        [&](Recorder& rec) {
          VqxGwLibParams p = HostParams(FreeLoopbackPort(), 0, kId, "app", rec, 2000, 4500, 10000, nullptr);
          p.HostGwParms.szIpAddress0[0] = '\0';
          p.un32NbAllowedSubnets = 1;
          p.paun32AllowedSubnetIps = &subnet;
          p.fAllowedSubnetsExclude = r.fExclude;
          return p;
        },
        false);
    EXPECT_EQ(in.rec.HasError("Could not find local IP interface on the subnet of allowed IP '10.9.0.0'"), r.fWarned);
    in.rec.ClearLines();
    EXPECT_EQ(VqxGwLibForceDiscover(in.ctx), VQX_RESULT_OK);
    std::vector<std::string> sent;
    for (auto& t : in.rec.Traces)
      if (t.find("Sending 'who is there'") != std::string::npos) sent.push_back(t);
    ASSERT_EQ(sent.size(), r.bcast ? 1u : 0u) << r.subnet;
    if (r.bcast) { EXPECT_NE(sent[0].find(r.bcast), std::string::npos) << sent[0]; }
  }
  UseLoopbackNets(1);
}

TEST(GwDiscovery, LostPathSearchSchedule) {
  struct Row {
    u32 downMs;
    bool due;
  } const rows[] = {{0, true},
                    {3599999, true},
                    {3600000, true}, /* 60 min: first 2 s of a minute */
                    {3601999, true},
                    {3602000, false},
                    {3659999, false},
                    {3660000, true},
                    {3661000, true},
                    {3662000, false}, /* 61 min */
                    {3600000 * 5 + 1999, true},
                    {3600000 * 5 + 2000, false}};
  for (const Row& r : rows) EXPECT_EQ(LostPathSearchDue(r.downMs), r.due) << r.downMs;
}
