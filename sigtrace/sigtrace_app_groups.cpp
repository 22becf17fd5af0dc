/*
 * sigtrace_app_groups.cpp - entities into and out of their trace groups, the
 * board's trace of one entity switched on or off
 * (docs/board-trace-messages.md), the groups' turn of the main loop and
 * their summary lines at the end.
 *
 * Main thread (and the console page for DetachEntity), application mutex held.
 */
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "sigtrace_app.h"
#include "sigtrace_board_trace.h"
#include "vqcafcli.h"
#include "vqx_clitools_cli.h"

namespace VQCAF {

namespace {

/* The same board: adapter names compared case-blind. */
bool SameBoard(const CVQSigTraceEntityParams& a, const CVQSigTraceEntityParams& b) {
  return strcasecmp(a.mstrAdapterName.c_str(), b.mstrAdapterName.c_str()) == 0;
}

/* The same entity of a board: type and addressing, whatever the board. */
bool SameAddress(const CVQSigTraceEntityParams& a, const CVQSigTraceEntityParams& b) {
  if (a.mun32Type != b.mun32Type) return false;
  switch (a.mun32Type) {
    case VQ_SIGTRACE_TYPE_IP:
      return a.mun32Transport == b.mun32Transport && a.mun32Port == b.mun32Port &&
             strcmp(a.mstrEthPort.c_str(), b.mstrEthPort.c_str()) == 0 && strcmp(a.mstrIpMask.c_str(), b.mstrIpMask.c_str()) == 0;
    case VQ_SIGTRACE_TYPE_CASR2: return a.mun32Trunk == b.mun32Trunk;
    case VQ_SIGTRACE_TYPE_H248: return strcmp(a.mstrName.c_str(), b.mstrName.c_str()) == 0;
    default: return a.mun32Trunk == b.mun32Trunk && (a.mun32TimeslotMask & b.mun32TimeslotMask) != 0;
  }
}

/* The same board entity: adapter (case-blind) and its addressing. */
bool SameEntity(const CVQSigTraceEntityParams& a, const CVQSigTraceEntityParams& b) {
  return SameBoard(a, b) && SameAddress(a, b);
}

/* Whether the board's discovery found the entity of R, a record of its (an IP
 * record: the board has a TUCL instance, the record's filter is its own). */
bool BoardHasEntity(CVQSigTraceAdapter& Adapter, const CVQSigTraceEntityParams& R) {
  CVQCAFMutexAutoGetGive Lock(&Adapter.GetMutex());
  if (R.mun32Type == VQ_SIGTRACE_TYPE_IP) return Adapter.GetTuclInstanceId() != 0;
  bool fHas = false;
  CVQSigTraceAdapter::EntityTable& Table = Adapter.GetEntityTable();
  Table.ResetNext();
  for (const CVQSigTraceEntityParams* p = Table.Next(); p != nullptr && !fHas; p = Table.Next()) fHas = SameAddress(*p, R);
  Table.ResetNext();
  return fHas;
}

/* The record of strName in the group, or null. */
CVQSigTraceEntityParams* Named(CVQSigTraceGrp* pGroup, const CVQCAFString& strName) {
  for (CVQSigTraceEntityParams& R : pGroup->mvEntities)
    if (R.mstrName == strName) return &R;
  return nullptr;
}

/* The name Entity is traced under in its group: its own, or, when another
 * board's entity has it there already, "<adapter>_<name>" (the first keeps
 * its name, so that a site without collisions sees no change). */
CVQCAFString TracedName(CVQSigTraceGrp* pGroup, const CVQSigTraceEntityParams& Entity) {
  const CVQSigTraceEntityParams* pHolder = pGroup != nullptr ? Named(pGroup, Entity.mstrName) : nullptr;
  if (pHolder == nullptr || SameBoard(*pHolder, Entity)) return Entity.mstrName;
  CVQCAFString strName;
  strName.Format("%s_%s", Entity.mstrAdapterName.c_str(), Entity.mstrName.c_str());
  return strName;
}

/* Whether the board still has an entity of the name a record of its was
 * traced under: that name, or the one it stands for as "<adapter>_<name>". */
bool BoardStillNames(CVQSigTraceAdapter& Adapter, const CVQSigTraceEntityParams& R) {
  CVQSigTraceEntityParams Found;
  CVQCAFString strName = R.mstrName;
  if (Adapter.GetEntityInformation(strName, &Found) != 0) return true;
  const size_t nPrefix = strlen(R.mstrAdapterName.c_str());
  if (strncmp(R.mstrName.c_str(), R.mstrAdapterName.c_str(), nPrefix) != 0 || R.mstrName.c_str()[nPrefix] != '_') return false;
  strName = CVQCAFString(R.mstrName.c_str() + nPrefix + 1);
  return Adapter.GetEntityInformation(strName, &Found) != 0;
}

/* The record that a board back with Entity takes over: its own record the
 * board no longer has, of this name, else of the same trunk and timeslots
 * whose name the board no longer has (renamed; a record whose name it still
 * has waits for the entity of that name, whichever comes first). */
CVQSigTraceEntityParams* EarlierRecord(CVQSigTraceAdapter& Adapter, CVQSigTraceGrp* pGroup,
                                       const CVQSigTraceEntityParams& Entity, const CVQCAFString& strName) {
  if (pGroup == nullptr) return nullptr;
  /* Its name held by a record of its own that is there: no other record is its. */
  if (CVQSigTraceEntityParams* pNamed = Named(pGroup, strName))
    return pNamed->mfGone != 0 && SameBoard(*pNamed, Entity) ? pNamed : nullptr;
  for (CVQSigTraceEntityParams& R : pGroup->mvEntities)
    if (R.mfGone != 0 && SameEntity(R, Entity) && !BoardStillNames(Adapter, R)) return &R;
  return nullptr;
}

/* The first of vWanted that selects R's entity, whose group is the one a start gives it; null when none does. */
const CVQSigTraceEntityParams* FirstWanted(const std::vector<CVQSigTraceEntityParams>& vWanted,
                                           const CVQSigTraceEntityParams& R) {
  const auto it = std::find_if(vWanted.begin(), vWanted.end(), [&](const CVQSigTraceEntityParams& W) { return SameEntity(W, R); });
  return it != vWanted.end() ? &*it : nullptr;
}

/* A record of a board's earlier stay: its board went away since it was traced. */
bool OfAnEarlierStay(const CVQSigTraceEntityParams& R) {
  return R.mfGone == VQ_SIGTRACE_GONE_BOARD || R.mfGone == VQ_SIGTRACE_GONE_HELD;
}

constexpr u32 kun32SummaryFlushMs = 1000u; /* the summaries' wait for the log writer */

/* Whether the log's lines reach a screen: a console drawing on a terminal. */
bool LogOnScreen() {
  CVQCAFCli* pCli = GetCli();
  return pCli != nullptr && VqxCliToolsIsInteractive(pCli->GetHandle()) != 0;
}

}  // namespace

CVQSigTraceGrp* CVQSigTrace::FindOrCreateGroup(const CVQSigTraceEntityParams& Entity) {
  const CVQCAFHashKeyString Key(Entity.mstrGroupName);
  if (CVQSigTraceGrp* pGroup = mGroups.Find(Key)) return pGroup;
  CVQSigTraceGrp* pGroup = mGroups.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), Key);
  if (pGroup == nullptr && RetireGroupOfGoneBoards()) pGroup = mGroups.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), Key);
  if (pGroup == nullptr) return nullptr;
  pGroup->mstrName = Entity.mstrGroupName;
  pGroup->mun32Type = Entity.mun32Type;
  pGroup->mfPcap = Entity.mfCapFile;
  pGroup->mfStdout = mCmdLine.mfStdout != 0 ? 1 : 0;
  pGroup->mfOldIsdnFraming = mCmdLine.mfOldIsdnCap != 0 ? 1 : 0;
  /* A group of this name given up earlier: its counts go on here. */
  for (auto it = mvRetiredGroups.begin(); it != mvRetiredGroups.end(); ++it) {
    if (!(it->strName == pGroup->mstrName)) continue;
    pGroup->mun32RxCount = it->un32Rx, pGroup->mun32TxCount = it->un32Tx, pGroup->mun32ExtCount = it->un32Ext;
    pGroup->mun32LostCount = it->un32Lost;
    mvRetiredGroups.erase(it);
    break;
  }
  return pGroup;
}

