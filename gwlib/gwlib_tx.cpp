/*
 * gwlib_tx.cpp - the transmit path: per-peer ring of 256 messages shared by
 * both paths, batch headers (host peers) or back-to-back messages (adapter
 * boards), polls and poll replies, the 5840-byte coalescing buffer of each
 * path, the redundancy ring and the choice of the path in use. Runs on the
 * receive thread and, with "write now", on the sender's thread; always under
 * the instance lock.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "gwlib_internal.h"

namespace vqxgw
{

namespace
{

constexpr u32 kRedMaxCounted = 0x7FFF8u;
constexpr u32 kRedBigSize = 0x80000u;

u32 RedCounted(u16 size8)
{
    return size8 == 0xFFFF ? kRedMaxCounted : u32(size8) * 8u;
}

void RedAdd(GwLibCtx* c, Peer* p, const TxEntry& e)
{
    (void)c;
    if (e.pMsg != nullptr && e.un32Size >= 4 && GetBe32(static_cast<const u8*>(e.pMsg)) == kPureAckMsgIdWire)
        return;
    RedRing& r = p->Red3000;
    if (!r.aSeq)
        return;
    if (r.un32Count >= kRedRingEntries)
    {
        ErrorLog(c, "%s: Redundant TX problem: Circular buffer is full (%u msg), redundancy switch may fail with %s.",
                 p->sName.c_str(), r.un32Count, p->sName.c_str());
        return;
    }
    u32 idx = (r.un32Head + r.un32Count) % kRedRingEntries;
    u16 s8 = e.un32Size >= kRedBigSize ? u16(0xFFFF) : u16(e.un32Size / 8u);
    r.aSeq[idx] = e.un32Seq;
    r.aSize8[idx] = s8;
    r.un32Count++;
    r.un64Bytes += RedCounted(s8);
    const u64 limit = 4ull * p->un16SockBuf + 2048ull;
    while (r.un32Count > 0)
    {
        u32 oldest = RedCounted(r.aSize8[r.un32Head]);
        if (r.un64Bytes - oldest <= limit)
            break;
        r.un32DroppedSeq = r.aSeq[r.un32Head];
        r.un64Bytes -= oldest;
        r.un32Head = (r.un32Head + 1) % kRedRingEntries;
        r.un32Count--;
        if (r.un32Count == 0 && r.un64Bytes != 0)
        {
            ErrorLog(c, "Bug (%s). Circular buffer calculation error. It's already empty, but %u bytes left",
                     p->sName.c_str(), u32(r.un64Bytes));
            r.un64Bytes = 0;
        }
    }
}

void FreeEntry(GwLibCtx* c, TxEntry& e)
{
    if (e.pMsg != nullptr && e.fFree && c->Params.pFctFreeMsg != nullptr)
        c->Params.pFctFreeMsg(c->Params.pBufferCtx, &e.pMsg);
    e = TxEntry();
}

/* Accounts n bytes of the path's ring entries as written (or dropped). */
void TakeBytes(GwLibCtx* c, Peer* p, int gw, u64 n)
{
    PathCtx& g = p->Gw[gw];
    while (g.un8ReadIdx != p->un8WriteIdx)
    {
        TxEntry& e = p->aRing[g.un8ReadIdx];
        u32 remain = e.un32Size - g.un32TakenInEntry;
        u32 t = n < remain ? u32(n) : remain;
        g.un32TakenInEntry += t;
        n -= t;
        g.un64Pending -= t;
        if (g.un32TakenInEntry < e.un32Size)
            break;
        g.un32TakenInEntry = 0;
        e.un8PathsDone++;
        if (!IsAdapterForm(c) && g.fHdrDone)
        {
            g.un32BatchTaken++;
            if (g.un32BatchTaken >= g.un32BatchCount)
            {
                g.fHdrDone = false;
                g.un32BatchTaken = g.un32BatchCount = 0;
            }
        }
        g.un8ReadIdx++;
        if (e.un8PathsDone >= 2)
        {
            RedAdd(c, p, e);
            FreeEntry(c, e);
            if (p->un8SentCount < 255)
                p->un8SentCount++;
        }
        if (n == 0)
            break;
    }
}

bool MaySend(Peer* p, int gw)
{
    if (p->Red.un32PollDelayMs == 0)
        return true;
    return gw == 0 ? p->un8PathInUse != 1 : p->un8PathInUse != 0;
}

