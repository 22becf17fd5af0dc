/*
 * vqx_filter_excl.cpp - exclusive claims: a match set may claim a peer
 * handle, a message group, a first or second user context, or the pair of
 * both contexts for its filter alone. A message carrying a claimed value
 * goes to the claiming filter before any implicit or ordinary filter is
 * consulted, and no other filter may match on that value.
 *
 * Claims live in five short lists (by peer, group, context 1, context 2,
 * pair). The receive thread re-sorts them once a second by hits so that
 * busy claims are found first. Everything runs under the library lock.
 */
#include <stdlib.h>

#include "filter/vqx_filter_internal.h"

namespace {

/* The value a claim of one list holds, and its comparison. */
struct VQX_CLAIM {
  u32 un32List;
  u32 hAdapter;
  u32 un32MsgGroup;
  u64 un64UserContext1;
  u64 un64UserContext2;
};

bool VqxClaimEquals(const VQX_EXCL_ENTRY* pEntry, const VQX_CLAIM& claim) {
  switch (claim.un32List) {
    case VQX_EXCL_BY_ADAPTER: return pEntry->hAdapter == claim.hAdapter;
    case VQX_EXCL_BY_GROUP: return pEntry->un32MsgGroup == claim.un32MsgGroup;
    case VQX_EXCL_BY_CONTEXT1: return pEntry->un64UserContext1 == claim.un64UserContext1;
    case VQX_EXCL_BY_CONTEXT2: return pEntry->un64UserContext2 == claim.un64UserContext2;
    default:
      return pEntry->un64UserContext1 == claim.un64UserContext1 && pEntry->un64UserContext2 == claim.un64UserContext2;
  }
}

/* Finds the entry holding the value; a lookup that finds one counts a hit on it. */
VQX_EXCL_ENTRY* VqxClaimFind(VQX_FILTER_LIB* pFl, const VQX_CLAIM& claim) {
  for (VQX_EXCL_ENTRY* p = pFl->aExcl[claim.un32List].pFirst; p != nullptr; p = p->pNext) {
    if (VqxClaimEquals(p, claim)) {
      p->un32Hits++;
      return p;
    }
  }
  return nullptr;
}

VQX_CLAIM VqxClaimOf(u32 un32List, const _VQX_FILTER_PARAMS& set) {
  return VQX_CLAIM{un32List, set.hAdapter, set.MsgGroup, set.un64UserContext1, set.un64UserContext2};
}

/* The claims a set makes (up to three: peer, group, one context list). */
u32 VqxClaimsOfSet(const _VQX_FILTER_PARAMS& set, VQX_CLAIM* paOut) {
  u32 n = 0;
  const u32 un32Mask = set.un32Mask;
  if (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_ADAPTER) paOut[n++] = VqxClaimOf(VQX_EXCL_BY_ADAPTER, set);
  if (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP) paOut[n++] = VqxClaimOf(VQX_EXCL_BY_GROUP, set);
  const bool f1 = (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1) != 0;
  const bool f2 = (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2) != 0;
  if (f1 && f2) {
    paOut[n++] = VqxClaimOf(VQX_EXCL_BY_PAIR, set);
  } else if (f1) {
    paOut[n++] = VqxClaimOf(VQX_EXCL_BY_CONTEXT1, set);
  } else if (f2) {
    paOut[n++] = VqxClaimOf(VQX_EXCL_BY_CONTEXT2, set);
  }
  return n;
}

const char* const s_apszInsertPrefix[VQX_EXCL_NB_LISTS] = {
    "VqxExclusiveAdapterFilterInsert: %s\n", "VqxExclusiveMsgGroupFilterInsert: %s\n",
    "VqxExclusiveUserContextFilterInsert: %s\n", "VqxExclusiveUserContextFilterInsert: %s\n",
    "VqxExclusiveUserContextFilterInsert: %s\n"};

struct VQX_CONFLICT {
  const char* pszReason;
  const VQX_FILTER* pOther;
};

/* Does another filter hold a claim that a lookup in these lists finds? */
bool VqxClaimedByOther(VQX_FILTER_LIB* pFl, const VQX_FILTER* pSelf, const VQX_CLAIM& claim, VQX_CONFLICT* pOut,
                       const char* pszReason) {
  VQX_EXCL_ENTRY* pEntry = VqxClaimFind(pFl, claim);
  if (pEntry == nullptr || pEntry->pOwner == pSelf) return false;
  *pOut = VQX_CONFLICT{pszReason, pEntry->pOwner};
  return true;
}

/* Step 1: the values this set claims, against claims and plain matches of other filters. */
bool VqxCheckClaims(VQX_FILTER_LIB* pFl, const VQX_FILTER* pSelf, const _VQX_FILTER_PARAMS& set, VQX_CONFLICT* pOut) {
  const u32 un32Mask = set.un32Mask;
  const bool fA = (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_ADAPTER) != 0;
  const bool fG = (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP) != 0;
  const bool f1 = (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1) != 0;
  const bool f2 = (un32Mask & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2) != 0;
  if (fA && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_ADAPTER, set), pOut,
                              "Another filter has conflicting adapter exclusivity")) {
    return true;
  }
  if (fG && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_GROUP, set), pOut,
                              "Another filter has conflicting MsgGroup exclusivity")) {
    return true;
  }
  const char* pszUc = "Another filter has conflicting user context exclusivity";
  if (f1 && f2 && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_PAIR, set), pOut, pszUc)) return true;
  if (f1 && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_CONTEXT1, set), pOut, pszUc)) return true;
  if (f2 && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_CONTEXT2, set), pOut, pszUc)) return true;
  if (!(fA || fG || f1 || f2)) return false;

  for (const VQX_FILTER* pOther = pFl->pActiveFirst; pOther != nullptr; pOther = pOther->pNext) {
    if (pOther == pSelf) continue;
    for (u32 i = 0; i < pOther->un32NbParams; i++) {
      const _VQX_FILTER_PARAMS& o = pOther->aParams[i];
      const u32 m = o.un32Mask;
      const char* pszReason = nullptr;
      if (fA && (m & VQX_FILTER_MASK_ADAPTER) && !(m & VQX_FILTER_MASK_EXCLUSIVE_ADAPTER) && o.hAdapter == set.hAdapter) {
        pszReason = "Another filter uses same hAdapter";
      } else if (fG && (m & VQX_FILTER_MASK_MSG_GROUP) && !(m & VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP) &&
                 o.MsgGroup == set.MsgGroup) {
        pszReason = "Another filter uses same MsgGroup";
      } else if (f1 && f2) {
        const u32 both = VQX_FILTER_MASK_USER_CONTEXT1 | VQX_FILTER_MASK_USER_CONTEXT2;
        const u32 bothExcl = VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1 | VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2;
        if ((m & both) == both && (m & bothExcl) != bothExcl && o.un64UserContext1 == set.un64UserContext1 &&
            o.un64UserContext2 == set.un64UserContext2) {
          pszReason = "Another filter uses same match on un64UserContext1 + un64UserContext1";
        }
      } else if (f1) {
        if ((m & VQX_FILTER_MASK_USER_CONTEXT1) && !(m & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1) &&
            o.un64UserContext1 == set.un64UserContext1) {
          pszReason = "Another filter uses same un64UserContext1";
        }
      } else if (f2) {
        if ((m & VQX_FILTER_MASK_USER_CONTEXT2) && !(m & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2) &&
            o.un64UserContext2 == set.un64UserContext2) {
          pszReason = "Another filter uses same un64UserContext2";
        }
      }
      if (pszReason != nullptr) {
        *pOut = VQX_CONFLICT{pszReason, pOther};
        return true;
      }
    }
  }
  return false;
}

