/*
 * vqcmc_payloads.h - field layouts of the call/media control payloads: the
 * attribute records they carry (leg description, call-leg and media-only
 * attributes, media profile, protocol attribute, mixer description) and
 * the payloads whose fields the library fills or reads (its notifications,
 * the servers' resynchronisation messages, the head every message shares).
 *
 * Model. Included by vqcmc_msg_catalogue.h, which keeps the one table of
 * ids and sizes: a named message's record _NAME derives from
 * VqCmcPayloadOf<id, size>, which is the plain head-plus-body record unless
 * a layout below is given for that id; the catalogue then checks the
 * layout's size against its own. Host byte order; an element-set head
 * (VQXMsgElementSet) is a u32 naming elements stored later in the same
 * message. Records of the play, record, event, join and transfer
 * attributes and of the generic headers live in vqcmc_attr_records.h.
 * Threads: none; types only.
 */
#ifndef VQCMC_PAYLOADS_H
#define VQCMC_PAYLOADS_H

#include <cstddef>

#include "vq500_sip_ie_records.h"
#include "vqcmc_attr_records.h"
#include "vqx_msg_element.h"
#include "vqx_types.h"

#define VQCMC_PAYLOAD_HEAD_SIZE 32u

/* The head every payload starts with. */
typedef struct _VQCMC_MSG_HEAD {
  u32 aun32Reserved0[2];
  u32 un32MappingId;       /* the server's id of the leg or mixer; 0: none */
  u32 aun32Reserved1[3];
  u32 un32LibBuilt;        /* 1 in what the core library builds */
  union {
    i32 n32Result;         /* responses: the server's result (negative: failure) */
    u32 un32Word7;         /* notifications keyed by word 7: the entity id */
  };
} _VQCMC_MSG_HEAD;
static_assert(sizeof(_VQCMC_MSG_HEAD) == VQCMC_PAYLOAD_HEAD_SIZE);
static_assert(offsetof(_VQCMC_MSG_HEAD, un32MappingId) == 8);
static_assert(offsetof(_VQCMC_MSG_HEAD, un32LibBuilt) == 24);
static_assert(offsetof(_VQCMC_MSG_HEAD, n32Result) == 28 && offsetof(_VQCMC_MSG_HEAD, un32Word7) == 28);

/* A payload record of N bytes whose body the library does not read. */
template <u32 N>
struct VqCmcPayload {
  _VQCMC_MSG_HEAD Head;
  u8 abyBody[N - VQCMC_PAYLOAD_HEAD_SIZE];
};
template <>
struct VqCmcPayload<VQCMC_PAYLOAD_HEAD_SIZE> {
  _VQCMC_MSG_HEAD Head;
};

/*
 * A server notification whose size the server sets: the 40 bytes every one
 * carries at least, word 8 the entity id where the catalogue keys it there
 * (and the new leg's id of a call-leg-present notification).
 */
typedef struct _VQCMC_SRV_NOTIF {
  _VQCMC_MSG_HEAD Head;
  u32 un32EntityId;
  u32 un32Reserved;
} _VQCMC_SRV_NOTIF;
static_assert(sizeof(_VQCMC_SRV_NOTIF) == 40 && offsetof(_VQCMC_SRV_NOTIF, un32EntityId) == 32);

/* ------------------------------------------------------------ attributes */

/* Media profile: a 64-byte media description the library copies whole, then its elements. */
#define VQCMC_MEDIA_ELEMENT_NAME 2u
#define VQCMC_MEDIA_ELEMENT_LOCAL_SDP 3u
#define VQCMC_MEDIA_ELEMENT_PEER_SDP 4u
typedef struct _VQCMC_MEDIA_PROFILE {
  u8 abyMediaDescription[64];
  u8 un8Zero;
  u8 abyReserved[3];
  VQXMsgElementSet setProfileElements;
} _VQCMC_MEDIA_PROFILE;
static_assert(sizeof(_VQCMC_MEDIA_PROFILE) == 72);
static_assert(offsetof(_VQCMC_MEDIA_PROFILE, un8Zero) == 64);
static_assert(offsetof(_VQCMC_MEDIA_PROFILE, setProfileElements) == 68);

