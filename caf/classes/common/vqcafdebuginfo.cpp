/*
 * vqcafdebuginfo.cpp - the guarded allocator behind VQCAF_NEW / VQCAF_DELETE.
 *
 * Block layout: [header: guard word, count, object bytes, source position,
 * destroy function][object bytes][trailing guard word]. Every live block is
 * entered in one table ordered by object address, so that a deletion first
 * decides from the table whether the pointer belongs to a live block (and
 * which one: a base-class pointer may lie inside the object) before any byte
 * of the block is read. A block freed once is no longer in the table, so a
 * second deletion is refused without touching freed memory.
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

struct BlockHeader {
  u32 un32GuardHead;
  u32 un32Count;
  u64 un64Bytes;
  const char* pszFile;
  i32 nLine;
  PFN_VQCAF_GUARDED_DESTROY pFctDestroy;
};

constexpr size_t HEADER_SIZE =
    (sizeof(BlockHeader) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
static_assert(HEADER_SIZE % alignof(std::max_align_t) == 0, "objects must stay aligned after the header");
static_assert(HEADER_SIZE >= sizeof(BlockHeader), "header must fit");

struct Registry {
  std::mutex Lock;
  std::map<uintptr_t, BlockHeader*> Live; /* object address -> header */
};

/* Never destroyed: deletions may run from static destructors. */
Registry& GetRegistry() {
  static Registry* s_pRegistry = new Registry();
  return *s_pRegistry;
}

BlockHeader* HeaderOf(void* pvObject) {
  return reinterpret_cast<BlockHeader*>(static_cast<u8*>(pvObject) - HEADER_SIZE);
}

u32 ReadTailGuard(const BlockHeader* pHeader) {
  u32 un32Tail;
  memcpy(&un32Tail, reinterpret_cast<const u8*>(pHeader) + HEADER_SIZE + pHeader->un64Bytes, sizeof(un32Tail));
  return un32Tail;
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
  u8* pBlock = static_cast<u8*>(malloc(HEADER_SIZE + un64ObjectBytes + sizeof(u32)));
  if (pBlock == nullptr) throw std::bad_alloc();
  BlockHeader* pHeader = reinterpret_cast<BlockHeader*>(pBlock);
  pHeader->un32GuardHead = GUARD_HEAD;
  pHeader->un32Count = un32Count;
  pHeader->un64Bytes = un64ObjectBytes;
  pHeader->pszFile = pszFile != nullptr ? pszFile : "";
  pHeader->nLine = nLine;
  pHeader->pFctDestroy = nullptr;
  memcpy(pBlock + HEADER_SIZE + un64ObjectBytes, &GUARD_TAIL, sizeof(GUARD_TAIL));
  void* pvObject = pBlock + HEADER_SIZE;
  Registry& Reg = GetRegistry();
  try {
    std::lock_guard<std::mutex> Guard(Reg.Lock);
    Reg.Live.emplace(reinterpret_cast<uintptr_t>(pvObject), pHeader);
  } catch (...) {
    free(pBlock);
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
  free(HeaderOf(pvObject));
}

void VqcafGuardedSetDestroy(void* pvObject, PFN_VQCAF_GUARDED_DESTROY pFctDestroy) noexcept {
  Registry& Reg = GetRegistry();
  std::lock_guard<std::mutex> Guard(Reg.Lock);
  HeaderOf(pvObject)->pFctDestroy = pFctDestroy;
}

void VqcafGuardedDelete(const void* pvGiven, const char* pszFile, int nLine) {
  if (pvGiven == nullptr) return;
  Registry& Reg = GetRegistry();
  BlockHeader* pHeader = nullptr;
  void* pvObject = nullptr;
  {
    std::lock_guard<std::mutex> Guard(Reg.Lock);
    uintptr_t uGiven = reinterpret_cast<uintptr_t>(pvGiven);
    auto It = Reg.Live.upper_bound(uGiven);
    if (It == Reg.Live.begin()) ThrowCorrupted(pvGiven, pvGiven, pszFile, nLine);
    --It;
    BlockHeader* pCandidate = It->second;
    u64 un64Span = pCandidate->un64Bytes != 0 ? pCandidate->un64Bytes : 1u;
    if (uGiven - It->first >= un64Span) ThrowCorrupted(pvGiven, pvGiven, pszFile, nLine);
    pvObject = reinterpret_cast<void*>(It->first);
    if (pCandidate->un32GuardHead != GUARD_HEAD || ReadTailGuard(pCandidate) != GUARD_TAIL) {
      /* Left in the table: the leak report shows it, nothing frees it twice. */
      ThrowCorrupted(pvGiven, pvObject, pszFile, nLine);
    }
    pHeader = pCandidate;
    Reg.Live.erase(It);
  }
  /* Destructors run outside the table lock: they may delete more blocks. */
  if (pHeader->pFctDestroy != nullptr) pHeader->pFctDestroy(pvObject, pHeader->un32Count);
  pHeader->un32GuardHead = 0;
  free(pHeader);
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
    const BlockHeader* p = Entry.second;
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "VQCAF_NEW leak: 0x%p, %llu bytes, %u element(s), allocated at %s:%d\n",
                    reinterpret_cast<void*>(Entry.first), static_cast<unsigned long long>(p->un64Bytes), p->un32Count,
                    VqxFileNameFromPath(p->pszFile), p->nLine);
  }
  u32 un32Count = static_cast<u32>(Reg.Live.size());
  if (un32Count != 0) {
    VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "VQCAF_NEW leak report: %u allocation(s) still live\n", un32Count);
  }
  return un32Count;
}

}  // namespace VQCAF
