/*
 * gw_test_support.h - what the gateway transport tests share: parameter records for an
 * adapters' or hosts' instance, a recorder of callbacks whose waits end on
 * the event, one instance or a linked pair of hosts' instances. Raw UDP
 * and TCP ends come from testing/peers/gw_raw_host.h.
 */
#ifndef GW_TEST_SUPPORT_H
#define GW_TEST_SUPPORT_H

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vqx_gwlib.h"
#include "peers/gw_raw_host.h"
#include "peers/process_counts.h"
#include "vqx_gwlib_wire.h"

namespace gwtest {

using gwpeer::BoundPort;
using gwpeer::ClosedWithoutData;
using gwpeer::ConnectLoopback;
using gwpeer::LoopbackAddress;
using UdpPeer = gwpeer::RawUdp;

/* The loopback interface table (UseLoopbackNets(1): 127.0.0.1/8, discovery
 * broadcasts to 127.0.0.1) and a port free for UDP and TCP, from loopback.h. */
using loopnet::FreeLoopbackPort;
using loopnet::UseLoopbackNets;
/* The transport's interface table made of these nets ({address, mask},
 * host order; broadcast = address | ~mask). Neither reread nor redirected. */
using Net = std::pair<u32, u32>;
void UseInterfaces(const std::vector<Net>& nets);
/* Milliseconds since t. */
long MsSince(std::chrono::steady_clock::time_point t);
/* Milliseconds from one time to another. */
long MsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to);
/* The library's clock (VqxGwLibSetClock) ahead of the system's for the
 * object's lifetime, by what Set gives: a jump ahead stands for time the
 * process did not run, while waits on the system's clock still end. One at a
 * time. */
class ClockAhead {
 public:
  ClockAhead();
  ~ClockAhead();
  void Set(u32 ms);
};
/* Threads and open descriptors of this process (testing/peers/process_counts.h). */
inline int ThreadCount() { return int(proccount::ProcessThreadCount()); }
inline int FdCount() { return int(proccount::ProcessFdCount()); }
/* The thread count a test starts from: a thread an earlier test joined can stay listed a moment after the join
 * returned, so the count is read until it held for 5 looks 10 ms apart (1 s at most). */
inline int SettledThreadCount() {
  int n = ThreadCount();
  for (int i = 0, nSame = 0; i < 100 && nSame < 5; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int nNow = ThreadCount();
    nSame = nNow == n ? nSame + 1 : 0;
    n = nNow;
  }
  return n;
}

struct UpDown {
  u32 hPeer, fGw0Up, fGw1Up, un32Reason;
  u32 un32InfoId, un32TcpPort; /* from the stored advertisement */
  std::string sIp0, sIp1;      /* its address texts */
  std::chrono::steady_clock::time_point tAt{}; /* when the callback came: a waiter may wake later */
  u64 un64Untaken = 0; /* a gw0 down report: what the peer had not taken (VqxGwLibPathUntaken) */
};

/* Records every callback of one instance; buffers come from malloc. */
class Recorder {
 public:
  std::mutex m;
  std::condition_variable cv;
  std::vector<UpDown> UpDowns;
  std::vector<std::vector<u8>> Messages;
  std::vector<u32> BatchCounts;
  std::vector<std::string> Errors, Traces;
  int nFreed = 0;
  /* pFctRxLost: the messages told lost, and the up/down reports made before the first of them (-1: none told). */
  u32 un32Lost = 0;
  int nReportsBeforeLost = -1;
  void NoteLost(u32 n);
  /* Each receive callback first waits that long (a slow reader), then while fRxHeld is set (a reader that takes
   * nothing more; 60 s at most). */
  std::atomic<u32> un32RxHoldMs{0};
  std::atomic<bool> fRxHeld{false};
  /* The instance reporting here (set once allocated): a gw0 down report reads what its peer had not taken. */
  std::atomic<VqxGwLibContext> ctx{nullptr};

  /* Waits up to ms for pred (called under m); 0 asks once. */
  bool WaitFor(u32 ms, const std::function<bool()>& pred);
  static bool Has(const std::vector<std::string>& v, const std::string& part);
  bool HasError(const std::string& part) {
    return WaitFor(0, [&] { return Has(Errors, part); });
  }
  bool Traced(const std::string& part) {
    return WaitFor(0, [&] { return Has(Traces, part); });
  }
  /* Waits up to ms for an error or trace line holding part. */
  bool WaitLine(const std::string& part, u32 ms = 3000) {
    return WaitFor(ms, [&] { return Has(Traces, part) || Has(Errors, part); });
  }
  void ClearLines() {
    std::lock_guard<std::mutex> g(m);
    Traces.clear();
    Errors.clear();
  }
  size_t Reports() {
    std::lock_guard<std::mutex> g(m);
    return UpDowns.size();
  }
  /* The i-th up/down report (zeroed when there is none). */
  UpDown Report(size_t i) {
    std::lock_guard<std::mutex> g(m);
    return i < UpDowns.size() ? UpDowns[i] : UpDown{};
  }
  /* Waits for the n-th up/down report. */
  bool WaitReports(size_t n, u32 ms) {
    return WaitFor(ms, [&] { return UpDowns.size() >= n; });
  }
  void Install(VqxGwLibParams& p);
};

/* Parameters of an adapters' or hosts' instance discovering on udpPort;
 * delays: poll, network-down, adapter-down. A hosts' instance with
 * peerPort gets one extra address entry, 127.0.0.1 at that port. */
VqxGwLibParams AdapterParams(u16 udpPort, Recorder& rec, u32 pollMs, u32 netDownMs, u32 adaDownMs);
VqxGwLibParams HostParams(u16 udpPort, u16 peerPort, u64 uniqueId, const char* app, Recorder& rec, u32 pollMs,
                          u32 netDownMs, u32 adaDownMs, VQX_GW_EXTRA_ADDR* extra);

/* One instance, allocated from make(rec) and enabled; destroyed at the end
 * unless the test did it (ctx set to null). */
struct Instance {
  Recorder rec;
  VqxGwLibParams params{};
  VqxGwLibContext ctx = nullptr;
  explicit Instance(const std::function<VqxGwLibParams(Recorder&)>& make, bool fEnable = true);
  ~Instance();
  u32 Peer(size_t report = 0) { return rec.Report(report).hPeer; }
};

/* Two hosts' instances on 127.0.0.1 that find each other through their
 * extra address entries; A has the greater unique id and connects. */
constexpr u64 kSmallId = 0x7F00000100000001ull;
constexpr u64 kGreatId = 0x7F00000100000002ull;
struct HostPair {
  Recorder recA, recB;
  u16 portA = FreeLoopbackPort();
  u16 portB = FreeLoopbackPort();
  VQX_GW_EXTRA_ADDR extraA{}, extraB{};
  VqxGwLibContext a = nullptr, b = nullptr;
  using Adjust = std::function<void(VqxGwLibParams& pa, VqxGwLibParams& pb)>;
  explicit HostPair(u32 pollMs = 300, const Adjust& adjust = nullptr, const char* appA = "appA");
  ~HostPair();
  void Enable();
  /* Enables both and waits for gw0 up on both sides. */
  bool Link(u32 ms = 8000);
};

/* A packet of len bytes that starts with the big-endian word id. */
std::vector<u8> Word(u32 id, size_t len);
/* Path of a file in the source tree. */
std::string SourcePath(const std::string& rel);

}  // namespace gwtest

#endif
