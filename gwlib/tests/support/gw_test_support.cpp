// See gw_test_support.h.
#include "gw_test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <thread>

namespace gwtest {

namespace {
u32 LoopbackProvider(u32 max, u32* a, u32* b, u32* m) {
  if (max == 0) return 0;
  a[0] = htonl(0x7F000001u), b[0] = htonl(0x7FFFFFFFu), m[0] = htonl(0xFF000000u);
  return 1;
}

int CountDir(const char* path) {
  DIR* d = opendir(path);
  int n = 0;
  while (d != nullptr && readdir(d) != nullptr) n++;
  if (d != nullptr) closedir(d);
  return n - 2 - (std::strcmp(path, "/proc/self/fd") == 0);  // ".", ".." and the directory's own fd
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
  std::lock_guard<std::mutex> g(r->m);
  r->UpDowns.push_back({h, f0, f1, reason, id, port, std::string(ip, strnlen(ip, 64)), std::string(ip + 64, strnlen(ip + 64, 64))});
  r->cv.notify_all();
}

void OnRxMultiple(void* ctx, u32, u32, u32 n, void** bufs, const u32* sizes, u32*) {
  Recorder* r = static_cast<Recorder*>(ctx);
  std::lock_guard<std::mutex> g(r->m);
  r->BatchCounts.push_back(n);
  for (u32 i = 0; i < n; i++) {
    r->Messages.emplace_back(static_cast<const u8*>(bufs[i]), static_cast<const u8*>(bufs[i]) + sizes[i]);
    std::free(bufs[i]);
  }
  r->cv.notify_all();
}
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
VQX_RESULT OnAvail(void*, u32* p) { return *p = 1, VQX_RESULT_OK; }

bool Has(const std::vector<std::string>& v, const std::string& part) {
  for (auto& t : v)
    if (t.find(part) != std::string::npos) return true;
  return false;
}
}  // namespace

void UseLoopbackOnly() {
  VqxGwLibSetInterfaceProvider(LoopbackProvider);
  VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
  VQXGetIpInterfacesInit();
}

sockaddr_in Lo(u16 port, u32 addr) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(addr);
  a.sin_port = htons(port);
  return a;
}

u16 BoundPort(int s) {
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  return ntohs(a.sin_port);
}

