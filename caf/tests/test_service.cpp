/*
 * test_service.cpp - services, instances and the detector over the real
 * services library in one process (remote services announced by protocol
 * messages sent to this process, docs/services-protocol.md): the order an
 * instance sees, refusals handed back, the shutdown shape, Stop inside a
 * callback, the service information's bytes.
 */
#include "comm_test_support.h"
#include "vqcafservicedetector.h"

namespace {

constexpr u32 kServer = 0x0B0D0100, kProvider = 0x0B0D0200, kData = 0x0B0D0400;

/* A service detecting providers. */
class CServer : public CRecordingService {
 public:
  explicit CServer(u32 un32Id = kServer, const char* pszName = "srv") : CRecordingService(pszName, un32Id, kProvider) {}
};

class ServiceTest : public CommTest {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    ASSERT_EQ(CVQCAFServiceDetector::Init(), VQX_RESULT_OK);
  }
  void TearDown() override {
    EXPECT_EQ(CVQCAFServiceDetector::Uninit(), VQX_RESULT_OK);
    CommTest::TearDown();
  }
  /* Announces one provider (or none) as if from a host. */
  void AnnounceProvider(bool fUp, u32 un32Key = 1) { Announce(fUp, kProvider, kServer, un32Key); }
};

TEST_F(ServiceTest, InstanceSeesConnectMessagesDisconnectInOrder) {
  CServer Srv;
  ASSERT_EQ(Srv.Start(nullptr), VQX_RESULT_OK);
  AnnounceProvider(true);
  ASSERT_TRUE(WaitFor([&] { return Srv.Side(0) != nullptr && !Srv.Side(0)->Ids().empty(); }));
  CRecorder& r = *Srv.maOwned[0];
  EXPECT_EQ(r.GetServiceInfo().mun32ServiceId, kProvider);
  EXPECT_EQ(Srv.mstrConnectedApp, mParams.mApplicationName.c_str()) << "host record of the announcing host";
  Send(kData, "x");
  ASSERT_TRUE(WaitFor([&] { return r.Ids().size() == 2; }));
  AnnounceProvider(false);
  ASSERT_TRUE(WaitFor([&] { return Srv.maHandedBack.size() == 1; }));
  EXPECT_EQ(r.Ids(), std::vector<u32>({VQCAF_MSG_SERVICE_CONNECTED, kData, VQCAF_MSG_SERVICE_DISCONNECTED}));
  EXPECT_EQ(r.mfReadyAtLast, 1u) << "disconnect message while still ready";
  EXPECT_EQ(Srv.mfReadyWhenHandedBack, 0u);
  EXPECT_EQ(r.GetServiceInstanceHandle(), nullptr);
}

