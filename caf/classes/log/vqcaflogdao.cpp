/*
 * vqcaflogdao.cpp - the log file writer (see vqcaflogdao.h).
 *
 * Block life: free -> active (filled by Append under mMutex) -> full ring
 * (waiting for the writer) -> written by the writer without the lock -> free.
 * A request (flush, rotation) queues the active block and takes a sequence
 * number; the writer serves every request pending when it takes its batch
 * and publishes the last number served, which the requester waits for.
 */
#include "vqcaflogdao.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "vqcafdatetime.h"
#include "vqcaflog.h"
#include "vqx_result.h"

namespace VQCAF {

namespace {

/* Upper bound of names probed for a free segment number. */
constexpr u32 MAX_SEGMENT_PROBES = 100000u;

/* "YYYY-MM-DD" of the local date; empty when the clock cannot be read. */
std::string TodayText() {
  char acDate[VQCAF_DATETIME_DATE_SIZE] = "";
  char acTime[VQCAF_DATETIME_TIME_SIZE] = "";
  if (VQX_RESULT_FAILED(CVQCAFDateTime::GetStringDateTime(acDate, acTime, 1))) return std::string();
  return acDate;
}

}  // namespace

CVQCAFLogDao::CVQCAFLogDao() : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 0) {}

CVQCAFLogDao::~CVQCAFLogDao() { (void)Close(); }

std::string CVQCAFLogDao::MakeSegmentName(const std::string& strBase, const std::string& strDate, u32 un32Segment,
                                          const std::string& strExtension) {
  char acSegment[16];
  snprintf(acSegment, sizeof(acSegment), "%03u", un32Segment);
  return strBase + "_" + strDate + "_seg" + acSegment + "." + strExtension;
}

u32 CVQCAFLogDao::Open(const char* pszBaseName, const char* pszExtension, u32 un32QueueSize) {
  if (IsRunning()) return VQX_RESULT_INVALID_STATE;
  {
    std::lock_guard<std::mutex> Lock(mMutex);
    if (mfOpen) return VQX_RESULT_INVALID_STATE;
  }
  const u32 un32Blocks = std::max<u32>(2u, (un32QueueSize + VQCAF_LOG_BLOCK_SIZE - 1) / VQCAF_LOG_BLOCK_SIZE);
  std::unique_ptr<char[]> pMemory(new (std::nothrow) char[static_cast<size_t>(un32Blocks) * VQCAF_LOG_BLOCK_SIZE]);
  if (!pMemory) return VQX_RESULT_NOT_ENOUGH_MEMORY;

  mstrBase = pszBaseName != nullptr ? pszBaseName : "";
  mstrExtension = pszExtension != nullptr ? pszExtension : "";
  mstrDate.clear();
  mun32NextSegment = 0;
  mun64DropReported = 0;
  if (!OpenNextSegment()) return VQX_RESULT_FAIL;

  {
    std::lock_guard<std::mutex> Lock(mMutex);
    mpMemory = std::move(pMemory);
    maBlocks.assign(un32Blocks, Block{nullptr, 0, 0});
    maFree.clear();
    maFull.assign(un32Blocks, NO_BLOCK);
    for (u32 i = 0; i < un32Blocks; i++) {
      maBlocks[i].pData = mpMemory.get() + static_cast<size_t>(i) * VQCAF_LOG_BLOCK_SIZE;
      maFree.push_back(un32Blocks - 1 - i);
    }
    mun32FullHead = 0;
    mun32FullCount = 0;
    mun32Active = NO_BLOCK;
    mun64Dropped = 0;
    mfRotatePending = false;
    mfCloseRequested = false;
    mfOpen = true;
  }
  const u32 un32Result = Start(0);
  if (VQX_RESULT_FAILED(un32Result)) {
    std::lock_guard<std::mutex> Lock(mMutex);
    mfOpen = false;
    CloseSegment(true);
    return un32Result;
  }
  return VQX_RESULT_OK;
}

u32 CVQCAFLogDao::Close() {
  {
    std::lock_guard<std::mutex> Lock(mMutex);
    if (!mfOpen && !IsRunning()) return VQX_RESULT_OK;
    mfOpen = false;  // from now on Append refuses: nothing is taken that is not written
    QueueActiveLocked();
    mfCloseRequested = true;
  }
  mWorkCond.notify_one();
  (void)Stop(1);  // the writer drains the queue before it leaves Run
  std::lock_guard<std::mutex> Lock(mMutex);
  mfCloseRequested = false;
  mDoneCond.notify_all();
  return VQX_RESULT_OK;
}

