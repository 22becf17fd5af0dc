/*
 * hostile_paths.h - configuration paths that are no readable file, for the
 * tests of the readers: a fifo, which a reader that opens it as a file waits
 * on for ever (a watcher here frees it after a bound, and says it had to),
 * and the calling thread's file access as an unprivileged user's while a
 * guard lives (root's rights set aside), so that a file without read
 * permission is refused as it is for an operator. Header only.
 */
#ifndef TESTING_PEERS_HOSTILE_PATHS_H
#define TESTING_PEERS_HOSTILE_PATHS_H

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace peerpaths {

/* The fifo strPath, made here. A reader still blocked in its open when Done()
 * or the bound comes is freed (the write end opened and closed: it reads an
 * empty file); Blocked() tells whether one was. */
class CFifo {
 public:
  explicit CFifo(const std::string& strPath, unsigned un32BoundMs = 5000)
      : mstrPath(strPath), mfMade(mkfifo(strPath.c_str(), 0600) == 0), mWatcher([this, un32BoundMs] { Watch(un32BoundMs); }) {}
  ~CFifo() {
    Done();
    mWatcher.join();
  }
  bool Made() const { return mfMade; }
  /* The reads are over: a reader blocked now is freed at once. */
  void Done() {
    std::lock_guard<std::mutex> L(mMutex);
    mfDone = true;
    mCv.notify_all();
  }
  bool Blocked() {
    std::lock_guard<std::mutex> L(mMutex);
    return mfBlocked;
  }

 private:
  void Watch(unsigned un32BoundMs) {
    {
      std::unique_lock<std::mutex> L(mMutex);
      mCv.wait_for(L, std::chrono::milliseconds(un32BoundMs), [this] { return mfDone; });
    }
    /* Without a reader in its open this fails (ENXIO): nothing was blocked. */
    const int fd = open(mstrPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
    std::lock_guard<std::mutex> L(mMutex);
    mfBlocked = fd >= 0;
  }
  std::string mstrPath;
  bool mfMade;
  std::mutex mMutex;
  std::condition_variable mCv;
  bool mfDone = false, mfBlocked = false;
  std::thread mWatcher;
};

/* While it lives, the calling thread's file access is the user "nobody"'s
 * (65534): root's setfsuid drops its rights over files for this thread only.
 * Without root nothing changes (the test's own files then need no more). */
class CUnprivileged {
 public:
  CUnprivileged() : mfRoot(geteuid() == 0) {
    if (mfRoot) setfsuid(65534);
  }
  ~CUnprivileged() {
    if (mfRoot) setfsuid(0);
  }
  CUnprivileged(const CUnprivileged&) = delete;
  CUnprivileged& operator=(const CUnprivileged&) = delete;

 private:
  bool mfRoot;
};

}  // namespace peerpaths

#endif