CVQSigTraceGrp* CVQSigTrace::GroupOfGoneBoards() {
  /* A group whose every entity is no longer traced: its board is no longer
   * present, or a reload switched it off. A pcap stream on the standard
   * output is never given up: a group after it could not start another there. */
  const auto AllGone = [&](const CVQSigTraceGrp& g) {
    if (g.mvEntities.empty() || (g.mfStdout != 0 && g.IsPcap())) return false;
    for (const CVQSigTraceEntityParams& E : g.mvEntities)
      if (E.mun32Type == VQ_SIGTRACE_TYPE_H248 ||
          (E.mfGone == 0 && mAdapters.Find(CVQCAFHashKeyString(E.mstrAdapterName)) != nullptr))
        return false;
    return true;
  };
  CVQSigTraceGrp* pFound = nullptr;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr && pFound == nullptr; g = mGroups.Next())
    if (AllGone(*g)) pFound = g;
  mGroups.ResetNext();
  return pFound;
}

bool CVQSigTrace::RetireGroupOfGoneBoards() {
  CVQSigTraceGrp* pRetired = GroupOfGoneBoards();
  if (pRetired == nullptr) return false;
  pRetired->CloseFile(); /* what its last write loses is counted before its counts are kept */
  mvRetiredGroups.push_back(SVQRetiredGroup{pRetired->mstrName, pRetired->mun32RxCount, pRetired->mun32TxCount,
                                            pRetired->mun32ExtCount, pRetired->mun32LostCount,
                                            pRetired->mfStdout != 0 && pRetired->mstrCurrentFile == ":STDOUT:"});
  bool fBoardsGone = true;
  for (const CVQSigTraceEntityParams& E : pRetired->mvEntities)
    fBoardsGone = fBoardsGone && mAdapters.Find(CVQCAFHashKeyString(E.mstrAdapterName)) == nullptr;
  LogTrace(VQMSG, "Group %s: %s, its file closed and its place given to a new group", pRetired->mstrName.c_str(),
           fBoardsGone ? "its boards are gone" : "its entities are no longer traced");
  mGroups.Free(CVQCAFDebugInfo(__FILE__, __LINE__), pRetired);
  mUnitIndex.Invalidate();
  return true;
}