/* Protocol attribute: SIP data, or one SS7, ISDN or CAS element, and the generic headers. */
#define VQCMC_PROTOCOL_SS7 1u
#define VQCMC_PROTOCOL_SIP 2u
#define VQCMC_PROTOCOL_ISDN 3u
#define VQCMC_PROTOCOL_CAS 4u
typedef struct _VQCMC_PROTOCOL_ATTRIBUTE {
  u8 un8Present;                      /* 1 once protocol content is set */
  u8 abyReserved0[3];
  u32 un32ProtocolType;               /* VQCMC_PROTOCOL_... */
  VQXMsgElementSet setGenericHeaders;
  u8 abyReserved1[12];
  VQXMsgElementSet setProtocolData;   /* SIP: the headers; else the one protocol element */
  SipBodyIe SipBody;                  /* the SIP body record of the SIP/SDP element library */
  u16 un16SipStatusCode;
  u8 un8SipStatusArg;
  u8 abyReserved2[5];
  u32 un32SipSuppInfoTransId;
} _VQCMC_PROTOCOL_ATTRIBUTE;
static_assert(sizeof(_VQCMC_PROTOCOL_ATTRIBUTE) == 128);
static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, un32ProtocolType) == 4);
static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, setGenericHeaders) == 8);
static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, setProtocolData) == 24);
static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, SipBody) == 28 && sizeof(SipBodyIe) == 88);
static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, un16SipStatusCode) == 116);
static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, un8SipStatusArg) == 118);
static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, un32SipSuppInfoTransId) == 124);

/* Leg types. */
#define VQCMC_LEG_TYPE_UNSPECIFIED 0u
#define VQCMC_LEG_TYPE_CALL 1u
#define VQCMC_LEG_TYPE_MEDIA_ONLY 2u

/* Call-leg attribute. Text fields travel NUL-terminated (at most N-1 characters);
 * reserved bytes are carried unchanged. */
typedef struct _VQCMC_CALL_LEG_ATTRIBUTE {
  char szCalledNumber[64];
  u32 un32CalledNoa;
  u32 un32CalledNpi;
  u8 abyCarried0[12];                 /* 72-83 */
  char szCallingNumber[64];
  u32 un32CallingDisplayType;
  char szCallingDisplay[128];
  u8 abyCarried1[4];                  /* 280-283 */
  u32 un32CallingCategory;
  u32 un32CallingNoa;
  u32 un32CallingNpi;
  u32 un32CallingPresentation;
  u32 un32CallingScreening;
  u32 un32PrivateDisplayType;
  char szPrivateDisplay[128];
  u8 abyCarried2[4];                  /* 436-439 */
  char szPrivateAddress[64];
  u8 un8OliPresent;                   /* originating line information */
  u8 un8Oli;
  u8 abyCarried3[14];                 /* 506-519 */
  char szNetworkAccessPoint[32];
  u8 abyCarried4[40];                 /* 552-591 */
  _VQCMC_MEDIA_PROFILE MediaProfile;
  u32 un32ProtocolType;
} _VQCMC_CALL_LEG_ATTRIBUTE;
static_assert(sizeof(_VQCMC_CALL_LEG_ATTRIBUTE) == 668);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CalledNoa) == 64);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CalledNpi) == 68);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, szCallingNumber) == 84);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CallingDisplayType) == 148);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, szCallingDisplay) == 152);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CallingCategory) == 284);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CallingNoa) == 288);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CallingNpi) == 292);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CallingPresentation) == 296);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32CallingScreening) == 300);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32PrivateDisplayType) == 304);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, szPrivateDisplay) == 308);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, szPrivateAddress) == 440);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un8OliPresent) == 504);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un8Oli) == 505);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, szNetworkAccessPoint) == 520);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, MediaProfile) == 592);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, un32ProtocolType) == 664);

