/*
 * sigtrace_segment.cpp - buffered, record-aligned writing of one trace
 * segment (see sigtrace_segment.h for the model).
 */
#include "sigtrace_segment.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace VQCAF {

namespace {

std::atomic<PFN_VQ_STDOUT_WAIT> s_pfnStdoutWait{nullptr};
std::atomic<void*> s_pvStdoutWait{nullptr};

}  // namespace

void CVQSigTraceSegment::SetStdoutWait(PFN_VQ_STDOUT_WAIT pfnWait, void* pvContext) {
  s_pvStdoutWait.store(pvContext);
  s_pfnStdoutWait.store(pfnWait);
}

void* CVQSigTraceSegment::GetStdoutWaitContext() { return s_pvStdoutWait.load(); }

EVQStdoutWait CVQSigTraceSegment::WaitStdout() const {
  pollfd p{mnFd, POLLOUT, 0};
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
  size_t un64Done = 0;
  bool fOk = true;
  /* Once per write-out, not per record: the folder may have been removed. */
  struct stat st {};
  if (un64Complete != 0 && !mfStdout && ::fstat(mnFd, &st) == 0 && st.st_nlink == 0) {
    mfUnlinked = true;
    mnLastErrno = ENOENT;
    fOk = false;
  }
  EVQStdoutWait eStdout = EVQStdoutWait::Wait;
  while (fOk && un64Done < un64Complete) {
    size_t un64Chunk = un64Complete - un64Done;
    if (mfStdout) {
      eStdout = WaitStdout();
      if (eStdout == EVQStdoutWait::Leave) break;
      if (eStdout != EVQStdoutWait::Wait) {
        mnLastErrno = eStdout == EVQStdoutWait::Interrupted ? EINTR : ETIME;
        fOk = false;
        break;
      }
      un64Chunk = std::min<size_t>(un64Chunk, PIPE_BUF);
    }
    const ssize_t n = ::write(mnFd, mvBuffer.data() + un64Done, un64Chunk);
    if (n > 0) {
      un64Done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    mnLastErrno = n < 0 ? errno : ENOSPC;
    fOk = false;
    break;
  }
  /* The whole pieces that reached the descriptor. */
  size_t un64Whole = 0;
  u64 un64Records = 0;
  for (const SPiece& piece : mvPieces) {
    if (piece.un64End > un64Done) break;
    un64Whole = piece.un64End;
    un64Records += piece.fRecord;
  }
  mun64SegmentRecords += un64Records;
  if (eStdout == EVQStdoutWait::Leave) {
    /* What reached the reader leaves the buffer, a piece cut in two included: its tail goes first next time. */
    mun64Durable += un64Done;
    Consume(un64Done);
    return true;
  }
  if (!fOk && mfStdout) {
    /* A pipe cannot be cut back: what is not written is lost. */
    for (const SPiece& piece : mvPieces) mun64RecordsLost += piece.fRecord;
    mun64RecordsLost -= un64Records;
    mun64Durable += un64Done;
    Consume(un64Complete);
    return false;
  }
  if (!fOk && un64Whole < un64Done && ::ftruncate(mnFd, static_cast<off_t>(mun64Durable + un64Whole)) == 0) {
    /* Cut the part of a piece that reached the file. */
    (void)::lseek(mnFd, static_cast<off_t>(mun64Durable + un64Whole), SEEK_SET);
  }
  mun64Durable += un64Whole;
  Consume(un64Whole);
  return fOk;
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
    if (!mfStdout) ::close(mnFd);
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
