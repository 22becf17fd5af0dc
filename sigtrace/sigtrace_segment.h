/*
 * sigtrace_segment.h - the file a trace group writes: one segment file or
 * the process's standard output, written record by record.
 *
 * A record (a pcap record header with its packet, a text prefix line with
 * its body, a CAS R2 line, a file header) is handed over whole between
 * BeginRecord and EndRecord and kept in a memory buffer that is written to
 * the descriptor only at record boundaries. So:
 *   - GetSize() is the exact size the segment has once flushed, whatever is
 *     still buffered: rotation never depends on stdio buffering;
 *   - when a write fails or comes short (full file system, size limit), the
 *     file is cut back to the end of its last complete record, the records
 *     still buffered are counted as lost, and the caller closes the segment:
 *     a pcap segment is never left misaligned.
 * Standard output is flushed when the caller asks (after each packet
 * record); it cannot be cut back, so a failed write there only counts.
 *
 * Not thread-safe: the owning group's caller serialises all calls.
 */
#ifndef SIGTRACE_SEGMENT_H
#define SIGTRACE_SEGMENT_H

#include <string>
#include <vector>

#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQSigTraceSegment {
 public:
  /* Buffered bytes that make the next record boundary flush. */
  static constexpr u32 kun32FlushThreshold = 64u * 1024u;
  static constexpr u32 kun32StdoutFlushThreshold = 4096u;

  CVQSigTraceSegment() = default;
  CVQSigTraceSegment(const CVQSigTraceSegment&) = delete;
  CVQSigTraceSegment& operator=(const CVQSigTraceSegment&) = delete;
  ~CVQSigTraceSegment() { Close(); }

  /* Creates pszPath, refusing an existing file (errno EEXIST gives
   * VQX_RESULT_ACCESS_DENIED so that the caller can take the next name);
   * 0x82000001 for any other failure. */
  VQX_RESULT CreateExclusive(const char* pszPath);
  /* Attaches the standard output (not closed by Close). */
  VQX_RESULT AttachStdout();
  bool IsOpened() const { return mnFd >= 0; }
  bool IsStdout() const { return mfStdout; }
  const std::string& GetCurrentPath() const { return mstrPath; }

  /* Size of the segment once everything accepted is written. */
  u64 GetSize() const { return mun64Durable + mvBuffer.size(); }
  /* Bytes known to be in the file. */
  u64 GetDurableSize() const { return mun64Durable; }

  /* A record is appended in pieces between these two calls. EndRecord
   * returns false when a flush it caused failed (see above). A piece that
   * is not a trace record of its own (file header, trailer, the body of a
   * record whose header went before) is not counted in the records written
   * or lost. */
  void BeginRecord();
  void Append(const void* pvData, size_t un64Length);
  void Append(const std::string& str) { Append(str.data(), str.size()); }
  bool EndRecord(bool fCountAsRecord = true);

  /* Writes the complete records buffered; false on a failed write. */
  bool Flush();
  /* Flushes and closes; the result of the last flush. */
  bool Close();

  /* Records written to the descriptor, and records lost by failed writes. */
  u64 GetRecordsWritten() const { return mun64RecordsWritten; }
  u64 TakeLostRecords() {
    const u64 n = mun64RecordsLost;
    mun64RecordsLost = 0;
    return n;
  }
  /* errno of the last failed write (0 when none). */
  int GetLastError() const { return mnLastErrno; }

 private:
  int mnFd = -1;
  bool mfStdout = false;
  std::string mstrPath;
  std::vector<u8> mvBuffer;
  size_t mun64RecordStart = 0;  /* start of the record being built in the buffer */
  u32 mun32BufferedRecords = 0; /* complete records in the buffer */
  u64 mun64Durable = 0;
  u64 mun64RecordsWritten = 0;
  u64 mun64RecordsLost = 0;
  int mnLastErrno = 0;
};

}  // namespace VQCAF

#endif
