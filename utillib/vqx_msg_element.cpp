/*
 * vqx_msg_element.cpp - message-element sets inside host-message payloads.
 *
 * Model: the used payload is [fixed structure][elements...][end marker]. An
 * append writes the new element where the end marker was, writes the marker
 * after it, raises the payload length and only then links the element into
 * its set, so a failed call leaves the message as it was and no element ever
 * moves. A byte duplication from another message writes its elements in a
 * row and then the set word, end marker and length once: the same bytes as
 * appending them one by one. Every offset below is relative to the payload
 * start; every bookkeeping word (set word, element header, end marker) is
 * big-endian so that a payload travels between hosts unchanged. See
 * docs/msg-element-sets.md for the byte layout.
 *
 * Reads of set chains go through VqxSetCursor, which validates each
 * element header before it is used, and checks it against the end of the
 * elements whenever the message is known.
 *
 * A copier (VqxMsgElementCopier) serves the many set duplications of one
 * tree copy: each message's prelude is read once, the destination's then
 * only compared (length, capacity, end marker) before each use. The usual
 * sets (32-bit layout, one element: VqxCopierOne; a longer sound chain:
 * VqxCopierChain) take short paths that check the cursor's rules inline
 * before they read or write, and hand anything else, faults included, to
 * the general path, which gives the same result and bytes (a test and the
 * fuzz target compare the two).
 */
#include "vqx_msg_element.h"

#include "vqx_msg_layout.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

constexpr u32 kTrailerSize = VQX_MSG_SET_TRAILER_SIZE;

/* Set word: bit 31 layout (1 = 32-bit), bits 30..16 count, bits 15..0 the
 * forward distance from the set word to the first element header in 4-byte
 * units. */
constexpr u32 kSetFlag32 = 0x80000000u;
constexpr u32 kSetCountShift = 16;
constexpr u32 kSetCountMask = 0x7FFFu;
constexpr u32 kSetFirstMask = 0xFFFFu;
constexpr u32 kSetFirstUnit = 4;
constexpr u32 kMaxElementsPerSet = kSetCountMask;

constexpr u32 kElementAlign = 8;
constexpr u32 kMaxElementSize = 0xFFFFu;

/* One row per layout; the end marker found in a message selects the row. */
struct VqxSetLayout {
    u32 un32Bits;       /* 16 or 32 */
    u32 un32HeaderSize; /* bytes before the element data */
    u32 un32NextUnit;   /* unit of the next-element distance */
    u32 un32SetFlag;    /* layout bit of the set word */
    u8 abyTrailer[kTrailerSize];
};

const VqxSetLayout s_aLayouts[] = {
    {VQX_MSG_ELEMENT_LAYOUT_32, 8, 1, kSetFlag32, {0xED, 0xDA, 0x21, 0x43, 0x34, 0x12, 0xAD, 0xDE}},
    {VQX_MSG_ELEMENT_LAYOUT_16, 4, 8, 0, {0xED, 0xDA, 0x16, 0x43, 0x34, 0x16, 0xAD, 0xDE}},
};

const VqxSetLayout* VqxLayoutByBits(u32 un32Bits)
{
    for (const VqxSetLayout& l : s_aLayouts) {
        if (l.un32Bits == un32Bits) {
            return &l;
        }
    }
    return nullptr;
}

const VqxSetLayout* VqxLayoutByTrailer(const u8* pbyTrailer)
{
    for (const VqxSetLayout& l : s_aLayouts) {
        if (std::memcmp(l.abyTrailer, pbyTrailer, kTrailerSize) == 0) {
            return &l;
        }
    }
    return nullptr;
}

const VqxSetLayout* VqxLayoutBySetWord(u32 un32Word)
{
    return (un32Word & kSetFlag32) != 0 ? &s_aLayouts[0] : &s_aLayouts[1];
}

/* Rounded up to 8, saturating at the largest multiple of 8 below 2^32. */
u32 VqxRound8(u64 un64Value)
{
    const u64 un64Rounded = (un64Value + (kElementAlign - 1)) & ~static_cast<u64>(kElementAlign - 1);
    return un64Rounded > 0xFFFFFFF8u ? 0xFFFFFFF8u : static_cast<u32>(un64Rounded);
}

u32 VqxElementStorage(const VqxSetLayout& layout, u32 un32Size)
{
    return VqxRound8(static_cast<u64>(layout.un32HeaderSize) + un32Size);
}

/* Big-endian words through one load or store (byte-swapped on little-endian
 * hosts); memcpy keeps them free of alignment assumptions. */
u16 VqxGetBe16(const u8* p)
{
    u16 v;
    std::memcpy(&v, p, sizeof v);
    return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}

u32 VqxGetBe32(const u8* p)
{
    u32 v;
    std::memcpy(&v, p, sizeof v);
    return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}

void VqxPutBe16(u8* p, u32 un32Value)
{
    u16 v = static_cast<u16>(un32Value);
    v = std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
    std::memcpy(p, &v, sizeof v);
}

void VqxPutBe32(u8* p, u32 v)
{
    v = std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
    std::memcpy(p, &v, sizeof v);
}

/* Header fields are host-order u32s at fixed offsets; memcpy avoids any
 * alignment assumption about the caller's buffer. */
u32 VqxHeaderGet32(const void* pMsg, u32 un32Offset)
{
    u32 v;
    std::memcpy(&v, static_cast<const u8*>(pMsg) + un32Offset, sizeof v);
    return v;
}

void VqxHeaderPut32(void* pMsg, u32 un32Offset, u32 v)
{
    std::memcpy(static_cast<u8*>(pMsg) + un32Offset, &v, sizeof v);
}

/* Element header codec: (size, distance to the next header in bytes). */
struct VqxElementHeader {
    u32 un32Size;
    u32 un32Next;
};

VqxElementHeader VqxReadElementHeader(const VqxSetLayout& layout, const u8* p)
{
    if (layout.un32Bits == VQX_MSG_ELEMENT_LAYOUT_16) {
        return {VqxGetBe16(p), static_cast<u32>(VqxGetBe16(p + 2)) * layout.un32NextUnit};
    }
    return {VqxGetBe32(p), VqxGetBe32(p + 4)};
}

void VqxWriteElementHeader(const VqxSetLayout& layout, u8* p, u32 un32Size, u32 un32Next)
{
    if (layout.un32Bits == VQX_MSG_ELEMENT_LAYOUT_16) {
        VqxPutBe16(p, un32Size);
        VqxPutBe16(p + 2, un32Next / layout.un32NextUnit);
    } else {
        VqxPutBe32(p, un32Size);
        VqxPutBe32(p + 4, un32Next);
    }
}

/* Just the next-distance field, for relinking the last element of a set. */
void VqxWriteElementNext(const VqxSetLayout& layout, u8* p, u32 un32Next)
{
    if (layout.un32Bits == VQX_MSG_ELEMENT_LAYOUT_16) {
        VqxPutBe16(p + 2, un32Next / layout.un32NextUnit);
    } else {
        VqxPutBe32(p + 4, un32Next);
    }
}

/* The payload of a message that passed the prelude checks. */
struct VqxMsgView {
    u8* pbyPayload = nullptr;
    u32 un32Used = 0;
    u32 un32Cap = 0;
    const VqxSetLayout* pLayout = nullptr;

    u32 ElementsEnd() const { return un32Used - kTrailerSize; }
    u32 Limit() const { return un32Cap < VQX_MSG_ELEMENT_MAX_PAYLOAD ? un32Cap : VQX_MSG_ELEMENT_MAX_PAYLOAD; }
};

