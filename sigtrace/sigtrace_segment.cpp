/*
 * sigtrace_segment.cpp - buffered, record-aligned writing of one trace
 * segment (see sigtrace_segment.h for the model).
 */
#include "sigtrace_segment.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace VQCAF {

namespace {

std::atomic<PFN_VQ_STDOUT_WAIT> s_pfnStdoutWait{nullptr};
std::atomic<void*> s_pvStdoutWait{nullptr};

/* How standard output is written, by what it is. */
enum class EStdoutWay {
  Own,    /* a pipe or fifo: a descriptor of its own, non-blocking (fd 1's flags are shared with other processes) */
  Socket, /* send without blocking, fd 1's flags untouched */
  Plain,  /* a regular file or block device: no reader to wait for */
  Polled  /* anything else (a terminal, a fifo with no reader): polled before each write of PIPE_BUF at most */
};

/* What the segments on standard output share: the stream they write, the
 * segment whose record was cut at a write boundary (its rest goes first),
 * and the errno the stream was given up with (0: it was not). */
struct SStdoutStream {
  std::mutex Mutex;
  bool fBound = false;
  dev_t Dev = 0;
  ino_t Ino = 0;
  int nFd = STDOUT_FILENO;
  EStdoutWay eWay = EStdoutWay::Polled;
  CVQSigTraceSegment* pCut = nullptr;
  int nGivenUp = 0;
};
SStdoutStream s_Stdout;

/* Under the lock: the stream fd 1 is now; a new one starts whole. */
void BindStdout() {
  struct stat st {};
  const bool fKnown = ::fstat(STDOUT_FILENO, &st) == 0;
  if (fKnown && s_Stdout.fBound && st.st_dev == s_Stdout.Dev && st.st_ino == s_Stdout.Ino) return;
  if (s_Stdout.nFd != STDOUT_FILENO) ::close(s_Stdout.nFd);
  s_Stdout.fBound = fKnown;
  s_Stdout.Dev = st.st_dev;
  s_Stdout.Ino = st.st_ino;
  s_Stdout.nFd = STDOUT_FILENO;
  s_Stdout.eWay = EStdoutWay::Polled;
  s_Stdout.pCut = nullptr;
  s_Stdout.nGivenUp = 0;
  if (!fKnown) return;
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
    s_Stdout.eWay = EStdoutWay::Plain;
  } else if (S_ISSOCK(st.st_mode)) {
    s_Stdout.eWay = EStdoutWay::Socket;
  } else if (S_ISFIFO(st.st_mode)) {
    /* Opened anew, the pipe is a file description of our own. A fifo with no reader refuses the open (ENXIO):
     * polled; a pipe whose reader has gone opens all the same, and its first write fails (EPIPE). */
    const int nFd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat stOwn {};
    if (nFd >= 0 && ::fstat(nFd, &stOwn) == 0 && stOwn.st_dev == st.st_dev && stOwn.st_ino == st.st_ino) {
      s_Stdout.nFd = nFd;
      s_Stdout.eWay = EStdoutWay::Own;
    } else if (nFd >= 0) {
      ::close(nFd);
    }
  }
}

}  // namespace

void CVQSigTraceSegment::SetStdoutWait(PFN_VQ_STDOUT_WAIT pfnWait, void* pvContext) {
  s_pvStdoutWait.store(pvContext);
  s_pfnStdoutWait.store(pfnWait);
}

void* CVQSigTraceSegment::GetStdoutWaitContext() { return s_pvStdoutWait.load(); }

EVQStdoutWait CVQSigTraceSegment::WaitStdout(int nFd) {
  pollfd p{nFd, POLLOUT, 0};
  /* The owner is asked after each slice the reader took nothing in; a signal ends a slice early. */
  for (int n = ::poll(&p, 1, 0);; n = ::poll(&p, 1, static_cast<int>(kun32StdoutWaitSliceMs))) {
    /* Writable (or failed: the write says how): a pipe then takes PIPE_BUF bytes without blocking. */
    if (n > 0 || (n < 0 && errno != EINTR)) return EVQStdoutWait::Wait;
    const PFN_VQ_STDOUT_WAIT pfnWait = s_pfnStdoutWait.load();
    const EVQStdoutWait e = pfnWait != nullptr ? pfnWait(s_pvStdoutWait.load()) : EVQStdoutWait::Wait;
    if (e != EVQStdoutWait::Wait) return e;
  }
}