void UpdatePathInUse(Peer* p)
{
    if (!p->fUdpPolling || p->un8PathInUse != kPathUndecided || p->un8SentCount == 0)
        return;
    const int pref = p->Red.un32PreferredGw == 1 ? 1 : 0;
    if (p->Gw[pref].iTxSocket >= 0)
        p->un8PathInUse = u8(pref);
    else if (p->Gw[1 - pref].iTxSocket >= 0)
        p->un8PathInUse = u8(1 - pref);
}

/* Writes the coalescing buffer: >0 bytes taken, 0 none (would block), -1 error. */
int Flush(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.un32CoalFill == 0 || g.iTxSocket < 0)
        return 0;
    /* MSG_NOSIGNAL: a link closed by the remote must not raise SIGPIPE. */
    ssize_t n = send(g.iTxSocket, g.pCoal.get(), g.un32CoalFill, MSG_NOSIGNAL);
    if (n < 0)
    {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        int e = errno;
        Trace(c, 3, "%s: VqxGwLibTxWriteNow: write failed on gw%d (errno %d: %s). Socket probably remotely closed.",
              p->sName.c_str(), gw, e, strerror(e));
        g.fForceCloseConnectionTx = 1;
        if (g.un32CloseReason == 0)
            g.un32CloseReason = VQX_GW_CLOSE_WRITE_ERROR;
        SetPeerEvent(c);
        return -1;
    }
    if (u32(n) < g.un32CoalFill)
        std::memmove(g.pCoal.get(), g.pCoal.get() + n, g.un32CoalFill - u32(n));
    g.un32CoalFill -= u32(n);
    return int(n);
}

} // namespace

PollFields PeerPollFields(GwLibCtx* c, Peer* p)
{
    PollFields f{};
    f.un64HostCtx = c->Params.un64PollHostCtxId;
    f.un32NetDownMs = p->Red.un32NetworkDownDelayMs;
    f.un32AdaDownMs = p->Red.un32AdapterDownDelayMs;
    f.un32PollDelayMs = p->Red.un32PollDelayMs;
    f.un32PreferredGw = p->Red.un32PreferredGw;
    return f;
}

void FreeCoalesce(PathCtx& g)
{
    g.pCoal.reset();
    g.un32CoalFill = 0;
}

void RedRingReset(Peer* p)
{
    p->Red3000.un32Head = p->Red3000.un32Count = 0;
    p->Red3000.un64Bytes = 0;
    /* The links start afresh and so does the host library's numbering: a mark of the old links' numbers would stand
       for the new ones (freeing what the new links still hold, or keeping everything below it for good). */
    p->Red3000.un32DroppedSeq = 0;
}

void DropPending(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    /* A batch in progress is abandoned with the link: account its entries. */
    g.fHdrInProgress = false;
    g.un32HdrWritten = 0;
    g.fHdrDone = false;
    g.un32BatchCount = g.un32BatchTaken = 0;
    if (g.un64Pending != 0 || g.un8ReadIdx != p->un8WriteIdx)
        TakeBytes(c, p, gw, g.un64Pending);
    g.un32CoalFill = 0;
    g.un32PollWritten = g.un32ReplyWritten = 0;
}

std::string TxRingCheck(const Peer* p)
{
    char sz[160];
    for (int gw = 0; gw < 2; gw++)
    {
        const PathCtx& g = p->Gw[gw];
        u64 held = 0;
        for (u8 i = g.un8ReadIdx; i != p->un8WriteIdx; i++)
        {
            if (p->aRing[i].un32Size == 0)
            {
                snprintf(sz, sizeof(sz), "gw%d: entry %u in use has no size", gw, unsigned(i));
                return sz;
            }
            held += p->aRing[i].un32Size;
        }
        if (g.un8ReadIdx != p->un8WriteIdx)
            held -= g.un32TakenInEntry;
        else if (g.un32TakenInEntry != 0)
            return "gw" + std::to_string(gw) + ": bytes taken from no entry";
        if (held != g.un64Pending)
        {
            snprintf(sz, sizeof(sz), "gw%d: %llu bytes pending, entries hold %llu", gw,
                     static_cast<unsigned long long>(g.un64Pending), static_cast<unsigned long long>(held));
            return sz;
        }
    }
    /* Entries that both paths are done with are released. */
    const u32 d0 = u8(p->un8WriteIdx - p->Gw[0].un8ReadIdx), d1 = u8(p->un8WriteIdx - p->Gw[1].un8ReadIdx);
    const u32 inUse = d0 > d1 ? d0 : d1;
    u8 i = p->un8WriteIdx;
    for (u32 n = 0; n < kRingSize - inUse; n++, i++)
        if (p->aRing[i].pMsg != nullptr)
            return "entry " + std::to_string(i) + " done by both paths still holds a message";
    return "";
}

