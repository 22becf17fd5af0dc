/*
 * cmc_fixture.h - what the core library's tests share: a host library with
 * no transport, the library opened over it with the intake detached, an
 * injected clock and peer table, and an intake the test calls by hand.
 * Messages the library sends come back to the test (Sent); its private
 * messages to itself are fed back on the next intake call, as the host
 * library's local delivery would.
 */
#ifndef CMC_FIXTURE_H
#define CMC_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "vqcmc_lib_internal.h"

struct SentMsg {
  u32 un32Id, un32Type, hDest;
  u64 un64Uc1, un64Uc2;
  std::vector<u8> Payload;
};

/* Golden rows "name: hex" of tests/data/<file> (VQX_TEST_DATA names the folder), and hex of bytes. */
std::map<std::string, std::string> CmcGolden(const char* pszFile);
std::string CmcHex(const void* pv, size_t nSize);

class CmcTest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;
  /* Opens the library (mThreads job threads); false on failure. */
  VQX_RESULT Open(u32 un32Threads = 1, u32 un32FailStep = 0);
  void Close();
  /* One intake call with these messages (the looped-back private ones first). */
  void Intake(std::vector<VQX_MSG_HANDLE> aMsgs = {});
  /* Moves the clock by ms, then runs the intake once. */
  void Advance(u32 un32Ms);
  VQX_MSG_HANDLE Msg(u32 un32Id, u32 hSource, u32 un32Type, u32 un32Payload, i32 n32Result = 0);
  /* A message of that id as a server sends it: a create's answer a whole response, a call's end
   * a whole notification (what the application's objects read), anything else a 40-byte event. */
  VQX_MSG_HANDLE Whole(u32 un32Id, u32 hSource, i32 n32Result = 0);
  /* A server peer known to the injected host-info query; returns its adapter-added message. */
  VQX_MSG_HANDLE AddServer(u32 hHost, u64 un64Key, const char* pszApp = "cmc_server", u64 un64Unique = 0);
  VQX_MSG_HANDLE Removed(u32 hHost);
  /* The sent messages of that id (to servers), and how many lines contain the text. */
  std::vector<SentMsg> SentOf(u32 un32Id) const;
  size_t LogCount(const std::string& text) const;
  _VQCMC_HOST_CTX* Host(u32 hHost);
  /* A leg record on a server record (made by AddServer first), and a message for it. */
  _VQCMC_ENTITY_CTX* Leg(u32 un32Id, u32 hHost, PFCT_VQCMC_ENTITY_CALLBACK pFct, PFCT_VQCMC_ENTITY_EVENT_CALLBACK pFctEvent,
                         void* pvContext, u32 un32SerialId = 0);
  /* Runs fct with the library lock held; its result. */
  VQX_RESULT Locked(const std::function<VQX_RESULT()>& fct) {
    VqxMutexGet(mhCmc->hThreadSem);
    const VQX_RESULT result = fct();
    return VqxMutexGive(mhCmc->hThreadSem), result;
  }
  _VQCMC_LIB_STATS Stats();
  void ExpectCounters(u32 un32Queued, u32 un32Running, u32 un32Done);
  /* Threads, descriptors, host-library messages and filters this process holds. */
  std::vector<u64> HeldBy() const;

  VQX_LIB_HANDLE mhVqx = nullptr;
  VQCMC_LIB_HANDLE mhCmc = nullptr;
  u32 mun32Now = 100000;
  bool mfRealPeers = false;       /* the next open uses the real clock, peer queries and intake */
  const _VQCMC_ENTITY_HOOKS* mpHooks = nullptr;  /* the next open's leg and mixer layers (null: none) */
  u32 mun32FifoMax = 0;           /* un32JobsFifoMax of the next open */
  std::function<void(_VQCMC_LIB_PARAMS&)> mTweak;  /* changes the next open's parameters */
  std::map<u32, _VQX_HOST_INFO> mPeers;
  std::vector<SentMsg> mSent;
  std::vector<VQX_MSG_HANDLE> mLoopBack;
  mutable std::mutex mMutex;
  std::vector<std::string> mLog;
  std::vector<u32> mNotifs;       /* ids the default callback received */
  std::vector<std::vector<u8>> mNotifPayloads;
  std::function<void(VQX_MSG_HANDLE*)> mOnNotif;  /* runs in the default callback, no lock held */
};

#endif
