/*
 * cmc_test_support.h - what the tests of the call/media control client
 * objects share: a fixture with the core library opened over a bridge with
 * no transport (no server: legs and mixers it creates are not valid) and
 * the client singleton installed on it, and received messages built from
 * (offset, word) pairs; for the integration tests, a stand-in server run.
 */
#ifndef CMC_TEST_SUPPORT_H
#define CMC_TEST_SUPPORT_H

#include <atomic>
#include <functional>

#include "comm_test_support.h"
#include "peers/cmcsim_process.h"
#include "vqcmc_listener.h"
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
  /* Hands h to the object, which must take it; a response answers a command in flight, as if the
   * object had sent it (the object drops one that answers nothing: DeliverUnasked). */
  template <class T>
  VQX_RESULT Deliver(T& Object, VQX_MSG_HANDLE h) {
    Asked(Object, h);
    return DeliverUnasked(Object, h);
  }
  template <class T>
  VQX_RESULT DeliverUnasked(T& Object, VQX_MSG_HANDLE h) {
    const VQX_RESULT Result = Object.HandleMessage(&h);
    EXPECT_EQ(h, nullptr);
    return Result;
  }
  /* A response h is to answer: a command the object has in flight from now on, with the default listener. */
  template <class T>
  static void Asked(T& Object, VQX_MSG_HANDLE h) {
    if (h->MsgType == VQCMC_MSG_KIND_RESPONSE) {
      EXPECT_EQ(Object.HandleRequest(h, nullptr), VQX_RESULT_OK);
    }
  }
  VQCMC_LIB_HANDLE mhCmc = nullptr;
};

/* Writes down "name:text(message id);" of leg errors and "name:text;" of mixer errors, handled as told. */
class TestListener : public VQCAF::IVQCMCErrorListener {
 public:
  explicit TestListener(const char* pszName, u32 fHandle = 0) : mpszName(pszName), mfHandle(fHandle) {}
  void OnCmcLegError(unsigned int* p, VQCAF::CVQCMCLegError& e) override {
    mstrSeen += std::string(mpszName) + ":" + e.what() + "(" + std::to_string(e.mun32MsgId) + ");";
    *p = mfHandle;
  }
  void OnCmcMixerError(unsigned int* p, VQCAF::CVQCMCMixerError& e) override {
    mstrSeen += std::string(mpszName) + ":" + e.what() + ";";
    *p = mfHandle;
  }
  const char* mpszName;
  u32 mfHandle;
  std::string mstrSeen;
};

/* A stand-in server on loopback, the framework over it (fnComm changes its parameters), the core library (two job
 * threads, fnCallback for what no object takes) with the client singleton, and the library registered once fnReady
 * holds. */
class CmcServerRun {
 public:
  void Open(const char* pszApp, PFCT_VQCMC_LIB_CALLBACK fnCallback, const std::function<bool()>& fnReady,
            const std::function<void(CVQCAFCommParams&)>& fnComm = {}) {
    ASSERT_TRUE(Server.Ready());
    OpenFramework(pszApp, mun16Host, mun16Server, fnComm);
    _VQCMC_LIB_PARAMS p{};
    p.hVqxLib = CVQCAFComm::GetHostLibInstance();  // one reference, given back by Close
    p.Callback.pFctCallback = fnCallback;
    p.Callback.pContext = this;
    p.Threads.un32NbThread = 2;
    ASSERT_EQ(VQCmcLibOpen(&p, &mhCmc), VQX_RESULT_OK);
    ASSERT_EQ(CVQCMCLib::TestInstall(mhCmc), VQX_RESULT_OK);
    // The server says ready once the library has registered with it (bounded retries).
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Server.Command("ready") == "ok" && cmcpeer::WaitUntil(fnReady, 500); },
                                   20000));
  }
  /* The same with the run's own callback, which notes the library's ready notification. */
  void Open(const char* pszApp, const std::function<void(CVQCAFCommParams&)>& fnComm = {}) {
    Open(
        pszApp,
        [](VQCMC_LIB_HANDLE, void* pvRun, VQX_MSG_HANDLE* ph) {
          if ((*ph)->un32MsgId == VQCMC_APP_MSG_NOTIF_READY) static_cast<CmcServerRun*>(pvRun)->mfReady = true;
        },
        [this] { return mfReady.load(); }, fnComm);
  }
  /* A control line the stand-in must take, as an action to run later. */
  std::function<void()> Line(const std::string& strLine) {
    return [this, strLine] { EXPECT_EQ(Server.Command(strLine), "ok") << strLine; };
  }
  /* A notification of that id naming the entity, with fields (cmcsim "notify"), as an action. */
  std::function<void()> Notify(u32 un32Id, u32 un32Entity, const std::string& strFields = "") {
    return Line("notify " + cmcpeer::CmcServerProcess::Hex(un32Id) + " " + cmcpeer::CmcServerProcess::Hex(un32Entity) +
                " " + strFields);
  }
  /* fnAfterLib runs once the core library is closed, with the host library still open. */
  void Close(const std::function<void()>& fnAfterLib = {}) {
    CVQCMCLib::TestUninstall();
    EXPECT_EQ(VQCmcLibClose(mhCmc), VQX_RESULT_OK);
    if (fnAfterLib) fnAfterLib();
    CVQCAFComm::ReleaseHostLibInstance();
    CloseFramework();
  }
  const u16 mun16Host = FreePort();
  cmcpeer::CmcServerProcess Server{0, mun16Host, {"--host-name", "cmcsim1"}};
  const u16 mun16Server = Server.UdpPort();
  VQCMC_LIB_HANDLE mhCmc = nullptr;
  std::atomic<bool> mfReady{false};
};

#endif