void CVQSigTrace::AttachEntitiesWaitingForGroup() {
  std::vector<CVQSigTraceEntityParams> vWaiting;
  vWaiting.swap(mvWaitingForGroup);
  for (CVQSigTraceEntityParams& Entity : vWaiting) {
    CVQSigTraceAdapter* pAdapter = mAdapters.Find(CVQCAFHashKeyString(Entity.mstrAdapterName));
    if (pAdapter == nullptr) continue; /* its board gone: still counted, attached again when it is back */
    if (mGroups.Find(CVQCAFHashKeyString(Entity.mstrGroupName)) == nullptr && GroupOfGoneBoards() == nullptr) {
      mvWaitingForGroup.push_back(Entity); /* no place yet: no new line */
      continue;
    }
    AttachEntityToGroup(*pAdapter, Entity);
  }
}

u32 CVQSigTrace::AttachEntityToGroup(CVQSigTraceAdapter& Adapter, CVQSigTraceEntityParams& Entity) {
  static constexpr const char* kOp = "CVQSigTrace::AttachEntityToGroup";
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  Entity.mstrAdapterName = CVQCAFString(AdapterName(Adapter));
  const CVQCAFString strBoardName = Entity.mstrName;
  const std::string strUntracedKey = std::string(Entity.mstrAdapterName.c_str()) + ":" + strBoardName.c_str();
  /* Out of the entities waiting for a group, once traced or waiting again. */
  const auto NoLongerWaiting = [&] {
    std::erase_if(mvWaitingForGroup, [&](const CVQSigTraceEntityParams& W) {
      return SameEntity(W, Entity) && W.mstrGroupName == Entity.mstrGroupName;
    });
  };
  CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(Entity.mstrGroupName));
  const CVQCAFString strName = TracedName(pGroup, Entity);
  /* Traced in a group already: the same record again (board resynchronised)
   * is switched on again; anything else is a conflict. Records the board no
   * longer has are out of it. */
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next()) {
    for (CVQSigTraceEntityParams& Traced : g->mvEntities) {
      if (Traced.mfGone != 0 || !SameEntity(Traced, Entity)) continue;
      mGroups.ResetNext();
      if (g->mstrName == Entity.mstrGroupName && Traced.mstrName == strName) {
        LogTrace(VQMSG, "Entity %s:%s back in group %s: trace on again", Traced.mstrAdapterName.c_str(),
                 Traced.mstrName.c_str(), g->mstrName.c_str());
        Traced.mfConfigured |= Entity.mfConfigured;
        return SetEntityTrace(Traced, true);
      }
      if (Traced.mfConfigured != 0 && Entity.mfConfigured == 0) {
        /* The command line's wider selection meets what the file puts in a group of its own: the file's group
         * holds, as at a start. Nothing is wrong. */
        LogTrace(VQLV1, "Entity %s:%s traced in group %s by the configuration, not in %s", Traced.mstrAdapterName.c_str(),
                 Traced.mstrName.c_str(), g->mstrName.c_str(), Entity.mstrGroupName.c_str());
        return VQX_RESULT_OK;
      }
      if (mReloadedBoards.count(Entity.mstrAdapterName.c_str()) != 0) {
        /* The file of a reload whose discovery has not completed on the board (a ready message a later discovery
         * overtook): that discovery switches off what the file no longer selects first, and then attaches. */
        LogTrace(VQLV1, "Entity %s:%s stays in group %s until its board's discovery after the reload, not in %s",
                 Traced.mstrAdapterName.c_str(), Traced.mstrName.c_str(), g->mstrName.c_str(), Entity.mstrGroupName.c_str());
        return VQX_RESULT_OK;
      }
      CVQCAFString strText;
      strText.Format("Trying to monitor twice the same entity on %s, %s:%s conflict with %s:%s", g->mstrName.c_str(),
                     Entity.mstrAdapterName.c_str(), Entity.mstrName.c_str(), Traced.mstrAdapterName.c_str(),
                     Traced.mstrName.c_str());
      return Failure(kOp, strText.c_str(), VQX_RESULT_INVALID_OPERATION, __LINE__);
    }
  }
  mGroups.ResetNext();
  /* A board back takes over its own earlier record, moved or renamed: its
   * counts go on. */
  CVQSigTraceEntityParams* pEarlier = EarlierRecord(Adapter, pGroup, Entity, strName);
  if (pEarlier != nullptr && pGroup->mun32Type == Entity.mun32Type) {
    if (pEarlier->mstrName == strName && pEarlier->mun32Trunk == Entity.mun32Trunk &&
        pEarlier->mun32TimeslotMask == Entity.mun32TimeslotMask)
      LogTrace(VQMSG, "Entity %s:%s back in group %s: trace on again", Entity.mstrAdapterName.c_str(), strName.c_str(),
               pGroup->mstrName.c_str());
    else
      LogTrace(VQMSG, "Entity %s:%s back in group %s in place of %s (trunk %u, timeslots %08X): trace on again",
               Entity.mstrAdapterName.c_str(), strName.c_str(), pGroup->mstrName.c_str(), pEarlier->mstrName.c_str(),
               pEarlier->mun32Trunk, pEarlier->mun32TimeslotMask);
    CVQSigTraceEntityParams Back = Entity;
    Back.mstrName = strName;
    Back.mun64EntityId = pEarlier->mun64EntityId;
    Back.mun32RxCount = pEarlier->mun32RxCount, Back.mun32TxCount = pEarlier->mun32TxCount;
    Back.mun32ExtCount = pEarlier->mun32ExtCount;
    *pEarlier = Back;
    mUnitIndex.Invalidate();
    mUntracedEntities.erase(strUntracedKey);
    NoLongerWaiting();
    return SetEntityTrace(*pEarlier, true);
  }
  if (pGroup == nullptr) pGroup = FindOrCreateGroup(Entity);
  if (pGroup == nullptr) {
    /* Tried again once a place may have freed (AttachEntitiesWaitingForGroup). */
    NoLongerWaiting();
    mvWaitingForGroup.push_back(Entity);
    mUntracedEntities.insert(strUntracedKey);
    const std::string strText = "No more group context (increase QUELLAN_MAX_GROUPS define): " + strUntracedKey + " not traced";
    return Failure(kOp, strText.c_str(), VQX_RESULT_OUT_OF_RESOURCE, __LINE__);
  }
  /* Every entity left out below is named on its line and counted in the summary. */
  if (pGroup->mun32Type != Entity.mun32Type) {
    mUntracedEntities.insert(strUntracedKey);
    const std::string strText =
        "Type mismatch: SS7, ISDN and SIP cannot be merged inside the same group: " + strUntracedKey + " not traced";
    return Failure(kOp, strText.c_str(), VQX_RESULT_INVALID_PARAM, __LINE__);
  }
  /* The name taken there by another record, also one of the same board (an
   * entity of its own named like another's "<adapter>_<name>"). */
  if (const CVQSigTraceEntityParams* pHolder = Named(pGroup, strName)) {
    mUntracedEntities.insert(strUntracedKey);
    CVQCAFString strText;
    strText.Format("Entity %s:%s cannot be traced in group %s: %s is taken there by %s", Entity.mstrAdapterName.c_str(),
                   strBoardName.c_str(), pGroup->mstrName.c_str(), strName.c_str(), pHolder->mstrAdapterName.c_str());
    return Failure(kOp, strText.c_str(), VQX_RESULT_INVALID_OPERATION, __LINE__);
  }
  if (!(strName == strBoardName))
    LogTrace(VQMSG, "Entity %s:%s traced as %s in group %s: another board's entity has its name there",
             Entity.mstrAdapterName.c_str(), strBoardName.c_str(), strName.c_str(), pGroup->mstrName.c_str());
  Entity.mstrName = strName;
  Entity.mun64EntityId = ++mun32EntityNumber;
  Entity.mun32RxCount = Entity.mun32TxCount = Entity.mun32ExtCount = 0;
  Entity.mfGone = 0;
  pGroup->mvEntities.push_back(Entity);
  mUnitIndex.Invalidate();
  mUntracedEntities.erase(strUntracedKey);
  NoLongerWaiting();
  LogTrace(VQMSG, "Allocate entity: add \033[32m%s:%s\033[m in group \033[32m%s\033[m %s", Entity.mstrAdapterName.c_str(),
           Entity.mstrName.c_str(), pGroup->mstrName.c_str(), pGroup->IsPcap() ? "CAP" : "FORMAT");
  return SetEntityTrace(pGroup->mvEntities.back(), true);
}


