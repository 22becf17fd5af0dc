/*
 * test_highfd_mt.cpp - a process with more than 1024 descriptors open (a
 * trace server with many segment files): every socket and wake pipe of two
 * hosts' instances then has a number past the 1024 bits of an fd_set. The
 * two discover each other, link, carry batches both ways and are destroyed,
 * with nothing written out of bounds (AddressSanitizer) and nothing left
 * open. The threads' wait set itself answers as select() sets did, for
 * such descriptors. Run under ThreadSanitizer too.
 */
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "gw_test_support.h"
#include "gwlib_internal.h"

using namespace gwtest;

namespace {

/* Every descriptor below this number is taken before the instances open
 * theirs. Just past 1024, so that a bit set for it in an fd_set falls in the
 * bytes right after the set. */
constexpr int kFirstFreeFd = 1030;
constexpr rlim_t kWantedLimit = 2048;

/* Raises the soft descriptor limit and fills every free number below
 * kFirstFreeFd with /dev/null; gives both back on destruction. */
class LowFdsTaken {
 public:
  LowFdsTaken() {
    getrlimit(RLIMIT_NOFILE, &m_old);
    rlimit r = m_old;
    r.rlim_cur = std::max(r.rlim_cur, kWantedLimit);
    if (r.rlim_cur > m_old.rlim_cur && setrlimit(RLIMIT_NOFILE, &r) != 0) {
      m_why = "cannot raise RLIMIT_NOFILE to 2048 (hard limit " + std::to_string(m_old.rlim_max) + ")";
      return;
    }
    m_fRaised = r.rlim_cur > m_old.rlim_cur;
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (; fd >= 0 && fd < kFirstFreeFd; fd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) m_Fds.push_back(fd);
    m_fOk = fd >= 0;
    if (fd >= 0) close(fd);
    if (!m_fOk) m_why = "cannot reach descriptor " + std::to_string(kFirstFreeFd);
  }
  ~LowFdsTaken() {
    for (int fd : m_Fds) close(fd);
    if (m_fRaised) setrlimit(RLIMIT_NOFILE, &m_old);
  }
  bool Ok() const { return m_fOk; }
  const std::string& Why() const { return m_why; }

 private:
  rlimit m_old{};
  bool m_fRaised = false, m_fOk = false;
  std::string m_why;
  std::vector<int> m_Fds;
};

/* The numbers of the sockets and pipes this process has open, but those
 * in skip (the test runner's pipes). */
std::vector<int> SocketAndPipeFds(const std::vector<int>& skip = {}) {
  std::vector<int> v;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return v;
  const int self = dirfd(d);
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    struct stat st {};
    if (fd != self && fstat(fd, &st) == 0 && (S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode)) &&
        std::find(skip.begin(), skip.end(), fd) == skip.end())
      v.push_back(fd);
  }
  closedir(d);
  return v;
}

/* Sends n messages of 64 + i bytes filled with seed + i, waiting while
 * the transmit ring is full, and checks that to receives them in order. */
void Exchange(VqxGwLibContext from, u32 hPeer, Recorder& to, u32 n, u8 seed) {
  std::vector<std::vector<u8>> sent;
  for (u32 i = 0; i < n; i++) {
    sent.emplace_back(64 + i, u8(seed + i));
    VqxGwLibSendRecord r{sent[i].data(), u32(sent[i].size()), i, 0};
    VQX_RESULT res = VQX_RESULT_OUT_OF_RESOURCE;
    for (int t = 0; t < 500 && (res = VqxGwLibSendMsgs(from, hPeer, 1, &r, 1)) == VQX_RESULT_OUT_OF_RESOURCE; t++)
      to.WaitFor(2, [] { return false; });
    ASSERT_EQ(res, VQX_RESULT_OK) << i;
  }
  ASSERT_TRUE(to.WaitFor(5000, [&] { return to.Messages.size() >= n; }));
  std::lock_guard<std::mutex> g(to.m);
  EXPECT_EQ(to.Messages, sent);
}

}  // namespace