/* Step 2: plain match values of this set against claims of other filters. */
bool VqxCheckPlainMatches(VQX_FILTER_LIB* pFl, const VQX_FILTER* pSelf, const _VQX_FILTER_PARAMS& set,
                          VQX_CONFLICT* pOut) {
  const u32 m = set.un32Mask;
  if ((m & VQX_FILTER_MASK_ADAPTER) && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_ADAPTER, set), pOut,
                                                         "Another filter already owns this adapter's exclusivity")) {
    return true;
  }
  if ((m & VQX_FILTER_MASK_MSG_GROUP) && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_GROUP, set), pOut,
                                                           "Another filter already owns this MsgGroup's exclusivity")) {
    return true;
  }
  const char* pszUc = "Another filter already owns this user context's exclusivity";
  const bool f1 = (m & VQX_FILTER_MASK_USER_CONTEXT1) != 0;
  const bool f2 = (m & VQX_FILTER_MASK_USER_CONTEXT2) != 0;
  if (f1 && f2 && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_PAIR, set), pOut, pszUc)) return true;
  if (f1 && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_CONTEXT1, set), pOut, pszUc)) return true;
  if (f2 && VqxClaimedByOther(pFl, pSelf, VqxClaimOf(VQX_EXCL_BY_CONTEXT2, set), pOut, pszUc)) return true;
  return false;
}