void CVQSigTrace::OnLoopTurn(bool fIdle) {
  /* Without a log file the lines went to standard error already. Asked only
   * when a line is due: the log's state is behind its writer's lock. */
  const auto AlsoOnStderr = [](const char* pszLine) {
    if (IsLogInitialized() != 0 && !LogOnScreen()) fprintf(stderr, "%s\n", pszLine);
  };
  mGroups.ResetNext();
  for (CVQSigTraceGrp* pGroup = mGroups.Next(); pGroup != nullptr; pGroup = mGroups.Next()) {
    pGroup->WriteOut(fIdle);
    if (!pGroup->mstrFirstLoss.IsEmpty() && pGroup->mfFirstLossShown == 0) {
      /* The group's first write loss (a full disk): its later ones stay in the log. */
      pGroup->mfFirstLossShown = 1;
      AlsoOnStderr(pGroup->mstrFirstLoss.c_str());
    }
    if (pGroup->mfOpenFailed == 0 || pGroup->mfOpenFailureShown != 0) continue;
    pGroup->mfOpenFailureShown = 1;
    CVQCAFString strText;
    strText.Format("Group %s cannot open its file %s: its units are lost until it can", pGroup->mstrName.c_str(),
                   pGroup->mstrFailedFile.c_str());
    LogTrace(VQERR, "%s", strText.c_str());
    AlsoOnStderr(strText.c_str());
  }
  mGroups.ResetNext();
  for (EVQTraceFamily e : {EVQTraceFamily::Ss7, EVQTraceFamily::Lapd, EVQTraceFamily::Isdn, EVQTraceFamily::Casr2,
                           EVQTraceFamily::Ip}) {
    CVQSigTraceLogLimit& Limit = maRefusalLimit[static_cast<u32>(e)];
    const u32 un32LeftOut = Limit.LeftOut() != 0 ? Limit.TakeDue(ClockMs()) : 0;
    if (un32LeftOut == 0) continue;
    CVQCAFString strText;
    strText.Format("%s unit refused %u more time(s) since the last line", VqTraceFamily(e).pszName, un32LeftOut);
    Failure("CVQSigTrace::HandleTraceUnit", strText.c_str(), VQX_RESULT_INVALID_PARAM, __LINE__);
  }
  LogUntracedUnitsDue(false);
}

