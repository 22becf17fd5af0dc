/*
 * sigtrace_segment.h - the file a trace group writes: one segment file or
 * the process's standard output, written record by record.
 *
 * A record (a pcap record header with its packet, a text prefix line with
 * its body, a CAS R2 line) or a frame piece (file header, trailer) is handed
 * over whole between BeginRecord and EndRecord and kept in a memory buffer
 * that is written to the descriptor only at piece boundaries. So:
 *   - GetSize() is the exact size the segment has once flushed, whatever is
 *     still buffered: rotation never depends on stdio buffering;
 *   - when a write fails or comes short (full file system, size limit), the
 *     file is cut back to the end of the last whole piece that reached it,
 *     and the records not written stay buffered: the caller takes them with
 *     TakeUnwritten, closes the segment and hands them to the next one, so
 *     that a pcap segment is never left misaligned and no record is dropped
 *     while a segment can still take it.
 * Standard output is flushed when the caller asks (after each packet
 * record); it cannot be cut back, so on a failed write there the records
 * not written are counted as lost. A write there never blocks for long: it
 * is written without blocking (a pipe through a descriptor of the process's
 * own, whose flags no other process shares) and only when the reader takes
 * nothing waits for it in slices of kun32StdoutWaitSliceMs, asking the
 * owner's SetStdoutWait answer after each, so that the owner can end the
 * wait (the records kept, or counted as lost).
 * Several segments may share standard output: a record cut at a write
 * boundary and left has its rest written before any other byte goes there,
 * and once such a rest is given up the stream ends there: nothing more is
 * written to it (what is flushed then is counted as lost).
 *
 * Not thread-safe: the owning group's caller serialises all calls (the
 * state the standard output's segments share has its own lock).
 */
#ifndef SIGTRACE_SEGMENT_H
#define SIGTRACE_SEGMENT_H

#include <string>
#include <vector>

#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* What a write to standard output that finds its reader taking nothing does. */
enum class EVQStdoutWait {
  Wait,        /* waits on: nothing is lost */
  Leave,       /* stops for now, what is not written stays buffered for a later flush */
  Interrupted, /* gives up, what is not written is lost (errno EINTR) */
  TimedOut     /* gives up, what is not written is lost (errno ETIME) */
};
/* The owner's answer; called on the writing thread. */
typedef EVQStdoutWait (*PFN_VQ_STDOUT_WAIT)(void* pvContext);

class CVQSigTraceSegment {
 public:
  /* The process's answer for every segment on standard output (null: wait
   * for the reader as long as it takes). */
  static void SetStdoutWait(PFN_VQ_STDOUT_WAIT pfnWait, void* pvContext);
  /* The context last set, to clear only one's own. */
  static void* GetStdoutWaitContext();
  /* Longest wait for standard output's reader between two answers. */
  static constexpr u32 kun32StdoutWaitSliceMs = 100u;
  /* Buffered bytes that make the next record boundary flush. */
  static constexpr u32 kun32FlushThreshold = 64u * 1024u;
  static constexpr u32 kun32StdoutFlushThreshold = 4096u;
  /* Room reserved past the flush threshold for the record that crosses it. */
  static constexpr u32 kun32ReserveSlack = 16u * 1024u;

  CVQSigTraceSegment() = default;
  CVQSigTraceSegment(const CVQSigTraceSegment&) = delete;
  CVQSigTraceSegment& operator=(const CVQSigTraceSegment&) = delete;
  ~CVQSigTraceSegment() { Close(); }

  /* Creates pszDirectory followed by pszName (the directory "" or ending
   * in "/"), refusing an existing file (errno EEXIST gives
   * VQX_RESULT_ACCESS_DENIED so that the caller can take the next name);
   * 0x82000001 for any other failure. GetCurrentPath is then pszName,
   * GetFullPath the whole path. */
  VQX_RESULT CreateExclusive(const char* pszDirectory, const char* pszName);
  /* Attaches the standard output (not closed by Close). */
  VQX_RESULT AttachStdout();
  bool IsOpened() const { return mnFd >= 0; }
  bool IsStdout() const { return mfStdout; }
  const std::string& GetCurrentPath() const { return mstrPath; }
  const std::string& GetFullPath() const { return mstrFullPath; }
  /* The last failed write found the segment removed from its directory
   * (no link left): nothing was written to it. */
  bool IsUnlinked() const { return mfUnlinked; }