/* What a call leg may change after creation. */
typedef struct _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE {
  u32 un32ProtocolType;
  u32 un32ChargeIndicator;
  u8 un8EarlyMedia;
  u8 un8EchoCanceller;
  u8 abyReserved[2];
} _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE;
static_assert(sizeof(_VQCMC_CALL_LEG_ATTRIBUTE_UPDATE) == 12);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE_UPDATE, un32ChargeIndicator) == 4);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE_UPDATE, un8EarlyMedia) == 8);
static_assert(offsetof(_VQCMC_CALL_LEG_ATTRIBUTE_UPDATE, un8EchoCanceller) == 9);

/* Media-only leg attribute: the writer stores at most 31 characters and a
 * NUL in the first 32 bytes; bytes 32-71 are carried unchanged. */
typedef struct _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE {
  char szNetworkAccessPoint[32];
  u8 abyCarried[40];
  _VQCMC_MEDIA_PROFILE MediaProfile;
} _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE;
static_assert(sizeof(_VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE) == 144);
static_assert(offsetof(_VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE, MediaProfile) == 72);

/* Leg description: the leg id, its type, then the attribute of that type. */
typedef struct _VQCMC_LEG {
  u32 un32LegId;
  u32 un32LegType;                    /* VQCMC_LEG_TYPE_... */
  union {
    _VQCMC_CALL_LEG_ATTRIBUTE CallLeg;
    _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE MediaOnlyLeg;
  };
  u8 abyReserved[4];
  _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE CallLegUpdate;  /* leg type 1 */
} _VQCMC_LEG;
static_assert(sizeof(_VQCMC_LEG) == 692);
static_assert(offsetof(_VQCMC_LEG, un32LegType) == 4);
static_assert(offsetof(_VQCMC_LEG, CallLeg) == 8 && offsetof(_VQCMC_LEG, MediaOnlyLeg) == 8);
static_assert(offsetof(_VQCMC_LEG, CallLegUpdate) == 680);

/* A payload that carries a leg description gives it a slot of VQCMC_LEG_SPAN
 * bytes: the description's 692 bytes, then 12 reserved ones. What follows the
 * description (a protocol attribute, the leg sync's stream sets) starts at
 * the end of the slot, never at sizeof(_VQCMC_LEG), which would put it 12
 * bytes early. */
constexpr u32 VQCMC_LEG_SPAN = 704;
static_assert(sizeof(_VQCMC_LEG) <= VQCMC_LEG_SPAN && VQCMC_LEG_SPAN - sizeof(_VQCMC_LEG) == 12);

/* Create call (0x0A010017): the leg description at 28, the protocol attribute after its slot. */
constexpr u32 VQCMC_CREATE_LEG_OFFSET = 28;
constexpr u32 VQCMC_CREATE_PROTOCOL_OFFSET = VQCMC_CREATE_LEG_OFFSET + VQCMC_LEG_SPAN;
static_assert(VQCMC_CREATE_PROTOCOL_OFFSET == 732);

/* Leg present (0x0A010011): the leg description at 32 (leg id 32, type 36, attribute 40,
 * update 712), the protocol attribute after its slot. */
constexpr u32 VQCMC_LEG_PRESENT_LEG_OFFSET = 32;
constexpr u32 VQCMC_LEG_PRESENT_ATTRIBUTE_OFFSET = VQCMC_LEG_PRESENT_LEG_OFFSET + offsetof(_VQCMC_LEG, CallLeg);
constexpr u32 VQCMC_LEG_PRESENT_UPDATE_OFFSET = VQCMC_LEG_PRESENT_LEG_OFFSET + offsetof(_VQCMC_LEG, CallLegUpdate);
constexpr u32 VQCMC_LEG_PRESENT_PROTOCOL_OFFSET = VQCMC_LEG_PRESENT_LEG_OFFSET + VQCMC_LEG_SPAN;
static_assert(VQCMC_LEG_PRESENT_ATTRIBUTE_OFFSET == 40 && VQCMC_LEG_PRESENT_UPDATE_OFFSET == 712 &&
              VQCMC_LEG_PRESENT_PROTOCOL_OFFSET == 736);