void CVQSigTrace::LogUntracedUnitsDue(bool fAll) {
  u32 un32LeftOut = mUntracedUnitsLimit.LeftOut() != 0 ? mUntracedUnitsLimit.TakeDue(ClockMs()) : 0;
  if (fAll && un32LeftOut == 0) un32LeftOut = std::exchange(mUntracedUnitsLimit, CVQSigTraceLogLimit()).LeftOut();
  if (un32LeftOut != 0) LogTrace(VQMSG, "Units with no traced entity dropped: %u more since the last line", un32LeftOut);
}

bool CVQSigTrace::LogGroupSummaries() {
  const bool fLogFile = IsLogInitialized() != 0;
  const u64 un64Dropped = fLogFile ? GetLogDroppedCount() : 0;
  std::string strLines;
  bool fNoneWritten = false;
  const auto Line = [&](const CVQCAFString& strLine) {
    LogTrace(VQMSG, "%s", strLine.c_str());
    strLines += std::string(strLine.c_str()) + "\n";
  };
  /* One line a group; fStdoutTaken: a standard output whose reader went away ends the run in success. Units
   * that never reached the group (un32Unseen, among its units and its lost) are no failure of its file. */
  const auto Summary = [&](const CVQCAFString& strName, u32 un32Units, u32 un32Lost, u32 un32Unseen, bool fStdoutTaken) {
    CVQCAFString strLine;
    strLine.Format("Group %s: %u units written, %u lost", strName.c_str(), un32Units - un32Lost, un32Lost);
    Line(strLine);
    const u32 un32Records = un32Units - un32Unseen;
    if (un32Records != 0 && un32Lost - un32Unseen >= un32Records && !fStdoutTaken) fNoneWritten = true;
  };
  mGroups.ResetNext();
  for (CVQSigTraceGrp* pGroup = mGroups.Next(); pGroup != nullptr; pGroup = mGroups.Next()) {
    pGroup->CloseFile(); /* what the last write loses is counted before the line */
    Summary(pGroup->mstrName, pGroup->Units(), pGroup->mun32LostCount, pGroup->mun32UnseenCount,
            pGroup->mfStdout != 0 && pGroup->mstrCurrentFile == ":STDOUT:");
  }
  mGroups.ResetNext();
  for (const SVQRetiredGroup& R : mvRetiredGroups) Summary(R.strName, R.un32Rx + R.un32Tx + R.un32Ext, R.un32Lost, 0, R.fStdoutTaken);
  /* What providers' and boards' links lost of groups that cannot be told apart. */
  for (const auto& [strKey, un32Lost] : mProviderLinkLost) {
    CVQCAFString strLine;
    strLine.Format("Provider %s: %u units lost, their group not known (%s)", strKey.c_str(), un32Lost,
                   ProviderGroupNames(CVQCAFString(strKey.c_str())).c_str());
    Line(strLine);
  }
  for (const auto& [strName, Lost] : mBoardLinkLost) {
    CVQCAFString strLine;
    strLine.Format("Board %s: %u units lost, their group not known (%s)", strName.c_str(), Lost.first,
                   Lost.second.c_str());
    Line(strLine);
  }
  if (mun32ProvidersGoneFolded != 0) {
    CVQCAFString strLine;
    strLine.Format("Providers that left: %u units lost, their group not known (%u providers' lines folded)",
                   mun32ProvidersGoneLost, mun32ProvidersGoneFolded);
    Line(strLine);
  }
  if (mun32UntracedUnits != 0) {
    CVQCAFString strLine;
    strLine.Format("Units with no traced entity: %u dropped", mun32UntracedUnits);
    Line(strLine);
  }
  const u32 un32UntracedProviders = mProviderPlaces.LeftOut();
  const u32 un32UntracedBoards = mBoardPlaces.LeftOut();
  /* The entities boards offered that their discovery left out of the table: "<N> of <board> (<why>)" each. */
  u32 un32BoardEntities = 0;
  std::string strBoardEntities;
  for (const auto& [strBoard, LeftOut] : mvBoardEntitiesLeftOut) {
    if (LeftOut.Total() == 0) continue;
    un32BoardEntities += LeftOut.Total();
    std::string strWhy;
    const std::string strPast = "past its 128 (" + LeftOut.Discovery.PastTableByFamily() + ")";
    for (const auto& [un32Count, pszWhy] :
         {std::pair{LeftOut.Discovery.un32PastTable, strPast.c_str()},
          std::pair{LeftOut.Discovery.un32NotDiscovered, "not discovered"},
          std::pair{LeftOut.Discovery.un32CutShort, LeftOut.fRemoved ? "cut short by its removal" : "cut short by the close"},
          std::pair{LeftOut.un32NotTraced, "in its table, not traced"}})
      if (un32Count != 0) strWhy += (strWhy.empty() ? "" : ", ") + std::to_string(un32Count) + " " + pszWhy;
    strBoardEntities += (strBoardEntities.empty() ? "" : ", ") + std::to_string(LeftOut.Total()) + " of " + strBoard +
                        " (" + strWhy + ")";
  }
  if (!mUntracedEntities.empty() || un32UntracedProviders != 0 || un32UntracedBoards != 0 || un32BoardEntities != 0) {
    CVQCAFString strLine;
    strLine.Format("Entities not traced: %u", static_cast<u32>(mUntracedEntities.size()) + un32UntracedProviders +
                                                  un32UntracedBoards + un32BoardEntities);
    if (un32UntracedProviders != 0) strLine += (", providers among them: " + mProviderPlaces.LeftOutText()).c_str();
    if (un32UntracedBoards != 0) {
      /* A board that never had a place: its entities were never discovered, so it counts as one. */
      static_assert(QUELLAN_MAX_ADAPTERS == 32, "the text names the limit");
      strLine += (", boards among them: " + mBoardPlaces.LeftOutText() +
                  " (no place among the 32 boards)").c_str();
    }
    if (un32BoardEntities != 0) strLine += (", board entities among them: " + strBoardEntities).c_str();
    Line(strLine);
  }
  /* The log shares the disk the groups may have filled; a run that lost a
   * whole group says so where its caller looks. */
  if (fNoneWritten ||
      (fLogFile && !strLines.empty() && (VQX_RESULT_FAILED(FlushLog(kun32SummaryFlushMs)) || GetLogDroppedCount() != un64Dropped)))
    fputs(strLines.c_str(), stderr);
  return fNoneWritten;
}

