/*
 * sigtrace_provider.cpp - a remote trace provider for the tests: a framework
 * application on 127.0.0.1 (docs/sigtrace-service.md). It offers the provider
 * service (0x0B0D0200), links the first sig-trace server it detects, sends
 * the register message once connected, answers every capture-on request
 * with --count data messages, and leaves once it answered --captures of
 * them: the unregister message (with --unregister), then the service
 * stopped, which disconnects it. Each capture request it gets is printed on
 * the standard output as "capture N NAME" (its capture and name fields), and
 * after the data messages of a capture-on request "sent N", the number of
 * them its sends accepted.
 *
 *   --port P --peer-port Q   its gateway port and the server's (required)
 *   --app NAME               application name ("provider")
 *   --name TEXT              trace name, its first 32 bytes ("mgc1"; 32
 *                            characters fill the field unterminated)
 *   --description TEXT       ("test provider"), first 256 bytes
 *   --no-register            never send the register message
 *   --count N --size S       N data messages of S bytes (3, 1); byte values
 *                            are the message's number, 1..N
 *   --tag                    each message's data begins with its number
 *                            (u32, little-endian) and the application name
 *                            (12 bytes, zero-padded): which provider's
 *                            messages a group wrote (S of 16 at least)
 *   --length L               data length field written instead of S
 *   --captures N             capture-on requests answered before leaving (1)
 *   --both-ways              odd messages direction 1, even ones 2 (else
 *                            the message's default, 2)
 *   --broadcast-last         the last data message is broadcast
 *   --stay                   after the data, wait to be killed (30 s at most)
 *   --ignore-off             answer a capture-off request with data too (a
 *                            provider that does not obey)
 *
 * Exit status: 0 when it was linked, got a capture request and every send
 * succeeded; 1 otherwise (no capture request within 20 s, or sends that stop
 * being accepted for 20 s: a server behind holds them back, which is no
 * failure while they go on); 2 for bad options. It then closes, its framework
 * waiting for the server to take what it sent.
 */
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "peers/loopback.h"
#include "vqcaf.h"
#include "vqcafmsgsigtrace.h"
#include "vqcafservice.h"
#include "vqcafservicedetector.h"
#include "vqcafservicesigtraceserver.h"

using namespace VQCAF;

namespace {

constexpr u32 kTagSize = 16;  /* --tag: u32 number, 12 bytes of application name */

struct Options {
  u16 un16Port = 0, un16PeerPort = 0;
  std::string strApp = "provider", strName = "mgc1", strDescription = "test provider";
  bool fRegister = true, fUnregister = false, fBroadcastLast = false, fStay = false, fBothWays = false, fIgnoreOff = false,
       fTag = false;
  u32 un32Count = 3, un32Size = 1, un32Length = 0, un32Captures = 1;
  bool fLength = false;
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    const bool fValue = i + 1 < argc;
    const char* v = fValue ? argv[i + 1] : "";
    const u32 n = static_cast<u32>(strtoul(v, nullptr, 0));
    bool ok = true, fTaken = true;
    if (a == "--port") o.un16Port = static_cast<u16>(n);
    else if (a == "--peer-port") o.un16PeerPort = static_cast<u16>(n);
    else if (a == "--app") o.strApp = v;
    else if (a == "--name") o.strName = v;
    else if (a == "--description") o.strDescription = v;
    else if (a == "--count") o.un32Count = n;
    else if (a == "--captures") o.un32Captures = n;
    else if (a == "--size") o.un32Size = n, ok = n <= VQCAF_SIGTRACE_MAX_DATA;
    else if (a == "--length") o.un32Length = n, o.fLength = true;
    else {
      fTaken = false;
      if (a == "--no-register") o.fRegister = false;
      else if (a == "--unregister") o.fUnregister = true;
      else if (a == "--broadcast-last") o.fBroadcastLast = true;
      else if (a == "--stay") o.fStay = true;
      else if (a == "--ignore-off") o.fIgnoreOff = true;
      else if (a == "--both-ways") o.fBothWays = true;
      else if (a == "--tag") o.fTag = true;
      else ok = false;
    }
    if (!ok || (fTaken && !fValue)) return fprintf(stderr, "sigtrace_provider: bad option %s\n", a.c_str()), false;
    if (fTaken) i++;
  }
  return o.un16Port != 0 && o.un16PeerPort != 0 && (!o.fTag || o.un32Size >= kTagSize);
}

