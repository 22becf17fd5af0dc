/*
 * fuzz_wire_decode.cpp - every decoder of the wire file on arbitrary bytes,
 * given exactly those bytes (AddressSanitizer sees any read past them):
 * what a decoder accepts, its encoder writes again, and decoding that gives
 * the same bytes once more; an adapter block taken over a link differs from
 * the same advertisement only in its two raw words and its unfilled name.
 * Also the bounded cursor driven by the input, and handles from names.
 *
 * Input: byte 0 picks the decoder, the rest is the packet.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vqx_gwlib_wire.h"

using namespace vqxgw;

namespace
{

/* An invariant: a failure names its line and aborts. */
#define Check(f) ((f) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #f), std::abort()))

/* Decoding what was encoded from a decoded packet gives it back. */
template <size_t N, class T, class Dec, class Enc> void Stable(const u8* p, size_t n, Dec dec, Enc enc)
{
    T a;
    if (!dec(VqxGwCursor(p, n), a))
        return;
    u8 once[N], twice[N];
    enc(a, once);
    T b;
    Check(dec(VqxGwCursor(once, N), b));
    enc(b, twice);
    Check(std::memcmp(once, twice, N) == 0);
}

u32 Swap(u32 v)
{
    return __builtin_bswap32(v);
}

void Adapter(const u8* p, size_t n)
{
    VQX_GW_ADAPTER_ADV a, l;
    const bool fOk = DecodeAdapterAdv(VqxGwCursor(p, n), a, false);
    Check(DecodeAdapterAdv(VqxGwCursor(p, n), l, true) == fOk);
    Check(fOk == (n >= kAdapterAdvMinSize));
    if (!fOk)
        return;
    Check(l.Info.un32Info280 == Swap(a.Info.un32Info280) && l.Info.un32Info428 == Swap(a.Info.un32Info428));
    if (l.Info.szAdapterName[0] == '\0')
        Check(std::strcmp(a.Info.szAdapterName, a.Info.szIpAddress0) == 0);
    else
        Check(std::strcmp(a.Info.szAdapterName, l.Info.szAdapterName) == 0);
    l.Info.un32Info280 = a.Info.un32Info280;
    l.Info.un32Info428 = a.Info.un32Info428;
    std::memcpy(l.Info.szAdapterName, a.Info.szAdapterName, sizeof(a.Info.szAdapterName));
    Check(std::memcmp(&a, &l, sizeof(a)) == 0);
    Stable<kAdapterAdvSize, VQX_GW_ADAPTER_ADV>(
        p, n, [](VqxGwCursor c, VQX_GW_ADAPTER_ADV& o) { return DecodeAdapterAdv(c, o, false); }, EncodeAdapterAdv);
}

void Batch(const u8* p, size_t n)
{
    BatchHeader h;
    if (!DecodeBatchHeader(VqxGwCursor(p, n), h))
        return;
    Check(n >= 4);
    if (h.un32Count < 1 || h.un32Count > VQX_GW_MAX_BATCH_MSGS)
    {
        for (u32 s : h.aun32Sizes)
            Check(s == 0);
        return;
    }
    Check(n >= 4 + 4 * size_t(h.un32Count));
    u8 out[kBatchHeaderSize];
    EncodeBatchHeader(h.un32Count, h.aun32Sizes, out);
    Check(std::memcmp(out, p, 4 + 4 * size_t(h.un32Count)) == 0);
}

/* Steps of a cursor read from the input; it never reads past the end. */
void Cursor(const u8* p, size_t n)
{
    VqxGwCursor c(p, n);
    for (size_t i = 0; i < n && i < 64; i++)
    {
        switch (p[i] & 7)
        {
        case 0:
            c.U8();
            break;
        case 1:
            c.Be32();
            break;
        case 2:
            c.Be64();
            break;
        case 3:
        {
            VqxGwCursor s = c.Sub(p[i] >> 3);
            Check(!s.Ok() || s.Remaining() == size_t(p[i] >> 3));
            break;
        }
        case 4:
            c.Seek(p[i] >> 3);
            break;
        case 5:
        {
            char t[32];
            c.Text(t, 1 + (p[i] >> 3));
            Check(std::memchr(t, '\0', 1 + (p[i] >> 3)) != nullptr);
            break;
        }
        default:
        {
            u8 b[32];
            c.Bytes(b, p[i] >> 3);
            break;
        }
        }
        Check(c.Pos() <= n && c.Remaining() <= n - c.Pos());
        if (!c.Ok())
            Check(c.Remaining() == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    /* exactly the packet's bytes on the heap */
    std::vector<u8> v(data + 1, data + size);
    const u8* p = v.data();
    const size_t n = v.size();
    switch (data[0] % 8)
    {
    case 0:
        Stable<kSpecificSize, SpecificDiscovery>(p, n, DecodeSpecificDiscovery, [](const SpecificDiscovery& s, u8 (&o)[kSpecificSize]) {
            EncodeSpecificDiscovery(0x484C4453u, s.un32Request, s.szHost, s.szApp, o);
        });
        break;
    case 1:
        Stable<kPollSize, PollFields>(p, n, DecodeUdpPoll,
                                      [](const PollFields& f, u8 (&o)[kPollSize]) { EncodeUdpPoll(0x484C5049u, f, o); });
        break;
    case 2:
    {
        VQX_GW_HOST_ADV h;
        Check(DecodeHostAdv(VqxGwCursor(p, n), h) == (n >= kHostAdvSize));
        Stable<kHostAdvSize, VQX_GW_HOST_ADV>(p, n, DecodeHostAdv, EncodeHostAdv);
        break;
    }
    case 3:
        Adapter(p, n);
        break;
    case 4:
        Batch(p, n);
        break;
    case 5:
        Stable<kAdapterPollSize, PollFields>(p, n, DecodeAdapterPoll, EncodeAdapterPoll);
        break;
    case 6:
        Cursor(p, n);
        break;
    default:
    {
        std::vector<char> name(v.begin(), v.end());
        name.push_back('\0');
        Check(!HandleIsReserved(HandleFromName(0xCA, name.data(), true)));
        Check(HandleFromName(0xCB, name.data(), false) >> 24 == 0xCB);
        break;
    }
    }
    return 0;
}