u16 FreePort() {
  for (int tries = 0; tries < 50; tries++) {
    int t = socket(AF_INET, SOCK_STREAM, 0), u = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Lo(0);
    bind(t, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    a = Lo(BoundPort(t));
    const bool ok = bind(u, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(t), close(u);
    if (ok) return ntohs(a.sin_port);
  }
  return 0;
}

int ThreadCount() { return CountDir("/proc/self/task"); }
int FdCount() { return CountDir("/proc/self/fd"); }

bool Recorder::WaitFor(u32 ms, const std::function<bool()>& pred) {
  std::unique_lock<std::mutex> g(m);
  return cv.wait_for(g, std::chrono::milliseconds(ms), pred);
}
bool Recorder::HasError(const std::string& part) {
  std::lock_guard<std::mutex> g(m);
  return Has(Errors, part);
}
bool Recorder::Traced(const std::string& part) {
  std::lock_guard<std::mutex> g(m);
  return Has(Traces, part);
}
bool Recorder::WaitLine(const std::string& part, u32 ms) {
  return WaitFor(ms, [&] { return Has(Traces, part) || Has(Errors, part); });
}
void Recorder::ClearLines() {
  std::lock_guard<std::mutex> g(m);
  Traces.clear(), Errors.clear();
}
size_t Recorder::Reports() {
  std::lock_guard<std::mutex> g(m);
  return UpDowns.size();
}
UpDown Recorder::Report(size_t i) {
  std::lock_guard<std::mutex> g(m);
  return i < UpDowns.size() ? UpDowns[i] : UpDown{};
}
bool Recorder::WaitReports(size_t n, u32 ms) {
  return WaitFor(ms, [&] { return UpDowns.size() >= n; });
}
void Recorder::Install(VqxGwLibParams& p) {
  p.pFctRxMultiple = OnRxMultiple, p.pFctUpDown = OnUpDown, p.pFctGetEthAvailability = OnAvail;
  p.pFctAllocMsg = OnAlloc, p.pFctAllocMsgMultiple = OnAllocMultiple;
  p.pFctFreeMsg = OnFree, p.pFctFreeMsgMultiple = OnFreeMultiple;
  p.pFctErrorLog = OnError, p.pFctTraceLog = OnTrace;
  p.pRxCtx = p.pUpDownCtx = p.pBufferCtx = p.pErrorCtx = p.pTraceCtx = this;
}

namespace {
VqxGwLibParams Common(u16 udpPort, Recorder& rec, u32 pollMs, u32 netDownMs, u32 adaDownMs, const char* ids) {
  VqxGwLibParams p{};
  p.aun16GwPorts[0] = udpPort;
  p.fUseSeparatePollSocket = p.fIsGw0 = p.fIsGw1 = p.fOpenPollSocketsAlways = 1;
  p.RedundancyParams = {1, pollMs, netDownMs, adaDownMs, 1, 1, 0};
  /* the 16 bytes "IDWGSDWGIPWGAPWG" (or "...LH") as four words */
  std::memcpy(&p.un32GwDiscoveryId, ids, 4), std::memcpy(&p.un32GwDiscoverySpecificId, ids + 4, 4);
  std::memcpy(&p.un32GwPollId, ids + 8, 4), std::memcpy(&p.un32GwReplyId, ids + 12, 4);
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
  if (fEnable && ctx != nullptr) { EXPECT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK); }
}
Instance::~Instance() {
  if (ctx != nullptr) VqxGwLibDestroy(ctx);
}

HostPair::HostPair(u32 pollMs, const Adjust& adjust, const char* appA) {
  UseLoopbackOnly();
  VqxGwLibParams pa = HostParams(portA, portB, kGreatId, appA, recA, pollMs, 2000, 2000, &extraA);
  VqxGwLibParams pb = HostParams(portB, portA, kSmallId, "appB", recB, pollMs, 2000, 2000, &extraB);
  if (adjust) adjust(pa, pb);
  EXPECT_EQ(VqxGwLibAllocate(&pa, &a), VQX_RESULT_OK);
  EXPECT_EQ(VqxGwLibAllocate(&pb, &b), VQX_RESULT_OK);
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

UdpPeer::UdpPeer(u32 from) : m_s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in a = Lo(0, from);
  EXPECT_EQ(bind(m_s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
}
UdpPeer::~UdpPeer() { close(m_s); }
void UdpPeer::Send(u16 port, const std::vector<u8>& pkt) {
  sockaddr_in a = Lo(port);
  EXPECT_EQ(sendto(m_s, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)), ssize_t(pkt.size()));
}
std::vector<u8> UdpPeer::Recv(u32 ms) {
  pollfd pf{m_s, POLLIN, 0};
  u8 buf[2048];
  ssize_t n = poll(&pf, 1, int(ms)) == 1 ? recv(m_s, buf, sizeof(buf), MSG_DONTWAIT) : 0;
  return n > 0 ? std::vector<u8>(buf, buf + n) : std::vector<u8>();
}

std::vector<u8> Word(u32 id, size_t len) {
  std::vector<u8> v(len, 0);
  vqxgw::PutBe32(v.data(), id);
  return v;
}

int ConnectTcp(u16 port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Lo(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return s;
  close(s);
  return -1;
}

bool ClosedWithoutData(int s, u32 ms) {
  pollfd pf{s, POLLIN, 0};
  u8 b;
  return poll(&pf, 1, int(ms)) == 1 && recv(s, &b, 1, MSG_DONTWAIT) <= 0;
}

std::string SourcePath(const std::string& rel) {
  const char* root = std::getenv("VQX_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/" + rel;
}

Board::Board(u16 udpPort, const std::vector<std::string>& extra) {
  const u16 ctl = FreePort();
  std::vector<std::string> args = {"python3",        SourcePath("testing/boardsim/boardsim.py"),
                                   "--udp-port",     std::to_string(udpPort),
                                   "--lifetime",     "60",
                                   "--control-port", std::to_string(ctl)};
  args.insert(args.end(), extra.begin(), extra.end());
  m_pid = fork();
  if (m_pid == 0) {
    std::vector<char*> av;
    for (auto& a : args) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    execvp("python3", av.data());
    _exit(127);
  }
  /* the board listens once its interpreter has started: bounded retries */
  for (int i = 0; i < 100 && m_ctl < 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_ctl = ConnectTcp(ctl);
  }
  timeval tv{5, 0};
  setsockopt(m_ctl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

Board::~Board() {
  if (m_ctl >= 0) Command("quit"), close(m_ctl);
  for (int i = 0; i < 50 && m_pid > 0; i++, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
  if (m_pid > 0) kill(m_pid, SIGKILL), waitpid(m_pid, nullptr, 0);
}

std::string Board::Command(const std::string& line) {
  const std::string l = line + "\n";
  if (m_ctl < 0 || send(m_ctl, l.data(), l.size(), MSG_NOSIGNAL) != ssize_t(l.size())) return "";
  std::string out;
  for (char ch; recv(m_ctl, &ch, 1, 0) == 1 && ch != '\n';) out += ch;
  return out;
}

long Board::Stat(const std::string& key) {
  const std::string s = Command("stats"), k = "\"" + key + "\": ";
  const size_t i = s.find(k);
  return i == std::string::npos ? -1 : std::strtol(s.c_str() + i + k.size(), nullptr, 10);
}

}  // namespace gwtest