void ReleaseRing(GwLibCtx* c, Peer* p)
{
    for (TxEntry& e : p->aRing)
        if (e.pMsg != nullptr)
            FreeEntry(c, e);
    for (auto& g : p->Gw)
    {
        g.un64Pending = 0;
        g.un8ReadIdx = p->un8WriteIdx;
        g.un32TakenInEntry = 0;
    }
}

namespace
{
/* A poll (fReply false) or a poll reply in the form of the instance: the
 * 92-byte block towards boards (the same for both), 64 bytes otherwise. */
void FillPollBlock(GwLibCtx* c, Peer* p, bool fReply, u8* out, u32& len)
{
    if (IsAdapterForm(c))
    {
        u8 b[kAdapterPollSize];
        EncodeAdapterPoll(PeerPollFields(c, p), b);
        std::memcpy(out, b, sizeof(b));
        len = kAdapterPollSize;
        return;
    }
    u8 b[kBatchHeaderSize];
    if (fReply)
        EncodeHostPollReply(b);
    else
        EncodeHostPoll(b);
    std::memcpy(out, b, sizeof(b));
    len = kBatchHeaderSize;
}
} // namespace

u32 PollPeriod(const Peer* p, int gw)
{
    if (!p->fTcpPolling)
        return 0;
    if (!p->fIsAdapter && p->Build() >= 0x02030202u && p->Gw[gw].un32Addr == htonl(INADDR_LOOPBACK))
        return 4000;
    return p->Red.un32PollDelayMs;
}

u32 MsToNextPoll(const Peer* p, int gw, u32 now)
{
    const PathCtx& g = p->Gw[gw];
    const u32 period = PollPeriod(p, gw);
    if (period == 0 || g.iTxSocket < 0 || g.fForceCloseConnectionTx || g.fPollPending || g.fFinish)
        return kNoPollDue;
    if (g.tLastTcpPollSent == 0 || now - g.tLastTcpPollSent >= period)
        return 0;
    return period - (now - g.tLastTcpPollSent);
}

void PrepareTcpPollIfDue(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.fPollPending)
        return;
    const u32 period = PollPeriod(p, gw);
    if (period == 0)
        return;
    const u32 now = Now();
    if (g.tLastTcpPollSent != 0 && now - g.tLastTcpPollSent < period)
        return;
    g.fPollPending = true;
    PollDue(g, now);
    g.un32PollWritten = 0;
    FillPollBlock(c, p, false, g.aPoll, g.un32PollLen);
    /* The discover thread looks every kJudgeEveryMs: a poll due while one
     * awaits its answer and the peer gave no sign for the limit has it look
     * now, so that a silent path closes within the limit and one poll period. */
    if (PollPastLimit(g, now, KeepAliveLimit(c, p)))
    {
        c->fKeepAliveDue = true;
        WakePipe(c->aiDiscoverWakePipe[1]);
    }
}

void PreparePollReply(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.fReplyPending)
        return; /* one reply at a time: a poll during its writing adds none */
    g.fReplyPending = true;
    g.un32ReplyWritten = 0;
    FillPollBlock(c, p, true, g.aReply, g.un32ReplyLen);
}

namespace
{
/* The ring's messages skipped by a path that may not send them (the other
 * one is in use), between messages: what the coalescing buffer holds (polls,
 * poll replies, the unsent end of what was written) still goes out, unlike
 * DropPending's, which abandons the link's. */
void SkipRing(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.un64Pending != 0 || g.un8ReadIdx != p->un8WriteIdx)
        TakeBytes(c, p, gw, g.un64Pending);
}
} // namespace

bool PathNeedsWrite(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.iTxSocket < 0 || g.fForceCloseConnectionTx || g.fWriteShut)
    {
        DropPending(c, p, gw);
        if (g.fWriteShut)
            g.fPollPending = g.fReplyPending = false;
        return false;
    }
    if (g.fConnecting)
        return false;
    if (g.fPollPending)
        return true;
    if (!g.fFinish)
        PrepareTcpPollIfDue(c, p, gw);
    if (g.fPollPending || g.fReplyPending)
        return true;
    if (!MaySend(p, gw) && !g.fHdrInProgress && !g.fHdrDone && g.un32TakenInEntry == 0)
        SkipRing(c, p, gw);
    if (g.un64Pending != 0 || g.un32CoalFill != 0 || g.fHdrInProgress)
        return true;
    if (g.fFinish)
    {
        /* Ended by the instance's close, everything written: the peer reads it all, then the end of the stream. */
        shutdown(g.iTxSocket, SHUT_WR);
        g.fWriteShut = true;
        Trace(c, 4, "%s:gw%d : all written, the link's write side shut down", p->sName.c_str(), gw);
    }
    return false;
}

