/*
 * vqx_media_sdp.h - the expanded session description record and its parts.
 *
 * One session description (the offer or answer of one call leg) is held in a
 * fixed, pointer-free record of 10416 bytes, so that it can be copied with a
 * plain memory copy, compared and packed into the compact blob that call and
 * media control messages carry (vqx_media.h). Every reference inside it is an
 * index: descriptions (one per m= line) list capability indexes, and name
 * their connection by index. All integers are in this host's byte order; the
 * byte-order conversions of vqx_media.h change it (docs/medialib-byte-order.md).
 *
 * The first 10200 bytes (the two counts, the groups and the capabilities) form
 * the capability set: the operations named "Capabilities" take a record and
 * touch only those bytes, so a bare set is a record of which only they matter.
 *
 * No locks, no global state; a record belongs to its caller.
 */
#ifndef VQX_MEDIA_SDP_H
#define VQX_MEDIA_SDP_H

#include <cstddef>

#include "vqx_types.h"

/* Limits of a valid record. */
#define VQX_MEDIA_MAX_CAPS 32u
#define VQX_MEDIA_MAX_GROUPS 2u
#define VQX_MEDIA_MAX_DESCS 8u
#define VQX_MEDIA_MAX_CHOICES 32u
#define VQX_MEDIA_MAX_CONNECTIONS 8u

/* Capability Direction values. */
#define VQX_MEDIA_DIR_RECV_ONLY 1u
#define VQX_MEDIA_DIR_SEND_ONLY 2u
#define VQX_MEDIA_DIR_SEND_RECV 3u
#define VQX_MEDIA_DIR_SEND_RECV_COPY 4u /* made by the duplication operations */
#define VQX_MEDIA_DIR_INACTIVE 5u

/* Transport.Type values. */
#define VQX_MEDIA_TRANSPORT_RTP 1u
#define VQX_MEDIA_TRANSPORT_H223 2u
#define VQX_MEDIA_TRANSPORT_UDPTL 3u
#define VQX_MEDIA_TRANSPORT_OTHER 4u /* its two words are only carried */

#define VQX_MEDIA_PAYLOAD_TYPE_NONE 0xFFFFFFFFu

/* Media type codes (Encoding.MediaType); the full table with names, classes,
 * m= words and sizes is in media_types.cpp. */
#define VQX_MEDIA_TYPE_PCMU 0u
#define VQX_MEDIA_TYPE_G723_1 4u
#define VQX_MEDIA_TYPE_DVI4 5u
#define VQX_MEDIA_TYPE_PCMA 8u
#define VQX_MEDIA_TYPE_L16 10u
#define VQX_MEDIA_TYPE_QCELP 12u
#define VQX_MEDIA_TYPE_CN 13u
#define VQX_MEDIA_TYPE_G729AB 18u
#define VQX_MEDIA_TYPE_H263 34u
#define VQX_MEDIA_TYPE_AUDIO_ANY 70u
#define VQX_MEDIA_TYPE_VIDEO_ANY 71u
#define VQX_MEDIA_TYPE_DTMF 96u
#define VQX_MEDIA_TYPE_T38 98u
#define VQX_MEDIA_TYPE_NSE 100u
#define VQX_MEDIA_TYPE_TELEPHONE_EVENT 101u
#define VQX_MEDIA_TYPE_G729E 103u
#define VQX_MEDIA_TYPE_AMR 104u
#define VQX_MEDIA_TYPE_SMV 110u
#define VQX_MEDIA_TYPE_EVRC 111u
#define VQX_MEDIA_TYPE_H223 115u
#define VQX_MEDIA_TYPE_MPEG4 119u
#define VQX_MEDIA_TYPE_RED 120u
#define VQX_MEDIA_TYPE_H263_PLUS 121u
#define VQX_MEDIA_TYPE_H264 122u
#define VQX_MEDIA_TYPE_ILBC 124u
#define VQX_MEDIA_TYPE_G726 125u
#define VQX_MEDIA_TYPE_AMR_WB 126u
#define VQX_MEDIA_TYPE_APP_ANY 512u
#define VQX_MEDIA_TYPE_APP_DATA 513u
#define VQX_MEDIA_TYPE_USER_INDICATION 514u
#define VQX_MEDIA_TYPE_AUDIO_NOT_PARSED 768u
#define VQX_MEDIA_TYPE_VIDEO_NOT_PARSED 769u
#define VQX_MEDIA_TYPE_NOT_PARSED 770u
#define VQX_MEDIA_TYPE_INVALID 0xFFFFFFFFu