VQX_RESULT VqxMsgOpen(const void* pMsg, VqxMsgView& view)
{
    u8* pbyMsg = static_cast<u8*>(const_cast<void*>(pMsg));
    view.pbyPayload = pbyMsg + VQX_MSG_OFFSET_PAYLOAD;
    view.un32Used = VqxHeaderGet32(pMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH);
    view.un32Cap = VqxHeaderGet32(pMsg, VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH);
    if (view.un32Used > VQX_MSG_ELEMENT_MAX_PAYLOAD || view.un32Used > view.un32Cap) {
        return VQX_RESULT_MISMATCH;
    }
    if (view.un32Used % kElementAlign != 0) {
        return VQX_RESULT_INVALID_MESSAGE;
    }
    if (view.un32Used < kTrailerSize) {
        return VQX_RESULT_NOT_INITIALIZED;
    }
    view.pLayout = VqxLayoutByTrailer(view.pbyPayload + view.ElementsEnd());
    return view.pLayout != nullptr ? VQX_RESULT_OK : VQX_RESULT_NOT_INITIALIZED;
}

/* Offset of a set word that must lie inside the elements area of the view. */
VQX_RESULT VqxSetOffset(const VqxMsgView& view, const void* pSet, u32& un32Off)
{
    const uintptr_t uSet = reinterpret_cast<uintptr_t>(pSet);
    const uintptr_t uBase = reinterpret_cast<uintptr_t>(view.pbyPayload);
    if (uSet < uBase || uSet - uBase > view.ElementsEnd() || view.ElementsEnd() - (uSet - uBase) < sizeof(u32)) {
        return VQX_RESULT_MISMATCH;
    }
    un32Off = static_cast<u32>(uSet - uBase);
    return un32Off % sizeof(u32) == 0 ? VQX_RESULT_OK : VQX_RESULT_INVALID_PARAM;
}

/*
 * Walks one set. With a payload base and an elements end it never reads
 * outside [base, end); without them (the set-only readers) it checks only
 * the chain's shape. Links always go forward and never further than the
 * largest payload, so a walk ends after at most count steps.
 */
class VqxSetCursor {
public:
    VQX_RESULT Open(const u8* pbySet, const u8* pbyBase, const u8* pbyEnd)
    {
        m_pbyBase = pbyBase;
        m_pbyEnd = pbyEnd;
        const u32 un32Word = VqxGetBe32(pbySet);
        m_un32Count = (un32Word >> kSetCountShift) & kSetCountMask;
        m_un32Index = 0;
        if (un32Word == 0) {
            return VQX_RESULT_OK;
        }
        const u32 un32First = (un32Word & kSetFirstMask) * kSetFirstUnit;
        if (m_un32Count == 0 || un32First == 0) {
            return VQX_RESULT_INVALID_MESSAGE;
        }
        m_pLayout = VqxLayoutBySetWord(un32Word);
        return Load(pbySet, un32First);
    }

    /* To the following element; VQX_RESULT_NOT_FOUND after the last. */
    VQX_RESULT Next()
    {
        if (m_un32Index + 1 >= m_un32Count) {
            return VQX_RESULT_NOT_FOUND;
        }
        ++m_un32Index;
        return Load(m_pbyHeader, m_hdr.un32Next);
    }

    bool Empty() const { return m_un32Count == 0; }
    u32 Count() const { return m_un32Count; }
    const VqxSetLayout* Layout() const { return m_pLayout; }
    const u8* Header() const { return m_pbyHeader; }
    u8* Data() const { return const_cast<u8*>(m_pbyHeader) + m_pLayout->un32HeaderSize; }
    u16 Size() const { return static_cast<u16>(m_hdr.un32Size); }

private:
    /* Moves to the header un32Dist bytes after pbyFrom, checking it against
     * the end (in integers: the pointer is formed only once it is known). */
    VQX_RESULT Load(const u8* pbyFrom, u32 un32Dist)
    {
        const u32 un32HeaderSize = m_pLayout->un32HeaderSize;
        if (m_pbyEnd != nullptr) {
            const uintptr_t uHeader = reinterpret_cast<uintptr_t>(pbyFrom) + un32Dist;
            const uintptr_t uEnd = reinterpret_cast<uintptr_t>(m_pbyEnd);
            if (uHeader > uEnd || uEnd - uHeader < un32HeaderSize) {
                return VQX_RESULT_MISMATCH;
            }
            if ((uHeader - reinterpret_cast<uintptr_t>(m_pbyBase)) % kElementAlign != 0) {
                return VQX_RESULT_INVALID_MESSAGE;
            }
        }
        const u8* pbyHeader = pbyFrom + un32Dist;
        m_pbyHeader = pbyHeader;
        m_hdr = VqxReadElementHeader(*m_pLayout, pbyHeader);
        if (m_hdr.un32Size > kMaxElementSize || m_hdr.un32Next % kElementAlign != 0 ||
            m_hdr.un32Next >= VQX_MSG_ELEMENT_MAX_PAYLOAD) {
            return VQX_RESULT_INVALID_MESSAGE;
        }
        if (m_pbyEnd != nullptr && static_cast<size_t>(m_pbyEnd - pbyHeader) - un32HeaderSize < m_hdr.un32Size) {
            return VQX_RESULT_MISMATCH;
        }
        const bool fLast = m_un32Index + 1 == m_un32Count;
        if (fLast ? m_hdr.un32Next != 0 : m_hdr.un32Next < VqxElementStorage(*m_pLayout, m_hdr.un32Size)) {
            return VQX_RESULT_INVALID_MESSAGE;
        }
        return VQX_RESULT_OK;
    }

    const u8* m_pbyBase = nullptr;
    const u8* m_pbyEnd = nullptr;
    const VqxSetLayout* m_pLayout = &s_aLayouts[0];
    const u8* m_pbyHeader = nullptr;
    VqxElementHeader m_hdr{0, 0};
    u32 m_un32Count = 0;
    u32 m_un32Index = 0;
};

/* Opens a cursor bounded by the view and checks the set's layout. */
VQX_RESULT VqxOpenBounded(const VqxMsgView& view, u32 un32SetOff, VqxSetCursor& cursor)
{
    const u8* pbyEnd = view.pbyPayload + view.ElementsEnd();
    VQX_RESULT r = cursor.Open(view.pbyPayload + un32SetOff, view.pbyPayload, pbyEnd);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    if (!cursor.Empty() && cursor.Layout() != view.pLayout) {
        return VQX_RESULT_INVALID_MESSAGE;
    }
    return VQX_RESULT_OK;
}

/* Where the next element of a set gets linked: the set word (empty set) or
 * the header of its last element. */
struct VqxSetTail {
    u32 un32SetOff = 0;
    u32 un32Count = 0;
    u32 un32LastHeaderOff = 0;
};

VQX_RESULT VqxFindTail(const VqxMsgView& view, u32 un32SetOff, VqxSetTail& tail)
{
    VqxSetCursor cursor;
    VQX_RESULT r = VqxOpenBounded(view, un32SetOff, cursor);
    while (VQX_RESULT_SUCCEEDED(r) && !cursor.Empty()) {
        r = cursor.Next();
        if (r == VQX_RESULT_NOT_FOUND) {
            r = VQX_RESULT_OK;
            break;
        }
    }
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    tail.un32SetOff = un32SetOff;
    tail.un32Count = cursor.Count();
    tail.un32LastHeaderOff = cursor.Empty() ? 0 : static_cast<u32>(cursor.Header() - view.pbyPayload);
    return VQX_RESULT_OK;
}

/*
 * Appends one element of un32Size bytes (0 allowed here: duplicates copy
 * what they find) after the tail, writes the message, and moves the tail
 * and the view's used length.
 */