/* Mixer description; bytes 3-7 and 24-31 are not written by the client objects. */
typedef struct _VQCMC_MIXER {
  u8 un8ReserveListenerSlot;
  u8 un8ReserveIvrSlot;
  u8 un8RecordPlayback;
  u8 abyReserved0[5];
  u32 un32ReservedActiveSpeakerSlots;
  u32 un32NbDominantSpeakers;
  i32 n32NoiseFloor;
  i32 n32NoiseSuppressionLimit;
  u8 abyReserved1[8];
  i32 n32TargetPower;
  i32 n32LossLimit;
  i32 n32GainLimit;
} _VQCMC_MIXER;
static_assert(sizeof(_VQCMC_MIXER) == 44);
static_assert(offsetof(_VQCMC_MIXER, un8ReserveIvrSlot) == 1 && offsetof(_VQCMC_MIXER, un8RecordPlayback) == 2);
static_assert(offsetof(_VQCMC_MIXER, un32ReservedActiveSpeakerSlots) == 8);
static_assert(offsetof(_VQCMC_MIXER, un32NbDominantSpeakers) == 12);
static_assert(offsetof(_VQCMC_MIXER, n32NoiseFloor) == 16);
static_assert(offsetof(_VQCMC_MIXER, n32NoiseSuppressionLimit) == 20);
static_assert(offsetof(_VQCMC_MIXER, n32TargetPower) == 32);
static_assert(offsetof(_VQCMC_MIXER, n32LossLimit) == 36);
static_assert(offsetof(_VQCMC_MIXER, n32GainLimit) == 40);

/* A join attribute travels as 8 bytes carried as they stand: the leg-leg one
 * (_VQCMC_JOIN_ATTRIBUTE), the mixer-leg and the mixer-mixer ones. */
#define VQCMC_JOIN_ATTRIBUTE_SIZE 8u
static_assert(sizeof(_VQCMC_JOIN_ATTRIBUTE) == VQCMC_JOIN_ATTRIBUTE_SIZE);

/* A leg joined to a mixer: it hears the mix (listener), it is mixed in (speaker). */
typedef struct _VQCMC_MIXER_LEG_JOIN_ATTRIBUTE {
  u8 un8Listener;
  u8 un8Speaker;
  u8 abyReserved[6];
} _VQCMC_MIXER_LEG_JOIN_ATTRIBUTE;
static_assert(sizeof(_VQCMC_MIXER_LEG_JOIN_ATTRIBUTE) == VQCMC_JOIN_ATTRIBUTE_SIZE);
static_assert(offsetof(_VQCMC_MIXER_LEG_JOIN_ATTRIBUTE, un8Speaker) == 1);

/* Two mixers joined: mixer 1 (the first of the pair) sends to mixer 2, and back. */
typedef struct _VQCMC_MIXER_MIXER_JOIN_ATTRIBUTE {
  u8 un8JoinedFrom1to2;
  u8 un8JoinedFrom2to1;
  u8 abyReserved[6];
} _VQCMC_MIXER_MIXER_JOIN_ATTRIBUTE;
static_assert(sizeof(_VQCMC_MIXER_MIXER_JOIN_ATTRIBUTE) == VQCMC_JOIN_ATTRIBUTE_SIZE);
static_assert(offsetof(_VQCMC_MIXER_MIXER_JOIN_ATTRIBUTE, un8JoinedFrom2to1) == 1);

/* ------------------------------------------------------------ library notifications */

/* Ready: the server's READY as received (build number at 28, the server's area from 32). */
typedef struct _VQCMC_NOTIF_READY {
  _VQCMC_MSG_HEAD Head;
  u8 abyServerArea[32];
} _VQCMC_NOTIF_READY;
static_assert(sizeof(_VQCMC_NOTIF_READY) == 64);