TEST(GwHighFd, HostsLinkAndExchangeWithDescriptorsPast1024) {
  UseLoopbackNets(1);
  /* a first thread has ThreadSanitizer start its own before the count */
  std::thread([] {}).join();
  const int threads0 = SettledThreadCount();
  LowFdsTaken taken;
  if (!taken.Ok()) GTEST_SKIP() << "cannot open descriptors past 1024: " << taken.Why();
  const int fds0 = FdCount();
  const std::vector<int> runnerFds = SocketAndPipeFds();
  {
    HostPair p;
    const bool fUp = p.Link();
    EXPECT_TRUE(fUp);
    /* the instances' sockets and pipes all sit past the fd_set bits */
    const std::vector<int> open = SocketAndPipeFds(runnerFds);
    EXPECT_GE(open.size(), 10u);
    for (int fd : open) EXPECT_GE(fd, 1024) << "descriptor " << fd;
    if (fUp) {
      const u32 hB = p.recA.Report(0).hPeer, hA = p.recB.Report(0).hPeer;
      Exchange(p.a, hB, p.recB, 40, 0x10);
      Exchange(p.b, hA, p.recA, 40, 0x80);
      EXPECT_EQ(p.recA.Reports(), 1u); /* the links stayed up throughout */
    }
    EXPECT_EQ(VqxGwLibDestroy(p.a), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibDestroy(p.b), VQX_RESULT_OK);
    p.a = p.b = nullptr;
    /* no wait failed on the way */
    EXPECT_FALSE(p.recA.HasError("select() failed"));
    EXPECT_FALSE(p.recB.HasError("select() failed"));
  }
  for (int i = 0; i < 50 && ThreadCount() != threads0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ThreadCount(), threads0);
  EXPECT_EQ(FdCount(), fds0);
}

TEST(GwHighFd, WaitSetAnswersAsSelectDid) {
  LowFdsTaken taken;
  if (!taken.Ok()) GTEST_SKIP() << "cannot open descriptors past 1024: " << taken.Why();
  /* each row: a pipe and a socket pair, past 1024, prepared by `setup`;
   * the set asks for the pipe's read end and for the pair's first socket
   * for writing; then the answer of the wait and of the lookups */
  struct Row {
    const char* name;
    void (*setup)(int& pipeW, int& sockB); /* sets what it closes to -1 */
    int expectN;
    bool fPipeReadable;
    bool fSockWritable;
  } const rows[] = {
      {"data waiting in the pipe", [](int& w, int&) { ASSERT_EQ(write(w, "x", 1), 1); }, 2, true, true},
      {"pipe empty, socket has room", [](int&, int&) {}, 1, false, true},
      {"pipe closed by the writer (end of stream)",
       [](int& w, int&) {
         close(w);
         w = -1;
       },
       2, true, true},
      {"peer socket gone: a write fails at once, so it is writable",
       [](int&, int& b) {
         close(b);
         b = -1;
       },
       1, false, true}};
  for (const Row& r : rows) {
    int pfd[2], sp[2];
    ASSERT_EQ(pipe(pfd), 0) << r.name;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sp), 0) << r.name;
    ASSERT_GE(pfd[0], 1024) << r.name;
    ASSERT_GE(sp[0], 1024) << r.name;
    r.setup(pfd[1], sp[1]);
    vqxgw::WaitSet ws;
    ws.AddRead(-1); /* ignored */
    ws.AddRead(pfd[0]);
    ws.AddWrite(sp[0]);
    EXPECT_EQ(ws.Wait(0), r.expectN) << r.name;
    EXPECT_EQ(ws.Readable(pfd[0]), r.fPipeReadable) << r.name;
    EXPECT_EQ(ws.Writable(sp[0]), r.fSockWritable) << r.name;
    /* readiness is per direction asked */
    EXPECT_FALSE(ws.Writable(pfd[0])) << r.name;
    EXPECT_FALSE(ws.Readable(sp[0])) << r.name;
    EXPECT_FALSE(ws.Readable(-1)) << r.name;
    for (int fd : {pfd[0], pfd[1], sp[0], sp[1]})
      if (fd >= 0) close(fd);
  }
  /* a set cleared and reused; a time-out leaves nothing ready */
  int pfd[2];
  ASSERT_EQ(pipe(pfd), 0);
  vqxgw::WaitSet ws;
  ws.AddRead(pfd[0]);
  EXPECT_EQ(ws.Wait(20), 0);
  EXPECT_FALSE(ws.Readable(pfd[0]));
  ASSERT_EQ(write(pfd[1], "y", 1), 1);
  ws.Clear();
  ws.AddRead(pfd[0]);
  EXPECT_EQ(ws.Wait(1000), 1);
  EXPECT_TRUE(ws.Readable(pfd[0]));
  /* a descriptor closed before the wait fails it with EBADF, as select() */
  const int closedFd = pfd[0];
  close(pfd[0]);
  close(pfd[1]);
  ws.Clear();
  ws.AddRead(closedFd);
  errno = 0;
  EXPECT_EQ(ws.Wait(0), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(ws.Readable(closedFd));
}