void CVQSigTrace::KeepBoardLeftOut(CVQSigTraceAdapter& Adapter, bool fRemoved) {
  const CVQCAFString strBoard(AdapterName(Adapter));
  SVQBoardLeftOut Kept{Adapter.GetLeftOut(), 0, fRemoved};
  /* The entities of its table the run traces (by the command line or the configuration) that have no record in a
   * group, nor are counted apart already (no group, a name taken). */
  const std::vector<CVQSigTraceEntityParams>& vTable = Adapter.GetTableAtClear();
  const auto Of = [&](CVQSigTraceEntityParams E) {
    E.mstrAdapterName = strBoard;
    return E;
  };
  const bool fBoardSelected = mCmdLine.IsAdapterSelected(strBoard.c_str());
  const std::vector<CVQSigTraceEntityParams> vConfigured =
      vTable.empty() ? std::vector<CVQSigTraceEntityParams>()
                     : ConfiguredOn(strBoard, CVQCAFString(Adapter.GetAdapterInfo().szName),
                                    [&](CVQCAFString& strEntity, CVQSigTraceEntityParams& Entity) {
                                      const auto it = std::find_if(vTable.begin(), vTable.end(), [&](const auto& E) {
                                        return strcmp(E.mstrName.c_str(), strEntity.c_str()) == 0;
                                      });
                                      if (it != vTable.end()) Entity = *it;
                                      return it != vTable.end();
                                    });
  std::vector<const CVQSigTraceEntityParams*> vTraced;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr && !vTable.empty(); g = mGroups.Next())
    for (const CVQSigTraceEntityParams& R : g->mvEntities)
      if (R.mfGone == 0 && R.mun32Type != VQ_SIGTRACE_TYPE_H248 && strcasecmp(R.mstrAdapterName.c_str(), strBoard.c_str()) == 0)
        vTraced.push_back(&R);
  mGroups.ResetNext();
  for (const CVQSigTraceEntityParams& E : vTable) {
    const CVQSigTraceEntityParams Entity = Of(E);
    const auto Same = [&](const CVQSigTraceEntityParams& R) { return SameEntity(R, Entity); };
    const bool fSelected = (fBoardSelected && CVQSigTraceAdapter::CommandLineSelects(mCmdLine, E.mun32Type)) ||
                           std::any_of(vConfigured.begin(), vConfigured.end(), Same);
    if (!fSelected || mUntracedEntities.count(std::string(strBoard.c_str()) + ":" + E.mstrName.c_str()) != 0 ||
        std::any_of(vTraced.begin(), vTraced.end(), [&](const CVQSigTraceEntityParams* p) { return Same(*p); }))
      continue;
    Kept.un32NotTraced++;
  }
  const auto it = std::find_if(mvBoardEntitiesLeftOut.begin(), mvBoardEntitiesLeftOut.end(),
                               [&](const auto& B) { return B.first == strBoard.c_str(); });
  if (it != mvBoardEntitiesLeftOut.end()) it->second = Kept;
  else mvBoardEntitiesLeftOut.emplace_back(strBoard.c_str(), Kept);
}

