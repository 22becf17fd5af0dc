/*
 * sigtrace_segment.cpp - buffered, record-aligned writing of one trace
 * segment (see sigtrace_segment.h for the model).
 */
#include "sigtrace_segment.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace VQCAF {

VQX_RESULT CVQSigTraceSegment::CreateExclusive(const char* pszPath) {
  Close();
  const int nFd = ::open(pszPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); /* as fopen: the umask decides */
  if (nFd < 0) {
    mnLastErrno = errno;
    return errno == EEXIST ? VQX_RESULT_ACCESS_DENIED : VQX_RESULT_FAIL;
  }
  mnFd = nFd;
  mfStdout = false;
  mstrPath = pszPath;
  mun64Durable = 0;
  mnLastErrno = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQSigTraceSegment::AttachStdout() {
  Close();
  mnFd = STDOUT_FILENO;
  mfStdout = true;
  mstrPath = ":STDOUT:";
  mun64Durable = 0;
  mnLastErrno = 0;
  return VQX_RESULT_OK;
}

void CVQSigTraceSegment::BeginRecord() { mun64RecordStart = mvBuffer.size(); }

void CVQSigTraceSegment::Append(const void* pvData, size_t un64Length) {
  const u8* p = static_cast<const u8*>(pvData);
  mvBuffer.insert(mvBuffer.end(), p, p + un64Length);
}

bool CVQSigTraceSegment::EndRecord(bool fCountAsRecord) {
  if (fCountAsRecord) ++mun32BufferedRecords;
  mun64RecordStart = mvBuffer.size();
  /* Standard output keeps the stdio-sized buffer of a pipe. */
  if (mvBuffer.size() >= (mfStdout ? kun32StdoutFlushThreshold : kun32FlushThreshold)) return Flush();
  return true;
}

bool CVQSigTraceSegment::Flush() {
  /* Only complete records are written; a record being built stays. */
  const size_t un64Complete = mun64RecordStart;
  if (mnFd < 0 || un64Complete == 0) return mnFd >= 0 || mvBuffer.empty();
  size_t un64Done = 0;
  bool fOk = true;
  while (un64Done < un64Complete) {
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
  if (fOk) {
    mun64Durable += un64Complete;
    mun64RecordsWritten += mun32BufferedRecords;
  } else {
    /* Cut the file back to its last complete record; what was buffered is lost. */
    if (!mfStdout && ::ftruncate(mnFd, static_cast<off_t>(mun64Durable)) == 0) {
      (void)::lseek(mnFd, static_cast<off_t>(mun64Durable), SEEK_SET);
    } else if (mfStdout) {
      mun64Durable += un64Done;
    }
    mun64RecordsLost += mun32BufferedRecords;
  }
  mvBuffer.erase(mvBuffer.begin(), mvBuffer.begin() + static_cast<std::ptrdiff_t>(un64Complete));
  mun64RecordStart = 0;
  mun32BufferedRecords = 0;
  return fOk;
}

bool CVQSigTraceSegment::Close() {
  if (mnFd < 0) {
    mvBuffer.clear();
    mun64RecordStart = 0;
    mun32BufferedRecords = 0;
    return true;
  }
  mun64RecordStart = mvBuffer.size();
  const bool fOk = Flush();
  if (!mfStdout) ::close(mnFd);
  mnFd = -1;
  mfStdout = false;
  mvBuffer.clear();
  mun64RecordStart = 0;
  return fOk;
}

}  // namespace VQCAF
