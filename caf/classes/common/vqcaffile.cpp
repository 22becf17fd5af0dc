/*
 * vqcaffile.cpp - CVQCAFFile: a file or standard output under its own mutex,
 * with the write failures mapped from errno to result codes.
 */
#include "vqcaffile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vqcafexception.h"

namespace VQCAF {

namespace {

struct ErrnoResult {
  int nErrno;
  VQX_RESULT un32Result;
};

/* errno of a failed write -> result code; anything else is 0x82000001. */
constexpr ErrnoResult s_aWriteErrors[] = {
    {EACCES, VQX_RESULT_ACCESS_DENIED}, {EPERM, VQX_RESULT_ACCESS_DENIED}, {EROFS, VQX_RESULT_ACCESS_DENIED},
    {EFBIG, VQX_RESULT_OUT_OF_RANGE},   {ENOMEM, VQX_RESULT_OUT_OF_MEMORY}, {ENOSPC, VQX_RESULT_OUT_OF_RESOURCE},
    {EDQUOT, VQX_RESULT_OUT_OF_RESOURCE},
};

VQX_RESULT WriteErrorResult(int nErrno) {
  for (const ErrnoResult& Row : s_aWriteErrors) {
    if (Row.nErrno == nErrno) return Row.un32Result;
  }
  return VQX_RESULT_FAIL;
}

bool ModeAllowsWriting(const char* pszMode) {
  return strchr(pszMode, 'w') != nullptr || strchr(pszMode, 'a') != nullptr || strchr(pszMode, '+') != nullptr;
}

}  // namespace

CVQCAFFile::CVQCAFFile() : mfWritable(0) {}

CVQCAFFile::~CVQCAFFile() { Close(); }

VQX_RESULT CVQCAFFile::Open(const char* pszPath, const char* pszMode) {
  try {
    if (pszPath == nullptr || pszMode == nullptr) return VQX_RESULT_NULL_PARAM;
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    CloseStream();
    mfWritable = 0;
    mstrPath = pszPath;
    if (strncmp(pszPath, VQCAF_FILE_STDOUT_PATH, VQCAF_FILE_STDOUT_PATH_LENGTH) == 0) {
      /* Borrowed: closing only flushes and detaches it. */
      AttachStream(stdout, 0);
    } else if (OpenStream(pszPath, pszMode) != 0) {
      return VQX_RESULT_FAIL;
    }
    mfWritable = ModeAllowsWriting(pszMode) ? 1u : 0u;
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("CVQCAFFile::Open")
}

VQX_RESULT CVQCAFFile::Write(CVQCAFString& strText) {
  u32 un32Length = strText.GetLength();
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return WriteLocked(reinterpret_cast<const u8*>(strText.c_str()), &un32Length);
}

VQX_RESULT CVQCAFFile::Write(u8* pbyData, u32* pun32Length) {
  if (pbyData == nullptr || pun32Length == nullptr) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return WriteLocked(pbyData, pun32Length);
}

VQX_RESULT CVQCAFFile::WriteLocked(const u8* pbyData, u32* pun32Length) {
  if (*pun32Length == 0) return VQX_RESULT_INVALID_PARAM;
  if (!HasStream() || mfWritable == 0) return VQX_RESULT_INVALID_STATE;
  int nErrno = 0;
  u64 un64Written = WriteBytes(pbyData, *pun32Length, &nErrno);
  *pun32Length = static_cast<u32>(un64Written);
  if (nErrno != 0) return WriteErrorResult(nErrno);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFFile::Close() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  CloseStream();
  mfWritable = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFFile::Flush() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (!HasStream()) return VQX_RESULT_OK;
  int nErrno = FlushStream();
  return nErrno == 0 ? VQX_RESULT_OK : WriteErrorResult(nErrno);
}

u32 CVQCAFFile::IsOpened() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return HasStream() ? 1u : 0u;
}

CVQCAFString CVQCAFFile::GetCurrentPath() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return mstrPath;
}

u64 CVQCAFFile::GetSize() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return GetStreamSize();
}

}  // namespace VQCAF
