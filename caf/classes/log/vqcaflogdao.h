/*
 * vqcaflogdao.h - the log file writer behind the framework log (used by
 * vqcaflog.cpp only; applications go through vqcaflog.h).
 *
 * Logging threads copy complete lines into the current block of a fixed set
 * of memory blocks (Append, one short critical section, no allocation, no
 * system call). A full block is handed to the writer thread, which writes
 * whole blocks to the current segment file with write(2) and gives them
 * back. The writer also takes the partly filled block every flush period,
 * on a flush or rotation request and when closing. With no free block left
 * a line is dropped and counted, and so is every line that a failed write
 * (disk full) leaves incomplete; the writer logs the count into the file.
 *
 * Thread model: Append, Flush, Rotate and the getters from any thread;
 * Open and Close from one controlling thread (InitLog / UninitLog).
 */
#ifndef VQCAFLOGDAO_H
#define VQCAFLOGDAO_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vqcafstring.h"
#include "vqcafthread.h"
#include "vqx_types.h"

namespace VQCAF {

class CVQCAFLogDao : public CVQCAFThread {
 public:
  CVQCAFLogDao();
  ~CVQCAFLogDao() override;

  /*
   * Allocates the queue (un32QueueSize rounded up to whole blocks, at least
   * two), opens the first segment and starts the writer thread. Returns
   * 0x02000000; 0x8200000F when open already; 0x82000001 when no segment can
   * be opened; 0x82000012 when the queue cannot be allocated.
   */
  u32 Open(const char* pszBaseName, const char* pszExtension, u32 un32QueueSize);

  /* Writes everything queued, closes the file, ends the thread. 0x02000000. */
  u32 Close();

  /*
   * Queues one complete line (ending with its newline). False when the
   * writer is not open (the line is not taken); true otherwise, also when
   * the line was dropped for lack of room (and counted).
   */
  bool Append(const char* pData, u32 un32Length);

  /* Returns once every line appended before the call is written
   * (0x02000000), 0x82000003 after un32TimeoutMs, 0x82000014 when closed. */
  u32 Flush(u32 un32TimeoutMs);

  /*
   * Closes the segment after every line appended before the call and opens
   * the next one; stores the names. 0x02000000; 0x82000001 when the new
   * segment cannot be opened; 0x82000003 on time-out; 0x82000014 when closed.
   */
  u32 Rotate(CVQCAFString* pstrOld, CVQCAFString* pstrNew, u32 un32TimeoutMs);

  bool IsOpen();
  /* Current segment name, or null while closed; valid for the process's life. */
  const char* GetCurrentFile() const { return mpszCurrentFile.load(std::memory_order_acquire); }
  u64 GetDroppedCount();

  /* Builds "<base>_<date>_seg<NNN>.<ext>" (exposed for tests). */
  static std::string MakeSegmentName(const std::string& strBase, const std::string& strDate, u32 un32Segment,
                                     const std::string& strExtension);

 protected:
  void Run() override;

 private:
  struct Block {
    char* pData;
    u32 un32Used;
    u32 un32Lines;
  };
  static constexpr u32 NO_BLOCK = 0xFFFFFFFFu;

  void QueueActiveLocked();
  u32 WaitDoneLocked(std::unique_lock<std::mutex>& Lock, u64 un64Seq, u32 un32TimeoutMs);
  bool OpenNextSegment();  // writer thread (and Open)
  void CloseSegment(bool fForgetName);
  void WriteBlock(Block& B);
  void WriteDropReport(u64 un64Dropped);
  size_t WriteAll(const char* p, size_t n);  // bytes written
  void EndCutLine();

  std::mutex mMutex;
  std::condition_variable mWorkCond;  // wakes the writer
  std::condition_variable mDoneCond;  // wakes Flush / Rotate callers
  bool mfOpen = false;
  bool mfCloseRequested = false;
  std::unique_ptr<char[]> mpMemory;
  std::vector<Block> maBlocks;
  std::vector<u32> maFree;  // indices of free blocks (stack)
  std::vector<u32> maFull;  // ring of indices waiting for the writer
  u32 mun32FullHead = 0;
  u32 mun32FullCount = 0;
  u32 mun32Active = NO_BLOCK;
  u64 mun64Dropped = 0;
  u64 mun64RequestSeq = 0;  // flush / rotate requests made
  u64 mun64DoneSeq = 0;     // requests served by the writer
  bool mfRotatePending = false;
  u32 mun32RotateResult = 0;
  std::string mstrRotateOld, mstrRotateNew;

  // Writer thread only (and Open before the thread starts).
  std::string mstrBase, mstrExtension, mstrDate;
  u32 mun32NextSegment = 0;
  int mnFd = -1;
  u64 mun64DropReported = 0;
  bool mfMidLine = false;  // the file ends inside a line (failed write)

  std::deque<std::string> mastrNames;  // every segment name ever used (stable texts)
  std::atomic<const char*> mpszCurrentFile{nullptr};
};

}  // namespace VQCAF

#endif