TEST_F(ServiceTest, RefusedPairsAreHandedBackThroughTheCallbacks) {
  CServer Srv;
  ASSERT_EQ(Srv.Start(nullptr), VQX_RESULT_OK);
  CVQCAFServiceDetector* pDet = CVQCAFServiceDetector::GetInstance();
  ASSERT_NE(pDet, nullptr);
  pDet->ReleaseInstance();
  _VQX_SERVICES_LIB_SERVICE_INFO Info{};
  Info.un32ServiceId = kProvider;
  auto Connect = [&](uintptr_t h) {
    CVQCAFServiceDetector::VQCAFServiceDetectorServiceConnected(pDet, nullptr, nullptr, &Srv,
                                                                reinterpret_cast<u32*>(h), &Info, 1);
  };
  for (uintptr_t h = 1; h <= VQCAF_SERVICE_DETECTOR_MAX_PAIRS; h++) Connect(h);
  ASSERT_EQ(Srv.maOwned.size(), 1024u);
  EXPECT_TRUE(Srv.maHandedBack.empty());
  Connect(5000);  // the 1025th pair
  ASSERT_EQ(Srv.maHandedBack.size(), 1u);
  EXPECT_EQ(Srv.maHandedBack[0], Srv.maOwned.back().get());
  EXPECT_EQ(Logged("Failed to allocate service instance reference (82000008)"), 1u);
  Connect(1);  // the same pair again
  ASSERT_EQ(Srv.maHandedBack.size(), 2u);
  EXPECT_EQ(Logged("Duplicate pair of local service and remote instance, not supported (82000005)"), 1u);
  Srv.mpReuse = Srv.maOwned[0].get();  // still linked to pair 1: not handed back
  Connect(6000);
  EXPECT_EQ(Srv.maHandedBack.size(), 2u);
  EXPECT_EQ(Logged("already in use! (8200000F)"), 1u);
  EXPECT_EQ(Srv.maOwned[0]->GetServiceInstanceHandle(), reinterpret_cast<u32*>(1)) << "keeps its first link";
  for (uintptr_t h = 1; h <= VQCAF_SERVICE_DETECTOR_MAX_PAIRS; h++) {
    CVQCAFServiceDetector::VQCAFServiceDetectorServiceConnected(pDet, nullptr, nullptr, &Srv,
                                                                reinterpret_cast<u32*>(h), nullptr, 0);
  }
  EXPECT_EQ(Srv.maHandedBack.size(), 2u + 1024u);
}

TEST_F(ServiceTest, IgnoredRemoteAndRefusals) {
  CServer Srv;
  Srv.mfRefuse = true;
  ASSERT_EQ(Srv.Start(nullptr), VQX_RESULT_OK);
  AnnounceProvider(true);
  ASSERT_TRUE(WaitFor([&] { return Logged("ignored by application's service handler") == 1; }));
  CVQCAFService Bare("", nullptr);  // its own handler
  CRecorder Default, Unlinked;
  ExpectSteps({{"Start without id", Bare.Start(&Default), VQX_RESULT_NOT_INITIALIZED},
               {"Stop before Start", Bare.Stop(), VQX_RESULT_OK}});
  CWordsMsg Msg(0x0B0D0300, 1);
  CVQCAFMsgBuffer Buffer;
  ASSERT_EQ(Buffer.SerializeFromMsg(Msg, nullptr), VQX_RESULT_OK);
  struct CThrowingMsg : CWordsMsg {
    CThrowingMsg() : CWordsMsg(0x0B0D0300, 1) {}
    void SetServiceInstanceHandle(u32*) override { throw std::out_of_range("handle"); }
  } Bad;
  CVQCAFMsgBuffer Broken;  // the host library refuses it: that refusal is the detector's result
  ASSERT_EQ(Broken.SerializeFromMsg(Msg, nullptr), VQX_RESULT_OK);
  Broken.GetMsgHandle(0)->un32PayloadLength = Broken.GetMsgHandle(0)->un32PayloadMaxLength + 1;
  ExpectSteps({{"detector send refused below", CVQCAFServiceDetector::SendMsg(Broken, 1), VQX_RESULT_API_MSGSZ_INVALID},
               {"unlinked send", Unlinked.SendMsg(Msg, 0), VQX_RESULT_NOT_READY},
               {"unlinked broadcast", Unlinked.SendMsg(Msg, 1), VQX_RESULT_OK},
               {"unlinked buffer broadcast", Unlinked.SendMsg(Buffer, 1), VQX_RESULT_NOT_READY},
               {"exception, owner logs", Default.SendMsg(Bad, 1), VQX_RESULT_OUT_OF_RANGE},
               {"exception, no owner", Unlinked.SendMsg(Bad, 1), VQX_RESULT_OUT_OF_RANGE}});
  EXPECT_EQ(Logged("CVQCAFServiceInstance::SendMsg: std::out_of_range (0x00000000) 0x82000006 vqcafservice.cpp:"), 1u);
  EXPECT_EQ(Logged("Derived class has not filled-out mParams from this base class!"), 1u);
  EXPECT_EQ(Broken.GetMsgHandle(0), nullptr) << "the refused message was taken";
}

