// bench_sipie_copy.cpp - deep copy of a whole INVITE element tree (request
// line, six headers, a multipart body with an SDP part) into an empty
// message, against the clone of the same INVITE parsed by libosip2, and
// against a memcpy of the used payload (the limit of any copy).
// Target: at least twice the clone's rate; the paired benchmarks time the
// copy and the clone in the same iterations (time ratio at most 0.5).
#include "bench_ratio.h"
#include "vq500_sip_ie.h"
#include "vqx_msg_layout.h"

#include <osipparser2/osip_parser.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char kInvite[] =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/UDP pc33.atlanta.example.com:5060;branch=z9hG4bK776asdhds\r\n"
    "From: \"Alice\" <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
    "To: <sip:bob@biloxi.example.com>\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:alice@pc33.atlanta.example.com>;q=0.7\r\n"
    "Route: <sip:p1.example.com;lr>\r\n"
    "Content-Type: multipart/mixed;boundary=bnd\r\n"
    "\r\n"
    "--bnd\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "opaque body bytes\r\n"
    "--bnd\r\n"
    "Content-Type: application/sdp\r\n"
    "\r\n"
    "v=0\r\n"
    "o=alice 2890844526 2890842807 IN IP4 10.47.16.5\r\n"
    "s=SDP Seminar\r\n"
    "c=IN IP4 224.2.17.12\r\n"
    "t=2873397496 2873404696\r\n"
    "r=7d 1h 0\r\n"
    "m=audio 49170/2 RTP/AVP 0 101\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-15\r\n"
    "a=silenceSupp:on 1234 standard fixed 5A\r\n"
    "--bnd--\r\n";

constexpr u32 kCapacity = 0x4000;

struct Message {
    std::vector<u8> buffer = std::vector<u8>(VQX_MSG_HEADER_SIZE + kCapacity);
    u8* Payload() { return buffer.data() + VQX_MSG_HEADER_SIZE; }
    void SetSizes(u32 un32Used)
    {
        const u32 un32Capacity = kCapacity;
        memcpy(buffer.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH, &un32Used, 4);
        memcpy(buffer.data() + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, &un32Capacity, 4);
    }
};

Message LoadInvite()
{
    std::ifstream in(std::string(VQX_SIPIE_TEST_DATA) + "/invite_host.bin", std::ios::binary);
    const std::vector<u8> payload((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Message m;
    memcpy(m.Payload(), payload.data(), payload.size());
    m.SetSizes(static_cast<u32>(payload.size()));
    return m;
}

void BM_DeepCopyInvite(benchmark::State& state)
{
    Message src = LoadInvite();
    Message dst;
    dst.SetSizes(0);
    const IeCopyContext ctx{0, 2, nullptr, nullptr};
    for (auto _ : state) {
        VQXMsgElementInit(dst.buffer.data(), 160);
        const i32 r = VQ500SipMessageRequestCopy(&ctx, src.Payload(), dst.buffer.data(), dst.Payload());
        if (VQX_RESULT_FAILED(r)) {
            state.SkipWithError("copy failed");
            break;
        }
        benchmark::DoNotOptimize(dst.buffer.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeepCopyInvite);

// The same with the source checked as a message from outside.
void BM_DeepCopyInviteChecked(benchmark::State& state)
{
    Message src = LoadInvite();
    Message dst;
    dst.SetSizes(0);
    const IeCopyContext ctx{0, 2, nullptr, src.buffer.data()};
    for (auto _ : state) {
        VQXMsgElementInit(dst.buffer.data(), 160);
        benchmark::DoNotOptimize(VQ500SipMessageRequestCopy(&ctx, src.Payload(), dst.buffer.data(), dst.Payload()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeepCopyInviteChecked);

void BM_SwapCopyInvite(benchmark::State& state)
{
    Message src = LoadInvite();
    Message dst;
    dst.SetSizes(0);
    const IeCopyContext ctx{1, 2, nullptr, nullptr};
    for (auto _ : state) {
        VQXMsgElementInit(dst.buffer.data(), 160);
        benchmark::DoNotOptimize(VQ500SipMessageRequestCopy(&ctx, src.Payload(), dst.buffer.data(), dst.Payload()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SwapCopyInvite);

// The INVITE parsed by libosip2; null (the benchmark skipped) when it fails.
osip_message_t* OsipInvite(benchmark::State& state)
{
    parser_init();
    osip_message_t* pMsg = nullptr;
    osip_message_init(&pMsg);
    if (osip_message_parse(pMsg, kInvite, sizeof kInvite - 1) != 0) {
        osip_message_free(pMsg);
        state.SkipWithError("osip could not parse the INVITE");
        return nullptr;
    }
    return pMsg;
}

void BM_OsipClone(benchmark::State& state)
{
    osip_message_t* pMsg = OsipInvite(state);
    if (pMsg == nullptr) {
        return;
    }
    for (auto _ : state) {
        osip_message_t* pClone = nullptr;
        osip_message_clone(pMsg, &pClone);
        benchmark::DoNotOptimize(pClone);
        osip_message_free(pClone);
    }
    osip_message_free(pMsg);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OsipClone);

// Each copy and the clone in batches back to back in every iteration, so
// that both see the same load; the ratio is the median of the batches'.
void PairedWithClone(benchmark::State& state, bool fChecked)
{
    Message src = LoadInvite();
    Message dst;
    dst.SetSizes(0);
    const IeCopyContext ctx{0, 2, nullptr, fChecked ? src.buffer.data() : nullptr};
    osip_message_t* pMsg = OsipInvite(state);
    if (pMsg == nullptr) {
        return;
    }
    bool fFailed = false;
    VqxBenchPaired(
        state, 200,
        [&](int) {
            VQXMsgElementInit(dst.buffer.data(), 160);
            fFailed |= VQX_RESULT_FAILED(VQ500SipMessageRequestCopy(&ctx, src.Payload(), dst.buffer.data(), dst.Payload()));
            benchmark::DoNotOptimize(dst.buffer.data());
        },
        [&](int) {
            osip_message_t* pClone = nullptr;
            osip_message_clone(pMsg, &pClone);
            benchmark::DoNotOptimize(pClone);
            osip_message_free(pClone);
        });
    osip_message_free(pMsg);
    if (fFailed) {
        state.SkipWithError("copy failed");
    }
}

void BM_PairedCopyVsClone(benchmark::State& state)
{
    PairedWithClone(state, false);
}
BENCHMARK(BM_PairedCopyVsClone);

void BM_PairedCheckedCopyVsClone(benchmark::State& state)
{
    PairedWithClone(state, true);
}
BENCHMARK(BM_PairedCheckedCopyVsClone);

void BM_MemcpyPayload(benchmark::State& state)
{
    Message src = LoadInvite();
    Message dst;
    u32 un32Used = 0;
    memcpy(&un32Used, src.buffer.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH, 4);
    for (auto _ : state) {
        memcpy(dst.Payload(), src.Payload(), un32Used);
        benchmark::DoNotOptimize(dst.buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemcpyPayload);

} // namespace

int main(int argc, char** argv)
{
    return VqxBenchRunWithRatios(argc, argv,
                                 {{"BM_OsipClone", "BM_DeepCopyInvite", 2.0},
                                  {"BM_OsipClone", "BM_DeepCopyInviteChecked", 2.0},
                                  {"BM_DeepCopyInvite", "BM_MemcpyPayload", 1.0}},
                                 {}, {{"BM_PairedCopyVsClone", 0.5}, {"BM_PairedCheckedCopyVsClone", 0.5}});
}