void VqxExclUnlink(VQX_EXCL_LIST* pList, VQX_EXCL_ENTRY* pEntry) {
  if (pEntry->pPrev != nullptr) {
    pEntry->pPrev->pNext = pEntry->pNext;
  } else {
    pList->pFirst = pEntry->pNext;
  }
  if (pEntry->pNext != nullptr) {
    pEntry->pNext->pPrev = pEntry->pPrev;
  } else {
    pList->pLast = pEntry->pPrev;
  }
  pList->un32Count--;
}

/* Stable merge sort of a singly walked chain, descending hits (left wins ties). */
VQX_EXCL_ENTRY* VqxExclMergeSort(VQX_EXCL_ENTRY* pHead) {
  if (pHead == nullptr || pHead->pNext == nullptr) return pHead;
  VQX_EXCL_ENTRY* pSlow = pHead;
  VQX_EXCL_ENTRY* pFast = pHead->pNext;
  while (pFast != nullptr && pFast->pNext != nullptr) {
    pSlow = pSlow->pNext;
    pFast = pFast->pNext->pNext;
  }
  VQX_EXCL_ENTRY* pRight = pSlow->pNext;
  pSlow->pNext = nullptr;
  VQX_EXCL_ENTRY* pLeft = VqxExclMergeSort(pHead);
  pRight = VqxExclMergeSort(pRight);
  VQX_EXCL_ENTRY anchor{};
  VQX_EXCL_ENTRY* pTail = &anchor;
  while (pLeft != nullptr && pRight != nullptr) {
    if (pRight->un32Hits > pLeft->un32Hits) {
      pTail->pNext = pRight;
      pRight = pRight->pNext;
    } else {
      pTail->pNext = pLeft;
      pLeft = pLeft->pNext;
    }
    pTail = pTail->pNext;
  }
  pTail->pNext = pLeft != nullptr ? pLeft : pRight;
  return anchor.pNext;
}

}  // namespace

