/*
 * The ports testing/peers/loopback.h gives tests: below the kernel's
 * ephemeral range (no socket the kernel numbers itself can take one before
 * the stand-in binds it), bindable when given, never given twice while the
 * process that got them lives, in that process or in another, and free
 * again once it has ended; the sockets a test binds there and hands to a
 * stand-in child.
 */
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <set>
#include <vector>

#include "peers/child_process.h"
#include "peers/loopback.h"

namespace {

using loopnet::FreeLoopbackPort;

constexpr int kPorts = 100;

/* True when another process could take port now (its byte of the lock file is free). */
bool LockableElsewhere(u16 port) {
  const int fd = open(loopnet::kPortLockFile, O_RDWR | O_CLOEXEC);
  struct flock l{};
  l.l_type = F_WRLCK, l.l_whence = SEEK_SET, l.l_start = port, l.l_len = 1;
  const bool fFree = fd >= 0 && fcntl(fd, F_OFD_SETLK, &l) == 0;
  if (fd >= 0) close(fd);
  return fFree;
}

TEST(LoopbackPorts, BelowTheEphemeralRangeBindableAndNeverGivenTwice) {
  const u32 un32Ephemeral = loopnet::EphemeralPortsStart();
  std::set<u16> Given;
  for (int i = 0; i < kPorts; i++) {
    const u16 port = FreeLoopbackPort();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(port >= loopnet::kLowestTestPort && port < un32Ephemeral) << port << " may be the kernel's own choice";
    EXPECT_TRUE(loopnet::LoopbackPortBindable(port)) << port;
    EXPECT_TRUE(Given.insert(port).second) << port << " given twice";
    EXPECT_FALSE(LockableElsewhere(port)) << port << " not kept from other processes";
  }
}

/* A child process takes its ports and keeps them while this one takes its
 * own: none in common; once the child has ended its ports are free again. */
TEST(LoopbackPorts, AnotherProcessNeverGetsOneWhileTheHolderLives) {
  ASSERT_NE(FreeLoopbackPort(), 0);  /* this process's lock file is open before the fork */
  int aToParent[2], aToChild[2];
  ASSERT_EQ(pipe(aToParent), 0);
  ASSERT_EQ(pipe(aToChild), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    u16 aPorts[kPorts];
    for (u16& port : aPorts) port = FreeLoopbackPort();
    char c = 0;
    const bool fOk = write(aToParent[1], aPorts, sizeof(aPorts)) == static_cast<ssize_t>(sizeof(aPorts)) &&
                     read(aToChild[0], &c, 1) == 1;  /* holds its ports until told */
    _exit(fOk ? 0 : 1);
  }
  close(aToParent[1]);
  close(aToChild[0]);
  std::vector<u16> Child(kPorts);
  size_t nRead = 0;
  for (int i = 0; i < 100 && nRead < Child.size() * sizeof(u16); i++) {
    const ssize_t n = read(aToParent[0], reinterpret_cast<char*>(Child.data()) + nRead, Child.size() * sizeof(u16) - nRead);
    if (n <= 0) break;
    nRead += static_cast<size_t>(n);
  }
  ASSERT_EQ(nRead, Child.size() * sizeof(u16));
  EXPECT_EQ(std::count(Child.begin(), Child.end(), 0), 0);
  std::vector<u16> Mine;
  for (int i = 0; i < kPorts; i++) Mine.push_back(FreeLoopbackPort());
  for (u16 port : Mine) EXPECT_EQ(std::count(Child.begin(), Child.end(), port), 0) << port << " given to both processes";
  EXPECT_FALSE(LockableElsewhere(Child[0]));
  EXPECT_EQ(write(aToChild[1], "x", 1), 1);
  int nStatus = -1;
  EXPECT_EQ(waitpid(pid, &nStatus, 0), pid);
  EXPECT_EQ(nStatus, 0);
  for (u16 port : Child) EXPECT_TRUE(LockableElsewhere(port)) << port << " still kept after its holder ended";
  close(aToParent[0]);
  close(aToChild[1]);
}

/* Whether a socket of type binds 127.0.0.1:port (0.0.0.0 when fAny) now, with SO_REUSEADDR when fReuse; the
 * socket stays open in *pKeep when given. */
bool Binds(int type, u16 port, bool fAny, bool fReuse, int* pKeep = nullptr) {
  const int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fReuse) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  const sockaddr_in a = loopnet::LoopbackAddress(port, fAny ? 0 : 0x7F000001u);
  const bool fBound = bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
  if (fBound && pKeep != nullptr) *pKeep = s;
  else close(s);
  return fBound;
}

/* A held discovery socket: a test port, shared with the transport (0.0.0.0, SO_REUSEADDR) only, bound again on
 * that port while the transport holds it (a stand-in started anew); a held listener; handed to a child only
 * when named, and refused when its port is taken. */
TEST(LoopbackPorts, HeldSocketsAreSharedWithTheTransportOnlyAndInheritedWhenNamed) {
  int nTransport = -1;
  u16 port = 0;
  {
    loopnet::HeldPort Udp(SOCK_DGRAM);
    ASSERT_TRUE(Udp.Ok());
    port = Udp.Port();
    EXPECT_TRUE(port >= loopnet::kLowestTestPort && port < loopnet::EphemeralPortsStart()) << port;
    EXPECT_FALSE(Binds(SOCK_DGRAM, port, false, false)) << "another program's own bind";
    EXPECT_FALSE(Binds(SOCK_DGRAM, port, true, false));
    ASSERT_TRUE(Binds(SOCK_DGRAM, port, true, true, &nTransport)) << "the transport shares it";
    const std::string strFd = std::to_string(Udp.Fd()), strOpen = "[ -e /proc/self/fd/" + strFd + " ]";
    EXPECT_EQ(peerproc::CChild({"sh", "-c", strOpen}, false, {Udp.Fd()}).Wait(), 0) << "named: inherited";
    EXPECT_EQ(peerproc::CChild({"sh", "-c", strOpen}, false).Wait(), 1) << "not named: closed on exec";
  }
  loopnet::HeldPort Again(SOCK_DGRAM, port);
  EXPECT_EQ(Again.Port(), port) << "bound again beside the transport";
  close(nTransport);

  loopnet::HeldPort Tcp(SOCK_STREAM);
  ASSERT_TRUE(Tcp.Ok());
  const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = loopnet::LoopbackAddress(Tcp.Port());
  EXPECT_EQ(connect(c, reinterpret_cast<const sockaddr*>(&a), sizeof(a)), 0) << "listening";
  close(c);
  loopnet::HeldPort Taken(SOCK_STREAM, Tcp.Port());
  EXPECT_FALSE(Taken.Ok());
  EXPECT_EQ(Taken.Port(), 0);
}

}  // namespace