[[gnu::always_inline]] inline VQX_RESULT VqxAppend(void* pMsg, VqxMsgView& view, VqxSetTail& tail, u32 un32Size, u8** ppbyData)
{
    const VqxSetLayout& layout = *view.pLayout;
    if (tail.un32Count >= kMaxElementsPerSet) {
        return VQX_RESULT_BUFFER_TOO_SMALL;
    }
    const u32 un32At = view.ElementsEnd();
    const u32 un32Storage = VqxElementStorage(layout, un32Size);
    const u64 un64NewUsed = static_cast<u64>(un32At) + un32Storage + kTrailerSize;
    if (un64NewUsed > view.Limit()) {
        return VQX_RESULT_BUFFER_TOO_SMALL;
    }
    u8* pbyAt = view.pbyPayload + un32At;
    std::memset(pbyAt, 0, un32Storage);
    VqxWriteElementHeader(layout, pbyAt, un32Size, 0);
    std::memcpy(pbyAt + un32Storage, layout.abyTrailer, kTrailerSize);
    VqxHeaderPut32(pMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH, static_cast<u32>(un64NewUsed));
    view.un32Used = static_cast<u32>(un64NewUsed);

    u8* pbySet = view.pbyPayload + tail.un32SetOff;
    if (tail.un32Count == 0) {
        VqxPutBe32(pbySet, layout.un32SetFlag | (1u << kSetCountShift) | ((un32At - tail.un32SetOff) / kSetFirstUnit));
    } else {
        VqxWriteElementNext(layout, view.pbyPayload + tail.un32LastHeaderOff, un32At - tail.un32LastHeaderOff);
        const u32 un32Word = VqxGetBe32(pbySet);
        VqxPutBe32(pbySet, (un32Word & ~(kSetCountMask << kSetCountShift)) | ((tail.un32Count + 1) << kSetCountShift));
    }
    ++tail.un32Count;
    tail.un32LastHeaderOff = un32At;
    *ppbyData = pbyAt + layout.un32HeaderSize;
    return VQX_RESULT_OK;
}

/* Prelude shared by the calls that get the message and a set word. */
VQX_RESULT VqxOpenSet(const void* pMsg, const void* pSet, VqxMsgView& view, u32& un32SetOff)
{
    VQX_RESULT r = VqxMsgOpen(pMsg, view);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    return VqxSetOffset(view, pSet, un32SetOff);
}

bool VqxIsInBuffer(const VqxMsgView& view, const void* p)
{
    const uintptr_t u = reinterpret_cast<uintptr_t>(p);
    const uintptr_t uBase = reinterpret_cast<uintptr_t>(view.pbyPayload);
    return u >= uBase && u - uBase < view.un32Cap;
}

/*
 * Byte duplication of a set from outside the destination buffer into the
 * empty set at un32DstOff, in one pass: nothing else writes to the message
 * meanwhile, so the elements go one after the other from the end marker,
 * each linked to the next as it is written, and the set word, end marker
 * and payload length are written once at the end. The bytes are those that
 * appending the elements one by one would give, also when the source chain
 * breaks or the room runs out (the elements before stay, the last one
 * written is relinked as the last).
 */
template <u32 kHeaderSize>
VQX_RESULT VqxDupBytesAs(void* pMsg, VqxMsgView& view, u32 un32DstOff, VqxSetCursor& cursor)
{
    const VqxSetLayout& layout = *view.pLayout;
    const u32 un32Limit = view.Limit();
    const u32 un32Total = cursor.Count();
    const u32 un32First = view.ElementsEnd();
    u8* const pbyPayload = view.pbyPayload;
    u32 un32At = un32First;
    u32 un32Last = un32First;
    u32 un32Count = 0;
    VQX_RESULT r = VQX_RESULT_OK;
    for (;;) {
        const u32 un32Size = cursor.Size();
        const u32 un32Storage = (kHeaderSize + un32Size + (kElementAlign - 1)) & ~(kElementAlign - 1);
        if (un32At + un32Storage + kTrailerSize > un32Limit) {
            r = VQX_RESULT_BUFFER_TOO_SMALL;
            break;
        }
        /* The padding lies in the last 8 bytes of the element's room; they
         * are zeroed first, the header and data then written over them. */
        u8* pbyAt = pbyPayload + un32At;
        std::memset(pbyAt + un32Storage - kElementAlign, 0, kElementAlign);
        const u32 un32Next = un32Count + 1 < un32Total ? un32Storage : 0;
        if constexpr (kHeaderSize == 4) {
            VqxPutBe16(pbyAt, un32Size);
            VqxPutBe16(pbyAt + 2, un32Next / kElementAlign);
        } else {
            VqxPutBe32(pbyAt, un32Size);
            VqxPutBe32(pbyAt + 4, un32Next);
        }
        std::memcpy(pbyAt + kHeaderSize, cursor.Data(), un32Size);
        un32Last = un32At;
        un32At += un32Storage;
        if (++un32Count == un32Total) {
            break;
        }
        r = cursor.Next();
        if (VQX_RESULT_FAILED(r)) {
            break;
        }
    }
    if (un32Count == 0) {
        return r;
    }
    if (un32Count < un32Total) {
        /* Stopped early: the last element written ends the chain. */
        VqxWriteElementNext(layout, pbyPayload + un32Last, 0);
    }
    VqxPutBe32(pbyPayload + un32DstOff,
               layout.un32SetFlag | (un32Count << kSetCountShift) | ((un32First - un32DstOff) / kSetFirstUnit));
    std::memcpy(pbyPayload + un32At, layout.abyTrailer, kTrailerSize);
    VqxHeaderPut32(pMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH, un32At + kTrailerSize);
    view.un32Used = un32At + kTrailerSize;
    return r;
}

/* For a cursor on a non-empty set. */
VQX_RESULT VqxDupBytes(void* pMsg, VqxMsgView& view, u32 un32DstOff, VqxSetCursor& cursor)
{
    return view.pLayout->un32HeaderSize == 4 ? VqxDupBytesAs<4>(pMsg, view, un32DstOff, cursor)
                                             : VqxDupBytesAs<8>(pMsg, view, un32DstOff, cursor);
}

struct VqxMsgAllocator {
    std::mutex mutex;
    PFN_VQX_MSG_ELEMENT_MSG_ALLOC pfnAlloc = nullptr;
    PFN_VQX_MSG_ELEMENT_MSG_RELEASE pfnRelease = nullptr;
};

VqxMsgAllocator& VqxAllocator()
{
    static VqxMsgAllocator s_allocator;
    return s_allocator;
}

VQX_RESULT VqxInitLayout(void* pMsg, u32 un32StructSize, const VqxSetLayout& layout)
{
    u8* pbyPayload = static_cast<u8*>(pMsg) + VQX_MSG_OFFSET_PAYLOAD;
    const u32 un32Cap = VqxHeaderGet32(pMsg, VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH);
    const u64 un64Rounded = (static_cast<u64>(un32StructSize) + (kElementAlign - 1)) & ~static_cast<u64>(kElementAlign - 1);
    if (un64Rounded + kTrailerSize > un32Cap) {
        std::memset(pbyPayload, 0, un32Cap);
        return VQX_RESULT_BUFFER_TOO_SMALL;
    }
    std::memset(pbyPayload, 0, static_cast<size_t>(un64Rounded));
    std::memcpy(pbyPayload + un64Rounded, layout.abyTrailer, kTrailerSize);
    VqxHeaderPut32(pMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH, static_cast<u32>(un64Rounded + kTrailerSize));
    return VQX_RESULT_OK;
}

/* A checker's fields as a view. */
VqxMsgView VqxViewOf(const VqxMsgElementChecker& checker)
{
    VqxMsgView view;
    view.pbyPayload = const_cast<u8*>(checker.pbyPayload);
    view.un32Used = checker.un32Used;
    view.un32Cap = checker.un32Cap;
    view.pLayout = static_cast<const VqxSetLayout*>(checker.pLayout);
    return view;
}

