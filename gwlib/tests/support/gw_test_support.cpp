/*
 * gw_test_support.cpp - see gw_test_support.h.
 */
#include "gw_test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace gwtest
{

namespace
{
u32 LoopbackProvider(u32 max, u32* a, u32* b, u32* m)
{
    if (max == 0)
        return 0;
    a[0] = htonl(0x7F000001u);
    b[0] = htonl(0x7FFFFFFFu);
    m[0] = htonl(0xFF000000u);
    return 1;
}

int CountDir(const char* path)
{
    DIR* d = opendir(path);
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n - (std::strcmp(path, "/proc/self/fd") == 0 ? 1 : 0); /* the directory's own fd */
}

void OnError(void* ctx, const char* fmt, ...)
{
    char sz[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sz, sizeof(sz), fmt, ap);
    va_end(ap);
    Recorder* r = static_cast<Recorder*>(ctx);
    std::lock_guard<std::mutex> g(r->m);
    r->Errors.push_back(sz);
    r->cv.notify_all();
}

void OnTrace(void* ctx, u32, const char* fmt, ...)
{
    Recorder* r = static_cast<Recorder*>(ctx);
    char sz[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sz, sizeof(sz), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(r->m);
    r->Traces.push_back(sz);
    r->cv.notify_all();
}

void OnUpDown(void* ctx, u32 h, const void* info, u32 f0, u32 f1, u32 reason)
{
    Recorder* r = static_cast<Recorder*>(ctx);
    u32 id = 0, port = 0;
    std::memcpy(&id, info, 4);
    std::memcpy(&port, static_cast<const u8*>(info) + 8, 4);
    std::lock_guard<std::mutex> g(r->m);
    r->UpDowns.push_back({h, f0, f1, reason, id, port});
    r->cv.notify_all();
}

void OnRxMultiple(void* ctx, u32, u32, u32 n, void** bufs, const u32* sizes, u32*)
{
    Recorder* r = static_cast<Recorder*>(ctx);
    std::lock_guard<std::mutex> g(r->m);
    r->BatchCounts.push_back(n);
    for (u32 i = 0; i < n; i++)
    {
        const u8* p = static_cast<const u8*>(bufs[i]);
        r->Messages.emplace_back(p, p + sizes[i]);
        std::free(bufs[i]);
    }
    r->cv.notify_all();
}

void OnAllocMultiple(void*, u32 n, const u32* sizes, void** bufs)
{
    for (u32 i = 0; i < n; i++)
        bufs[i] = std::malloc(sizes[i]);
}

void* OnAlloc(void*, u32 size)
{
    return std::malloc(size);
}

void OnFree(void* ctx, void** pp)
{
    std::free(*pp);
    *pp = nullptr;
    Recorder* r = static_cast<Recorder*>(ctx);
    std::lock_guard<std::mutex> g(r->m);
    r->nFreed++;
}

void OnFreeMultiple(void* ctx, u32 n, void** bufs)
{
    for (u32 i = 0; i < n; i++)
        OnFree(ctx, &bufs[i]);
}

VQX_RESULT OnAvail(void*, u32* p)
{
    *p = 1;
    return VQX_RESULT_OK;
}

} // namespace

void UseLoopbackOnly()
{
    VqxGwLibSetInterfaceProvider(LoopbackProvider);
    VqxGwLibSetBroadcastRedirect(htonl(0x7F000001u));
    VQXGetIpInterfacesInit();
}

u16 FreePort()
{
    for (int tries = 0; tries < 50; tries++)
    {
        int t = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001u);
        bind(t, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t l = sizeof(a);
        getsockname(t, reinterpret_cast<sockaddr*>(&a), &l);
        close(t);
        u16 port = ntohs(a.sin_port);
        int u = socket(AF_INET, SOCK_DGRAM, 0);
        int ok = bind(u, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        close(u);
        if (ok == 0)
            return port;
    }
    return 0;
}

int ThreadCount()
{
    return CountDir("/proc/self/task");
}

int FdCount()
{
    return CountDir("/proc/self/fd");
}

bool Recorder::WaitFor(u32 ms, const std::function<bool()>& pred)
{
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::milliseconds(ms), pred);
}

bool Recorder::HasError(const std::string& part)
{
    std::lock_guard<std::mutex> g(m);
    for (auto& e : Errors)
        if (e.find(part) != std::string::npos)
            return true;
    return false;
}

bool Recorder::Traced(const std::string& part)
{
    std::lock_guard<std::mutex> g(m);
    for (auto& t : Traces)
        if (t.find(part) != std::string::npos)
            return true;
    return false;
}

bool Recorder::WaitLine(const std::string& part, u32 ms)
{
    auto has = [&](const std::vector<std::string>& v) {
        for (auto& t : v)
            if (t.find(part) != std::string::npos)
                return true;
        return false;
    };
    return WaitFor(ms, [&] { return has(Traces) || has(Errors); });
}

void Recorder::ClearLines()
{
    std::lock_guard<std::mutex> g(m);
    Traces.clear();
    Errors.clear();
}

size_t Recorder::Reports()
{
    std::lock_guard<std::mutex> g(m);
    return UpDowns.size();
}

UpDown Recorder::Report(size_t i)
{
    std::lock_guard<std::mutex> g(m);
    return i < UpDowns.size() ? UpDowns[i] : UpDown{};
}

bool Recorder::WaitReports(size_t n, u32 ms)
{
    return WaitFor(ms, [&] { return UpDowns.size() >= n; });
}

void Recorder::Install(VqxGwLibParams& p)
{
    p.pFctRxMultiple = OnRxMultiple;
    p.pRxCtx = this;
    p.pFctUpDown = OnUpDown;
    p.pUpDownCtx = this;
    p.pFctGetEthAvailability = OnAvail;
    p.pFctAllocMsg = OnAlloc;
    p.pFctAllocMsgMultiple = OnAllocMultiple;
    p.pFctFreeMsg = OnFree;
    p.pFctFreeMsgMultiple = OnFreeMultiple;
    p.pBufferCtx = this;
    p.pFctErrorLog = OnError;
    p.pErrorCtx = this;
    p.pFctTraceLog = OnTrace;
    p.pTraceCtx = this;
}

static void CommonParams(VqxGwLibParams& p, u16 udpPort, Recorder& rec, u32 pollMs, u32 netDownMs, u32 adaDownMs)
{
    p.aun16GwPorts[0] = udpPort;
    p.fUseSeparatePollSocket = 1;
    p.fIsGw0 = 1;
    p.fIsGw1 = 1;
    p.fOpenPollSocketsAlways = 1;
    p.RedundancyParams = {1, pollMs, netDownMs, adaDownMs, 1, 1, 0};
    rec.Install(p);
}

VqxGwLibParams AdapterParams(u16 udpPort, Recorder& rec, u32 pollMs, u32 netDownMs, u32 adaDownMs)
{
    VqxGwLibParams p{};
    CommonParams(p, udpPort, rec, pollMs, netDownMs, adaDownMs);
    /* The 16 bytes "IDWGSDWGIPWGAPWG" as four words. */
    std::memcpy(&p.un32GwDiscoveryId, "IDWG", 4);
    std::memcpy(&p.un32GwDiscoverySpecificId, "SDWG", 4);
    std::memcpy(&p.un32GwPollId, "IPWG", 4);
    std::memcpy(&p.un32GwReplyId, "APWG", 4);
    p.un64PollHostCtxId = 0x7F00000100001234ull;
    p.un8PeerHandlesBase = 0xCA;
    p.fDetectAdapters = 1;
    std::strcpy(p.AdapterGwParams.szIpAddress0, "127.0.0.1");
    return p;
}

VqxGwLibParams HostParams(u16 udpPort, u16 peerPort, u64 uniqueId, const char* app, Recorder& rec, u32 pollMs,
                          u32 netDownMs, u32 adaDownMs, VQX_GW_EXTRA_ADDR* extra)
{
    VqxGwLibParams p{};
    CommonParams(p, udpPort, rec, pollMs, netDownMs, adaDownMs);
    std::memcpy(&p.un32GwDiscoveryId, "IDLH", 4);
    std::memcpy(&p.un32GwDiscoverySpecificId, "SDLH", 4);
    std::memcpy(&p.un32GwPollId, "IPLH", 4);
    std::memcpy(&p.un32GwReplyId, "APLH", 4);
    p.un64PollHostCtxId = uniqueId;
    p.un8PeerHandlesBase = 0xCB;
    p.fWaitConnections = 1;
    p.HostGwParms.un64UniqueId = uniqueId;
    p.HostGwParms.un32InfoVersion = 2;
    std::strcpy(p.HostGwParms.szHostName, "testhost");
    std::strncpy(p.HostGwParms.szAppName, app, 127);
    std::strcpy(p.HostGwParms.szIpAddress0, "127.0.0.1");
    p.HostGwParms.un32BuildNumber = 0x02070B04;
    p.HostGwParms.un8Two = 2;
    if (extra != nullptr)
    {
        std::memset(extra, 0, sizeof(*extra));
        std::strcpy(extra->szIpAddress0, "127.0.0.1");
        extra->un16Port = peerPort;
        p.un32NbExtraGwAddr = 1;
        p.paExtraGwAddr = extra;
    }
    return p;
}

Instance::Instance(const std::function<VqxGwLibParams(Recorder&)>& make, bool fEnable)
{
    params = make(rec);
    EXPECT_EQ(VqxGwLibAllocate(&params, &ctx), VQX_RESULT_OK);
    if (fEnable && ctx != nullptr)
    {
        EXPECT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK);
    }
}

Instance::~Instance()
{
    if (ctx != nullptr)
        VqxGwLibDestroy(ctx);
}

HostPair::HostPair(u32 pollMs, const Adjust& adjust, const char* appA)
{
    UseLoopbackOnly();
    VqxGwLibParams pa = HostParams(portA, portB, kGreatId, appA, recA, pollMs, 2000, 2000, &extraA);
    VqxGwLibParams pb = HostParams(portB, portA, kSmallId, "appB", recB, pollMs, 2000, 2000, &extraB);
    if (adjust)
        adjust(pa, pb);
    EXPECT_EQ(VqxGwLibAllocate(&pa, &a), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibAllocate(&pb, &b), VQX_RESULT_OK);
}

HostPair::~HostPair()
{
    if (a != nullptr)
        VqxGwLibDestroy(a);
    if (b != nullptr)
        VqxGwLibDestroy(b);
}

void HostPair::Enable()
{
    EXPECT_EQ(VqxGwLibEnable(b), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibEnable(a), VQX_RESULT_OK);
}

bool HostPair::Link(u32 ms)
{
    Enable();
    auto up = [](Recorder& r, u32 t) {
        return r.WaitFor(t, [&] {
            for (auto& u : r.UpDowns)
                if (u.fGw0Up)
                    return true;
            return false;
        });
    };
    return up(recA, ms) && up(recB, ms);
}

UdpPeer::UdpPeer(u32 from)
{
    m_s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(from);
    EXPECT_EQ(bind(m_s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
}

UdpPeer::~UdpPeer()
{
    close(m_s);
}

void UdpPeer::Send(u16 port, const std::vector<u8>& pkt)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001u);
    a.sin_port = htons(port);
    EXPECT_EQ(sendto(m_s, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)), ssize_t(pkt.size()));
}