bool CVQCAFLogDao::Append(const char* pData, u32 un32Length) {
  bool fNotify = false;
  {
    std::lock_guard<std::mutex> Lock(mMutex);
    if (!mfOpen) return false;
    if (un32Length > VQCAF_LOG_BLOCK_SIZE) {  // cannot happen through the front end
      mun64Dropped++;
      return true;
    }
    if (mun32Active != NO_BLOCK && maBlocks[mun32Active].un32Used + un32Length > VQCAF_LOG_BLOCK_SIZE) {
      QueueActiveLocked();
      fNotify = true;
    }
    if (mun32Active == NO_BLOCK && !maFree.empty()) {
      mun32Active = maFree.back();
      maFree.pop_back();
    }
    if (mun32Active == NO_BLOCK) {
      mun64Dropped++;
    } else {
      Block& B = maBlocks[mun32Active];
      memcpy(B.pData + B.un32Used, pData, un32Length);
      B.un32Used += un32Length;
      B.un32Lines++;
    }
  }
  if (fNotify) mWorkCond.notify_one();
  return true;
}

void CVQCAFLogDao::QueueActiveLocked() {
  if (mun32Active == NO_BLOCK) return;
  if (maBlocks[mun32Active].un32Used == 0) return;  // keep an empty block active
  // The ring holds every block at most once, so it never overflows.
  maFull[(mun32FullHead + mun32FullCount) % maFull.size()] = mun32Active;
  mun32FullCount++;
  mun32Active = NO_BLOCK;
}

u32 CVQCAFLogDao::WaitDoneLocked(std::unique_lock<std::mutex>& Lock, u64 un64Seq, u32 un32TimeoutMs) {
  const bool fDone = mDoneCond.wait_for(Lock, std::chrono::milliseconds(un32TimeoutMs),
                                        [&] { return mun64DoneSeq >= un64Seq || (!mfOpen && !mfCloseRequested); });
  if (mun64DoneSeq >= un64Seq) return VQX_RESULT_OK;
  return fDone ? VQX_RESULT_NOT_INITIALIZED : VQX_RESULT_TIMEOUT;
}

u32 CVQCAFLogDao::Flush(u32 un32TimeoutMs) {
  std::unique_lock<std::mutex> Lock(mMutex);
  if (!mfOpen) return VQX_RESULT_NOT_INITIALIZED;
  QueueActiveLocked();
  const u64 un64Seq = ++mun64RequestSeq;
  mWorkCond.notify_one();
  return WaitDoneLocked(Lock, un64Seq, un32TimeoutMs);
}

u32 CVQCAFLogDao::Rotate(CVQCAFString* pstrOld, CVQCAFString* pstrNew, u32 un32TimeoutMs) {
  std::unique_lock<std::mutex> Lock(mMutex);
  if (!mfOpen) return VQX_RESULT_NOT_INITIALIZED;
  QueueActiveLocked();
  const u64 un64Seq = ++mun64RequestSeq;
  mfRotatePending = true;
  mWorkCond.notify_one();
  const u32 un32Result = WaitDoneLocked(Lock, un64Seq, un32TimeoutMs);
  if (VQX_RESULT_FAILED(un32Result)) return un32Result;
  if (pstrOld != nullptr) *pstrOld = mstrRotateOld.c_str();
  if (pstrNew != nullptr) *pstrNew = mstrRotateNew.c_str();
  return mun32RotateResult;
}

bool CVQCAFLogDao::IsOpen() {
  std::lock_guard<std::mutex> Lock(mMutex);
  return mfOpen;
}

u64 CVQCAFLogDao::GetDroppedCount() {
  std::lock_guard<std::mutex> Lock(mMutex);
  return mun64Dropped;
}