/*
 * A copier's destination: what VqxMsgOpen gives, read in full only when the
 * payload length, the capacity or the end marker differ from what was last
 * seen (the first time, after a refusal, after appends by other calls).
 * Those three decide every prelude check, so the result is the same.
 */
VQX_RESULT VqxCopierDst(VqxMsgElementCopier& c, VqxMsgView& view)
{
    VqxMsgElementChecker& seen = c.dst;
    const bool fSame = VQX_RESULT_SUCCEEDED(seen.rOpen) &&
                       VqxHeaderGet32(c.pDstMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH) == seen.un32Used &&
                       VqxHeaderGet32(c.pDstMsg, VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH) == seen.un32Cap &&
                       std::memcmp(seen.pbyPayload + seen.un32Used - kTrailerSize,
                                   static_cast<const VqxSetLayout*>(seen.pLayout)->abyTrailer, kTrailerSize) == 0;
    if (!fSame) {
        (void)VqxMsgElementCheckerOpen(c.pDstMsg, &seen);
    }
    view = VqxViewOf(seen);
    return seen.rOpen;
}

/*
 * A source set checked within the copier's source message, as
 * VqxMsgElementCheckSetIn does it, leaving the cursor on its first element:
 * opening the cursor checks a set of one element (most sets: one text);
 * a longer chain is walked once more ahead of the copy.
 */
VQX_RESULT VqxCopierCheckSource(const VqxMsgElementChecker& checker, const void* pSet, VqxSetCursor& cursor)
{
    if (VQX_RESULT_FAILED(checker.rOpen)) {
        return checker.rOpen;
    }
    const VqxMsgView view = VqxViewOf(checker);
    u32 un32SetOff = 0;
    VQX_RESULT r = VqxSetOffset(view, pSet, un32SetOff);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VqxOpenBounded(view, un32SetOff, cursor);
    }
    if (VQX_RESULT_SUCCEEDED(r) && cursor.Count() > 1) {
        VqxSetTail tail;
        r = VqxFindTail(view, un32SetOff, tail);
    }
    return r;
}

/*
 * Duplication through a copy function of a set from outside the destination
 * buffer. The copy function may append to the message (nested sets, through
 * this copier or not), so the destination is seen afresh before each
 * further append; the set's tail is kept, and found again only when the set
 * word no longer holds the count appended.
 */
VQX_RESULT VqxCopierCalls(VqxMsgElementCopier& c, VqxMsgView& view, u32 un32DstOff, VqxSetCursor& cursor,
                          PFN_VQX_MSG_ELEMENT_COPY pfnCopy, void* pvContext)
{
    void* const pMsg = c.pDstMsg;
    const u8* pbyDstSet = view.pbyPayload + un32DstOff;
    VqxSetTail tail;
    tail.un32SetOff = un32DstOff;
    VQX_RESULT r = VQX_RESULT_OK;
    for (u32 i = 0; i < cursor.Count(); ++i) {
        if (i > 0) {
            r = cursor.Next();
            if (VQX_RESULT_FAILED(r)) {
                break;
            }
            r = VqxCopierDst(c, view);
            if (VQX_RESULT_SUCCEEDED(r) && VQXMsgElementCount(pbyDstSet) != tail.un32Count) {
                r = VqxFindTail(view, un32DstOff, tail);
            }
            if (VQX_RESULT_FAILED(r)) {
                break;
            }
        }
        const u16 un16Size = cursor.Size();
        u8* pbyDst = nullptr;
        r = VqxAppend(pMsg, view, tail, un16Size, &pbyDst);
        if (VQX_RESULT_FAILED(r)) {
            break;
        }
        c.dst.un32Used = view.un32Used;
        const i32 n32Copy = pfnCopy(pvContext, cursor.Data(), pMsg, pbyDst, un16Size);
        if (VQX_RESULT_FAILED(n32Copy)) {
            r = static_cast<VQX_RESULT>(n32Copy);
            break;
        }
    }
    return r;
}

/*
 * Duplication when the source lies in the destination message or is the
 * destination set itself: the source is checked within the message before
 * anything is written, and each element goes through the append path (or to
 * the copy function in place).
 */