/* Copies at most the field's size, unterminated when the text fills it. */
template <size_t N>
void SetText(char (&field)[N], const std::string& s) {
  memset(field, 0, N);
  memcpy(field, s.data(), std::min(N, s.size()));
}

/* The provider service, its own handler and the instance of the one server it links. */
class CProvider : public CVQCAFService {
 public:
  explicit CProvider(const Options& o) : CVQCAFService("provider", nullptr), mOpt(o) {
    mParams.mServiceInfo.mun32ServiceId = VQCAF_SERVICE_ID_SIGTRACE_PROVIDER;
    mParams.mServiceInfo.maun32DetectedRemoteServiceId[0] = VQCAF_SERVICE_ID_SIGTRACE_SERVER;
    _VQX_FILTER_PARAMS f{};
    f.un32Version = 1;
    f.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
    f.MsgGroup = VQCAF_MSG_SIGTRACE_REGISTER >> 16;
    mParams.maFilters.push_back(f);
  }
  ~CProvider() override { Stop(); }

  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService*, CVQCAFServiceInfo*) override {
    return mfLinked.exchange(true) ? nullptr : this;
  }
  void OnServiceDisconnected(CVQCAFService*, CVQCAFServiceInstance*) override {}

  void OnMsgReceived(CVQCAFService*, CVQCAFMsgBuffer& Msg) override {
    const u32 un32Id = Msg.GetMsgId();
    if (un32Id == VQCAF_MSG_SERVICE_CONNECTED && mOpt.fRegister) {
      CVQCAFMsgSigtraceRegister Reg;
      Fill(Reg.mInfo);
      Note(SendMsg(Reg, 0));
    } else if (un32Id == VQCAF_MSG_SIGTRACE_CAPTURE) {
      CVQCAFMsgSigtraceCapture Capture;
      if (VQX_RESULT_FAILED(Msg.UnserializeToMsg(Capture, nullptr))) return (void)Note(VQX_RESULT_FAIL);
      printf("capture %u %s\n", Capture.mInfo.un32Capture, Capture.mInfo.szName);
      fflush(stdout);
      if (Capture.mInfo.un32Capture == 0 && !mOpt.fIgnoreOff) return;
      if (Capture.mInfo.un32Capture != 0) mfCaptureSeen = true;
      std::unique_ptr<CVQCAFMsgSigtraceData> pData(new CVQCAFMsgSigtraceData);
      CVQCAFMsgSigtraceData& Data = *pData;
      SetText(Data.mInfo.szName, mOpt.strName);
      u32 un32Sent = 0;
      for (u32 i = 1; i <= mOpt.un32Count; i++) {
        memset(Data.mInfo.abyData, static_cast<int>(i), mOpt.un32Size);
        if (mOpt.fTag) {
          memcpy(Data.mInfo.abyData, &i, sizeof(i));
          memset(Data.mInfo.abyData + sizeof(i), 0, kTagSize - sizeof(i));
          memcpy(Data.mInfo.abyData + sizeof(i), mOpt.strApp.data(), std::min<size_t>(mOpt.strApp.size(), kTagSize - sizeof(i)));
        }
        Data.mInfo.un32DataLength = mOpt.fLength ? mOpt.un32Length : mOpt.un32Size;
        if (mOpt.fBothWays) Data.mInfo.un32Direction = i % 2 == 1 ? 1 : 2;
        const bool fAccepted = Note(SendMsg(Data, mOpt.fBroadcastLast && i == mOpt.un32Count ? 1 : 0));
        un32Sent += fAccepted ? 1 : 0;
        mun32Sends++;
        if (!fAccepted && mfLeaving) break;  // its stop ended the send's wait for room
      }
      printf("sent %u\n", un32Sent);
      fflush(stdout);
      if (Capture.mInfo.un32Capture != 0) mfCaptured = ++mun32Answered >= mOpt.un32Captures;
    }
  }
  void Fill(VQCAF_SIGTRACE_REGISTER_INFO& Info) {
    SetText(Info.szName, mOpt.strName);
    SetText(Info.szDescription, mOpt.strDescription);
  }
  /* True when the send was accepted. */
  bool Note(VQX_RESULT r) {
    if (VQX_RESULT_FAILED(r)) fprintf(stderr, "sigtrace_provider: send failed 0x%08X\n", r), mfSendFailed = true;
    return !VQX_RESULT_FAILED(r);
  }

  const Options& mOpt;
  std::atomic<bool> mfLinked{false}, mfCaptureSeen{false}, mfCaptured{false}, mfSendFailed{false};
  std::atomic<bool> mfLeaving{false}; /* main is stopping the service */
  std::atomic<u32> mun32Sends{0}; /* data sends made (accepted or not) */
  u32 mun32Answered = 0;
};

