/*
 * gwlib_rxparse.cpp - batch reassembly of one TCP path (see gwlib_rxparse.h).
 */
#include "gwlib_rxparse.h"

#include <cstring>

namespace vqxgw
{

RxError RxParser::HeaderComplete(RxSink& sink)
{
    DecodeBatchHeader(VqxGwCursor(m_aHdr, sizeof(m_aHdr)), m_Hdr);
    m_un32HdrBytes = 0;
    const u32 n = m_Hdr.un32Count;
    if (n == kBatchCountPoll)
    {
        sink.Poll();
        return kRxOk;
    }
    if (n == kBatchCountPollReply)
    {
        sink.PollReply();
        return kRxOk;
    }
    if (n > VQX_GW_MAX_BATCH_MSGS)
    {
        m_eState = kDiscard;
        sink.Error(kRxBadCount, n);
        return kRxBadCount;
    }
    for (u32 i = 0; i < n; i++)
    {
        const u32 s = m_Hdr.aun32Sizes[i];
        if (s == 0 || s > VQX_GW_MAX_MSG_SIZE)
        {
            m_eState = kDiscard;
            RxError e = s == 0 ? kRxSizeZero : kRxSizeTooBig;
            sink.Error(e, s);
            return e;
        }
    }
    sink.HeaderReceived(n);
    std::memset(m_apBufs, 0, sizeof(m_apBufs));
    sink.Alloc(n, m_Hdr.aun32Sizes, m_apBufs);
    for (u32 i = 0; i < n; i++)
    {
        if (m_apBufs[i] == nullptr)
        {
            sink.Free(n, m_apBufs);
            std::memset(m_apBufs, 0, sizeof(m_apBufs));
            m_eState = kDiscard;
            sink.Error(kRxNoMemory, n);
            return kRxNoMemory;
        }
    }
    m_un32Idx = 0;
    m_un32Got = 0;
    m_eState = kReadMessages;
    return kRxOk;
}

RxError RxParser::Feed(const u8* p, size_t n, RxSink& sink)
{
    const RxError e = FeedBytes(p, n, sink);
    m_nUnparsed = 0;
    return e;
}

RxError RxParser::FeedBytes(const u8* p, size_t n, RxSink& sink)
{
    while (n > 0)
    {
        if (m_eState == kDiscard)
            return kRxOk;
        if (m_eState == kReadHeader)
        {
            size_t take = kBatchHeaderSize - m_un32HdrBytes;
            if (take > n)
                take = n;
            std::memcpy(m_aHdr + m_un32HdrBytes, p, take);
            m_un32HdrBytes += u32(take);
            p += take;
            n -= take;
            m_nUnparsed = n;
            sink.HeaderBytes(m_un32HdrBytes == kBatchHeaderSize);
            if (m_un32HdrBytes == kBatchHeaderSize)
            {
                RxError e = HeaderComplete(sink);
                if (e != kRxOk)
                    return e;
            }
            continue;
        }
        /* kReadMessages */
        const u32 size = m_Hdr.aun32Sizes[m_un32Idx];
        size_t take = size - m_un32Got;
        if (take > n)
            take = n;
        std::memcpy(static_cast<u8*>(m_apBufs[m_un32Idx]) + m_un32Got, p, take);
        m_un32Got += u32(take);
        p += take;
        n -= take;
        m_nUnparsed = n;
        if (m_un32Got == size)
        {
            m_un32Idx++;
            m_un32Got = 0;
            if (m_un32Idx == m_Hdr.un32Count)
            {
                /* Hand over copies: the sink may feed this parser again. */
                void* apBufs[VQX_GW_MAX_BATCH_MSGS];
                u32 aSizes[VQX_GW_MAX_BATCH_MSGS];
                const u32 count = m_Hdr.un32Count;
                std::memcpy(apBufs, m_apBufs, sizeof(apBufs));
                std::memcpy(aSizes, m_Hdr.aun32Sizes, sizeof(aSizes));
                std::memset(m_apBufs, 0, sizeof(m_apBufs));
                std::memset(&m_Hdr, 0, sizeof(m_Hdr));
                m_eState = kReadHeader;
                sink.Deliver(count, apBufs, aSizes);
            }
        }
    }
    return kRxOk;
}

u32 RxParser::Reset(RxSink& sink)
{
    const u32 un32Lost = m_eState == kReadMessages ? m_Hdr.un32Count : 0;
    if (m_eState == kReadMessages)
        sink.Free(m_Hdr.un32Count, m_apBufs);
    std::memset(m_apBufs, 0, sizeof(m_apBufs));
    std::memset(&m_Hdr, 0, sizeof(m_Hdr));
    m_un32HdrBytes = 0;
    m_un32Idx = 0;
    m_un32Got = 0;
    m_eState = kReadHeader;
    return un32Lost;
}

u32 RxParser::Cut(RxSink& sink)
{
    if (m_eState != kReadMessages || m_un32Idx == 0)
        return Reset(sink);
    void* apBufs[VQX_GW_MAX_BATCH_MSGS];
    u32 aSizes[VQX_GW_MAX_BATCH_MSGS];
    const u32 count = m_Hdr.un32Count, complete = m_un32Idx;
    std::memcpy(apBufs, m_apBufs, sizeof(apBufs));
    std::memcpy(aSizes, m_Hdr.aun32Sizes, sizeof(aSizes));
    sink.Free(count - complete, apBufs + complete);
    m_eState = kReadHeader; /* nothing in progress: Reset frees nothing */
    Reset(sink);
    sink.Deliver(complete, apBufs, aSizes);
    return count - complete;
}

} // namespace vqxgw
