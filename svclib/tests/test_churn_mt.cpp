/*
 * test_churn_mt.cpp - services registered and unregistered on several
 * threads while lists come and go and messages flow (run under
 * ThreadSanitizer too): every service sees its links in order and nothing
 * after a disconnection, and every message is delivered or released.
 */
#include <atomic>
#include <map>
#include <set>
#include <sstream>

#include "svc_test_support.h"

namespace {

constexpr u32 kProvider = 0x0B0D0200;

TEST_F(SvcTest, ChurnOfRegistrationsListsAndMessages) {
  std::mutex Mutex;
  std::map<std::pair<u32*, u32*>, int> State;  // (service, remote): 1 linked, 2 ended
  std::atomic<int> nBad{0};
  mOnEvent = [&](u32* hService, const std::string& strEvent) {
    std::istringstream In(strEvent);
    std::string kind;
    unsigned long ulService = 0, ulRemote = 0;
    In >> kind >> ulService >> ulRemote;
    const auto key = std::make_pair(hService, reinterpret_cast<u32*>(ulRemote));
    std::lock_guard<std::mutex> Lock(Mutex);
    int& st = State[key];
    if (kind == "C") nBad += st != 0, st = 1;
    if (kind == "D") nBad += st != 1, st = 2;
    if (kind == "M" && ulRemote != 0) nBad += st != 1;
  };
  std::atomic<bool> fStop{false};
  std::thread Lists([&] {
    for (u32 i = 0; i < 200 && !fStop; i++) {
      std::vector<VqxSvcProtoService> a;
      for (u32 k = 0; k < i % 4; k++) a.push_back({k + 1, kProvider, {0, 0}, std::string(i % 3, 'c')});
      InjectList(a);
      Inject(0x0B0D0400, "m");
    }
  });
  std::vector<std::thread> Workers;
  for (u32 w = 0; w < 3; w++) {
    Workers.emplace_back([&, w] {
      for (u32 i = 0; i < 30; i++) {
        _VQX_SERVICES_LIB_SERVICE_PARAMS sp = ServiceParams(0x0B0D0100 + w, kProvider, 0x0B0D);
        u32* h = nullptr;
        if (VQXServicesServiceRegister(mhSvc, &sp, this, &h) != VQX_RESULT_OK) {
          nBad++;
          continue;
        }
        std::this_thread::yield();
        if (VQXServicesServiceUnregister(mhSvc, h) != VQX_RESULT_OK) nBad++;
      }
    });
  }
  for (std::thread& t : Workers) t.join();
  fStop = true;
  Lists.join();
  EXPECT_EQ(VQXServicesCloseLib(mhSvc), VQX_RESULT_OK);
  mhSvc = nullptr;
  EXPECT_EQ(nBad.load(), 0);
  for (const auto& [key, st] : State) EXPECT_EQ(st, 2) << "every link ends with its disconnection";
}

}  // namespace