void CVQCAFLogDao::Run() {
  std::vector<u32> aBatch;
  aBatch.reserve(maBlocks.size());
  const auto FlushPeriod = std::chrono::milliseconds(VQCAF_LOG_FLUSH_PERIOD_MS);
  auto NextFlush = std::chrono::steady_clock::now() + FlushPeriod;
  for (;;) {
    bool fRotate = false;
    bool fClosing = false;
    u64 un64Seq = 0;
    u64 un64Dropped = 0;
    {
      std::unique_lock<std::mutex> Lock(mMutex);
      mWorkCond.wait_until(Lock, NextFlush, [&] {
        return mun32FullCount != 0 || mun64RequestSeq != mun64DoneSeq || mfCloseRequested || IsStopRequested();
      });
      const auto Now = std::chrono::steady_clock::now();
      if (Now >= NextFlush) {  // periodic flush of the partly filled block
        QueueActiveLocked();
        NextFlush = Now + FlushPeriod;
      }
      fClosing = mfCloseRequested || IsStopRequested();
      if (fClosing) QueueActiveLocked();
      aBatch.clear();
      for (; mun32FullCount != 0; mun32FullCount--) {
        aBatch.push_back(maFull[mun32FullHead]);
        mun32FullHead = static_cast<u32>((mun32FullHead + 1) % maFull.size());
      }
      un64Seq = mun64RequestSeq;
      fRotate = mfRotatePending;
      mfRotatePending = false;
      un64Dropped = mun64Dropped;
    }

    for (u32 un32Index : aBatch) WriteBlock(maBlocks[un32Index]);
    {
      std::lock_guard<std::mutex> Lock(mMutex);
      for (u32 un32Index : aBatch) {
        maBlocks[un32Index].un32Used = 0;
        maBlocks[un32Index].un32Lines = 0;
        maFree.push_back(un32Index);
      }
      // Lines lost in a failed write were added meanwhile; report those too.
      un64Dropped = mun64Dropped;
    }
    if (un64Dropped != mun64DropReported) WriteDropReport(un64Dropped);

    if (fRotate) {
      const char* pszOld = mpszCurrentFile.load();
      std::string strOld = pszOld != nullptr ? pszOld : "";
      CloseSegment(false);
      const bool fOpened = OpenNextSegment();
      if (!fOpened) mpszCurrentFile.store(nullptr, std::memory_order_release);
      std::lock_guard<std::mutex> Lock(mMutex);
      mstrRotateOld = strOld;
      mstrRotateNew = fOpened ? mastrNames.back() : std::string();
      mun32RotateResult = fOpened ? VQX_RESULT_OK : VQX_RESULT_FAIL;
    }
    {
      std::lock_guard<std::mutex> Lock(mMutex);
      mun64DoneSeq = un64Seq;
      if (fClosing && mun32FullCount == 0) {
        CloseSegment(true);
        mDoneCond.notify_all();
        return;
      }
    }
    mDoneCond.notify_all();
  }
}

void CVQCAFLogDao::WriteBlock(Block& B) {
  if (B.un32Used == 0) return;
  // A segment that could not be opened is tried again for every block.
  if (mnFd < 0) (void)OpenNextSegment();
  EndCutLine();
  const size_t nWritten = mnFd >= 0 ? WriteAll(B.pData, B.un32Used) : 0;
  if (nWritten != 0) mfMidLine = B.pData[nWritten - 1] != '\n';
  if (nWritten == B.un32Used) return;
  // Every line not complete in the file is lost (disk full, size limit): count it.
  u64 un64Lost = 0;
  for (size_t i = nWritten; i < B.un32Used; i++) un64Lost += B.pData[i] == '\n' ? 1u : 0u;
  std::lock_guard<std::mutex> Lock(mMutex);
  mun64Dropped += un64Lost;
}

void CVQCAFLogDao::WriteDropReport(u64 un64Dropped) {
  char acLine[128];
  const int n = snprintf(acLine, sizeof(acLine), "%llu %s\n",
                         static_cast<unsigned long long>(un64Dropped - mun64DropReported), VQCAF_LOG_DROP_TEXT);
  if (mnFd < 0 || n <= 0) return;
  EndCutLine();
  const size_t nWritten = WriteAll(acLine, static_cast<size_t>(n));
  if (nWritten != 0) mfMidLine = acLine[nWritten - 1] != '\n';
  if (nWritten == static_cast<size_t>(n)) mun64DropReported = un64Dropped;
}

void CVQCAFLogDao::EndCutLine() {
  // What follows a line cut by a failed write starts on a line of its own.
  if (mfMidLine && mnFd >= 0 && WriteAll("\n", 1) == 1) mfMidLine = false;
}

size_t CVQCAFLogDao::WriteAll(const char* p, size_t n) {
  size_t nDone = 0;
  while (nDone < n) {
    const ssize_t nWritten = write(mnFd, p + nDone, n - nDone);
    if (nWritten < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (nWritten == 0) break;
    nDone += static_cast<size_t>(nWritten);
  }
  return nDone;
}

bool CVQCAFLogDao::OpenNextSegment() {
  const std::string strDate = TodayText();
  if (strDate != mstrDate) {
    mstrDate = strDate;
    mun32NextSegment = 0;
  }
  for (u32 i = 0; i < MAX_SEGMENT_PROBES; i++) {
    std::string strName = MakeSegmentName(mstrBase, mstrDate, mun32NextSegment++, mstrExtension);
    // O_EXCL: never append to, or overwrite, the log of an earlier run.
    const int nFd = open(strName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (nFd >= 0) {
      mnFd = nFd;
      mfMidLine = false;
      mastrNames.push_back(std::move(strName));
      mpszCurrentFile.store(mastrNames.back().c_str(), std::memory_order_release);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void CVQCAFLogDao::CloseSegment(bool fForgetName) {
  if (mnFd >= 0) {
    (void)close(mnFd);
    mnFd = -1;
  }
  if (fForgetName) mpszCurrentFile.store(nullptr, std::memory_order_release);
}

}  // namespace VQCAF