/* One connection (c= line). */
struct _VQX_SDP_CONNECTION {
  char szAddress[16];  /* dotted IPv4 text, or "dns_off:" and a text offset ("%s%6u") */
  u32 un32NbAddresses; /* address count of the c= line */
  u8 un8Ttl;           /* 0 = none */
  u8 un8AddressType;   /* 0 numeric IPv4 text; 1 and 2 textual forms */
  u8 aun8Padding[2];
};

/* One choice of a description: an index into aMediaCap. */
struct _VQX_MEDIA_CAP_CHOICE {
  u8 un8CapIdx;
};

/* One media description (one m= line). */
struct _VQX_SIMULTANEOUS_CAP {
  u8 un8NbChoices;  /* entries of aMediaCapChoices in use */
  u8 un8MediaKind;  /* form of the m= line as the parser recognised it */
  u8 un8Padding;
  _VQX_MEDIA_CAP_CHOICE aMediaCapChoices[VQX_MEDIA_MAX_CHOICES]; /* choice 0: main capability */
  u8 un8ConnectionIdx;
  u8 un8RedundantConnectionIdx;
  u8 un8NbPorts;
  u16 un16Port;
  u16 un16SetupDirection; /* 0 none, 1 "passive", 2 "active", 3 "both" */
  u8 aun8Padding[2];
};

struct _VQX_MEDIA_CAP_GROUP {
  u8 un8NbSimultaneousCap; /* descriptions in the group */
  u8 aun8Padding[7];
  _VQX_SIMULTANEOUS_CAP aSimultaneousCap[VQX_MEDIA_MAX_DESCS];
};

/* Parameter blocks of the media types whose fields the library names; each
 * starts at offset 28 of the capability. The other types are raw bytes. */
struct _VQX_MEDIA_PARAMS_H263 { /* 34, 121 */
  u8 un8SqcifMpi, un8QcifMpi, un8CifMpi, un8SizesGiven;
  u16 un16MaxBitRate; /* units of 100 bit/s; 0xFFFF = none */
  u8 aun8Flags[5];
  u8 un8Padding39;
  u32 un32Word40;
  u16 un16Word44, un16Word46, un16Word48, un16Word50;
  u8 un8Byte52, un8Profile, un8Level;
};
struct _VQX_MEDIA_PARAMS_T38 { /* 98 */
  u32 un32T38FaxVersion, un32T38MaxBitRate, un32T38FillBitRemoval, un32T38TranscodingMMR,
      un32T38TranscodingJBIG, un32T38RateManagement, un32T38MaxBuffer, un32T38MaxDatagram, un32T38UdpEc;
};
struct _VQX_MEDIA_PARAMS_EVENTS { /* 100, 101 */
  u16 un16ClockRate;
  u16 un16Padding;
  u32 aun32Events[8]; /* bit b of word w = event 32 * w + b */
};
struct _VQX_MEDIA_PARAMS_MPEG4 { /* 119 */
  u16 un16MaxBitRate; /* units of 100 bit/s; 0xFFFF = none */
  u8 un8ProfileLevelId, un8Byte31, un8Byte32, un8ConfigLength;
  u8 aun8Padding[6];
  u8 aun8Config[255];
};
struct _VQX_MEDIA_PARAMS_H264 { /* 122 */
  u16 un16MaxBitRate; /* units of 100 bit/s; 0xFFFF = none */
  u8 un8ProfileFlags, un8Level;
};
struct _VQX_MEDIA_PARAMS_G726 { /* 125 */
  u8 aun8Bytes[4];
  u32 un32BitRateKbps;
};
struct _VQX_MEDIA_PARAMS_USER_INDICATION { /* 514 */
  u32 un32Flags;
  u16 un16Flags;
};