std::vector<u8> UdpPeer::Recv(u32 ms)
{
    pollfd pf{m_s, POLLIN, 0};
    u8 buf[2048];
    if (poll(&pf, 1, int(ms)) != 1)
        return {};
    ssize_t n = recv(m_s, buf, sizeof(buf), MSG_DONTWAIT);
    return n > 0 ? std::vector<u8>(buf, buf + n) : std::vector<u8>();
}

size_t UdpPeer::Drain()
{
    u8 buf[2048];
    size_t n = 0;
    while (recv(m_s, buf, sizeof(buf), MSG_DONTWAIT) > 0)
        n++;
    return n;
}

std::vector<u8> Word(u32 id, size_t len)
{
    std::vector<u8> v(len, 0);
    vqxgw::PutBe32(v.data(), id);
    return v;
}

int ConnectTcp(u16 port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001u);
    a.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

bool ClosedWithoutData(int s, u32 ms)
{
    pollfd pf{s, POLLIN, 0};
    if (poll(&pf, 1, int(ms)) != 1)
        return false;
    u8 b;
    return recv(s, &b, 1, MSG_DONTWAIT) <= 0;
}

std::string SourcePath(const std::string& rel)
{
    const char* root = std::getenv("VQX_SOURCE_DIR");
    return std::string(root != nullptr ? root : ".") + "/" + rel;
}

