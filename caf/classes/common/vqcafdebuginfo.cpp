/*
 * vqcafdebuginfo.cpp - the guarded allocator behind VQCAF_NEW / VQCAF_DELETE.
 *
 * Block layout: [header: guard words][object bytes][trailing guard word].
 * What the block needs to be checked and destroyed (its size, count, source
 * position and destroy function) lives in one table of live blocks, ordered
 * by object address, and never inside the block: a write that runs over the
 * header cannot change how the block is read or what is called on it, it can
 * only damage a guard word. A deletion first decides from the table whether
 * the pointer belongs to a live block (and which one: a base-class pointer
 * may lie inside the object) before any byte of the block is read. A block
 * freed once is no longer in the table, so a second deletion is refused
 * without touching freed memory.
 */
#include "vqcafdebuginfo.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "vqcafdiag.h"
#include "vqcafexception.h"
#include "vqx_result.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

constexpr u32 GUARD_HEAD = 0xCAFEB10Cu;
constexpr u32 GUARD_TAIL = 0xB10CCAFEu;

/* The whole header is guard words: an underrun of the object by up to the
 * header's size lands on one of them. */
constexpr size_t HEADER_SIZE = alignof(std::max_align_t);
static_assert(HEADER_SIZE % sizeof(u32) == 0, "the header is a whole number of guard words");
static_assert(HEADER_SIZE % alignof(std::max_align_t) == 0, "objects must stay aligned after the header");

struct BlockInfo {
  u8* pbyBlock;
  u64 un64Bytes;
  u32 un32Count;
  const char* pszFile;
  i32 nLine;
  PFN_VQCAF_GUARDED_DESTROY pFctDestroy;
};

struct Registry {
  std::mutex Lock;
  std::map<uintptr_t, BlockInfo> Live; /* object address -> block */
};

/* Never destroyed: deletions may run from static destructors. */
Registry& GetRegistry() {
  static Registry* s_pRegistry = new Registry();
  return *s_pRegistry;
}

void WriteGuards(u8* pbyBlock, u64 un64Bytes) {
  for (size_t i = 0; i < HEADER_SIZE; i += sizeof(u32)) memcpy(pbyBlock + i, &GUARD_HEAD, sizeof(u32));
  memcpy(pbyBlock + HEADER_SIZE + un64Bytes, &GUARD_TAIL, sizeof(u32));
}

bool GuardsIntact(const BlockInfo& Info) {
  u32 un32Word;
  for (size_t i = 0; i < HEADER_SIZE; i += sizeof(u32)) {
    memcpy(&un32Word, Info.pbyBlock + i, sizeof(u32));
    if (un32Word != GUARD_HEAD) return false;
  }
  memcpy(&un32Word, Info.pbyBlock + HEADER_SIZE + Info.un64Bytes, sizeof(u32));
  return un32Word == GUARD_TAIL;
}

[[noreturn]] void ThrowCorrupted(const void* pvGiven, const void* pvBase, const char* pszFile, int nLine) {
  char acText[512];
  Snprintf(acText, sizeof(acText),
           "********** Corrupted buffer 0x%p (base class ptr would be 0x%p) passed to VQCAF_DELETE (%s:%u)", pvGiven,
           pvBase, VqxFileNameFromPath(pszFile), static_cast<unsigned>(nLine));
  throw CVQCAFException(acText, VQX_RESULT_INVALID_PARAM);
}

}  // namespace

