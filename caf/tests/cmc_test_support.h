/*
 * cmc_test_support.h - what the tests of the call/media control client
 * objects share: a fixture with the core library opened over a bridge with
 * no transport (no server: legs and mixers it creates are not valid) and
 * the client singleton installed on it, and received messages built from
 * (offset, word) pairs.
 */
#ifndef CMC_TEST_SUPPORT_H
#define CMC_TEST_SUPPORT_H

#include "comm_test_support.h"
#include "vqcmclib.h"

class CmcLibTest : public CommTest {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    _VQCMC_LIB_PARAMS p{};
    p.hVqxLib = mhLib;
    p.Callback.pFctCallback = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {};
    p.Threads.un32NbThread = 1;
    ASSERT_EQ(VQCmcLibOpen(&p, &mhCmc), VQX_RESULT_OK);
    ASSERT_EQ(CVQCMCLib::TestInstall(mhCmc), VQX_RESULT_OK);
  }
  void TearDown() override {
    CVQCMCLib::TestUninstall();
    EXPECT_EQ(VQCmcLibClose(mhCmc), VQX_RESULT_OK);
    CommTest::TearDown();
  }
  /* A received message of that kind and id: un32Size payload bytes of cFill, then the words at their offsets. */
  VQX_MSG_HANDLE Received(u32 un32Kind, u32 un32Id, u32 un32Size, std::initializer_list<std::pair<u32, u32>> aWords,
                          char cFill = '\0') {
    std::string s(un32Size, cFill);
    for (auto [off, v] : aWords) memcpy(&s[off], &v, 4);
    VQX_MSG_HANDLE h = HostMsg(mhLib, un32Id, s);
    h->MsgType = un32Kind;
    return h;
  }
  VQCMC_LIB_HANDLE mhCmc = nullptr;
};

#endif
