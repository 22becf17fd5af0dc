/*
 * Fuzz target for message-element sets: random payload bytes and random set
 * words through the checked calls, then, for the sets the check accepts,
 * through the set-only readers and the duplication. A message is either taken
 * raw from the input or built by a list of appends and then damaged by
 * byte writes from the input, so that the fuzzer reaches deep chains too.
 *
 * Invariants enforced (a violation traps): no read or write outside the
 * buffers (AddressSanitizer), a set that passed the check reads back with
 * exactly its count, every successful append and duplication leaves sets that
 * pass the check, and a copier gives, for any set word, the result and the
 * destination bytes of a check followed by the duplication.
 */
#include "vqx_msg_element.h"
#include "vqx_msg_layout.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

class Input {
public:
    Input(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    size_t Left() const { return m_n; }
    uint8_t U8()
    {
        if (m_n == 0) {
            return 0;
        }
        --m_n;
        return *m_p++;
    }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    size_t Take(uint8_t* pOut, size_t n)
    {
        const size_t k = n < m_n ? n : m_n;
        std::memcpy(pOut, m_p, k);
        m_p += k;
        m_n -= k;
        return k;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
};

/* A message buffer whose size is exactly header + capacity. */
struct Msg {
    explicit Msg(u32 un32Cap) : storage((VQX_MSG_HEADER_SIZE + un32Cap + 7) / 8, 0)
    {
        Put(VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, un32Cap);
        Put(VQX_MSG_OFFSET_PAYLOAD_START, VQX_MSG_HEADER_SIZE);
        Put(VQX_MSG_OFFSET_LENGTH, VQX_MSG_HEADER_SIZE + un32Cap);
        cap = un32Cap;
    }
    void* Ptr() { return storage.data(); }
    u8* Payload() { return reinterpret_cast<u8*>(storage.data()) + VQX_MSG_HEADER_SIZE; }
    void Put(u32 off, u32 v) { std::memcpy(reinterpret_cast<u8*>(storage.data()) + off, &v, 4); }
    u32 Get(u32 off) const
    {
        u32 v;
        std::memcpy(&v, reinterpret_cast<const u8*>(storage.data()) + off, 4);
        return v;
    }
    std::vector<u64> storage;
    u32 cap = 0;
};

void Require(bool f)
{
    if (!f) {
        __builtin_trap();
    }
}

volatile u8 g_bySink;

/* Reads every byte of every element through the set-only readers. */
void ReadAll(const void* pSet, u16 un16Count)
{
    const void* p = nullptr;
    u32 n = 0;
    u16 size = 0;
    while ((p = VQXMsgElementGetNext(pSet, p, &size)) != nullptr && n <= un16Count) {
        for (u16 i = 0; i < size; ++i) {
            g_bySink = static_cast<const u8*>(p)[i];
        }
        ++n;
    }
    Require(n == un16Count);
    for (u16 i = 0; i < un16Count; ++i) {
        Require(VQXMsgElementGet(pSet, i, &size) != nullptr);
    }
    Require(VQXMsgElementGet(pSet, un16Count, &size) == nullptr && size == 0);
}

i32 TouchCopy(void* ctx, const void* src, void*, void* dst, u16 size)
{
    if (src != dst) {
        std::memcpy(dst, src, size);
    }
    u32* pCalls = static_cast<u32*>(ctx);
    return ++*pCalls == 5 ? static_cast<i32>(VQX_RESULT_FAIL) : static_cast<i32>(VQX_RESULT_OK);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const u8 mode = in.U8();
    const u32 layout = (mode & 1) != 0 ? VQX_MSG_ELEMENT_LAYOUT_16 : VQX_MSG_ELEMENT_LAYOUT_32;
    const u32 cap = 8 + (in.U16() % 2048);
    Msg msg(cap);

    if ((mode & 2) != 0) {
        /* Raw: payload bytes and the used length straight from the input. */
        msg.Put(VQX_MSG_OFFSET_PAYLOAD_LENGTH, (mode & 4) != 0 ? in.U32() : 8 * (in.U16() % 300));
        in.Take(msg.Payload(), cap);
    } else {
        /* Built: appends to set words in the fixed part, then damage. */
        if (VqxMsgElementInitLayout(msg.Ptr(), 16, layout) != VQX_RESULT_OK) {
            return 0;
        }
        const u8 ops = in.U8() % 48;
        for (u8 i = 0; i < ops && in.Left() > 0; ++i) {
            const u8 which = in.U8();
            void* pSet = msg.Payload() + 4 * (which % 4);
            if ((which & 0x80) != 0) {
                /* A set inside the last element handed out, if any. */
                u16 n = VQXMsgElementCount(msg.Payload());
                void* pElem = n > 0 ? VQXMsgElementGet(msg.Payload(), static_cast<u16>(n - 1), nullptr) : nullptr;
                u16 sz = 0;
                if (pElem != nullptr && VQXMsgElementGet(msg.Payload(), static_cast<u16>(n - 1), &sz) && sz >= 4) {
                    pSet = pElem;
                }
            }
            void* pElem = nullptr;
            if (VQXMsgElementAlloc(msg.Ptr(), pSet, static_cast<u16>(1 + in.U8() % 64), &pElem) == VQX_RESULT_OK) {
                Require(VqxMsgElementCheckSet(msg.Ptr(), pSet) == VQX_RESULT_OK);
            }
        }
        const u8 damage = in.U8() % 4;
        for (u8 i = 0; i < damage; ++i) {
            const u32 off = in.U16() % cap;
            msg.Payload()[off] = in.U8();
        }
    }

    /* Set words: the four fixed ones and a few random offsets. */
    std::vector<u8*> sets = {msg.Payload(), msg.Payload() + 4, msg.Payload() + 8, msg.Payload() + 12};
    const u8 extra = in.U8() % 4;
    for (u8 i = 0; i < extra; ++i) {
        const u32 off = in.U16() % (cap - 3);
        sets.push_back(msg.Payload() + off);
    }

    Msg dst(4096);
    Require(VQXMsgElementInit(dst.Ptr(), 8) == VQX_RESULT_OK);
    /* The copier's destination and the reference's, in the message's layout. */
    Msg dstCopier(1024), dstRef(1024);
    Require(VqxMsgElementInitLayout(dstCopier.Ptr(), 8, layout) == VQX_RESULT_OK);
    Require(VqxMsgElementInitLayout(dstRef.Ptr(), 8, layout) == VQX_RESULT_OK);

    for (u8* pSet : sets) {
        /* Copier against check + duplication, plain and through a copy
         * function; the copier is opened on the message as it is now. */
        VqxMsgElementCopier copier;
        Require(VqxMsgElementCopierOpen(msg.Ptr(), dstCopier.Ptr(), &copier) == VQX_RESULT_OK);
        for (u32 k = 0; k < 2; ++k) {
            PFN_VQX_MSG_ELEMENT_COPY pfn = k == 0 ? nullptr : TouchCopy;
            u32 callsCopier = 0, callsRef = 0;
            const VQX_RESULT rCopier = VqxMsgElementCopierDupSet(&copier, pSet, dstCopier.Payload() + 4 * k, pfn, &callsCopier);
            VQX_RESULT rRef = VqxMsgElementCheckSet(msg.Ptr(), pSet);
            if (rRef == VQX_RESULT_OK) {
                rRef = VQXMsgElementDupSet(pSet, dstRef.Ptr(), dstRef.Payload() + 4 * k, pfn, &callsRef);
            }
            Require(rCopier == rRef && callsCopier == callsRef && dstCopier.storage == dstRef.storage);
        }
        if (VqxMsgElementCheckSet(msg.Ptr(), pSet) == VQX_RESULT_OK) {
            const u16 n = VQXMsgElementCount(pSet);
            ReadAll(pSet, n);
            /* Into another message, plain and through a copy function. */
            VQX_RESULT r = VQXMsgElementDupSet(pSet, dst.Ptr(), dst.Payload(), nullptr, nullptr);
            Require(VqxMsgElementCheckSet(dst.Ptr(), dst.Payload()) == VQX_RESULT_OK);
            if (r == VQX_RESULT_OK) {
                Require(VQXMsgElementCount(dst.Payload()) == n);
                ReadAll(dst.Payload(), n);
            }
            u32 calls = 0;
            (void)VQXMsgElementDupSet(pSet, dst.Ptr(), dst.Payload() + 4, TouchCopy, &calls);
            Require(VqxMsgElementCheckSet(dst.Ptr(), dst.Payload() + 4) == VQX_RESULT_OK);
        }
        /* Bounded calls on any set word: refuse or succeed, never stray. */
        u32 calls = 0;
        (void)VQXMsgElementDupSet(pSet, msg.Ptr(), pSet, TouchCopy, &calls);
        if (VQXMsgElementDupSet(pSet, msg.Ptr(), msg.Payload() + 12, nullptr, nullptr) == VQX_RESULT_OK) {
            Require(VqxMsgElementCheckSet(msg.Ptr(), msg.Payload() + 12) == VQX_RESULT_OK);
        }
        void* pElem = nullptr;
        if (VQXMsgElementAlloc(msg.Ptr(), pSet, 24, &pElem) == VQX_RESULT_OK) {
            Require(VqxMsgElementCheckSet(msg.Ptr(), pSet) == VQX_RESULT_OK);
            Require(msg.Get(VQX_MSG_OFFSET_PAYLOAD_LENGTH) <= cap);
        }
    }
    return 0;
}