struct _VQX_MEDIA_CAP {
  u32 Direction;
  u32 un32Padding; /* cleared by comparison */
  struct {
    u32 Type;
    union {
      struct {
        u32 un32PayloadType;
        u16 un16MaxAudioFramesPerPacket;
        u16 un16PacketTimeMs;
      } Rtp;
      struct {
        u16 un16MaxAudioFramesPerALSdu;
      } H223;
      struct {
        u32 un32Word0, un32Word1;
      } Other;
    };
    u32 un32Padding;
  } Transport;
  struct {
    u32 MediaType;
    union {
      u8 aun8Params[268];
      u32 un32Word28; /* DVI4 rate, RED clock, types 103, 104, 115, 124, 126, 513 */
      _VQX_MEDIA_PARAMS_H263 H263;
      _VQX_MEDIA_PARAMS_T38 T38;
      _VQX_MEDIA_PARAMS_EVENTS Events;
      _VQX_MEDIA_PARAMS_MPEG4 Mpeg4;
      _VQX_MEDIA_PARAMS_H264 H264;
      _VQX_MEDIA_PARAMS_G726 G726;
      _VQX_MEDIA_PARAMS_USER_INDICATION UserIndication;
      char szNotParsed[256]; /* 768..770: raw attribute lines, CR LF joined */
    };
  } Encoding;
};

struct _VQX_SDP_INFO {
  u8 un8NbMediaCapabilities;
  u8 un8NbCapabilityGroups;
  u8 aun8Padding0[6];
  _VQX_MEDIA_CAP_GROUP aCapGroups[VQX_MEDIA_MAX_GROUPS];
  _VQX_MEDIA_CAP aMediaCap[VQX_MEDIA_MAX_CAPS];
  u8 un8NbConnections;
  u8 un8ConnectionSpare; /* carried unchanged; no operation sets it */
  u8 aun8Padding1[6];
  u64 un64SessionId;
  u64 un64SessionVersion;
  _VQX_SDP_CONNECTION aConnections[VQX_MEDIA_MAX_CONNECTIONS]; /* 0: session level */
};

/* Bytes of a record that form its capability set. */
#define VQX_MEDIA_CAPABILITIES_SIZE 10200u

/* The capability set alone: the first VQX_MEDIA_CAPABILITIES_SIZE bytes of a
 * record, field for field. The operations named "Capabilities" take a
 * _VQX_SDP_INFO and touch only these bytes. */
struct _VQX_MEDIA_CAPABILITIES {
  u8 un8NbMediaCapabilities;
  u8 un8NbCapabilityGroups;
  u8 aun8Padding0[6];
  _VQX_MEDIA_CAP_GROUP aCapGroups[VQX_MEDIA_MAX_GROUPS];
  _VQX_MEDIA_CAP aMediaCap[VQX_MEDIA_MAX_CAPS];
};

/* The compact forms (layout in media_compact.cpp and vqx_media.h): a header
 * followed by variable data; only their first bytes have a fixed meaning. */
struct _VQX_MEDIA_CAPABILITIES_COMPACT {
  u8 aun8Magic[4];
  u32 un32Size;
};
struct _VQX_SDP_INFO_COMPACT {
  u8 aun8Magic[4];
  u32 un32Size;
  u32 un32Ipv4Connection0; /* network order */
  u32 un32Ipv4Connection1;
};

static_assert(sizeof(_VQX_SDP_CONNECTION) == 24);
static_assert(offsetof(_VQX_SDP_CONNECTION, un32NbAddresses) == 16);
static_assert(offsetof(_VQX_SDP_CONNECTION, un8Ttl) == 20);
static_assert(offsetof(_VQX_SDP_CONNECTION, un8AddressType) == 21);

