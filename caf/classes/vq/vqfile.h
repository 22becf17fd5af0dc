/*
 * vqfile.h - VQ::CFile, the plain file object under the framework's
 * CVQCAFFile: one standard-library stream, owned or borrowed.
 *
 * An owned stream (opened by OpenStream) is closed with fclose. A borrowed
 * stream (AttachStream with fOwned 0, as the process's standard output) is
 * only flushed and forgotten on close, so that the process and any later
 * writer can go on using it.
 *
 * No locking here: CVQCAFFile adds its mutex on top.
 */
#ifndef VQFILE_H
#define VQFILE_H

#include <cstdio>

#include "vqx_types.h"

namespace VQ {

class CFile {
 public:
  CFile() = default;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  /* Closes the stream (see CloseStream). */
  virtual ~CFile();

  /* fopen(pszPath, pszMode); returns 0 or the errno of the failure (EINVAL
   * for a null argument). A stream still attached is closed first. */
  int OpenStream(const char* pszPath, const char* pszMode);
  /* Attaches an existing stream; with fOwned 0 it is never fclosed by us. */
  void AttachStream(FILE* pStream, u32 fOwned);
  /* Owned: fclose. Borrowed: fflush and forget. Returns 0 or an errno;
   * nothing (0) when no stream is attached. */
  int CloseStream();

  /* fwrite of un64Size bytes; returns the count written and, on a short
   * write, the errno in *pnErrno (0 otherwise). The stream's error flag is
   * cleared after a failure so that later writes are tried afresh. */
  u64 WriteBytes(const void* pvData, u64 un64Size, int* pnErrno);
  /* fflush; 0 or an errno; 0 when no stream is attached. */
  int FlushStream();

  bool HasStream() const { return mpStream != nullptr; }
  FILE* GetStream() const { return mpStream; }
  bool IsOwned() const { return mfOwned != 0; }
  /* st_size of the descriptor for a regular file, 0 for anything else
   * (pipe, terminal) and when no stream is attached. */
  u64 GetStreamSize() const;

 private:
  FILE* mpStream = nullptr;
  u32 mfOwned = 0;
};

}  // namespace VQ

#endif