[[gnu::noinline]] VQX_RESULT VqxDupSetInside(const void* pSrcSet, void* pDstMsg, void* pDstSet, VqxMsgView& view,
                                             u32 un32DstOff, PFN_VQX_MSG_ELEMENT_COPY pfnCopy, void* pvContext)
{
    VQX_RESULT r = VQX_RESULT_OK;
    const bool fSame = pSrcSet == pDstSet;
    const bool fSrcInDst = VqxIsInBuffer(view, pSrcSet);
    VqxSetCursor cursor;
    if (fSrcInDst) {
        /* Check the whole source before anything is written. */
        r = VqxMsgElementCheckSet(pDstMsg, pSrcSet);
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    if (!fSame) {
        VqxPutBe32(static_cast<u8*>(pDstSet), 0);
    }
    if (fSrcInDst) {
        u32 un32SrcOff = 0;
        (void)VqxSetOffset(view, pSrcSet, un32SrcOff);
        r = VqxOpenBounded(view, un32SrcOff, cursor);
    } else {
        r = cursor.Open(static_cast<const u8*>(pSrcSet), nullptr, nullptr);
    }
    VqxSetTail tail;
    tail.un32SetOff = un32DstOff;
    for (u32 i = 0; VQX_RESULT_SUCCEEDED(r) && i < cursor.Count(); ++i) {
        if (i > 0) {
            r = cursor.Next();
            if (VQX_RESULT_FAILED(r)) {
                break;
            }
        }
        const u16 un16Size = cursor.Size();
        u8* pbyDst = cursor.Data();
        if (!fSame) {
            /* An element copy may append to the message (nested sets): take
             * a fresh view for each append, and re-find the tail if the
             * destination word no longer matches what was appended. */
            r = VqxMsgOpen(pDstMsg, view);
            if (VQX_RESULT_SUCCEEDED(r) && VQXMsgElementCount(pDstSet) != tail.un32Count) {
                r = VqxFindTail(view, un32DstOff, tail);
            }
            if (VQX_RESULT_SUCCEEDED(r)) {
                r = VqxAppend(pDstMsg, view, tail, un16Size, &pbyDst);
            }
            if (VQX_RESULT_FAILED(r)) {
                break;
            }
            if (pfnCopy == nullptr) {
                std::memcpy(pbyDst, cursor.Data(), un16Size);
            }
        }
        if (pfnCopy != nullptr) {
            const i32 n32Copy = pfnCopy(pvContext, cursor.Data(), pDstMsg, pbyDst, un16Size);
            if (VQX_RESULT_FAILED(n32Copy)) {
                r = static_cast<VQX_RESULT>(n32Copy);
            }
        }
    }
    return r;
}

/*
 * What the short paths need of the destination: unchanged since the copier
 * last saw it (so its prelude stands), the 32-bit layout, the set word
 * inside its elements, the source set outside its buffer, and room for
 * un32Room bytes of elements. Gives where they go and the set's offset.
 */
[[gnu::always_inline]] inline bool VqxCopierDstReady(const VqxMsgElementCopier& c, const u8* pbySrcSet,
                                                     const u8* pbyDstSet, u32 un32Room, u32& un32At, u32& un32DstOff)
{
    const VqxMsgElementChecker& dst = c.dst;
    if (VQX_RESULT_FAILED(dst.rOpen) || dst.pLayout != &s_aLayouts[0] ||
        VqxHeaderGet32(c.pDstMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH) != dst.un32Used ||
        VqxHeaderGet32(c.pDstMsg, VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH) != dst.un32Cap) {
        return false;
    }
    un32At = dst.un32Used - kTrailerSize;
    const uintptr_t uBase = reinterpret_cast<uintptr_t>(dst.pbyPayload);
    const uintptr_t uDstOff = reinterpret_cast<uintptr_t>(pbyDstSet) - uBase;
    const uintptr_t uSrcOff = reinterpret_cast<uintptr_t>(pbySrcSet) - uBase;
    const u32 un32Limit = dst.un32Cap < VQX_MSG_ELEMENT_MAX_PAYLOAD ? dst.un32Cap : VQX_MSG_ELEMENT_MAX_PAYLOAD;
    un32DstOff = static_cast<u32>(uDstOff);
    return std::memcmp(dst.pbyPayload + un32At, s_aLayouts[0].abyTrailer, kTrailerSize) == 0 && uDstOff <= un32At &&
           un32At - uDstOff >= sizeof(u32) && uDstOff % sizeof(u32) == 0 && uSrcOff >= dst.un32Cap &&
           static_cast<u64>(un32At) + un32Room + kTrailerSize <= un32Limit;
}

/* Element data, most often a short text, copied without a library call
 * up to 16 bytes (two overlapping moves, or three single bytes). */
[[gnu::always_inline]] inline void VqxCopyShort(u8* pbyTo, const u8* pbyFrom, u32 un32Size)
{
    if (un32Size > 16) {
        std::memcpy(pbyTo, pbyFrom, un32Size);
    } else if (un32Size >= 8) {
        u64 un64Head, un64Tail;
        std::memcpy(&un64Head, pbyFrom, 8);
        std::memcpy(&un64Tail, pbyFrom + un32Size - 8, 8);
        std::memcpy(pbyTo, &un64Head, 8);
        std::memcpy(pbyTo + un32Size - 8, &un64Tail, 8);
    } else if (un32Size >= 4) {
        u32 un32Head, un32Tail;
        std::memcpy(&un32Head, pbyFrom, 4);
        std::memcpy(&un32Tail, pbyFrom + un32Size - 4, 4);
        std::memcpy(pbyTo, &un32Head, 4);
        std::memcpy(pbyTo + un32Size - 4, &un32Tail, 4);
    } else if (un32Size > 0) {
        pbyTo[0] = pbyFrom[0];
        pbyTo[un32Size / 2] = pbyFrom[un32Size / 2];
        pbyTo[un32Size - 1] = pbyFrom[un32Size - 1];
    }
}

/*
 * What the short paths need of a source set before they read its word: a
 * checked source in another message than the destination, its prelude
 * sound in the 32-bit layout, the word 4-aligned inside its elements. Gives
 * the bounds the chain must keep to, as offsets from uBase; a trusted
 * source has none (0 and the largest offset).
 */
[[gnu::always_inline]] inline bool VqxCopierSrcReady(const VqxMsgElementCopier& c, const u8* pbySrcSet,
                                                     uintptr_t& uBase, u64& un64End)
{
    uBase = 0;
    un64End = ~0ull;
    if (c.pSrcMsg == nullptr) {
        return true;
    }
    const VqxMsgElementChecker& src = c.src;
    if (c.pSrcMsg == c.pDstMsg || VQX_RESULT_FAILED(src.rOpen) || src.pLayout != &s_aLayouts[0]) {
        return false;
    }
    uBase = reinterpret_cast<uintptr_t>(src.pbyPayload);
    un64End = src.un32Used - kTrailerSize;
    const uintptr_t uSet = reinterpret_cast<uintptr_t>(pbySrcSet);
    return uSet >= uBase && uSet - uBase <= un64End && un64End - (uSet - uBase) >= sizeof(u32) &&
           (uSet - uBase) % sizeof(u32) == 0;
}

/*
 * The usual set of a tree copy in few steps: one element, from another
 * message, the 32-bit layout on both sides, the destination as last seen,
 * room enough. Anything else (a fault included) returns false having
 * written nothing, and VqxCopierDupSet decides; what this writes is what
 * VqxCopierDupSet writes for the same set.
 */
bool VqxCopierOne(VqxMsgElementCopier& c, const u8* pbySrcSet, u8* pbyDstSet, PFN_VQX_MSG_ELEMENT_COPY pfnCopy,
                  void* pvContext, VQX_RESULT& r)
{
    const VqxSetLayout& layout = s_aLayouts[0];
    uintptr_t uBase = 0;
    u64 un64End = 0;
    if (!VqxCopierSrcReady(c, pbySrcSet, uBase, un64End)) {
        return false;
    }
    const u32 un32Word = VqxGetBe32(pbySrcSet);
    const u32 un32First = (un32Word & kSetFirstMask) * kSetFirstUnit;
    if ((un32Word & ~kSetFirstMask) != (layout.un32SetFlag | (1u << kSetCountShift)) || un32First == 0) {
        return false;
    }
    const u8* pbyHeader = pbySrcSet + un32First;
    const u64 un64Header = reinterpret_cast<uintptr_t>(pbyHeader) - uBase;
    if (un64Header % kElementAlign != 0 || un64Header + layout.un32HeaderSize > un64End ||
        VqxGetBe32(pbyHeader) > un64End - layout.un32HeaderSize - un64Header) {
        return false;
    }
    const u32 un32Size = VqxGetBe32(pbyHeader);
    if (un32Size > kMaxElementSize || VqxGetBe32(pbyHeader + 4) != 0) {
        return false;
    }
    const u32 un32Storage = VqxElementStorage(layout, un32Size);
    u32 un32At = 0;
    u32 un32DstOff = 0;
    if (!VqxCopierDstReady(c, pbySrcSet, pbyDstSet, un32Storage, un32At, un32DstOff)) {
        return false;
    }
    u8* const pbyPayload = const_cast<u8*>(c.dst.pbyPayload);
    u8* const pbyAt = pbyPayload + un32At;
    std::memset(pbyAt + un32Storage - kElementAlign, 0, kElementAlign);
    VqxPutBe32(pbyAt, un32Size);
    VqxPutBe32(pbyAt + 4, 0);
    if (pfnCopy == nullptr) {
        VqxCopyShort(pbyAt + layout.un32HeaderSize, pbyHeader + layout.un32HeaderSize, un32Size);
    } else {
        std::memset(pbyAt + layout.un32HeaderSize, 0, un32Storage - layout.un32HeaderSize);
    }
    VqxPutBe32(pbyDstSet, layout.un32SetFlag | (1u << kSetCountShift) | ((un32At - un32DstOff) / kSetFirstUnit));
    std::memcpy(pbyAt + un32Storage, layout.abyTrailer, kTrailerSize);
    c.dst.un32Used = un32At + un32Storage + kTrailerSize;
    VqxHeaderPut32(c.pDstMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH, c.dst.un32Used);
    r = VQX_RESULT_OK;
    if (pfnCopy != nullptr) {
        const i32 n32Copy = pfnCopy(pvContext, pbyHeader + layout.un32HeaderSize, c.pDstMsg,
                                    pbyAt + layout.un32HeaderSize, static_cast<u16>(un32Size));
        if (VQX_RESULT_FAILED(n32Copy)) {
            r = static_cast<VQX_RESULT>(n32Copy);
        }
    }
    return true;
}

/*
 * A set of several elements in few steps: from another message, the
 * 32-bit layout on both sides, a sound chain, the destination as last seen
 * and, for a byte copy, room for the whole set (checked once). Anything
 * else (a fault included) returns false having written nothing, and
 * VqxCopierDupSet decides; what this writes and returns is what
 * VqxCopierDupSet writes and returns for the same set.
 */
[[gnu::noinline]] bool VqxCopierChain(VqxMsgElementCopier& c, const u8* pbySrcSet, u8* pbyDstSet,
                                      PFN_VQX_MSG_ELEMENT_COPY pfnCopy, void* pvContext, VQX_RESULT& r)
{
    const VqxSetLayout& layout = s_aLayouts[0];
    constexpr u32 kHeader = 8;
    uintptr_t uBase = 0;
    u64 un64End = 0;
    if (!VqxCopierSrcReady(c, pbySrcSet, uBase, un64End)) {
        return false;
    }
    const u32 un32Word = VqxGetBe32(pbySrcSet);
    const u32 un32Count = (un32Word >> kSetCountShift) & kSetCountMask;
    const u32 un32First = (un32Word & kSetFirstMask) * kSetFirstUnit;
    if ((un32Word & kSetFlag32) == 0 || un32Count == 0 || un32First == 0) {
        return false;
    }
    /* The chain as the cursor checks it: within the source's elements when
     * the copier checks the source, its shape only otherwise. */
    const u8* const pbyFirst = pbySrcSet + un32First;
    u64 un64Header = static_cast<u64>(reinterpret_cast<uintptr_t>(pbyFirst) - uBase);
    u32 un32Total = 0;
    for (u32 i = 0; i < un32Count; ++i) {
        if (un64Header % kElementAlign != 0 || un64Header + kHeader > un64End) {
            return false;
        }
        const u8* pbyHeader = reinterpret_cast<const u8*>(uBase + un64Header);
        const u32 un32Size = VqxGetBe32(pbyHeader);
        const u32 un32Next = VqxGetBe32(pbyHeader + 4);
        const u32 un32Storage = (kHeader + un32Size + (kElementAlign - 1)) & ~(kElementAlign - 1);
        if (un32Size > kMaxElementSize || un32Size > un64End - kHeader - un64Header ||
            (i + 1 == un32Count ? un32Next != 0
                                : un32Next % kElementAlign != 0 || un32Next >= VQX_MSG_ELEMENT_MAX_PAYLOAD ||
                                      un32Next < un32Storage)) {
            return false;
        }
        un32Total += un32Storage;
        un64Header += un32Next;
    }
    /* Room for a byte copy; a copy function's appends are checked one by one. */
    u32 un32At = 0;
    u32 un32DstOff = 0;
    if (!VqxCopierDstReady(c, pbySrcSet, pbyDstSet, pfnCopy == nullptr ? un32Total : 0, un32At, un32DstOff)) {
        return false;
    }
    u8* const pbyPayload = const_cast<u8*>(c.dst.pbyPayload);
    if (pfnCopy == nullptr) {
        /* As VqxDupBytesAs writes them: in a row, each linked to the next. */
        const u8* pbySrc = pbyFirst;
        u32 un32To = un32At;
        for (u32 i = 0; i < un32Count; ++i) {
            const u32 un32Size = VqxGetBe32(pbySrc);
            const u32 un32Storage = (kHeader + un32Size + (kElementAlign - 1)) & ~(kElementAlign - 1);
            u8* const pbyTo = pbyPayload + un32To;
            std::memset(pbyTo + un32Storage - kElementAlign, 0, kElementAlign);
            VqxPutBe32(pbyTo, un32Size);
            VqxPutBe32(pbyTo + 4, i + 1 < un32Count ? un32Storage : 0);
            VqxCopyShort(pbyTo + kHeader, pbySrc + kHeader, un32Size);
            un32To += un32Storage;
            pbySrc += VqxGetBe32(pbySrc + 4);
        }
        VqxPutBe32(pbyDstSet,
                   layout.un32SetFlag | (un32Count << kSetCountShift) | ((un32At - un32DstOff) / kSetFirstUnit));
        std::memcpy(pbyPayload + un32To, layout.abyTrailer, kTrailerSize);
        c.dst.un32Used = un32To + kTrailerSize;
        VqxHeaderPut32(c.pDstMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH, c.dst.un32Used);
        r = VQX_RESULT_OK;
        return true;
    }
    /* Through the copy function, as VqxCopierCalls does it. */
    VqxMsgView view = VqxViewOf(c.dst);
    VqxSetTail tail;
    tail.un32SetOff = un32DstOff;
    VqxPutBe32(pbyDstSet, 0);
    const u8* pbySrc = pbyFirst;
    u32 un32Next = 0;
    r = VQX_RESULT_OK;
    for (u32 i = 0; i < un32Count; ++i) {
        if (i > 0) {
            pbySrc += un32Next;
            r = VqxCopierDst(c, view);
            if (VQX_RESULT_SUCCEEDED(r) && VQXMsgElementCount(pbyDstSet) != tail.un32Count) {
                r = VqxFindTail(view, un32DstOff, tail);
            }
            if (VQX_RESULT_FAILED(r)) {
                break;
            }
        }
        const u16 un16Size = static_cast<u16>(VqxGetBe32(pbySrc));
        un32Next = VqxGetBe32(pbySrc + 4);
        u8* pbyDst = nullptr;
        r = VqxAppend(c.pDstMsg, view, tail, un16Size, &pbyDst);
        if (VQX_RESULT_FAILED(r)) {
            break;
        }
        c.dst.un32Used = view.un32Used;
        const i32 n32Copy = pfnCopy(pvContext, pbySrc + kHeader, c.pDstMsg, pbyDst, un16Size);
        if (VQX_RESULT_FAILED(n32Copy)) {
            r = static_cast<VQX_RESULT>(n32Copy);
            break;
        }
    }
    return true;
}

/*
 * One set of a copier: the source check (when the copier has a source
 * message), then the duplication of VQXMsgElementDupSet, sharing the
 * source's cursor and the destination's prelude.
 */
VQX_RESULT VqxCopierDupSet(VqxMsgElementCopier& c, const void* pSrcSet, void* pDstSet, PFN_VQX_MSG_ELEMENT_COPY pfnCopy,
                           void* pvContext)
{
    VqxSetCursor cursor;
    bool fOpen = false;
    VQX_RESULT r = VQX_RESULT_OK;
    if (c.pSrcMsg != nullptr) {
        if (pSrcSet == nullptr) {
            return VQX_RESULT_NULL_PARAM;
        }
        if (c.pSrcMsg == c.pDstMsg) {
            /* The source grows with the copy: checked in full each time. */
            r = VqxMsgElementCheckSet(c.pSrcMsg, pSrcSet);
        } else {
            r = VqxCopierCheckSource(c.src, pSrcSet, cursor);
            fOpen = true;
        }
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    if (pSrcSet == nullptr || c.pDstMsg == nullptr || pDstSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VqxMsgView view;
    u32 un32DstOff = 0;
    r = VqxCopierDst(c, view);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VqxSetOffset(view, pDstSet, un32DstOff);
    }
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    if (pSrcSet == pDstSet || VqxIsInBuffer(view, pSrcSet)) {
        return VqxDupSetInside(pSrcSet, c.pDstMsg, pDstSet, view, un32DstOff, pfnCopy, pvContext);
    }
    /* A source outside the destination buffer (another message): nothing
     * written here can change it, so it is read as it is copied. */
    VqxPutBe32(static_cast<u8*>(pDstSet), 0);
    if (!fOpen) {
        r = cursor.Open(static_cast<const u8*>(pSrcSet), nullptr, nullptr);
    }
    if (VQX_RESULT_FAILED(r) || cursor.Empty()) {
        return r;
    }
    if (pfnCopy != nullptr) {
        return VqxCopierCalls(c, view, un32DstOff, cursor, pfnCopy, pvContext);
    }
    r = VqxDupBytes(c.pDstMsg, view, un32DstOff, cursor);
    c.dst.un32Used = view.un32Used;
    return r;
}

} // namespace

extern "C" {

u32 VQXMsgComputeSize(u32 un32FixedPayloadSize, u32, u32)
{
    return VqxRound8(static_cast<u64>(un32FixedPayloadSize) + kTrailerSize);
}

u32 VQXMsgElementComputeSize(u32 un32ElementSize)
{
    return VqxElementStorage(s_aLayouts[0], un32ElementSize);
}

VQX_RESULT VQXMsgElementInit(void* pMsg, u32 un32StructSize)
{
    return VqxMsgElementInitLayout(pMsg, un32StructSize, VQX_MSG_ELEMENT_LAYOUT_32);
}

VQX_RESULT VqxMsgElementInitLayout(void* pMsg, u32 un32StructSize, u32 un32Layout)
{
    if (pMsg == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    const VqxSetLayout* pLayout = VqxLayoutByBits(un32Layout);
    if (pLayout == nullptr) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return VqxInitLayout(pMsg, un32StructSize, *pLayout);
}

VQX_RESULT VQXMsgElementAlloc(void* pMsg, void* pSet, u16 un16Size, void** ppElement)
{
    if (ppElement == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    *ppElement = nullptr;
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (un16Size == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    VqxMsgView view;
    u32 un32SetOff = 0;
    VQX_RESULT r = VqxOpenSet(pMsg, pSet, view, un32SetOff);
    VqxSetTail tail;
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VqxFindTail(view, un32SetOff, tail);
    }
    u8* pbyData = nullptr;
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VqxAppend(pMsg, view, tail, un16Size, &pbyData);
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
        *ppElement = pbyData;
    }
    return r;
}

VQX_RESULT VQXMsgElementStringAdd(void* pMsg, void* pSet, const char* szText)
{
    if (szText == nullptr) {
        return VQX_RESULT_INVALID_PARAM;
    }
    const size_t len = strnlen(szText, kMaxElementSize);
    if (len >= kMaxElementSize) {
        return VQX_RESULT_INVALID_PARAM;
    }
    void* pElement = nullptr;
    VQX_RESULT r = VQXMsgElementAlloc(pMsg, pSet, static_cast<u16>(len + 1), &pElement);
    if (VQX_RESULT_SUCCEEDED(r)) {
        std::memcpy(pElement, szText, len + 1);
    }
    return r;
}

u16 VQXMsgElementCount(const void* pSet)
{
    if (pSet == nullptr) {
        return 0;
    }
    return static_cast<u16>((VqxGetBe32(static_cast<const u8*>(pSet)) >> kSetCountShift) & kSetCountMask);
}

void* VQXMsgElementGet(const void* pSet, u16 un16Index, u16* pun16Size)
{
    if (pun16Size != nullptr) {
        *pun16Size = 0;
    }
    if (pSet == nullptr) {
        return nullptr;
    }
    VqxSetCursor cursor;
    VQX_RESULT r = cursor.Open(static_cast<const u8*>(pSet), nullptr, nullptr);
    if (VQX_RESULT_FAILED(r) || un16Index >= cursor.Count()) {
        return nullptr;
    }
    for (u32 i = 0; i < un16Index && VQX_RESULT_SUCCEEDED(r); ++i) {
        r = cursor.Next();
    }
    if (VQX_RESULT_FAILED(r)) {
        return nullptr;
    }
    if (pun16Size != nullptr) {
        *pun16Size = cursor.Size();
    }
    return cursor.Data();
}

void* VQXMsgElementGetNext(const void* pSet, const void* pvPrev, u16* pun16Size)
{
    if (pun16Size != nullptr) {
        *pun16Size = 0;
    }
    if (pSet == nullptr) {
        return nullptr;
    }
    const u32 un32Word = VqxGetBe32(static_cast<const u8*>(pSet));
    if (un32Word == 0) {
        return nullptr;
    }
    const u8* pbyData = nullptr;
    u32 un32Size = 0;
    if (pvPrev == nullptr) {
        VqxSetCursor cursor;
        if (VQX_RESULT_FAILED(cursor.Open(static_cast<const u8*>(pSet), nullptr, nullptr))) {
            return nullptr;
        }
        pbyData = cursor.Data();
        un32Size = cursor.Size();
    } else {
        /* The previous element's index is unknown here: follow its link and
         * check the next header's shape alone. */
        const VqxSetLayout& layout = *VqxLayoutBySetWord(un32Word);
        const u8* pbyPrevHeader = static_cast<const u8*>(pvPrev) - layout.un32HeaderSize;
        const VqxElementHeader prev = VqxReadElementHeader(layout, pbyPrevHeader);
        if (prev.un32Next == 0 || prev.un32Next % kElementAlign != 0 || prev.un32Next >= VQX_MSG_ELEMENT_MAX_PAYLOAD ||
            prev.un32Next < VqxElementStorage(layout, prev.un32Size)) {
            return nullptr;
        }
        const u8* pbyHeader = pbyPrevHeader + prev.un32Next;
        const VqxElementHeader next = VqxReadElementHeader(layout, pbyHeader);
        if (next.un32Size > kMaxElementSize) {
            return nullptr;
        }
        pbyData = pbyHeader + layout.un32HeaderSize;
        un32Size = next.un32Size;
    }
    if (pun16Size != nullptr) {
        *pun16Size = static_cast<u16>(un32Size);
    }
    return const_cast<u8*>(pbyData);
}

VQX_RESULT VQXMsgElementDupSet(const void* pSrcSet, void* pDstMsg, void* pDstSet, PFN_VQX_MSG_ELEMENT_COPY pfnCopy,
                               void* pvContext)
{
    VqxMsgElementCopier c;
    (void)VqxMsgElementCopierOpen(nullptr, pDstMsg, &c);
    return VqxCopierDupSet(c, pSrcSet, pDstSet, pfnCopy, pvContext);
}

VQX_RESULT VQXMsgElementDupMsgResize(void* hLib, const void* pMsg, void** ppNewMsg, u32 un32NewSize)
{
    if (ppNewMsg == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    *ppNewMsg = nullptr;
    if (pMsg == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    const u32 un32Used = VqxHeaderGet32(pMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH);
    if (un32Used > VqxHeaderGet32(pMsg, VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH)) {
        return VQX_RESULT_MISMATCH;
    }
    if (un32Used > un32NewSize) {
        return VQX_RESULT_BUFFER_TOO_SMALL;
    }
    PFN_VQX_MSG_ELEMENT_MSG_ALLOC pfnAlloc = nullptr;
    PFN_VQX_MSG_ELEMENT_MSG_RELEASE pfnRelease = nullptr;
    {
        VqxMsgAllocator& a = VqxAllocator();
        std::lock_guard<std::mutex> lock(a.mutex);
        pfnAlloc = a.pfnAlloc;
        pfnRelease = a.pfnRelease;
    }
    if (pfnAlloc == nullptr) {
        return VQX_RESULT_NOT_ENOUGH_MEMORY;
    }
    void* pNew = nullptr;
    if (VQX_RESULT_FAILED(pfnAlloc(hLib, un32NewSize, &pNew)) || pNew == nullptr) {
        return VQX_RESULT_NOT_ENOUGH_MEMORY;
    }
    if (VqxHeaderGet32(pNew, VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH) < un32Used) {
        (void)pfnRelease(hLib, &pNew);
        return VQX_RESULT_NOT_ENOUGH_MEMORY;
    }
    struct Field {
        u32 un32Offset;
        u32 un32Size;
    };
    static const Field s_aCopied[] = {
        {VQX_MSG_OFFSET_MSG_ID, VQX_MSG_SIZE_MSG_ID},
        {VQX_MSG_OFFSET_MSG_TYPE, VQX_MSG_SIZE_MSG_TYPE},
        {VQX_MSG_OFFSET_PAYLOAD_LENGTH, VQX_MSG_SIZE_PAYLOAD_LENGTH},
        {VQX_MSG_OFFSET_ADAPTER, VQX_MSG_SIZE_ADAPTER},
        {VQX_MSG_OFFSET_USER_CONTEXT1, VQX_MSG_SIZE_USER_CONTEXT1},
        {VQX_MSG_OFFSET_USER_CONTEXT2, VQX_MSG_SIZE_USER_CONTEXT2},
    };
    for (const Field& f : s_aCopied) {
        std::memcpy(static_cast<u8*>(pNew) + f.un32Offset, static_cast<const u8*>(pMsg) + f.un32Offset, f.un32Size);
    }
    std::memcpy(static_cast<u8*>(pNew) + VQX_MSG_OFFSET_PAYLOAD, static_cast<const u8*>(pMsg) + VQX_MSG_OFFSET_PAYLOAD,
                un32Used);
    *ppNewMsg = pNew;
    return VQX_RESULT_OK;
}

VQX_RESULT VqxMsgElementSetAllocator(PFN_VQX_MSG_ELEMENT_MSG_ALLOC pfnAlloc, PFN_VQX_MSG_ELEMENT_MSG_RELEASE pfnRelease)
{
    if ((pfnAlloc == nullptr) != (pfnRelease == nullptr)) {
        return VQX_RESULT_NULL_PARAM;
    }
    VqxMsgAllocator& a = VqxAllocator();
    std::lock_guard<std::mutex> lock(a.mutex);
    a.pfnAlloc = pfnAlloc;
    a.pfnRelease = pfnRelease;
    return VQX_RESULT_OK;
}

VQX_RESULT VqxMsgElementCheckSet(const void* pMsg, const void* pSet)
{
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VqxMsgView view;
    u32 un32SetOff = 0;
    VqxSetTail tail;
    VQX_RESULT r = VqxOpenSet(pMsg, pSet, view, un32SetOff);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VqxFindTail(view, un32SetOff, tail);
    }
    return r;
}

VQX_RESULT VqxMsgElementCheckerOpen(const void* pMsg, VqxMsgElementChecker* pChecker)
{
    if (pChecker == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    *pChecker = VqxMsgElementChecker{nullptr, 0, 0, nullptr, VQX_RESULT_NULL_PARAM};
    if (pMsg == nullptr) {
        return pChecker->rOpen;
    }
    VqxMsgView view;
    pChecker->rOpen = VqxMsgOpen(pMsg, view);
    pChecker->pbyPayload = view.pbyPayload;
    pChecker->un32Used = view.un32Used;
    pChecker->un32Cap = view.un32Cap;
    pChecker->pLayout = view.pLayout;
    return pChecker->rOpen;
}

VQX_RESULT VqxMsgElementCheckSetIn(const VqxMsgElementChecker* pChecker, const void* pSet)
{
    if (pChecker == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (VQX_RESULT_FAILED(pChecker->rOpen)) {
        return pChecker->rOpen;
    }
    const VqxMsgView view = VqxViewOf(*pChecker);
    u32 un32SetOff = 0;
    VqxSetTail tail;
    VQX_RESULT r = VqxSetOffset(view, pSet, un32SetOff);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VqxFindTail(view, un32SetOff, tail);
    }
    return r;
}

VQX_RESULT VqxMsgElementCopierOpen(const void* pSrcMsg, void* pDstMsg, VqxMsgElementCopier* pCopier)
{
    if (pCopier == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    pCopier->pSrcMsg = pSrcMsg;
    pCopier->pDstMsg = pDstMsg;
    (void)VqxMsgElementCheckerOpen(pSrcMsg != pDstMsg ? pSrcMsg : nullptr, &pCopier->src);
    (void)VqxMsgElementCheckerOpen(pDstMsg, &pCopier->dst);
    return VQX_RESULT_OK;
}

VQX_RESULT VqxMsgElementCopierDupSet(VqxMsgElementCopier* pCopier, const void* pSrcSet, void* pDstSet,
                                     PFN_VQX_MSG_ELEMENT_COPY pfnCopy, void* pvContext)
{
    if (pCopier == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_RESULT r = VQX_RESULT_OK;
    if (pSrcSet != nullptr && pDstSet != nullptr && pCopier->pDstMsg != nullptr &&
        VqxCopierOne(*pCopier, static_cast<const u8*>(pSrcSet), static_cast<u8*>(pDstSet), pfnCopy, pvContext, r)) {
        return r;
    }
    if (pSrcSet != nullptr && pDstSet != nullptr && pCopier->pDstMsg != nullptr &&
        VqxCopierChain(*pCopier, static_cast<const u8*>(pSrcSet), static_cast<u8*>(pDstSet), pfnCopy, pvContext, r)) {
        return r;
    }
    return VqxCopierDupSet(*pCopier, pSrcSet, pDstSet, pfnCopy, pvContext);
}

u32 VqxMsgElementMark(const void* pMsg)
{
    return pMsg == nullptr ? 0 : VqxHeaderGet32(pMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH);
}

VQX_RESULT VqxMsgElementUndo(void* pMsg, u32 un32Mark, void* const* apSets, u32 un32Sets)
{
    if (pMsg == nullptr || (apSets == nullptr && un32Sets > 0)) {
        return VQX_RESULT_NULL_PARAM;
    }
    VqxMsgView view;
    VQX_RESULT r = VqxMsgOpen(pMsg, view);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    if (un32Mark > view.un32Used || un32Mark < kTrailerSize || un32Mark % kElementAlign != 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    const u32 un32KeepEnd = un32Mark - kTrailerSize;
    /* First pass checks every set and finds what each keeps; the second
     * writes, so a refused call changes nothing. */
    struct Kept {
        u32 un32SetOff;
        u32 un32Count;
        u32 un32LastHeaderOff;
    };
    constexpr u32 kMaxSets = 16;
    if (un32Sets > kMaxSets) {
        return VQX_RESULT_INVALID_PARAM;
    }
    Kept aKept[kMaxSets] = {};
    for (u32 i = 0; i < un32Sets; ++i) {
        Kept& k = aKept[i];
        r = VqxSetOffset(view, apSets[i], k.un32SetOff);
        if (VQX_RESULT_SUCCEEDED(r) && k.un32SetOff + sizeof(u32) > un32KeepEnd) {
            r = VQX_RESULT_MISMATCH;
        }
        VqxSetCursor cursor;
        if (VQX_RESULT_SUCCEEDED(r)) {
            r = VqxOpenBounded(view, k.un32SetOff, cursor);
        }
        /* Links go forward, so the kept elements are the leading ones. */
        for (u32 n = 0; VQX_RESULT_SUCCEEDED(r) && n < cursor.Count(); ++n) {
            const u32 un32Header = static_cast<u32>(cursor.Header() - view.pbyPayload);
            if (un32Header >= un32KeepEnd) {
                break;
            }
            k.un32Count = n + 1;
            k.un32LastHeaderOff = un32Header;
            if (n + 1 < cursor.Count()) {
                r = cursor.Next();
            }
        }
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    for (u32 i = 0; i < un32Sets; ++i) {
        const Kept& k = aKept[i];
        u8* pbySet = view.pbyPayload + k.un32SetOff;
        if (k.un32Count == 0) {
            VqxPutBe32(pbySet, 0);
            continue;
        }
        VqxWriteElementNext(*view.pLayout, view.pbyPayload + k.un32LastHeaderOff, 0);
        const u32 un32Word = VqxGetBe32(pbySet);
        VqxPutBe32(pbySet, (un32Word & ~(kSetCountMask << kSetCountShift)) | (k.un32Count << kSetCountShift));
    }
    std::memset(view.pbyPayload + un32KeepEnd, 0, view.un32Used - un32KeepEnd);
    std::memcpy(view.pbyPayload + un32KeepEnd, view.pLayout->abyTrailer, kTrailerSize);
    VqxHeaderPut32(pMsg, VQX_MSG_OFFSET_PAYLOAD_LENGTH, un32Mark);
    return VQX_RESULT_OK;
}

} // extern "C"