void WritePath(GwLibCtx* c, Peer* p, int gw)
{
    PathCtx& g = p->Gw[gw];
    if (g.iTxSocket < 0)
        return;
    if (!g.pCoal)
    {
        g.pCoal.reset(new (std::nothrow) u8[kCoalesceSize]);
        g.un32CoalFill = 0;
        if (!g.pCoal)
            return;
    }
    const bool fAdapter = IsAdapterForm(c);
    enum Kind
    {
        kHdr,
        kData,
        kReply,
        kPoll
    };
    for (;;)
    {
        const bool fRing = g.un8ReadIdx != p->un8WriteIdx;
        if (!fRing && !g.fPollPending && !g.fReplyPending && !g.fHdrInProgress)
            break;
        Kind k;
        const u8* src = nullptr;
        u32 want = 0;
        if (g.fHdrInProgress)
            k = kHdr;
        else if (g.fHdrDone || (fAdapter && g.un32TakenInEntry > 0))
            k = kData;
        else if (g.fReplyPending && (g.un32ReplyWritten > 0 || !(g.fPollPending && g.un32PollWritten > 0)))
            k = kReply;
        else if (g.fPollPending)
            k = kPoll;
        else
        {
            UpdatePathInUse(p);
            if (!fRing)
                break;
            if (!MaySend(p, gw))
            {
                SkipRing(c, p, gw);
                break;
            }
            if (fAdapter)
                k = kData;
            else
            {
                u32 count = u32(u8(p->un8WriteIdx - g.un8ReadIdx));
                if (count > VQX_GW_MAX_BATCH_MSGS)
                    count = VQX_GW_MAX_BATCH_MSGS;
                u32 sizes[VQX_GW_MAX_BATCH_MSGS];
                for (u32 i = 0; i < count; i++)
                    sizes[i] = p->aRing[u8(g.un8ReadIdx + i)].un32Size;
                u8 h[kBatchHeaderSize];
                EncodeBatchHeader(count, sizes, h);
                std::memcpy(g.aHdr, h, sizeof(h));
                g.fHdrInProgress = true;
                g.un32HdrWritten = 0;
                g.un32BatchCount = count;
                g.un32BatchTaken = 0;
                continue;
            }
        }
        switch (k)
        {
        case kHdr:
            src = g.aHdr + g.un32HdrWritten;
            want = kBatchHeaderSize - g.un32HdrWritten;
            break;
        case kData:
        {
            const TxEntry& e = p->aRing[g.un8ReadIdx];
            src = static_cast<const u8*>(e.pMsg) + g.un32TakenInEntry;
            want = e.un32Size - g.un32TakenInEntry;
            break;
        }
        case kReply:
            src = g.aReply + g.un32ReplyWritten;
            want = g.un32ReplyLen - g.un32ReplyWritten;
            break;
        case kPoll:
            src = g.aPoll + g.un32PollWritten;
            want = g.un32PollLen - g.un32PollWritten;
            break;
        }
        u32 room = kCoalesceSize - g.un32CoalFill;
        u32 copy = want < room ? want : room;
        std::memcpy(g.pCoal.get() + g.un32CoalFill, src, copy);
        g.un32CoalFill += copy;
        switch (k)
        {
        case kHdr:
            g.un32HdrWritten += copy;
            if (g.un32HdrWritten == kBatchHeaderSize)
            {
                g.fHdrInProgress = false;
                g.fHdrDone = true;
                g.un32HdrWritten = 0;
                Trace(c, 1, "%s : Finished sending MultiMsgHeader to gw%d", p->sName.c_str(), gw);
            }
            break;
        case kData:
            TakeBytes(c, p, gw, copy);
            break;
        case kReply:
            g.un32ReplyWritten += copy;
            if (g.un32ReplyWritten == g.un32ReplyLen)
            {
                g.fReplyPending = false;
                g.un32ReplyWritten = 0;
                Trace(c, 1, "%s : Finished sending TCP Poll Reply to gw%d", p->sName.c_str(), gw);
            }
            break;
        case kPoll:
            g.un32PollWritten += copy;
            if (g.un32PollWritten == g.un32PollLen)
            {
                g.fPollPending = false;
                g.un32PollWritten = 0;
                PollWritten(g, Now());
                Trace(c, 1, "%s : Finished sending TCP Polling to gw%d", p->sName.c_str(), gw);
            }
            break;
        }
        if (g.un32CoalFill == kCoalesceSize)
        {
            int w = Flush(c, p, gw);
            if (w <= 0 || g.un32CoalFill != 0)
                return; /* the socket takes no more now */
        }
    }
    Flush(c, p, gw);
}

} // namespace vqxgw