/* Terminated, sync done and sync lost of a leg or a mixer. */
typedef struct _VQCMC_NOTIF_ENTITY {
  _VQCMC_MSG_HEAD Head;
  u32 un32EntityId;                   /* the leg id or mixer id */
  u32 un32Reserved;
} _VQCMC_NOTIF_ENTITY;
static_assert(sizeof(_VQCMC_NOTIF_ENTITY) == 40 && offsetof(_VQCMC_NOTIF_ENTITY, un32EntityId) == 32);

/* A leg a resynchronising server still holds (bytes 8-23 as the server sent them). */
typedef struct _VQCMC_NOTIF_LEG_SYNC {
  _VQCMC_MSG_HEAD Head;
  _VQCMC_LEG Leg;
  u8 abyReserved[VQCMC_LEG_SPAN - sizeof(_VQCMC_LEG)];
  VQXMsgElementSet setPlayAttributes;    /* elements: _VQCMC_PLAY_ATTRIBUTE */
  VQXMsgElementSet setRecordAttributes;  /* elements: _VQCMC_RECORD_ATTRIBUTE */
} _VQCMC_NOTIF_LEG_SYNC;
static_assert(sizeof(_VQCMC_NOTIF_LEG_SYNC) == 744);
static_assert(offsetof(_VQCMC_NOTIF_LEG_SYNC, Leg) == 32);
static_assert(offsetof(_VQCMC_NOTIF_LEG_SYNC, setPlayAttributes) == offsetof(_VQCMC_NOTIF_LEG_SYNC, Leg) + VQCMC_LEG_SPAN);
static_assert(offsetof(_VQCMC_NOTIF_LEG_SYNC, setPlayAttributes) == 736);
static_assert(offsetof(_VQCMC_NOTIF_LEG_SYNC, setRecordAttributes) == 740);

/* A link between two legs that a resynchronising server still holds. */
typedef struct _VQCMC_NOTIF_LINK_SYNC {
  _VQCMC_MSG_HEAD Head;
  u32 un32SrcLegId;
  u32 un32DstLegId;
  _VQCMC_JOIN_ATTRIBUTE JoinAttribute;
} _VQCMC_NOTIF_LINK_SYNC;
static_assert(sizeof(_VQCMC_NOTIF_LINK_SYNC) == 48);
static_assert(offsetof(_VQCMC_NOTIF_LINK_SYNC, un32DstLegId) == 36);
static_assert(offsetof(_VQCMC_NOTIF_LINK_SYNC, JoinAttribute) == 40);

/* A mixer a resynchronising server still holds; the mixer id is word 7. */
typedef struct _VQCMC_NOTIF_MIXER_SYNC {
  _VQCMC_MSG_HEAD Head;
  _VQCMC_MIXER Mixer;
  u8 abyReserved[44];
  VQXMsgElementSet setPlayAttributes;
  VQXMsgElementSet setRecordAttributes;
} _VQCMC_NOTIF_MIXER_SYNC;
static_assert(sizeof(_VQCMC_NOTIF_MIXER_SYNC) == 128);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_SYNC, Mixer) == 32);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_SYNC, setPlayAttributes) == 120);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_SYNC, setRecordAttributes) == 124);

/* A leg or mixer joined to a mixer: the join attribute that fits the joined kind. */
typedef struct _VQCMC_NOTIF_MIXER_LINK_SYNC {
  _VQCMC_MSG_HEAD Head;
  u32 un32MixerId;
  u32 un32EntityId;
  _VQCMC_MIXER_LEG_JOIN_ATTRIBUTE MixerLegJoin;      /* the joined entity is a leg */
  _VQCMC_MIXER_MIXER_JOIN_ATTRIBUTE MixerMixerJoin;  /* the joined entity is a mixer */
} _VQCMC_NOTIF_MIXER_LINK_SYNC;
static_assert(sizeof(_VQCMC_NOTIF_MIXER_LINK_SYNC) == 56);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_LINK_SYNC, un32EntityId) == 36);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_LINK_SYNC, MixerLegJoin.un8Listener) == 40);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_LINK_SYNC, MixerLegJoin.un8Speaker) == 41);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_LINK_SYNC, MixerMixerJoin.un8JoinedFrom1to2) == 48);
static_assert(offsetof(_VQCMC_NOTIF_MIXER_LINK_SYNC, MixerMixerJoin.un8JoinedFrom2to1) == 49);

