/*
 * gwlib_rxparse.h - the receive parser of one TCP path: bytes of the stream
 * in, batches of messages (and polls, poll replies) out. No sockets, no
 * lock: the receive thread feeds it what it read, the fuzz target feeds it
 * anything. Internal to the library.
 *
 * States: 1 reading a 64-byte batch header, 2 reading the messages of the
 * batch, 3 discarding after an error (until Reset). A header is checked
 * before any of it is used: count 1..15 (0 poll, 0xFFFFFFFF poll reply),
 * every size 1..VQX_GW_MAX_MSG_SIZE.
 */
#ifndef GWLIB_RXPARSE_H
#define GWLIB_RXPARSE_H

#include <cstddef>

#include "vqx_gwlib.h"
#include "vqx_gwlib_wire.h"

namespace vqxgw
{

enum RxError : u32
{
    kRxOk = 0,
    kRxBadCount = 1,    /* value: the count */
    kRxSizeZero = 2,    /* value: the size */
    kRxSizeTooBig = 3,  /* value: the size */
    kRxNoMemory = 4,
};

class RxSink
{
public:
    virtual ~RxSink() = default;
    /* Fills apBufs[i] with a buffer of aun32Sizes[i] bytes; a null entry is
     * a failure (the parser frees the others through Free). */
    virtual void Alloc(u32 un32Count, const u32* aun32Sizes, void** apBufs) = 0;
    /* Hands over a complete batch; the sink owns the buffers afterwards. */
    virtual void Deliver(u32 un32Count, void** apBufs, const u32* aun32Sizes) = 0;
    virtual void Free(u32 un32Count, void** apBufs) = 0;
    virtual void Poll() = 0;
    virtual void PollReply() = 0;
    virtual void Error(RxError e, u32 un32Value) = 0;
    virtual void HeaderReceived(u32 un32Count) { (void)un32Count; }
    /* Bytes went into a batch header: it is complete now, or more must come. */
    virtual void HeaderBytes(bool fComplete) { (void)fComplete; }
};

class RxParser
{
public:
    enum State : u32
    {
        kReadHeader = 1,
        kReadMessages = 2,
        kDiscard = 3
    };
    /* Parses every byte given; returns kRxOk or the error that moved the
     * parser to the discarding state. Bytes after an error are dropped. */
    RxError Feed(const u8* p, size_t n, RxSink& sink);
    /* Frees a partly received batch and returns to state 1; returns the
     * number of its messages so lost (0 when no batch was in progress). */
    u32 Reset(RxSink& sink);
    /* As Reset, but the messages of the partly received batch that are
     * complete are handed over first: for a close that has read everything
     * its link accepted. Returns the number of messages lost (incomplete). */
    u32 Cut(RxSink& sink);
    State GetState() const { return m_eState; }
    /* Bytes of the Feed in progress not parsed yet (0 outside Feed): what
     * waits behind the batch handed to the sink, or being allocated for. */
    size_t Unparsed() const { return m_nUnparsed; }
    bool Idle() const { return m_eState == kReadHeader && m_un32HdrBytes == 0; }

private:
    RxError HeaderComplete(RxSink& sink);
    RxError FeedBytes(const u8* p, size_t n, RxSink& sink);
    State m_eState = kReadHeader;
    size_t m_nUnparsed = 0;
    u8 m_aHdr[kBatchHeaderSize]{};
    u32 m_un32HdrBytes = 0;
    BatchHeader m_Hdr{};
    u32 m_un32Idx = 0;
    u32 m_un32Got = 0;
    void* m_apBufs[VQX_GW_MAX_BATCH_MSGS]{};
};

} // namespace vqxgw

#endif