static_assert(sizeof(_VQX_SIMULTANEOUS_CAP) == 44);
static_assert(offsetof(_VQX_SIMULTANEOUS_CAP, un8MediaKind) == 1);
static_assert(offsetof(_VQX_SIMULTANEOUS_CAP, aMediaCapChoices) == 3);
static_assert(offsetof(_VQX_SIMULTANEOUS_CAP, un8ConnectionIdx) == 35);
static_assert(offsetof(_VQX_SIMULTANEOUS_CAP, un8RedundantConnectionIdx) == 36);
static_assert(offsetof(_VQX_SIMULTANEOUS_CAP, un8NbPorts) == 37);
static_assert(offsetof(_VQX_SIMULTANEOUS_CAP, un16Port) == 38);
static_assert(offsetof(_VQX_SIMULTANEOUS_CAP, un16SetupDirection) == 40);

static_assert(sizeof(_VQX_MEDIA_CAP_GROUP) == 360);
static_assert(offsetof(_VQX_MEDIA_CAP_GROUP, aSimultaneousCap) == 8);

static_assert(sizeof(_VQX_MEDIA_CAP) == 296);
static_assert(offsetof(_VQX_MEDIA_CAP, Transport.Type) == 8);
static_assert(offsetof(_VQX_MEDIA_CAP, Transport.Rtp.un32PayloadType) == 12);
static_assert(offsetof(_VQX_MEDIA_CAP, Transport.Rtp.un16MaxAudioFramesPerPacket) == 16);
static_assert(offsetof(_VQX_MEDIA_CAP, Transport.Rtp.un16PacketTimeMs) == 18);
static_assert(offsetof(_VQX_MEDIA_CAP, Transport.H223.un16MaxAudioFramesPerALSdu) == 12);
static_assert(offsetof(_VQX_MEDIA_CAP, Transport.Other.un32Word1) == 16);
static_assert(offsetof(_VQX_MEDIA_CAP, Transport.un32Padding) == 20);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.MediaType) == 24);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.aun8Params) == 28);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.H263.un16MaxBitRate) == 32);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.H263.un32Word40) == 40);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.H263.un16Word50) == 50);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.H263.un8Level) == 54);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.T38.un32T38UdpEc) == 60);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.Events.aun32Events) == 32);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.Mpeg4.un8ConfigLength) == 33);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.Mpeg4.aun8Config) == 40);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.H264.un8Level) == 31);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.G726.un32BitRateKbps) == 32);
static_assert(offsetof(_VQX_MEDIA_CAP, Encoding.UserIndication.un16Flags) == 32);

static_assert(sizeof(_VQX_SDP_INFO) == 10416);
static_assert(alignof(_VQX_SDP_INFO) == 8);
static_assert(offsetof(_VQX_SDP_INFO, un8NbCapabilityGroups) == 1);
static_assert(offsetof(_VQX_SDP_INFO, aCapGroups) == 8);
static_assert(offsetof(_VQX_SDP_INFO, aMediaCap) == 728);
static_assert(offsetof(_VQX_SDP_INFO, un8NbConnections) == VQX_MEDIA_CAPABILITIES_SIZE);
static_assert(offsetof(_VQX_SDP_INFO, un8ConnectionSpare) == 10201);
static_assert(offsetof(_VQX_SDP_INFO, un64SessionId) == 10208);
static_assert(offsetof(_VQX_SDP_INFO, un64SessionVersion) == 10216);
static_assert(offsetof(_VQX_SDP_INFO, aConnections) == 10224);

static_assert(sizeof(_VQX_MEDIA_CAPABILITIES) == VQX_MEDIA_CAPABILITIES_SIZE);
static_assert(offsetof(_VQX_MEDIA_CAPABILITIES, un8NbCapabilityGroups) == offsetof(_VQX_SDP_INFO, un8NbCapabilityGroups));
static_assert(offsetof(_VQX_MEDIA_CAPABILITIES, aCapGroups) == offsetof(_VQX_SDP_INFO, aCapGroups));
static_assert(offsetof(_VQX_MEDIA_CAPABILITIES, aMediaCap) == offsetof(_VQX_SDP_INFO, aMediaCap));

static_assert(sizeof(_VQX_SDP_INFO_COMPACT) == 16);

#endif
