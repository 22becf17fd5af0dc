// test_churn_mt.cpp - services registered and unregistered on three threads
// while lists come and go and messages flow (also under ThreadSanitizer):
// per (service, remote) the events are connect, messages, disconnect, and
// every link ends with its disconnection.
#include <atomic>
#include <map>

#include "svc_test_support.h"

TEST_F(SvcTest, ChurnOfRegistrationsListsAndMessages) {
  std::mutex Mutex;
  std::map<std::string, char> Last;  // "service remote" -> last event kind
  std::atomic<int> nBad{0};
  mOnEvent = [&](u32*, const std::string& s) {
    std::string kind, svc, remote;
    std::istringstream(s) >> kind >> svc >> remote;
    if (remote == "0") return;  // a message for no remote service
    std::lock_guard<std::mutex> Lock(Mutex);
    char& c = Last[svc + " " + remote];
    nBad += kind == "C" ? c != 0 : kind == "D" ? c == 0 || c == 'D' : c == 0 || c == 'D';
    c = kind[0];
  };
  std::thread Lists([&] {
    for (u32 i = 0; i < 200; i++) {
      std::vector<VqxSvcProtoService> a;
      for (u32 k = 0; k < i % 4; k++) a.push_back({k + 1, 0x0B0D0200, {0, 0}, std::string(i % 3, 'c')});
      InjectList(a);
      Inject(0x0B0D0400, "m");
    }
  });
  std::vector<std::thread> Workers;
  for (u32 w = 0; w < 3; w++) {
    Workers.emplace_back([&, w] {
      for (u32 i = 0; i < 30; i++) {
        u32* h = Register(0x0B0D0100 + w);
        std::this_thread::yield();
        nBad += VQXServicesServiceUnregister(mhSvc, h) != VQX_RESULT_OK;
      }
    });
  }
  for (std::thread& t : Workers) t.join();
  Lists.join();
  EXPECT_EQ(VQXServicesCloseLib(std::exchange(mhSvc, nullptr)), VQX_RESULT_OK);
  EXPECT_EQ(nBad.load(), 0);
  for (const auto& [key, c] : Last) EXPECT_EQ(c, 'D') << key << ": every link ends with its disconnection";
}