Board::Board(u16 udpPort, const std::vector<std::string>& extra, double lifetimeS)
{
    u16 ctl = FreePort();
    std::vector<std::string> args = {"python3",        SourcePath("testing/boardsim/boardsim.py"),
                                     "--udp-port",     std::to_string(udpPort),
                                     "--control-port", std::to_string(ctl),
                                     "--lifetime",     std::to_string(lifetimeS)};
    args.insert(args.end(), extra.begin(), extra.end());
    m_pid = fork();
    if (m_pid == 0)
    {
        std::vector<char*> av;
        for (auto& a : args)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        execvp("python3", av.data());
        _exit(127);
    }
    for (int i = 0; i < 100 && m_ctl < 0; i++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001u);
        a.sin_port = htons(ctl);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
        {
            timeval tv{5, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            m_ctl = s;
        }
        else
            close(s);
    }
}

Board::~Board()
{
    if (m_ctl >= 0)
    {
        Command("quit");
        close(m_ctl);
    }
    if (m_pid > 0)
    {
        for (int i = 0; i < 50; i++)
        {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

std::string Board::Command(const std::string& line)
{
    if (m_ctl < 0)
        return "";
    std::string l = line + "\n";
    if (send(m_ctl, l.data(), l.size(), MSG_NOSIGNAL) != ssize_t(l.size()))
        return "";
    std::string out;
    char ch;
    while (recv(m_ctl, &ch, 1, 0) == 1)
    {
        if (ch == '\n')
            return out;
        out += ch;
    }
    return out;
}

long Board::Stat(const std::string& key)
{
    std::string s = Command("stats");
    std::string k = "\"" + key + "\": ";
    size_t i = s.find(k);
    if (i == std::string::npos)
        return -1;
    return std::strtol(s.c_str() + i + k.size(), nullptr, 10);
}

} // namespace gwtest
