/*
 * vqcmc_request_table.h - the commands of one leg or mixer waiting for their
 * responses, and the error listener each one's failure goes to. The first
 * listener ever given becomes the default one; a command with the default
 * listener, or none, waits unlimited and its failure goes to the default
 * listener of the moment; a command with another listener holds one of the
 * table's slots (at most its capacity) until its response, or until the
 * server is known to send none any more (TakeAll), takes it.
 *
 * Model. A leg mostly has a command or two in flight: the oldest few wait
 * in a small array, in sending order, searched from its start. Beyond them
 * each waiting command is an entry of a hash by serial number, the entries
 * chained in sending order (all newer than those of the array, which takes
 * new commands again only once the hash is empty). Finding and removing the
 * command a response answers thus costs the same however many are in flight
 * and in whatever order the answers come, and the failures of those left
 * when no response will come go out oldest first. The hash keeps the
 * entries of the last few answers for the next commands, and gives its
 * memory back when it empties after a burst. Not a public header.
 * Threads: none inside; the owner calls it under its own mutex.
 */
#ifndef VQCMC_REQUEST_TABLE_H
#define VQCMC_REQUEST_TABLE_H

#include <unordered_map>
#include <utility>

#include "vqcmc_listener.h"
#include "vqx_host.h"
#include "vqx_log_limit.h"

namespace VQCAF {

class CVQCMCRequestTable {
 public:
  explicit CVQCMCRequestTable(u32 un32Capacity) : mun32Capacity(un32Capacity) {}
  CVQCMCRequestTable(const CVQCMCRequestTable&) = delete;
  CVQCMCRequestTable& operator=(const CVQCMCRequestTable&) = delete;

  /* Remembers hMsg's command and its listener (null hMsg: nothing kept). 0x82000008 when the
   * listener needs a slot and all are held, 0x82000012 when no memory is left, 0x82000009 for a
   * null hMsg with a listener of its own; *ppszStep then names the failed step
   * ("VQXHashInsert Failed." / "VQXHashCreateWithKey Failed."). A command still waiting under the
   * same serial (the host library's numbering came round in its 2^32 messages) is dropped. */
  VQX_RESULT Remember(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener, const char** ppszStep);
  /* Whether the response hMsg answers a command still waiting. */
  bool Awaits(VQX_MSG_HANDLE hMsg) const {
    if (hMsg == nullptr) return false;
    for (u32 i = 0; i < mun32Inline; i++) {
      if (maInline[i].un32Serial == hMsg->un32SerialNumber) return true;
    }
    return !mBySerial.empty() && mBySerial.count(hMsg->un32SerialNumber) != 0;
  }
  /* The listener of a response's command, taken out: its own, else the default one; null when no
   * command of it is in flight (whoever heard of that command is not told again). */
  IVQCMCErrorListener* Take(VQX_MSG_HANDLE hMsg);
  /* Drops the command of a send that failed. */
  void Forget(u32 un32Serial);
  /* Takes every command still waiting out, then, oldest first, fnEach(command id, its listener
   * or the default one, null when there is none). Commands remembered meanwhile (by fnEach) stay. */
  template <class F>
  void TakeAll(F&& fnEach) {
    Command aFirst[kInline];
    const u32 un32First = mun32Inline;
    std::copy(maInline, maInline + un32First, aFirst);
    Map Taken;  // the entries stay where they are, chained as they were
    Taken.swap(mBySerial);
    const Request* p = mpOldest;
    Clear();
    for (u32 i = 0; i < un32First; i++) Tell(fnEach, aFirst[i]);
    for (; p != nullptr; p = p->pNewer) Tell(fnEach, p->Cmd);
  }
  /* Drops every command (no listener is told). */
  void Clear();
  /* Slots held: commands waiting with a listener of their own. */
  u32 GetCount() const { return mun32Count; }
  /* Commands waiting, whatever their listener. */
  size_t GetWaiting() const { return mun32Inline + mBySerial.size(); }

  /* The owner's line for a response that answers nothing waiting, kept to one a second. */
  CVqxLogLimit mStrayLines;

 private:
  struct Command {
    u32 un32Serial;
    u32 un32MsgId;
    IVQCMCErrorListener* pListener; /* null: the default listener's */
  };
  struct Request {
    Command Cmd;
    Request* pOlder; /* the sending order; entries of the hash do not move */
    Request* pNewer;
  };
  using Map = std::unordered_map<u32, Request>;
  static constexpr u32 kInline = 4;

  template <class F>
  void Tell(F& fnEach, const Command& Cmd) {
    fnEach(Cmd.un32MsgId, Cmd.pListener != nullptr ? Cmd.pListener : mpDefault);
  }
  /* The command of that serial taken out (its listener, null for the default's); false: none waits. */
  bool TakeSerial(u32 un32Serial, IVQCMCErrorListener** ppListener);
  /* A new hash entry for the serial (a spare one when there is one), null when the serial has
   * one; std::bad_alloc when memory runs out. */
  Request* Insert(u32 un32Serial);

  u32 mun32Capacity;
  IVQCMCErrorListener* mpDefault = nullptr;
  Command maInline[kInline]; /* the oldest commands waiting, in sending order */
  u32 mun32Inline = 0;
  Map mBySerial;             /* the newer ones by serial number */
  Request* mpOldest = nullptr;
  Request* mpNewest = nullptr;
  Map::node_type maSpare[kInline]; /* entries of answered commands, for the next ones */
  u32 mun32Spare = 0;
  u32 mun32Count = 0;
};

}  // namespace VQCAF

#endif