/* ------------------------------------------------------------ server resynchronisation */

/* NotifLegSync: the leg description from 32 (leg id 0: the library chooses). */
typedef struct _VQCMC_SRV_NOTIF_LEG_SYNC {
  _VQCMC_MSG_HEAD Head;
  _VQCMC_LEG Leg;
  u8 abyReserved[20];
  VQXMsgElementSet setPlayAttributes;
  VQXMsgElementSet setRecordAttributes;
} _VQCMC_SRV_NOTIF_LEG_SYNC;
static_assert(sizeof(_VQCMC_SRV_NOTIF_LEG_SYNC) == 752);
static_assert(offsetof(_VQCMC_SRV_NOTIF_LEG_SYNC, Leg) == 32);
static_assert(offsetof(_VQCMC_SRV_NOTIF_LEG_SYNC, setPlayAttributes) == 744);
static_assert(offsetof(_VQCMC_SRV_NOTIF_LEG_SYNC, setRecordAttributes) == 748);

/* NotifLinkSync: the two legs by id (traced) and by mapping id (looked up). */
typedef struct _VQCMC_SRV_NOTIF_LINK_SYNC {
  _VQCMC_MSG_HEAD Head;
  u32 un32SrcLegId;
  u32 un32DstLegId;
  u32 un32SrcMappingId;
  u32 un32DstMappingId;
  _VQCMC_JOIN_ATTRIBUTE JoinAttribute;
} _VQCMC_SRV_NOTIF_LINK_SYNC;
static_assert(sizeof(_VQCMC_SRV_NOTIF_LINK_SYNC) == 56);
static_assert(offsetof(_VQCMC_SRV_NOTIF_LINK_SYNC, un32SrcMappingId) == 40);
static_assert(offsetof(_VQCMC_SRV_NOTIF_LINK_SYNC, un32DstMappingId) == 44);
static_assert(offsetof(_VQCMC_SRV_NOTIF_LINK_SYNC, JoinAttribute) == 48);

/* NotifMixerSync: mapping id at 8, mixer id at 28 (0: the library chooses). */
typedef struct _VQCMC_SRV_NOTIF_MIXER_SYNC {
  _VQCMC_MSG_HEAD Head;
  _VQCMC_MIXER Mixer;
  u8 abyReserved[52];
  VQXMsgElementSet setPlayAttributes;
  VQXMsgElementSet setRecordAttributes;
} _VQCMC_SRV_NOTIF_MIXER_SYNC;
static_assert(sizeof(_VQCMC_SRV_NOTIF_MIXER_SYNC) == 136);
static_assert(offsetof(_VQCMC_SRV_NOTIF_MIXER_SYNC, Mixer) == 32);
static_assert(offsetof(_VQCMC_SRV_NOTIF_MIXER_SYNC, setPlayAttributes) == 128);
static_assert(offsetof(_VQCMC_SRV_NOTIF_MIXER_SYNC, setRecordAttributes) == 132);