TEST_F(ServiceTest, StopFinishesInsideItsCallbackAndUnderTheApplicationLock) {
  CVQCAFMutex AppMutex;
  CServer Srv, Stopper(kServer + 1, "stopper");
  Srv.mpLock = &AppMutex;
  Stopper.mfStopInside = true;
  ASSERT_EQ(Srv.Start(nullptr), VQX_RESULT_OK);
  ASSERT_EQ(Stopper.Start(nullptr), VQX_RESULT_OK);
  AnnounceProvider(true);
  ASSERT_TRUE(WaitFor([&] {
    return Srv.Side(0) != nullptr && Stopper.Side(0) != nullptr && Srv.Side(0)->Ids().size() == 1 &&
           Stopper.Side(0)->Ids().size() == 1;
  }));
  Send(kData, "stop");
  /* The instance is handed back inside Stop, before Stop returns to the callback that records its result.
   * Srv's own callback for "stop" ends first too: Stop waits for a callback in progress on another thread,
   * and that one would wait for the mutex held below. */
  ASSERT_TRUE(WaitFor([&] {
    return Stopper.HandedBack() == 1 && Stopper.maOwned[0]->mStopResult.load() != 0 && Srv.Side(0)->Ids().size() == 2;
  }));
  EXPECT_EQ(Stopper.maOwned[0]->mStopResult.load(), VQX_RESULT_OK);
  EXPECT_EQ(Stopper.GetRegistrationHandle(), nullptr);
  EndsInTime([&] {
    CVQCAFMutexAutoGetGive Guard(&AppMutex);  // the disconnection, which takes it, comes on this thread
    EXPECT_EQ(Srv.Stop(), VQX_RESULT_OK);
  });
  EXPECT_EQ(Srv.maOwned[0]->Ids(), std::vector<u32>({VQCAF_MSG_SERVICE_CONNECTED, kData, VQCAF_MSG_SERVICE_DISCONNECTED}));
}

/* The golden service information read back (its bytes are checked in test_comm_msg), then copied to the library. */
TEST(ServiceInfo, ReadBackAndCopiedToTheLibrary) {
  SetGlobals(FakeGlobals());
  CVQCAFTestStream s2(ReadFile(std::string(getenv("VQX_TEST_DATA")) + "/comm_service_info.bin"));
  CVQCAFServiceInfo Back;
  ASSERT_EQ(Back.Unserialize(s2), VQX_RESULT_OK);
  EXPECT_EQ(Back.mun32ServiceId, 0x0B0D0100u);
  EXPECT_STREQ(Back.mHostInfo.szApplicationName, "app");
  EXPECT_EQ(Back.mbufServiceUserContext.GetSize(), 2u);

  CVQCAFServiceParams P;
  P.mServiceInfo = Back;
  P.maFilters.resize(10);
  for (u32 i = 0; i < 10; i++) P.maFilters[i].MsgId = i;
  _VQX_SERVICES_LIB_SERVICE_PARAMS R{};
  P.CopyToParamsStruct(R);
  EXPECT_EQ(R.un32NbFilters, 8u);
  EXPECT_EQ(R.aFilters[7].MsgId, 7u);
  EXPECT_EQ(memcmp(R.Info.pbyServiceUserContext, "ab", 2), 0);
  EXPECT_STREQ(R.Info.HostInfo.szApplicationName, "app") << "the whole host record";
  P.ReleaseCopy();
  EXPECT_EQ(P.mServiceInfo.mbufServiceUserContext.GetLendCount(), 0u);
  CVQCAFServiceInfo Empty;
  Empty.CopyToInfoStruct(R.Info);
  EXPECT_EQ(R.Info.un32ServiceUserContextSize, 0u);
  EXPECT_EQ(Empty.mbufServiceUserContext.GetLendCount(), 0u) << "an empty context keeps no loan";
  SetGlobals(nullptr);
}

}  // namespace
