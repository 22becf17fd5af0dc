/*
 * vqcaffile.h - a file, or the process's standard output, written by the
 * trace groups and the log writer.
 *
 * Every operation holds the object's own mutex for its duration, so one file
 * may be written from several threads. The path ":STDOUT:..." (the first
 * eight characters) attaches the process's standard output instead of a
 * file; closing it flushes and detaches it but leaves it open for the rest of
 * the process (a later Open(":STDOUT:") or printf keeps working).
 *
 * Result codes: 0x02000000 success; Open 0x82000001 when the file cannot be
 * opened, 0x82000009 for a null argument; Write 0x82000009 null argument,
 * 0x8200000A zero length, 0x8200000F no stream or not opened for writing,
 * then from errno: 0x82000005 access denied (EACCES, EPERM, EROFS),
 * 0x82000006 file too big (EFBIG), 0x82000007 out of memory (ENOMEM),
 * 0x82000008 no space left (ENOSPC, EDQUOT), 0x82000001 any other error.
 * Allocation, length and range failures come back as 0x82000012, 0x8200000A
 * and 0x82000006.
 */
#ifndef VQCAFFILE_H
#define VQCAFFILE_H

#include "vqcafmutex.h"
#include "vqcafstring.h"
#include "vqfile.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* Path prefix that selects the process's standard output. */
constexpr const char* VQCAF_FILE_STDOUT_PATH = ":STDOUT:";
constexpr u32 VQCAF_FILE_STDOUT_PATH_LENGTH = 8u;

class CVQCAFFile : public VQ::CFile {
 public:
  CVQCAFFile();
  /* Closes the stream. */
  ~CVQCAFFile() override;

  /* Closes a stream still attached, then opens pszPath in pszMode ("wb",
   * "w", "a" ...) or attaches standard output; remembers the path. A mode
   * holding 'w', 'a' or '+' allows writing. */
  VQX_RESULT Open(const char* pszPath, const char* pszMode);
  /* Writes the string's bytes, terminator excluded. */
  VQX_RESULT Write(CVQCAFString& strText);
  /* Writes *pun32Length bytes and stores the count written into *pun32Length. */
  VQX_RESULT Write(u8* pbyData, u32* pun32Length);
  /* Detaches the stream (closing a file; standard output stays open).
   * Closing a closed file does nothing. Always 0x02000000. */
  VQX_RESULT Close();
  /* Flushes the stream; nothing when closed. */
  VQX_RESULT Flush();
  /* Non-zero while a stream is attached. */
  u32 IsOpened();
  /* The path given to the last Open. */
  CVQCAFString GetCurrentPath();
  /* Bytes in the attached regular file (what the system reports for the
   * descriptor: data still in the stream's buffer is not counted); 0 for a
   * pipe or terminal and when closed. */
  u64 GetSize();

 private:
  VQX_RESULT WriteLocked(const u8* pbyData, u32* pun32Length);

  CVQCAFMutex mMutex;
  CVQCAFString mstrPath;
  u32 mfWritable;
};

}  // namespace VQCAF

#endif