std::string CVQSigTrace::GroupNames(const std::vector<CVQSigTraceGrp*>& aGroups) {
  if (aGroups.empty()) return "no group";
  std::string str = aGroups.size() == 1 ? "group " : "groups ";
  for (size_t i = 0; i < aGroups.size(); i++) str += (i == 0 ? "" : ", ") + std::string(aGroups[i]->mstrName.c_str());
  return str;
}

void CVQSigTrace::CountBoardLinkLost(u32 hAdapter, u32 un32Lost) {
  CVQSigTraceAdapter* pAdapter = nullptr;
  mAdapters.ResetNext();
  for (CVQSigTraceAdapter* p = mAdapters.Next(); p != nullptr; p = mAdapters.Next())
    if (p->GetAdapterHandle() == hAdapter) pAdapter = p;
  mAdapters.ResetNext();
  if (pAdapter == nullptr) {
    LogTrace(VQMSG, "Board 0x%08X: %u message(s) lost as its link closed, the board no longer known", hAdapter, un32Lost);
    return;
  }
  /* The groups its units go to: those of its entities traced now. */
  const CVQCAFString strName(AdapterName(*pAdapter));
  std::vector<CVQSigTraceGrp*> aGroups;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next())
    for (const CVQSigTraceEntityParams& E : g->mvEntities)
      if (E.mun32Type != VQ_SIGTRACE_TYPE_H248 && E.mfGone == 0 &&
          strcasecmp(E.mstrAdapterName.c_str(), strName.c_str()) == 0) {
        aGroups.push_back(g);
        break;
      }
  mGroups.ResetNext();
  if (aGroups.empty()) {
    LogTrace(VQMSG, "Board %s: %u message(s) lost as its link closed, none of its entities traced", strName.c_str(),
             un32Lost);
  } else if (aGroups.size() == 1) {
    aGroups[0]->CountUnseenLost(un32Lost);
    LogTrace(VQMSG, "Board %s: %u message(s) lost as its link closed, counted in group %s", strName.c_str(), un32Lost,
             aGroups[0]->mstrName.c_str());
  } else {
    const std::string strGroups = GroupNames(aGroups);
    auto& Lost = mBoardLinkLost[strName.c_str()];
    Lost = {Lost.first + std::min(un32Lost, 0xFFFFFFFFu - Lost.first), strGroups};
    LogTrace(VQMSG, "Board %s: %u message(s) lost as its link closed, counted on a line of their own (%s)",
             strName.c_str(), un32Lost, strGroups.c_str());
  }
}

u32 CVQSigTrace::DetachEntity(CVQSigTraceGrp& Group, CVQSigTraceEntityParams& Entity) {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  for (auto it = Group.mvEntities.begin(); it != Group.mvEntities.end(); ++it) {
    if (&*it != &Entity && !(it->mstrName == Entity.mstrName && it->mstrAdapterName == Entity.mstrAdapterName)) continue;
    SetEntityTrace(*it, false);
    LogTrace(VQMSG, "Free entity: \033[32m %s:%s\033[m in group \033[32m%s\033[m", it->mstrAdapterName.c_str(),
             it->mstrName.c_str(), Group.mstrName.c_str());
    Group.mvEntities.erase(it);
    mUnitIndex.Invalidate(); /* the later entities' positions moved too */
    return VQX_RESULT_OK;
  }
  return VQX_RESULT_NOT_FOUND;
}

void CVQSigTrace::SwitchOffUnselected(const CVQCAFString& strAdapter, const std::vector<CVQSigTraceEntityParams>& vWanted) {
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next()) {
    for (CVQSigTraceEntityParams& Traced : g->mvEntities) {
      if (Traced.mfGone == VQ_SIGTRACE_GONE_OFF || Traced.mun32Type == VQ_SIGTRACE_TYPE_H248 ||
          strcasecmp(Traced.mstrAdapterName.c_str(), strAdapter.c_str()) != 0)
        continue;
      /* A record of the board's last stay: the board back may trace it still (it stayed powered through a network
       * break), unless it no longer has that entity. */
      if (OfAnEarlierStay(Traced)) {
        CVQSigTraceAdapter* pAdapter = mAdapters.Find(CVQCAFHashKeyString(Traced.mstrAdapterName));
        if (pAdapter == nullptr || !BoardHasEntity(*pAdapter, Traced)) continue;
      }
      /* The first wanted of the entity takes it, as at a start; a later one is a conflict there. */
      const CVQSigTraceEntityParams* pWanted = FirstWanted(vWanted, Traced);
      if (pWanted != nullptr && pWanted->mstrGroupName == g->mstrName) {
        Traced.mfExtended = pWanted->mfExtended; /* switched on again with it by the attach */
        Traced.mfConfigured = pWanted->mfConfigured;
        if (Traced.mfGone == VQ_SIGTRACE_GONE_HELD) {
          Traced.mfGone = VQ_SIGTRACE_GONE_BOARD; /* its units taken again until the attach */
          mUnitIndex.Invalidate();
        }
        continue;
      }
      CVQSigTraceEntityParams Off(Traced);
      Off.mfGone = 0;
      SetEntityTrace(Off, false);
      Traced.mfGone = VQ_SIGTRACE_GONE_OFF; /* kept for the summary; an attach of the entity in this group takes it over */
      mUnitIndex.Invalidate();
      if (pWanted != nullptr)
        LogTrace(VQMSG, "Entity %s:%s moved from group %s to group %s by the configuration: its record kept in %s",
                 Traced.mstrAdapterName.c_str(), Traced.mstrName.c_str(), g->mstrName.c_str(),
                 pWanted->mstrGroupName.c_str(), g->mstrName.c_str());
      else
        LogTrace(VQMSG, "Entity %s:%s no longer selected by the configuration: trace off, its record kept in group %s",
                 Traced.mstrAdapterName.c_str(), Traced.mstrName.c_str(), g->mstrName.c_str());
    }
  }
  mGroups.ResetNext();
}