/* Polls cond every 5 ms until un32Ms passed without progress() changing (for ever while it changes). */
template <typename F, typename G>
bool WaitUntil(F cond, u32 un32Ms, G progress) {
  auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(un32Ms);
  for (auto Last = progress(); !cond() && std::chrono::steady_clock::now() < End;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (const auto Now = progress(); Now != Last) {
      Last = Now;
      End = std::chrono::steady_clock::now() + std::chrono::milliseconds(un32Ms);
    }
  }
  return cond();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) return 2;
  loopnet::LoopbackNets Net;
  if (VQX_RESULT_FAILED(GlobalInit())) return 1;
  CVQCAFCommParams Comm;
  Comm.mApplicationName = o.strApp.c_str();
  Comm.mun16GwPort = o.un16Port;
  Comm.mun32NbExtraGwAddr = 1;
  strcpy(Comm.maExtraGwAddr[0].szIpAddress0, "127.0.0.1");
  Comm.maExtraGwAddr[0].un16Port = o.un16PeerPort;
  Comm.mfRemoteAddrOnGwPortOnly = 0;
  Comm.mun32HostLibTraceLevel = 0x7FFFFFFE;
  CVQCAFGlobalsParams Params;
  Params.mfAdaptersOn = 0;
  Params.mpCommParams = &Comm;
  bool fOk = !VQX_RESULT_FAILED(GlobalSetParam(&Params));
  {
    CProvider Provider(o);
    const auto Sends = [&] { return Provider.mun32Sends.load(); };
    fOk = fOk && !VQX_RESULT_FAILED(Provider.Start(nullptr)) &&
          WaitUntil([&] { return Provider.mfCaptureSeen.load(); }, 20000, [] { return 0; }) &&
          WaitUntil([&] { return Provider.mfCaptured.load(); }, 20000, Sends);
    if (fOk && o.fStay) sleep(30);  // the parent kills it before
    Provider.mfLeaving = true;
    if (fOk && o.fUnregister) {
      CVQCAFMsgSigtraceUnRegister Unreg;
      Provider.Fill(Unreg.mInfo);
      Provider.Note(Provider.SendMsg(Unreg, 0));
    }
    fOk = fOk && !VQX_RESULT_FAILED(Provider.Stop()) && !Provider.mfSendFailed;
  }
  CVQCAFGlobalsParams None;
  GlobalSetParam(&None);
  GlobalUninit(fOk ? VQX_RESULT_OK : VQX_RESULT_FAIL);
  return fOk ? 0 : 1;
}
