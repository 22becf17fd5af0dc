/*
 * hostile_paths.h - configuration paths that are no readable file, for the
 * readers' tests: a fifo, on which a reader opening it as a file would wait
 * for ever (a watcher frees it after a bound and says so), and a thread's
 * file access as an unprivileged user's (root's rights set aside), so that a
 * file without read permission is refused as for an operator. Header only.
 */
#ifndef TESTING_PEERS_HOSTILE_PATHS_H
#define TESTING_PEERS_HOSTILE_PATHS_H

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <string>

namespace peerpaths {

/* The fifo strPath. A reader still blocked in its open when Blocked() is
 * asked, or after un32BoundMs, is freed (the write end opened and closed);
 * Blocked() tells whether one was. */
class CFifo {
 public:
  explicit CFifo(const std::string& strPath, unsigned un32BoundMs = 5000)
      : mstrPath(strPath), mfMade(mkfifo(strPath.c_str(), 0600) == 0),
        mWatcher(std::async(std::launch::async, [this, un32BoundMs] {
          mDone.get_future().wait_for(std::chrono::milliseconds(un32BoundMs));
          /* Without a reader in its open this fails (ENXIO): nothing was blocked. */
          const int fd = open(mstrPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
          return fd >= 0 && close(fd) == 0;
        })) {}
  ~CFifo() { Blocked(); }
  bool Made() const { return mfMade; }
  bool Blocked() {
    if (!mfAsked) mDone.set_value(), mfAsked = true;
    return mfBlocked = mfBlocked || (mWatcher.valid() && mWatcher.get());
  }

 private:
  std::string mstrPath;
  bool mfMade, mfAsked = false, mfBlocked = false;
  std::promise<void> mDone;
  std::future<bool> mWatcher;
};

/* While it lives, the calling thread opens files as the user "nobody" would
 * (root's setfsuid, for this thread only); without root nothing changes. */
struct CUnprivileged {
  const bool mfRoot = geteuid() == 0;
  CUnprivileged() {
    if (mfRoot) setfsuid(65534);
  }
  ~CUnprivileged() {
    if (mfRoot) setfsuid(0);
  }
};

}  // namespace peerpaths

#endif