void CVQSigTrace::HoldBackUnselected(const CVQCAFString& strAdapter, const std::vector<CVQSigTraceEntityParams>& vWanted) {
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next()) {
    for (CVQSigTraceEntityParams& R : g->mvEntities) {
      if (!OfAnEarlierStay(R) || R.mun32Type == VQ_SIGTRACE_TYPE_H248 ||
          strcasecmp(R.mstrAdapterName.c_str(), strAdapter.c_str()) != 0)
        continue;
      const CVQSigTraceEntityParams* pWanted = FirstWanted(vWanted, R);
      const u8 fGone = pWanted != nullptr && pWanted->mstrGroupName == g->mstrName ? VQ_SIGTRACE_GONE_BOARD
                                                                                    : VQ_SIGTRACE_GONE_HELD;
      if (R.mfGone == fGone) continue;
      R.mfGone = fGone;
      mUnitIndex.Invalidate();
    }
  }
  mGroups.ResetNext();
}

bool CVQSigTrace::TracedByTheConfiguration(const CVQCAFString& strAdapter, const CVQSigTraceEntityParams& Entity) {
  bool fTraced = false;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr && !fTraced; g = mGroups.Next())
    for (const CVQSigTraceEntityParams& R : g->mvEntities)
      fTraced = fTraced || (R.mfConfigured != 0 && R.mfGone == 0 && SameAddress(R, Entity) &&
                            strcasecmp(R.mstrAdapterName.c_str(), strAdapter.c_str()) == 0);
  mGroups.ResetNext();
  return fTraced;
}

u32 CVQSigTrace::SetEntityTrace(CVQSigTraceEntityParams& Entity, bool fOn, u32* pfSent) {
  if (pfSent != nullptr) *pfSent = 0;
  static constexpr const char* kOp = "CVQSigTrace::SetEntityTrace";
  /* A record its board no longer has: that board would refuse it. */
  if (Entity.mun32Type == VQ_SIGTRACE_TYPE_H248 || Entity.mfGone != 0 || mhHostLib == nullptr) return VQX_RESULT_OK;
  CVQSigTraceAdapter* pAdapter = mAdapters.Find(CVQCAFHashKeyString(Entity.mstrAdapterName));
  if (pAdapter == nullptr) return VQX_RESULT_OK;  /* board gone: its trace went with it */
  u32 un32Tucl = 0, hAdapter = 0;
  {
    CVQCAFMutexAutoGetGive AdapterLock(&pAdapter->GetMutex());
    un32Tucl = pAdapter->GetTuclInstanceId();
    hAdapter = pAdapter->GetAdapterHandle();
  }
  std::vector<u8> Payload;
  u32 un32MsgId = 0;
  VQX_RESULT r = VqBuildTraceSet(Entity, fOn, un32Tucl, un32MsgId, Payload);
  if (VQX_RESULT_FAILED(r)) return Failure(kOp, "Entity cannot be traced by its board", r, __LINE__);
  VQX_MSG_HANDLE hMsg = nullptr;
  r = VQXGetMsgDbg(mhHostLib, static_cast<u32>(Payload.size()), &hMsg, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return Failure(kOp, "VQXGetMsg failed", r, __LINE__);
  memcpy(VQXMsgPayload(hMsg), Payload.data(), Payload.size());
  hMsg->un32MsgId = un32MsgId;
  hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
  hMsg->un32PayloadLength = static_cast<u32>(Payload.size());
  hMsg->hAdapter = hAdapter;
  hMsg->un64UserContext1 = 0;
  hMsg->un64UserContext2 = 0;
  r = VQXSendMsgDbg(mhHostLib, &hMsg, nullptr, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return Failure(kOp, "VQXSendMsg failed", r, __LINE__);
  if (pfSent != nullptr) *pfSent = 1;
  LogTrace(VQLV1, "Trace %s on %s:%s", fOn ? "on" : "off", Entity.mstrAdapterName.c_str(), Entity.mstrName.c_str());
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