/* NotifMixerLinkSync: the mixer and the joined entity by id (traced) and mapping id. */
typedef struct _VQCMC_SRV_NOTIF_MIXER_LINK_SYNC {
  _VQCMC_MSG_HEAD Head;
  u32 un32MixerId;
  u32 un32EntityId;
  u32 un32MixerMappingId;
  u32 un32EntityMappingId;
  _VQCMC_MIXER_LEG_JOIN_ATTRIBUTE MixerLegJoin;
  _VQCMC_MIXER_MIXER_JOIN_ATTRIBUTE MixerMixerJoin;
} _VQCMC_SRV_NOTIF_MIXER_LINK_SYNC;
static_assert(sizeof(_VQCMC_SRV_NOTIF_MIXER_LINK_SYNC) == 64);
static_assert(offsetof(_VQCMC_SRV_NOTIF_MIXER_LINK_SYNC, un32MixerMappingId) == 40);
static_assert(offsetof(_VQCMC_SRV_NOTIF_MIXER_LINK_SYNC, un32EntityMappingId) == 44);
static_assert(offsetof(_VQCMC_SRV_NOTIF_MIXER_LINK_SYNC, MixerLegJoin) == 48);
static_assert(offsetof(_VQCMC_SRV_NOTIF_MIXER_LINK_SYNC, MixerMixerJoin) == 56);

/* ------------------------------------------------------------ call leg records of the client objects */

/* Why a call ends: the reason code first (an ITU-T Q.850 cause, a server code or a SIP
 * status); a reason the client builds itself carries only the code. */
typedef struct _VQCMC_CALL_REASON {
  u32 un32ReasonCode;
  u8 abyReserved[12];
} _VQCMC_CALL_REASON;
static_assert(sizeof(_VQCMC_CALL_REASON) == 16);

/* Terminating indication (0x0A010015) and call leg terminated (0x0A010016) as the client reads
 * them: the leg at 32 (word 8), the call reason at 40, the protocol attribute at 56. A shorter
 * one is refused by the client, and so ends nothing (the core library's job layer). */
typedef struct _VQCMC_NOTIF_CALL_LEG_END {
  _VQCMC_MSG_HEAD Head;
  u32 un32LegId;
  u32 un32Reserved;
  _VQCMC_CALL_REASON Reason;
  _VQCMC_PROTOCOL_ATTRIBUTE Protocol;
} _VQCMC_NOTIF_CALL_LEG_END;
static_assert(sizeof(_VQCMC_NOTIF_CALL_LEG_END) == 184);
static_assert(offsetof(_VQCMC_NOTIF_CALL_LEG_END, Reason) == 40 && offsetof(_VQCMC_NOTIF_CALL_LEG_END, Protocol) == 56);

/* The leg a command is about. */
typedef struct _VQCMC_COMMON_LEG {
  u32 un32LegId;
  u32 un32LegType;                    /* VQCMC_LEG_TYPE_... */
} _VQCMC_COMMON_LEG;
static_assert(sizeof(_VQCMC_COMMON_LEG) == 8 && offsetof(_VQCMC_COMMON_LEG, un32LegType) == 4);

/* A call leg's changeable fields, as accept, alert, answer and supplementary
 * information carry them (at payload 32, the protocol attribute following at 64). */
typedef struct _VQCMC_CALL_LEG_UPDATE {
  u32 un32LegId;
  u32 un32LegType;
  _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE CallLegUpdate;  /* leg type 1 */
  u8 abyReserved[12];
} _VQCMC_CALL_LEG_UPDATE;
static_assert(sizeof(_VQCMC_CALL_LEG_UPDATE) == 32);
static_assert(offsetof(_VQCMC_CALL_LEG_UPDATE, un32LegType) == 4 && offsetof(_VQCMC_CALL_LEG_UPDATE, CallLegUpdate) == 8);

/* A leg's statistics as the server reports them: counters the client hands to the
 * application unread (their meaning is the server's). */
#define VQCMC_LEG_STATS_SIZE 128u
typedef struct _VQCMC_LEG_STATS {
  u32 aun32Counters[VQCMC_LEG_STATS_SIZE / 4];
} _VQCMC_LEG_STATS;
static_assert(sizeof(_VQCMC_LEG_STATS) == VQCMC_LEG_STATS_SIZE);

