/*
 * cmmgrsim_process.h - the stand-in configuration manager
 * (testing/cmmgrsim/cmmgrsim.py --driven) run as a python3 child whose
 * requests the test gives one by one on its control port, and the answers
 * read back. Either on a discovery socket bound here on 127.0.0.1 (a library
 * that lists it as an extra address), or on an address of 127.0.0.0/8 and the
 * process's own gateway port (a process that keeps its remote addresses on
 * that port). Header only; the source tree is found through VQX_SOURCE_DIR.
 */
#ifndef TESTING_PEERS_CMMGRSIM_PROCESS_H
#define TESTING_PEERS_CMMGRSIM_PROCESS_H

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "control_line.h"
#include "loopback.h"
#include "wait_until.h"

namespace cmmgrpeer {

class CManagerProcess {
 public:
  /* On a discovery socket of 127.0.0.1 bound here (UdpPort), looking for the library host on un16PeerPort. */
  CManagerProcess(u16 un16PeerPort, const std::string& strHostName)
      : mpUdp(std::make_unique<loopnet::HeldPort>(SOCK_DGRAM)),
        mChild(Args(strHostName, un16PeerPort, {"--udp-fd", std::to_string(mpUdp->Fd())}), {mpUdp->Fd()}) {}
  /* On strAddress:un16GwPort, the process's own gateway port. */
  CManagerProcess(const std::string& strAddress, u16 un16GwPort, const std::string& strHostName)
      : mChild(Args(strHostName, un16GwPort, {"--udp-port", std::to_string(un16GwPort), "--address", strAddress}), {}) {}
  bool Ready() const { return mChild.Ready(); }
  u16 UdpPort() const { return mpUdp ? mpUdp->Port() : 0; }
  /* A request ("reload 3 0 FILE", "validate 1 7 9 TEXT", "db 2"): "ok" once queued. */
  std::string Command(const std::string& line) { return mChild.Command(line); }
  /* "answer ID NUMBER RESULT" once request un32Number is answered within un32Ms, else "none SENT". */
  std::string Answer(u32 un32Number, unsigned un32Ms) {
    std::string s;
    peerwait::WaitUntil([&] { return (s = Command("answer " + std::to_string(un32Number))).rfind("answer", 0) == 0; },
                        un32Ms);
    return s;
  }
  /* The times request un32Number was sent, and the answers to it received ({-1, -1} when the manager is gone). */
  std::pair<long, long> Copies(u32 un32Number) {
    long nSent = -1, nAnswers = -1;
    if (sscanf(Command("copies " + std::to_string(un32Number)).c_str(), "copies %ld %ld", &nSent, &nAnswers) != 2) return {-1, -1};
    return {nSent, nAnswers};
  }
  /* The results the answers to request un32Number carried, each once in the order received: "0x82000001",
   * "0x02000000,0x82000011"; "-" for none, "" when the manager is gone. */
  std::string AnswerResults(u32 un32Number) {
    const std::string s = Command("copies " + std::to_string(un32Number));
    const size_t i = s.rfind(' ');
    return s.rfind("copies ", 0) == 0 && i != std::string::npos ? s.substr(i + 1) : "";
  }
  /* The requests given and not answered yet (-1 when the manager is gone). */
  long Unanswered() {
    long n = -1;
    sscanf(Command("unanswered").c_str(), "unanswered %ld", &n);
    return n;
  }
  /* The times request un32Number was sent unanswered so far (-1 once answered or when the manager is gone). */
  long Sent(u32 un32Number) {
    const std::string s = Command("answer " + std::to_string(un32Number));
    return s.rfind("none ", 0) == 0 ? std::stol(s.substr(5)) : -1;
  }

 private:
  static std::vector<std::string> Args(const std::string& strHostName, u16 un16PeerPort, std::vector<std::string> extra) {
    std::vector<std::string> a = {"python3", std::string(std::getenv("VQX_SOURCE_DIR")) + "/testing/cmmgrsim/cmmgrsim.py",
                                  "--driven", "--lifetime", "300", "--peer-port", std::to_string(un16PeerPort),
                                  "--host-name", strHostName};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
  std::unique_ptr<loopnet::HeldPort> mpUdp;
  peerctl::ControlledChild mChild;
};

}  // namespace cmmgrpeer

#endif
