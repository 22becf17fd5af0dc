/*
 * vqfile.cpp - VQ::CFile: one owned or borrowed standard-library stream.
 */
#include "vqfile.h"

#include <cerrno>
#include <sys/stat.h>

namespace VQ {

CFile::~CFile() { CloseStream(); }

int CFile::OpenStream(const char* pszPath, const char* pszMode) {
  if (pszPath == nullptr || pszMode == nullptr) return EINVAL;
  CloseStream();
  errno = 0;
  FILE* p = fopen(pszPath, pszMode);
  if (p == nullptr) return errno != 0 ? errno : EIO;
  mpStream = p;
  mfOwned = 1;
  return 0;
}

void CFile::AttachStream(FILE* pStream, u32 fOwned) {
  CloseStream();
  mpStream = pStream;
  mfOwned = (pStream != nullptr && fOwned != 0) ? 1u : 0u;
}

int CFile::CloseStream() {
  if (mpStream == nullptr) return 0;
  FILE* p = mpStream;
  u32 fOwned = mfOwned;
  mpStream = nullptr;
  mfOwned = 0;
  errno = 0;
  int n = fOwned != 0 ? fclose(p) : fflush(p);
  if (fOwned == 0) clearerr(p);
  return n == 0 ? 0 : (errno != 0 ? errno : EIO);
}

u64 CFile::WriteBytes(const void* pvData, u64 un64Size, int* pnErrno) {
  if (pnErrno != nullptr) *pnErrno = 0;
  if (mpStream == nullptr || pvData == nullptr) {
    if (pnErrno != nullptr) *pnErrno = EBADF;
    return 0;
  }
  errno = 0;
  size_t nWritten = fwrite(pvData, 1, static_cast<size_t>(un64Size), mpStream);
  if (nWritten != un64Size) {
    if (pnErrno != nullptr) *pnErrno = errno != 0 ? errno : EIO;
    clearerr(mpStream);
  }
  return nWritten;
}

int CFile::FlushStream() {
  if (mpStream == nullptr) return 0;
  errno = 0;
  if (fflush(mpStream) == 0) return 0;
  int nErr = errno != 0 ? errno : EIO;
  clearerr(mpStream);
  return nErr;
}

u64 CFile::GetStreamSize() const {
  if (mpStream == nullptr) return 0;
  int fd = fileno(mpStream);
  if (fd < 0) return 0;
  struct stat St;
  if (fstat(fd, &St) != 0 || !S_ISREG(St.st_mode)) return 0;
  return static_cast<u64>(St.st_size);
}

}  // namespace VQ