VQX_RESULT VqxValidateExclusiveFilter(VQX_LIB_HANDLE hLib, const VQX_FILTER* pFilter, u32 un32NbParams,
                                      _VQX_FILTER_PARAMS* paParams) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  VQX_CONFLICT conflict{};
  const _VQX_FILTER_PARAMS* pBad = nullptr;
  for (u32 i = 0; i < un32NbParams && pBad == nullptr; i++) {
    if (VqxCheckClaims(pFl, pFilter, paParams[i], &conflict)) pBad = &paParams[i];
  }
  for (u32 i = 0; i < un32NbParams && pBad == nullptr; i++) {
    if (VqxCheckPlainMatches(pFl, pFilter, paParams[i], &conflict)) pBad = &paParams[i];
  }
  if (pBad != nullptr) {
    const bool fKnown = conflict.pOther != nullptr && conflict.pOther->fCreationSiteKnown;
    VQX_LOG_V(hLib, 0,
              "VqxValidateExclusiveFilter: %s (Adapter 0x%08X, MsgGroup 0x%08X, UserContexts 0x%llx, 0x%llx). Other "
              "filter %u:%s\n",
              conflict.pszReason, pBad->hAdapter, pBad->MsgGroup,
              static_cast<unsigned long long>(pBad->un64UserContext1),
              static_cast<unsigned long long>(pBad->un64UserContext2), fKnown ? conflict.pOther->un32Line : 0u,
              fKnown ? conflict.pOther->pszFile : "");
    return VQX_RESULT_API_ACCESS_DENIED;
  }
  for (u32 i = 0; i < un32NbParams; i++) {
    u32& m = paParams[i].un32Mask;
    if (m & VQX_FILTER_MASK_EXCLUSIVE_ADAPTER) m |= VQX_FILTER_MASK_ADAPTER;
    if (m & VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP) m |= VQX_FILTER_MASK_MSG_GROUP;
    if (m & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1) m |= VQX_FILTER_MASK_USER_CONTEXT1;
    if (m & VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2) m |= VQX_FILTER_MASK_USER_CONTEXT2;
  }
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxExclusiveFilterInsertAll(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  for (u32 i = 0; i < pFilter->un32NbParams; i++) {
    VQX_CLAIM aClaims[3];
    const u32 n = VqxClaimsOfSet(pFilter->aParams[i], aClaims);
    for (u32 c = 0; c < n; c++) {
      const VQX_CLAIM& claim = aClaims[c];
      VQX_EXCL_LIST* pList = &pFl->aExcl[claim.un32List];
      VQX_EXCL_ENTRY* pFound = nullptr;
      for (VQX_EXCL_ENTRY* p = pList->pFirst; p != nullptr && pFound == nullptr; p = p->pNext) {
        if (VqxClaimEquals(p, claim)) pFound = p;
      }
      if (pFound != nullptr) {
        if (pFound->pOwner != pFilter) {
          VQX_LOG_V(hLib, 0, s_apszInsertPrefix[claim.un32List],
                    "Bug: Trying to insert conflicting exclusive filter. Should have been validated already!");
        }
        continue;
      }
      VQX_EXCL_ENTRY* pEntry = static_cast<VQX_EXCL_ENTRY*>(calloc(1, sizeof(VQX_EXCL_ENTRY)));
      if (pEntry == nullptr) {
        VQX_LOG_V(hLib, 0, s_apszInsertPrefix[claim.un32List], "Failed to allocate pExclusiveFilter");
        continue;
      }
      pEntry->pOwner = pFilter;
      pEntry->hAdapter = claim.hAdapter;
      pEntry->un32MsgGroup = claim.un32MsgGroup;
      pEntry->un64UserContext1 = claim.un64UserContext1;
      pEntry->un64UserContext2 = claim.un64UserContext2;
      pEntry->pPrev = pList->pLast;
      if (pList->pLast != nullptr) {
        pList->pLast->pNext = pEntry;
      } else {
        pList->pFirst = pEntry;
      }
      pList->pLast = pEntry;
      pList->un32Count++;
    }
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqxExclusiveFilterRemoveAll(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  for (u32 i = 0; i < pFilter->un32NbParams; i++) {
    VQX_CLAIM aClaims[3];
    const u32 n = VqxClaimsOfSet(pFilter->aParams[i], aClaims);
    for (u32 c = 0; c < n; c++) {
      VQX_EXCL_LIST* pList = &pFl->aExcl[aClaims[c].un32List];
      for (VQX_EXCL_ENTRY* p = pList->pFirst; p != nullptr; p = p->pNext) {
        if (p->pOwner == pFilter && VqxClaimEquals(p, aClaims[c])) {
          VqxExclUnlink(pList, p);
          free(p);
          break;
        }
      }
    }
  }
  return VQX_RESULT_OK;
}

bool VqxMsgDispatchToExclusiveFilters(VQX_LIB_HANDLE hLib, VQX_BATCH_CONTEXT* pBatch, VQX_MSG_HANDLE hMsg,
                                      bool fMarked) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  /* Most libraries hold no claim at all: nothing to build the tries for. */
  bool fAnyClaim = false;
  for (const VQX_EXCL_LIST& list : pFl->aExcl) fAnyClaim |= list.pFirst != nullptr;
  if (!fAnyClaim) return false;
  VQX_CLAIM aTries[5];
  u32 n = 0;
  const VQX_CLAIM base{0, hMsg->hAdapter, VQX_MSG_GROUP(hMsg->un32MsgId), hMsg->un64UserContext1,
                       hMsg->un64UserContext2};
  auto add = [&](u32 un32List) {
    aTries[n] = base;
    aTries[n++].un32List = un32List;
  };
  if (hMsg->un64UserContext1 != 0) {
    if (hMsg->un64UserContext2 != 0) add(VQX_EXCL_BY_PAIR);
    add(VQX_EXCL_BY_CONTEXT1);
  }
  if (hMsg->un64UserContext2 != 0) add(VQX_EXCL_BY_CONTEXT2);
  if (hMsg->hAdapter != 0) add(VQX_EXCL_BY_ADAPTER);
  if (base.un32MsgGroup != 0) add(VQX_EXCL_BY_GROUP);
  for (u32 i = 0; i < n; i++) {
    if (pFl->aExcl[aTries[i].un32List].pFirst == nullptr) continue;
    VQX_EXCL_ENTRY* pEntry = VqxClaimFind(pFl, aTries[i]);
    if (pEntry == nullptr) continue;
    if (!fMarked) VqxBufMarkReceived(hLib, hMsg);
    VqxMsgPostToFilter(hLib, pEntry->pOwner, hMsg, pBatch);
    return true;
  }
  return false;
}

void VqxMsgSortExclusiveFilters(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  for (VQX_EXCL_LIST& list : pFl->aExcl) {
    list.pFirst = VqxExclMergeSort(list.pFirst);
    VQX_EXCL_ENTRY* pPrev = nullptr;
    for (VQX_EXCL_ENTRY* p = list.pFirst; p != nullptr; pPrev = p, p = p->pNext) {
      p->pPrev = pPrev;
      p->un32Hits = 0;
    }
    list.pLast = pPrev;
  }
}

void VqxExclusiveFreeAll(VQX_LIB_HANDLE hLib) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  for (VQX_EXCL_LIST& list : pFl->aExcl) {
    while (list.pFirst != nullptr) {
      VQX_EXCL_ENTRY* p = list.pFirst;
      list.pFirst = p->pNext;
      free(p);
    }
    list = VQX_EXCL_LIST{};
  }
}
