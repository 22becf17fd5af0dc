// bench_sipie_text.cpp - the working side against libosip2: URI split of a
// corpus (ours: copy the text and split it in place; libosip2:
// osip_uri_parse and osip_uri_free), target at least 3x; an INVITE's Via,
// From, To, Call-ID, CSeq, Contact, Max-Forwards, Route and Content-Type
// added from values (ours, into an emptied message) against libosip2
// setting them from texts (osip_message_set_* on a new message, then
// freed), target at least 2x.
#include "bench_ratio.h"
#include "vq500_sip_ie.h"
#include "vqx_msg_layout.h"

#include <osipparser2/osip_parser.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUris[] = {
    "sip:alice@atlanta.com",
    "sip:alice:secretword@atlanta.com;transport=tcp",
    "sips:alice@atlanta.com?subject=project%20x&priority=urgent",
    "sip:+1-212-555-1212:1234@gateway.com;user=phone",
    "sip:alice@192.0.2.4",
    "sip:atlanta.com;method=REGISTER?to=alice%40atlanta.com",
    "sip:alice;day=tuesday@atlanta.com",
    "sip:vivekg@chair-dnrc.example.com:5060;unknownparam",
    "sip:user@[2001:db8::10]:5070;transport=tcp",
    "sip:[2001:db8::9:1];lr",
};
constexpr size_t kUriCount = sizeof kUris / sizeof kUris[0];

void BM_OursUriSplit(benchmark::State& state)
{
    char buf[256];
    for (auto _ : state) {
        for (const char* uri : kUris) {
            std::strcpy(buf, uri);
            char *sc, *us, *pw, *ho, *pa;
            u32 port;
            VQ500SipAddrspecStrParseString(buf, &sc, &us, &pw, &ho, &pa, &port);
            benchmark::DoNotOptimize(ho);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kUriCount));
}
BENCHMARK(BM_OursUriSplit);

void BM_OsipUriParse(benchmark::State& state)
{
    for (auto _ : state) {
        for (const char* uri : kUris) {
            osip_uri_t* u = nullptr;
            osip_uri_init(&u);
            osip_uri_parse(u, uri);
            benchmark::DoNotOptimize(u->host);
            osip_uri_free(u);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kUriCount));
}
BENCHMARK(BM_OsipUriParse);

constexpr u32 kCapacity = 0x2000;

void BM_OursInviteHeaders(benchmark::State& state)
{
    std::vector<u8> buf(VQX_MSG_HEADER_SIZE + kCapacity);
    const u32 un32Length = static_cast<u32>(buf.size()), un32Cap = kCapacity;
    std::memcpy(buf.data() + VQX_MSG_OFFSET_LENGTH, &un32Length, 4);
    std::memcpy(buf.data() + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, &un32Cap, 4);
    void* m = buf.data();
    void* h = buf.data() + VQX_MSG_HEADER_SIZE;
    for (auto _ : state) {
        VQXMsgElementInit(m, 8);
        VQX_RESULT r = VQ500SipHeaderAdd_Via(m, h, 1, 1, "pc33.atlanta.com", 5060, nullptr);
        r |= VQ500SipHeaderAdd_From(m, h, "Alice", "sip", "alice", nullptr, "atlanta.com", 0);
        r |= VQ500SipHeaderAdd_To(m, h, "Bob", "sip", "bob", nullptr, "biloxi.com", 0);
        r |= VQ500SipHeaderAdd_CallId(m, h, "a84b4c76e66710@pc33.atlanta.com");
        r |= VQ500SipHeaderAdd_CSeq(m, h, 1, 314159);
        r |= VQ500SipHeaderAdd_Contact(m, h, nullptr, "sip", "alice", nullptr, "pc33.atlanta.com", 0, nullptr);
        r |= VQ500SipHeaderAdd_MaxForwards(m, h, 70);
        r |= VQ500SipHeaderAdd_Route(m, h, 1, "sip", "ss1.atlanta.com", 0, nullptr);
        r |= VQ500SipHeaderAdd_ContentType(m, h, 5, 2);
        if (VQX_RESULT_FAILED(r)) {
            state.SkipWithError("add failed");
            break;
        }
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_OursInviteHeaders);

void BM_OsipInviteHeaders(benchmark::State& state)
{
    for (auto _ : state) {
        osip_message_t* msg = nullptr;
        osip_message_init(&msg);
        osip_message_set_via(msg, "SIP/2.0/UDP pc33.atlanta.com:5060");
        osip_message_set_from(msg, "\"Alice\" <sip:alice@atlanta.com>");
        osip_message_set_to(msg, "\"Bob\" <sip:bob@biloxi.com>");
        osip_message_set_call_id(msg, "a84b4c76e66710@pc33.atlanta.com");
        osip_message_set_cseq(msg, "314159 INVITE");
        osip_message_set_contact(msg, "<sip:alice@pc33.atlanta.com>");
        osip_message_set_max_forwards(msg, "70");
        osip_message_set_route(msg, "<sip:ss1.atlanta.com;lr>");
        osip_message_set_content_type(msg, "application/sdp");
        benchmark::DoNotOptimize(msg);
        osip_message_free(msg);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_OsipInviteHeaders);

} // namespace

int main(int argc, char** argv)
{
    parser_init();
    return VqxBenchRunWithRatios(argc, argv,
                                 {{"BM_OsipUriParse", "BM_OursUriSplit", 3.0},
                                  {"BM_OsipInviteHeaders", "BM_OursInviteHeaders", 2.0}});
}