/* Statistics updated (0x0A01001F): the leg id at 28, the reason at 36, the statistics at 40. */
typedef struct _VQCMC_NOTIF_STATS_UPDATED {
  _VQCMC_MSG_HEAD Head;
  u32 un32Reserved;
  u32 un32ReasonCode;
  _VQCMC_LEG_STATS Stats;
} _VQCMC_NOTIF_STATS_UPDATED;
static_assert(sizeof(_VQCMC_NOTIF_STATS_UPDATED) == 40 + VQCMC_LEG_STATS_SIZE);
static_assert(offsetof(_VQCMC_NOTIF_STATS_UPDATED, un32ReasonCode) == 36 && offsetof(_VQCMC_NOTIF_STATS_UPDATED, Stats) == 40);

/* Leg error (0x0A010091): the leg id at 28, the server's code at 36, its text at 40
 * (NUL-terminated within the 256 bytes: a reader stops at byte 295 whatever comes),
 * the media-path detail block at 296. */
#define VQCMC_LEG_ERROR_TEXT_SIZE 256u
#define VQCMC_LEG_ERROR_DETAIL_BYTES 108u
typedef struct _VQCMC_NOTIF_LEG_ERROR {
  _VQCMC_MSG_HEAD Head;
  u32 un32Reserved;
  u32 un32ErrorCode;
  char szErrorText[VQCMC_LEG_ERROR_TEXT_SIZE];
  u8 abyDetail[VQCMC_LEG_ERROR_DETAIL_BYTES];
} _VQCMC_NOTIF_LEG_ERROR;
static_assert(sizeof(_VQCMC_NOTIF_LEG_ERROR) == 404);
static_assert(offsetof(_VQCMC_NOTIF_LEG_ERROR, un32ErrorCode) == 36 && offsetof(_VQCMC_NOTIF_LEG_ERROR, szErrorText) == 40);
static_assert(offsetof(_VQCMC_NOTIF_LEG_ERROR, abyDetail) == 296);

/* ------------------------------------------------------------ layout of each message */

/*
 * VqCmcPayloadOf<id, size>: the layout of a catalogue row. Commands keep
 * their body opaque here (the client objects fill it); server notifications
 * of a server-set size are _VQCMC_SRV_NOTIF; the library's notifications
 * take the layouts above.
 */
template <u32 Id, u32 N>
struct VqCmcPayloadOf : VqCmcPayload<N> {};
template <u32 Id>
struct VqCmcPayloadOf<Id, 0> : _VQCMC_SRV_NOTIF {};
#define VQCMC_PAYLOAD_LAYOUT(id, record) \
  template <u32 N>                       \
  struct VqCmcPayloadOf<id, N> : record {};
VQCMC_PAYLOAD_LAYOUT(0x0A020001u, _VQCMC_NOTIF_READY)
VQCMC_PAYLOAD_LAYOUT(0x0A020003u, _VQCMC_NOTIF_LEG_SYNC)
VQCMC_PAYLOAD_LAYOUT(0x0A020004u, _VQCMC_NOTIF_ENTITY)
VQCMC_PAYLOAD_LAYOUT(0x0A020005u, _VQCMC_NOTIF_LINK_SYNC)
VQCMC_PAYLOAD_LAYOUT(0x0A020006u, _VQCMC_NOTIF_ENTITY)
VQCMC_PAYLOAD_LAYOUT(0x0A020007u, _VQCMC_NOTIF_ENTITY)
VQCMC_PAYLOAD_LAYOUT(0x0A020008u, _VQCMC_NOTIF_MIXER_SYNC)
VQCMC_PAYLOAD_LAYOUT(0x0A020009u, _VQCMC_NOTIF_ENTITY)
VQCMC_PAYLOAD_LAYOUT(0x0A02000Au, _VQCMC_NOTIF_ENTITY)
VQCMC_PAYLOAD_LAYOUT(0x0A02000Bu, _VQCMC_NOTIF_ENTITY)
VQCMC_PAYLOAD_LAYOUT(0x0A02000Cu, _VQCMC_NOTIF_MIXER_LINK_SYNC)
#undef VQCMC_PAYLOAD_LAYOUT

#endif