using namespace vqxgw;

extern "C" {

u32 VqxGwLibCanSendMsg(VqxGwLibContext hCtx, u32 hPeer, u32* pun32OldestSeq)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr)
        return 0;
    Lock(c);
    Peer* p = FindLivePeer(c, hPeer);
    u32 n = 0;
    if (p != nullptr)
    {
        u32 f0 = u8(p->Gw[0].un8ReadIdx - p->un8WriteIdx - 1);
        u32 f1 = u8(p->Gw[1].un8ReadIdx - p->un8WriteIdx - 1);
        n = f0 < f1 ? f0 : f1;
        if (pun32OldestSeq != nullptr)
            *pun32OldestSeq = p->Red3000.un32DroppedSeq;
    }
    Unlock(c);
    return n;
}

VQX_RESULT VqxGwLibSendMsgs(VqxGwLibContext hCtx, u32 hPeer, u32 un32Count, const VqxGwLibSendRecord* pRecords,
                            u32 fWriteNow)
{
    GwLibCtx* c = reinterpret_cast<GwLibCtx*>(hCtx);
    if (c == nullptr || (pRecords == nullptr && un32Count != 0))
        return VQX_RESULT_NULL_PARAM;
    Lock(c);
    Peer* p = FindLivePeer(c, hPeer);
    if (p == nullptr)
    {
        Unlock(c);
        return VQX_RESULT_NOT_ACCESSIBLE;
    }
    /* Refuse what the receiver's framing would reject, before queuing any. */
    for (u32 i = 0; i < un32Count; i++)
    {
        const u32 s = pRecords[i].un32Size;
        if (pRecords[i].pMsg == nullptr || s == 0 || (!IsAdapterForm(c) && s > VQX_GW_MAX_MSG_SIZE))
        {
            ErrorLog(c, "VqxGwLibSendMsg: 0x%08X: message %u of %u bytes cannot be framed (limit %u)\n", hPeer, i, s,
                     VQX_GW_MAX_MSG_SIZE);
            Unlock(c);
            return VQX_RESULT_INVALID_PARAM;
        }
    }
    VQX_RESULT r = VQX_RESULT_OK;
    for (u32 i = 0; i < un32Count; i++)
    {
        u32 f0 = u8(p->Gw[0].un8ReadIdx - p->un8WriteIdx - 1);
        u32 f1 = u8(p->Gw[1].un8ReadIdx - p->un8WriteIdx - 1);
        if (f0 == 0 || f1 == 0)
        {
            r = VQX_RESULT_OUT_OF_RESOURCE;
            break;
        }
        TxEntry& e = p->aRing[p->un8WriteIdx];
        e.pMsg = pRecords[i].pMsg;
        e.un32Size = pRecords[i].un32Size;
        e.un32Seq = pRecords[i].un32Seq;
        e.un8PathsDone = 0;
        e.fFree = pRecords[i].fFreeAfterSend;
        p->un8WriteIdx++;
        p->Gw[0].un64Pending += e.un32Size;
        p->Gw[1].un64Pending += e.un32Size;
    }
    if (r == VQX_RESULT_OK)
        Trace(c, 2, "VqxGwLibSendMsg: 0x%08X: (message added to TX queue)", hPeer);
    bool fWake = !fWriteNow;
    for (int gw = 0; gw < 2; gw++)
    {
        if (p->Gw[gw].fInWriteSet)
            continue;
        if (PathNeedsWrite(c, p, gw))
        {
            if (fWriteNow)
                WritePath(c, p, gw);
            if (PathNeedsWrite(c, p, gw))
                fWake = true;
        }
    }
    if (fWake)
        WakeRx(c);
    Unlock(c);
    return r;
}

} // extern "C"
