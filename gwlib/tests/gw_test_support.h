/*
 * gw_test_support.h - helpers shared by the gateway transport tests: a
 * loopback-only interface table, free ports, parameter records for an
 * adapters' or hosts' instance, a recorder of callbacks, and the simulated
 * board run as a child process with its control connection.
 */
#ifndef GW_TEST_SUPPORT_H
#define GW_TEST_SUPPORT_H

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vqx_gwlib.h"

namespace gwtest
{

/* Installs the 127.0.0.1/255.0.0.0 interface table and redirects the
 * discovery broadcasts to 127.0.0.1 (call once per test). */
void UseLoopbackOnly();
/* A port that is free for UDP and TCP on 127.0.0.1 right now. */
u16 FreePort();
/* Counts the entries of /proc/self/task and /proc/self/fd. */
int ThreadCount();
int FdCount();

struct UpDown
{
    u32 hPeer;
    u32 fGw0Up;
    u32 fGw1Up;
    u32 un32Reason;
    u32 un32InfoId;
    u32 un32TcpPort; /* from the stored advertisement */
};

/* Records every callback of one instance; buffers come from malloc. */
class Recorder
{
public:
    std::mutex m;
    std::condition_variable cv;
    std::vector<UpDown> UpDowns;
    std::vector<std::vector<u8>> Messages;
    std::vector<u32> BatchCounts;
    std::vector<std::string> Errors;
    std::vector<std::string> Traces;
    int nFreed = 0;
    bool fKeepTraces = false;

    /* Waits up to ms for pred (called under m). */
    bool WaitFor(u32 ms, const std::function<bool()>& pred);
    bool HasError(const std::string& part);
    void Install(VqxGwLibParams& p);
};

/* Parameters of an adapters' instance (discovery on udpPort) or of a hosts'
 * instance; delays: poll, network-down, adapter-down. */
VqxGwLibParams AdapterParams(u16 udpPort, Recorder& rec, u32 pollMs, u32 netDownMs, u32 adaDownMs);
VqxGwLibParams HostParams(u16 udpPort, u16 peerPort, u64 uniqueId, const char* app, Recorder& rec, u32 pollMs,
                          u32 netDownMs, u32 adaDownMs, VQX_GW_EXTRA_ADDR* extra);

class Board
{
public:
    /* Starts boardsim.py; extra arguments appended. */
    Board(u16 udpPort, const std::vector<std::string>& extra = {}, double lifetimeS = 60);
    ~Board();
    bool Ready() const { return m_pid > 0 && m_ctl >= 0; }
    /* Sends one control line and returns the answer line ("" on failure). */
    std::string Command(const std::string& line);
    /* A number from the "stats" answer. */
    long Stat(const std::string& key);
    u16 UdpPort() const { return m_udp; }

private:
    pid_t m_pid = -1;
    int m_ctl = -1;
    u16 m_udp;
};

/* Big-endian words in test buffers. */
inline void PutBe32Raw(u8* p, u32 v)
{
    p[0] = u8(v >> 24);
    p[1] = u8(v >> 16);
    p[2] = u8(v >> 8);
    p[3] = u8(v);
}
inline u32 GetBe32Raw(const u8* p)
{
    return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]);
}

/* Path of a file beside the tests or in the repository. */
std::string SourcePath(const std::string& rel);

} // namespace gwtest

#endif
