// See gw_test_support.h.
#include "gw_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "vqx_clock.h"

namespace gwtest {

namespace {
std::vector<Net> g_nets;
u32 NetsProvider(u32 max, u32* a, u32* b, u32* m) {
  u32 n = 0;
  for (; n < max && n < g_nets.size(); n++) {
    a[n] = htonl(g_nets[n].first);
    m[n] = htonl(g_nets[n].second);
    b[n] = htonl(g_nets[n].first | ~g_nets[n].second);
  }
  return n;
}

void Line(void* ctx, bool fError, const char* fmt, va_list ap) {
  char sz[1024];
  vsnprintf(sz, sizeof(sz), fmt, ap);
  Recorder* r = static_cast<Recorder*>(ctx);
  std::lock_guard<std::mutex> g(r->m);
  (fError ? r->Errors : r->Traces).push_back(sz);
  r->cv.notify_all();
}
void OnError(void* ctx, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Line(ctx, true, fmt, ap);
  va_end(ap);
}
void OnTrace(void* ctx, u32, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Line(ctx, false, fmt, ap);
  va_end(ap);
}

void OnUpDown(void* ctx, u32 h, const void* info, u32 f0, u32 f1, u32 reason) {
  Recorder* r = static_cast<Recorder*>(ctx);
  u32 id = 0, port = 0;
  std::memcpy(&id, info, 4);
  std::memcpy(&port, static_cast<const u8*>(info) + 8, 4);
  /* the address texts of an adapter's block or a host's */
  const char* ip = static_cast<const char*>(info) + (id == vqxgw::kAdaptersReplyId ? 284 : 304);
  u64 untaken = 0;
  if (f0 == 0 && r->ctx.load() != nullptr) VqxGwLibPathUntaken(r->ctx.load(), h, 1, &untaken);
  std::lock_guard<std::mutex> g(r->m);
  r->UpDowns.push_back(
      {h, f0, f1, reason, id, port, std::string(ip, strnlen(ip, 64)), std::string(ip + 64, strnlen(ip + 64, 64)),
       std::chrono::steady_clock::now(), untaken});
  r->cv.notify_all();
}

void OnRxMultiple(void* ctx, u32, u32, u32 n, void** bufs, const u32* sizes, u32*) {
  Recorder* r = static_cast<Recorder*>(ctx);
  if (const u32 ms = r->un32RxHoldMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  for (int i = 0; i < 6000 && r->fRxHeld.load(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::lock_guard<std::mutex> g(r->m);
  r->BatchCounts.push_back(n);
  for (u32 i = 0; i < n; i++) {
    r->Messages.emplace_back(static_cast<const u8*>(bufs[i]), static_cast<const u8*>(bufs[i]) + sizes[i]);
    std::free(bufs[i]);
  }
  r->cv.notify_all();
}
void OnRxLost(void* ctx, u32, u32, u32 n) { static_cast<Recorder*>(ctx)->NoteLost(n); }
void OnAllocMultiple(void*, u32 n, const u32* sizes, void** bufs) {
  for (u32 i = 0; i < n; i++) bufs[i] = std::malloc(sizes[i]);
}
void* OnAlloc(void*, u32 size) { return std::malloc(size); }
void OnFree(void* ctx, void** pp) {
  std::free(*pp);
  *pp = nullptr;
  Recorder* r = static_cast<Recorder*>(ctx);
  std::lock_guard<std::mutex> g(r->m);
  r->nFreed++;
}
void OnFreeMultiple(void* ctx, u32 n, void** bufs) {
  for (u32 i = 0; i < n; i++) OnFree(ctx, &bufs[i]);
}
VQX_RESULT OnAvail(void*, u32* p) {
  *p = 1;
  return VQX_RESULT_OK;
}

}  // namespace

void UseInterfaces(const std::vector<Net>& nets) {
  g_nets = nets;
  VqxGwLibSetInterfaceProvider(NetsProvider);
}

namespace {
std::atomic<u32> g_un32AheadMs{0};
u32 AheadClock() { return u32(VQXGetClock()) + g_un32AheadMs.load(); }
}  // namespace

ClockAhead::ClockAhead() {
  g_un32AheadMs = 0;
  VqxGwLibSetClock(AheadClock);
}
ClockAhead::~ClockAhead() { VqxGwLibSetClock(nullptr); }
void ClockAhead::Set(u32 ms) { g_un32AheadMs = ms; }

long MsSince(std::chrono::steady_clock::time_point t) { return MsBetween(t, std::chrono::steady_clock::now()); }
long MsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}


bool Recorder::WaitFor(u32 ms, const std::function<bool()>& pred) {
  std::unique_lock<std::mutex> g(m);
  return cv.wait_for(g, std::chrono::milliseconds(ms), pred);
}
bool Recorder::Has(const std::vector<std::string>& v, const std::string& part) {
  for (auto& t : v)
    if (t.find(part) != std::string::npos) return true;
  return false;
}
void Recorder::NoteLost(u32 n) {
  std::lock_guard<std::mutex> g(m);
  if (nReportsBeforeLost < 0) nReportsBeforeLost = int(UpDowns.size());
  un32Lost += n;
  cv.notify_all();
}
void Recorder::Install(VqxGwLibParams& p) {
  p.pFctRxMultiple = OnRxMultiple;
  p.pFctRxLost = OnRxLost;
  p.pFctUpDown = OnUpDown;
  p.pFctGetEthAvailability = OnAvail;
  p.pFctAllocMsg = OnAlloc;
  p.pFctAllocMsgMultiple = OnAllocMultiple;
  p.pFctFreeMsg = OnFree;
  p.pFctFreeMsgMultiple = OnFreeMultiple;
  p.pFctErrorLog = OnError;
  p.pFctTraceLog = OnTrace;
  p.pRxCtx = this;
  p.pUpDownCtx = this;
  p.pBufferCtx = this;
  p.pErrorCtx = this;
  p.pTraceCtx = this;
}

namespace {
VqxGwLibParams Common(u16 udpPort, Recorder& rec, u32 pollMs, u32 netDownMs, u32 adaDownMs, const char* ids) {
  VqxGwLibParams p{};
  p.aun16GwPorts[0] = udpPort;
  p.fUseSeparatePollSocket = p.fIsGw0 = p.fIsGw1 = p.fOpenPollSocketsAlways = 1;
  p.RedundancyParams = {1, pollMs, netDownMs, adaDownMs, 1, 1, 0};
  /* the 16 bytes "IDWGSDWGIPWGAPWG" (or "...LH") as four words */
  std::memcpy(&p.un32GwDiscoveryId, ids, 4);
  std::memcpy(&p.un32GwDiscoverySpecificId, ids + 4, 4);
  std::memcpy(&p.un32GwPollId, ids + 8, 4);
  std::memcpy(&p.un32GwReplyId, ids + 12, 4);
  rec.Install(p);
  return p;
}
}  // namespace

VqxGwLibParams AdapterParams(u16 udpPort, Recorder& rec, u32 pollMs, u32 netDownMs, u32 adaDownMs) {
  VqxGwLibParams p = Common(udpPort, rec, pollMs, netDownMs, adaDownMs, "IDWGSDWGIPWGAPWG");
  p.un64PollHostCtxId = 0x7F00000100001234ull;
  p.un8PeerHandlesBase = 0xCA;
  p.fDetectAdapters = 1;
  std::strcpy(p.AdapterGwParams.szIpAddress0, "127.0.0.1");
  return p;
}

VqxGwLibParams HostParams(u16 udpPort, u16 peerPort, u64 uniqueId, const char* app, Recorder& rec, u32 pollMs,
                          u32 netDownMs, u32 adaDownMs, VQX_GW_EXTRA_ADDR* extra) {
  VqxGwLibParams p = Common(udpPort, rec, pollMs, netDownMs, adaDownMs, "IDLHSDLHIPLHAPLH");
  p.un64PollHostCtxId = p.HostGwParms.un64UniqueId = uniqueId;
  p.un8PeerHandlesBase = 0xCB;
  p.fWaitConnections = 1;
  p.HostGwParms.un32InfoVersion = 2;
  std::strcpy(p.HostGwParms.szHostName, "testhost");
  std::strncpy(p.HostGwParms.szAppName, app, 127);
  std::strcpy(p.HostGwParms.szIpAddress0, "127.0.0.1");
  p.HostGwParms.un32BuildNumber = vqxgw::kHostBuildNumber;
  p.HostGwParms.un8Two = 2;
  if (extra != nullptr) {
    *extra = VQX_GW_EXTRA_ADDR{};
    std::strcpy(extra->szIpAddress0, "127.0.0.1");
    extra->un16Port = peerPort;
    p.un32NbExtraGwAddr = 1;
    p.paExtraGwAddr = extra;
  }
  return p;
}

Instance::Instance(const std::function<VqxGwLibParams(Recorder&)>& make, bool fEnable) {
  params = make(rec);
  EXPECT_EQ(VqxGwLibAllocate(&params, &ctx), VQX_RESULT_OK);
  rec.ctx = ctx;
  if (fEnable && ctx != nullptr) { EXPECT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK); }
}
Instance::~Instance() {
  if (ctx != nullptr) VqxGwLibDestroy(ctx);
}

HostPair::HostPair(u32 pollMs, const Adjust& adjust, const char* appA) {
  UseLoopbackNets(1);
  VqxGwLibParams pa = HostParams(portA, portB, kGreatId, appA, recA, pollMs, 2000, 2000, &extraA);
  VqxGwLibParams pb = HostParams(portB, portA, kSmallId, "appB", recB, pollMs, 2000, 2000, &extraB);
  if (adjust) adjust(pa, pb);
  EXPECT_EQ(VqxGwLibAllocate(&pa, &a), VQX_RESULT_OK);
  EXPECT_EQ(VqxGwLibAllocate(&pb, &b), VQX_RESULT_OK);
  recA.ctx = a;
  recB.ctx = b;
}
HostPair::~HostPair() {
  if (a != nullptr) VqxGwLibDestroy(a);
  if (b != nullptr) VqxGwLibDestroy(b);
}
void HostPair::Enable() {
  EXPECT_EQ(VqxGwLibEnable(b), VQX_RESULT_OK);
  EXPECT_EQ(VqxGwLibEnable(a), VQX_RESULT_OK);
}
bool HostPair::Link(u32 ms) {
  Enable();
  auto up = [ms](Recorder& r) {
    return r.WaitFor(ms, [&] {
      for (auto& u : r.UpDowns)
        if (u.fGw0Up) return true;
      return false;
    });
  };
  return up(recA) && up(recB);
}

std::vector<u8> Word(u32 id, size_t len) {
  std::vector<u8> v(len, 0);
  vqxgw::PutBe32(v.data(), id);
  return v;
}

std::string SourcePath(const std::string& rel) {
  const char* root = std::getenv("VQX_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/" + rel;
}

}  // namespace gwtest