void* VqcafGuardedAlloc(u64 un64ObjectBytes, u32 un32Count, const char* pszFile, int nLine) {
  if (un64ObjectBytes > (static_cast<u64>(SIZE_MAX) - HEADER_SIZE - sizeof(u32))) throw std::bad_alloc();
  u8* pbyBlock = static_cast<u8*>(malloc(HEADER_SIZE + un64ObjectBytes + sizeof(u32)));
  if (pbyBlock == nullptr) throw std::bad_alloc();
  WriteGuards(pbyBlock, un64ObjectBytes);
  void* pvObject = pbyBlock + HEADER_SIZE;
  Registry& Reg = GetRegistry();
  try {
    std::lock_guard<std::mutex> Guard(Reg.Lock);
    Reg.Live.emplace(reinterpret_cast<uintptr_t>(pvObject),
                     BlockInfo{pbyBlock, un64ObjectBytes, un32Count, pszFile != nullptr ? pszFile : "", nLine, nullptr});
  } catch (...) {
    free(pbyBlock);
    throw;
  }
  return pvObject;
}

void VqcafGuardedAbandon(void* pvObject) noexcept {
  if (pvObject == nullptr) return;
  Registry& Reg = GetRegistry();
  {
    std::lock_guard<std::mutex> Guard(Reg.Lock);
    Reg.Live.erase(reinterpret_cast<uintptr_t>(pvObject));
  }
  free(static_cast<u8*>(pvObject) - HEADER_SIZE);
}

void VqcafGuardedSetDestroy(void* pvObject, PFN_VQCAF_GUARDED_DESTROY pFctDestroy) noexcept {
  Registry& Reg = GetRegistry();
  std::lock_guard<std::mutex> Guard(Reg.Lock);
  auto It = Reg.Live.find(reinterpret_cast<uintptr_t>(pvObject));
  if (It != Reg.Live.end()) It->second.pFctDestroy = pFctDestroy;
}

void VqcafGuardedDelete(const void* pvGiven, const char* pszFile, int nLine) {
  if (pvGiven == nullptr) return;
  Registry& Reg = GetRegistry();
  BlockInfo Info;
  void* pvObject = nullptr;
  {
    std::lock_guard<std::mutex> Guard(Reg.Lock);
    uintptr_t uGiven = reinterpret_cast<uintptr_t>(pvGiven);
    auto It = Reg.Live.upper_bound(uGiven);
    if (It == Reg.Live.begin()) ThrowCorrupted(pvGiven, pvGiven, pszFile, nLine);
    --It;
    u64 un64Span = It->second.un64Bytes != 0 ? It->second.un64Bytes : 1u;
    if (uGiven - It->first >= un64Span) ThrowCorrupted(pvGiven, pvGiven, pszFile, nLine);
    pvObject = reinterpret_cast<void*>(It->first);
    if (!GuardsIntact(It->second)) {
      /* Left in the table: the leak report shows it, nothing frees it twice. */
      ThrowCorrupted(pvGiven, pvObject, pszFile, nLine);
    }
    Info = It->second;
    Reg.Live.erase(It);
  }
  /* Destructors run outside the table lock: they may delete more blocks. */
  if (Info.pFctDestroy != nullptr) Info.pFctDestroy(pvObject, Info.un32Count);
  memset(Info.pbyBlock, 0, HEADER_SIZE);
  free(Info.pbyBlock);
}

u32 VqcafGetGuardedAllocationCount() {
  Registry& Reg = GetRegistry();
  std::lock_guard<std::mutex> Guard(Reg.Lock);
  return static_cast<u32>(Reg.Live.size());
}

u32 VqcafReportGuardedLeaks() {
  Registry& Reg = GetRegistry();
  std::lock_guard<std::mutex> Guard(Reg.Lock);
  for (const auto& Entry : Reg.Live) {
    const BlockInfo& Info = Entry.second;
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "VQCAF_NEW leak: 0x%p, %llu bytes, %u element(s), allocated at %s:%d\n",
                    reinterpret_cast<void*>(Entry.first), static_cast<unsigned long long>(Info.un64Bytes),
                    Info.un32Count, VqxFileNameFromPath(Info.pszFile), Info.nLine);
  }
  u32 un32Count = static_cast<u32>(Reg.Live.size());
  if (un32Count != 0) {
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "VQCAF_NEW leak report: %u allocation(s) still live\n", un32Count);
  }
  return un32Count;
}

}  // namespace VQCAF