  /* Whole pieces are waiting in the buffer. */
  bool HasBuffered() const { return !mvPieces.empty(); }
  /* Size of the segment once everything accepted is written. */
  u64 GetSize() const { return mun64Durable + mvBuffer.size(); }

  /* What a piece is: a trace record; the rest of the record before it (a
   * text body after its prefix line: never separated from it); a frame
   * piece of the segment itself (file header, trailer), never carried. */
  enum class EPiece { Record, Continuation, Frame };

  /* A piece is appended in parts between these two calls. EndRecord
   * returns false when a flush it caused failed (see above). */
  void BeginRecord();
  void Append(const void* pvData, size_t un64Length);
  void Append(const std::string& str) { Append(str.data(), str.size()); }
  /* The buffer itself, for a piece built in place after BeginRecord: the
   * caller only appends to it (or cuts back to where its piece began). */
  std::vector<u8>& PieceBuffer() { return mvBuffer; }
  bool EndRecord(EPiece Kind = EPiece::Record);

  /* Writes the complete pieces buffered; false on a failed write. A
   * segment removed from its directory takes nothing more (ENOENT): what
   * it would take could not be read back by anyone. On standard output a
   * wait the owner leaves returns true with the rest still buffered; one
   * it gives up is a failed write. */
  bool Flush();
  /* Flushes and closes; the result of the last flush. Records still
   * buffered after a failure are counted as lost. */
  bool Close();

  /* Whole records a failed write left in the buffer, moved out as their
   * bytes and the end offset of each (frame pieces are dropped). */
  struct SUnwritten {
    std::vector<u8> vBytes;
    std::vector<size_t> vEnds;
  };
  SUnwritten TakeUnwritten();
  /* Appends records taken from another segment, as records. */
  void AppendRecords(const SUnwritten& Records);

  /* Records written to the descriptor since the last open, and records
   * lost by failed writes. */
  u64 GetSegmentRecords() const { return mun64SegmentRecords; }
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
  std::string mstrFullPath;
  bool mfUnlinked = false;
  struct SPiece {
    size_t un64End; /* offset in the buffer just past the piece */
    bool fRecord;
  };
  void EndRecordNoFlush(EPiece Kind);
  /* Standard output: Wait once it can take a write without blocking, else the owner's other answer. */
  static EVQStdoutWait WaitStdout(int nFd);
  /* Standard output's flush, under the shared state's lock. */
  bool FlushStdout(size_t un64Complete);
  /* Writes the first un64Upto buffered bytes (a piece end) to standard
   * output and takes what was written out of the buffer; false when the
   * owner gave the wait up or the write failed (mnLastErrno set). */
  bool PutStdout(size_t un64Upto);
  /* Counts the complete pieces up to un64Upto lost and drops them. */
  void DropAsLost(size_t un64Upto);
  /* The end of the last complete piece within the first un64Upto buffered
   * bytes; the records among those pieces are added to un64Records. */
  size_t WholePieces(size_t un64Upto, u64& un64Records) const;
  /* Drops the first un64Bytes of the buffer (a piece cut there keeps its tail, first). */
  void Consume(size_t un64Bytes);

  std::vector<u8> mvBuffer;
  std::vector<SPiece> mvPieces; /* the complete pieces in the buffer, in order */
  size_t mun64RecordStart = 0;  /* start of the piece being built in the buffer */
  u64 mun64Durable = 0;
  u64 mun64SegmentRecords = 0;
  u64 mun64RecordsLost = 0;
  int mnLastErrno = 0;
};

}  // namespace VQCAF

#endif