VQX_RESULT CVQSigTraceSegment::CreateExclusive(const char* pszDirectory, const char* pszName) {
  Close();
  const std::string strFull = std::string(pszDirectory) + pszName;
  const int nFd = ::open(strFull.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); /* as fopen: the umask decides */
  if (nFd < 0) {
    mnLastErrno = errno;
    return errno == EEXIST ? VQX_RESULT_ACCESS_DENIED : VQX_RESULT_FAIL;
  }
  mnFd = nFd;
  mfStdout = false;
  /* A full buffer and its last record without growing. */
  mvBuffer.reserve(kun32FlushThreshold + kun32ReserveSlack);
  mstrPath = pszName;
  mstrFullPath = strFull;
  mfUnlinked = false;
  mun64Durable = 0;
  mun64SegmentRecords = 0;
  mnLastErrno = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQSigTraceSegment::AttachStdout() {
  Close();
  {
    std::lock_guard<std::mutex> Lock(s_Stdout.Mutex);
    BindStdout();
  }
  mnFd = STDOUT_FILENO;
  mfStdout = true;
  mvBuffer.reserve(kun32FlushThreshold + kun32ReserveSlack);
  mstrPath = mstrFullPath = ":STDOUT:";
  mfUnlinked = false;
  mun64Durable = 0;
  mun64SegmentRecords = 0;
  mnLastErrno = 0;
  return VQX_RESULT_OK;
}

void CVQSigTraceSegment::BeginRecord() { mun64RecordStart = mvBuffer.size(); }

void CVQSigTraceSegment::Append(const void* pvData, size_t un64Length) {
  const u8* p = static_cast<const u8*>(pvData);
  mvBuffer.insert(mvBuffer.end(), p, p + un64Length);
}

bool CVQSigTraceSegment::EndRecord(EPiece Kind) {
  EndRecordNoFlush(Kind);
  /* Standard output keeps the stdio-sized buffer of a pipe. */
  if (mvBuffer.size() >= (mfStdout ? kun32StdoutFlushThreshold : kun32FlushThreshold)) return Flush();
  return true;
}

void CVQSigTraceSegment::EndRecordNoFlush(EPiece Kind) {
  if (Kind == EPiece::Continuation && !mvPieces.empty()) {
    mvPieces.back().un64End = mvBuffer.size();
  } else {
    /* A continuation whose record is already written stands alone. */
    mvPieces.push_back({mvBuffer.size(), Kind == EPiece::Record});
  }
  mun64RecordStart = mvBuffer.size();
}

size_t CVQSigTraceSegment::WholePieces(size_t un64Upto, u64& un64Records) const {
  size_t un64Whole = 0;
  for (const SPiece& piece : mvPieces) {
    if (piece.un64End > un64Upto) break;
    un64Whole = piece.un64End;
    un64Records += piece.fRecord;
  }
  return un64Whole;
}

void CVQSigTraceSegment::Consume(size_t un64Bytes) {
  size_t i = 0;
  while (i < mvPieces.size() && mvPieces[i].un64End <= un64Bytes) ++i;
  mvPieces.erase(mvPieces.begin(), mvPieces.begin() + static_cast<std::ptrdiff_t>(i));
  for (SPiece& piece : mvPieces) piece.un64End -= un64Bytes;
  mvBuffer.erase(mvBuffer.begin(), mvBuffer.begin() + static_cast<std::ptrdiff_t>(un64Bytes));
  mun64RecordStart -= un64Bytes;
}

bool CVQSigTraceSegment::Flush() {
  /* Only complete pieces are written; a piece being built stays. */
  const size_t un64Complete = mvPieces.empty() ? 0 : mvPieces.back().un64End;
  if (mnFd < 0) return mvPieces.empty();
  if (mfStdout) return un64Complete == 0 || FlushStdout(un64Complete);
  size_t un64Done = 0;
  bool fOk = true;
  /* Once per write-out, not per record: the folder may have been removed. */
  struct stat st {};
  if (un64Complete != 0 && ::fstat(mnFd, &st) == 0 && st.st_nlink == 0) {
    mfUnlinked = true;
    mnLastErrno = ENOENT;
    fOk = false;
  }
  while (fOk && un64Done < un64Complete) {
    const ssize_t n = ::write(mnFd, mvBuffer.data() + un64Done, un64Complete - un64Done);
    if (n > 0) {
      un64Done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    mnLastErrno = n < 0 ? errno : ENOSPC;
    fOk = false;
    break;
  }
  /* The whole pieces that reached the file. */
  u64 un64Records = 0;
  const size_t un64Whole = WholePieces(un64Done, un64Records);
  mun64SegmentRecords += un64Records;
  if (!fOk && un64Whole < un64Done && ::ftruncate(mnFd, static_cast<off_t>(mun64Durable + un64Whole)) == 0) {
    /* Cut the part of a piece that reached the file. */
    (void)::lseek(mnFd, static_cast<off_t>(mun64Durable + un64Whole), SEEK_SET);
  }
  mun64Durable += un64Whole;
  Consume(un64Whole);
  return fOk;
}

bool CVQSigTraceSegment::FlushStdout(size_t un64Complete) {
  std::lock_guard<std::mutex> Lock(s_Stdout.Mutex);
  CVQSigTraceSegment* const pCut = s_Stdout.pCut;
  if (pCut != nullptr && pCut != this && s_Stdout.nGivenUp == 0) {
    /* Another segment's record was cut at a write boundary: its rest goes first, and while it waits so does this. */
    pCut->PutStdout(pCut->mvPieces.front().un64End);
    if (s_Stdout.pCut == pCut) return true;
  }
  if (s_Stdout.nGivenUp != 0) {
    /* The stream ends inside a record given up: nothing more is written to it. */
    mnLastErrno = s_Stdout.nGivenUp;
    DropAsLost(un64Complete);
    return false;
  }
  return PutStdout(un64Complete);
}

bool CVQSigTraceSegment::PutStdout(size_t un64Upto) {
  const int nFd = s_Stdout.nFd;
  const EStdoutWay eWay = s_Stdout.eWay;
  size_t un64Done = 0;
  EVQStdoutWait e = EVQStdoutWait::Wait;
  bool fFailed = false;
  /* Written first, waited for only when the reader takes nothing. */
  while (un64Done < un64Upto) {
    size_t un64Chunk = un64Upto - un64Done;
    if (eWay == EStdoutWay::Polled) {
      if ((e = WaitStdout(nFd)) != EVQStdoutWait::Wait) break;
      un64Chunk = std::min<size_t>(un64Chunk, PIPE_BUF);
    }
    const u8* p = mvBuffer.data() + un64Done;
    const ssize_t n = eWay == EStdoutWay::Socket ? ::send(nFd, p, un64Chunk, MSG_DONTWAIT) : ::write(nFd, p, un64Chunk);
    if (n > 0) {
      un64Done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (eWay != EStdoutWay::Polled && (e = WaitStdout(nFd)) != EVQStdoutWait::Wait) break;
      continue;
    }
    mnLastErrno = n < 0 ? errno : ENOSPC;
    fFailed = true;
    break;
  }
  if (e == EVQStdoutWait::Interrupted || e == EVQStdoutWait::TimedOut) mnLastErrno = e == EVQStdoutWait::Interrupted ? EINTR : ETIME;
  u64 un64Records = 0;
  const size_t un64Whole = WholePieces(un64Done, un64Records);
  mun64SegmentRecords += un64Records;
  /* The stream now ends inside one of this segment's records: its rest is owed before anything else. */
  const bool fCut = un64Done == 0 ? s_Stdout.pCut == this : un64Done != un64Whole;
  mun64Durable += un64Done;
  Consume(un64Done);
  if (fCut) s_Stdout.pCut = this;
  else if (s_Stdout.pCut == this) s_Stdout.pCut = nullptr;
  if (!fFailed && (e == EVQStdoutWait::Wait || e == EVQStdoutWait::Leave)) return true;
  if (fCut) {
    /* Its rest can no longer be written: the stream is given up. */
    s_Stdout.pCut = nullptr;
    s_Stdout.nGivenUp = mnLastErrno;
  }
  /* A pipe cannot be cut back: what is not written is lost. */
  DropAsLost(un64Upto - un64Done);
  return false;
}

void CVQSigTraceSegment::DropAsLost(size_t un64Upto) {
  u64 un64Records = 0;
  WholePieces(un64Upto, un64Records);
  mun64RecordsLost += un64Records;
  Consume(un64Upto);
}

CVQSigTraceSegment::SUnwritten CVQSigTraceSegment::TakeUnwritten() {
  SUnwritten out;
  size_t un64Start = 0;
  for (const SPiece& piece : mvPieces) {
    if (piece.fRecord) {
      out.vBytes.insert(out.vBytes.end(), mvBuffer.begin() + static_cast<std::ptrdiff_t>(un64Start),
                        mvBuffer.begin() + static_cast<std::ptrdiff_t>(piece.un64End));
      out.vEnds.push_back(out.vBytes.size());
    }
    un64Start = piece.un64End;
  }
  Consume(un64Start);
  return out;
}

void CVQSigTraceSegment::AppendRecords(const SUnwritten& Records) {
  size_t un64Start = 0;
  for (const size_t un64End : Records.vEnds) {
    BeginRecord();
    Append(Records.vBytes.data() + un64Start, un64End - un64Start);
    EndRecordNoFlush(EPiece::Record);
    un64Start = un64End;
  }
}

bool CVQSigTraceSegment::Close() {
  bool fOk = true;
  if (mnFd >= 0) {
    /* A piece left unfinished is written as it stands. */
    if (mun64RecordStart < mvBuffer.size()) EndRecordNoFlush(EPiece::Frame);
    fOk = Flush();
    if (fOk && HasBuffered()) {
      /* Standard output left waiting: what it did not take is lost with the segment. */
      mnLastErrno = EAGAIN;
      fOk = false;
    }
    if (mfStdout) {
      /* A record another segment's flush gave up for this one (FlushStdout) is said by this failure. */
      fOk = fOk && mun64RecordsLost == 0;
      std::lock_guard<std::mutex> Lock(s_Stdout.Mutex);
      /* A record of it cut short there: the stream ends inside it. */
      if (s_Stdout.pCut == this) {
        s_Stdout.pCut = nullptr;
        s_Stdout.nGivenUp = EAGAIN;
      }
    } else {
      ::close(mnFd);
    }
  }
  for (const SPiece& piece : mvPieces) mun64RecordsLost += piece.fRecord;
  mnFd = -1;
  mfStdout = false;
  mvBuffer.clear();
  mvPieces.clear();
  mun64RecordStart = 0;
  return fOk;
}

}  // namespace VQCAF
