/*
 * vqcmc_attr_records.h - payload records of the media, join and transfer
 * attributes and of the generic headers, with their element layouts.
 *
 * Model. A record is a fixed structure inside a call/media control message
 * (host byte order); a VQXMsgElementSet word in it names a set of elements
 * stored after the structure in the same message (docs/msg-element-sets.md).
 * Bytes the system only carries are kept as reserved arrays so that a copy
 * moves them unchanged. The value classes of cmc/msg read and write
 * these records; the core library's copies duplicate them between messages.
 * Threads: none; plain data.
 */
#ifndef VQCMC_ATTR_RECORDS_H
#define VQCMC_ATTR_RECORDS_H

#include <cstddef>

#include "vqx_msg_element.h"
#include "vqx_types.h"

/* ------------------------------------------------------------ enumerations */

/* Mixer levels: the server's signed values, passed through unchanged; the
 * named values are the mixer attribute's defaults. */
enum _VQCMC_VAD_NOISE_FLOOR_LEVEL : i32 { VQCMC_VAD_NOISE_FLOOR_LEVEL_DEFAULT = -30 };
enum _VQCMC_NOISE_SUPPRESSION_LIMIT_LEVEL : i32 { VQCMC_NOISE_SUPPRESSION_LIMIT_LEVEL_DEFAULT = 30 };
enum _VQCMC_AGC_TARGET_POWER_LEVEL : i32 { VQCMC_AGC_TARGET_POWER_LEVEL_DEFAULT = -5 };
enum _VQCMC_AGC_LOSS_LIMIT_LEVEL : i32 { VQCMC_AGC_LOSS_LIMIT_LEVEL_DEFAULT = -10 };
enum _VQCMC_AGC_GAIN_LIMIT_LEVEL : i32 { VQCMC_AGC_GAIN_LIMIT_LEVEL_DEFAULT = 5 };

/* Call transfer and addressing values: the server's codes, carried as given. */
enum _VQCMC_CALL_TRANSFER_TYPE : u32 {};
enum _VQCMC_CALL_NATURE_OF_ADDRESS : u32 {};
enum _VQCMC_CALL_NUMBERING_PLAN : u32 {};

/* Number type of an extra number; type 10 is inserted even without digits. */
enum _VQCMC_PROTOCOL_NUMBER_TYPE : u32 { VQCMC_PROTOCOL_NUMBER_TYPE_INSERTED_EMPTY = 10 };

/* ISUP variant of SS7 raw data; 5 is what a cleared object holds. */
enum _VQCMC_SS7_ISUP_PROTOCOL_VARIANT : u32 { VQCMC_SS7_ISUP_PROTOCOL_VARIANT_DEFAULT = 5 };

/* Generic header types: the first u32 of every generic header element. */
enum _VQCMC_GENERIC_HEADER_TYPE : u32 {
  VQCMC_GENERIC_HEADER_UUI = 0,
  VQCMC_GENERIC_HEADER_EXTRA_NUMBER = 1,
  VQCMC_GENERIC_HEADER_CHARGE_NUMBER = 2,
  VQCMC_GENERIC_HEADER_SS7_RAW_DATA = 3,
};

/* --------------------------------------------- play, record, event records */

/* Files to play: one play file element per file in setPlayFileParams. */
typedef struct _VQCMC_PLAY_ATTRIBUTE {
  VQXMsgElementSet setPlayFileParams;
  u8 abyParams[16];  /* filled by the caller, carried unchanged */
} _VQCMC_PLAY_ATTRIBUTE;
static_assert(sizeof(_VQCMC_PLAY_ATTRIBUTE) == 20);
static_assert(offsetof(_VQCMC_PLAY_ATTRIBUTE, setPlayFileParams) == 0);
static_assert(offsetof(_VQCMC_PLAY_ATTRIBUTE, abyParams) == 4);

/* Files to record to: one NUL-terminated URL element per file. */
typedef struct _VQCMC_RECORD_ATTRIBUTE {
  VQXMsgElementSet setRecordFilePaths;
  u8 abyParams[76];  /* filled by the caller, carried unchanged */
} _VQCMC_RECORD_ATTRIBUTE;
static_assert(sizeof(_VQCMC_RECORD_ATTRIBUTE) == 80);
static_assert(offsetof(_VQCMC_RECORD_ATTRIBUTE, setRecordFilePaths) == 0);
static_assert(offsetof(_VQCMC_RECORD_ATTRIBUTE, abyParams) == 4);

/* Tones to play or collect: one NUL-terminated tone string element each. */
typedef struct _VQCMC_EVENT_ATTRIBUTE {
  VQXMsgElementSet setTones;
  u16 un16InterToneTimeout;
  u16 un16Reserved;
} _VQCMC_EVENT_ATTRIBUTE;
static_assert(sizeof(_VQCMC_EVENT_ATTRIBUTE) == 8);
static_assert(offsetof(_VQCMC_EVENT_ATTRIBUTE, setTones) == 0);
static_assert(offsetof(_VQCMC_EVENT_ATTRIBUTE, un16InterToneTimeout) == 4);
static_assert(offsetof(_VQCMC_EVENT_ATTRIBUTE, un16Reserved) == 6);

/* Fixed bytes the client objects set in the carried part of the records:
 * the play index and paused flag of a play, the paused flag of a record. */
#define VQCMC_PLAY_OFFSET_INDEX 15u
#define VQCMC_PLAY_OFFSET_PAUSED 16u
#define VQCMC_RECORD_OFFSET_PAUSED 70u
/* First carried byte of the three records (after the set word). */
#define VQCMC_MEDIA_ATTR_OFFSET_CARRIED 4u

/* Play file element: three parameters, then the URL and its NUL from offset
 * 12; the element is URL length + 16 bytes (three zero bytes after the NUL). */
typedef struct _VQCMC_PLAY_FILE_PARAMS {
  u32 aun32Params[3];
  char szUrl[4];  /* the URL runs on to the end of the element */
} _VQCMC_PLAY_FILE_PARAMS;
#define VQCMC_PLAY_FILE_OFFSET_URL 12u
#define VQCMC_PLAY_FILE_ELEMENT_EXTRA 16u
static_assert(offsetof(_VQCMC_PLAY_FILE_PARAMS, szUrl) == VQCMC_PLAY_FILE_OFFSET_URL);
static_assert(sizeof(_VQCMC_PLAY_FILE_PARAMS) == VQCMC_PLAY_FILE_ELEMENT_EXTRA);

/* URL rule of play and record paths: a path without "://" gets this prefix. */
#define VQCMC_FILE_URL_PREFIX "file://"
#define VQCMC_FILE_URL_MARK "://"

/* Inter-tone timeout of a fresh event attribute. */
#define VQCMC_EVENT_INTER_TONE_TIMEOUT_DEFAULT 60u

/* --------------------------------------------------- join and transfer */

/* Leg-leg join: byte 0 full duplex (1 by default); the 8 bytes of a join
 * attribute travel as they stand. */
typedef struct _VQCMC_JOIN_ATTRIBUTE {
  u8 fFullDuplex;
  u8 abyReserved[7];
} _VQCMC_JOIN_ATTRIBUTE;
static_assert(sizeof(_VQCMC_JOIN_ATTRIBUTE) == 8);
static_assert(offsetof(_VQCMC_JOIN_ATTRIBUTE, fFullDuplex) == 0);

#define VQCMC_TRANSFER_NUMBER_SIZE 64u
typedef struct _VQCMC_CALL_TRANSFER {
  _VQCMC_CALL_TRANSFER_TYPE Type;
  char szTransferNumber[VQCMC_TRANSFER_NUMBER_SIZE];  /* NUL-terminated */
  _VQCMC_CALL_NATURE_OF_ADDRESS CallingNoa;
  _VQCMC_CALL_NUMBERING_PLAN CallingNpi;
  u8 abyReserved[12];  /* carried unchanged */
} _VQCMC_CALL_TRANSFER;
static_assert(sizeof(_VQCMC_CALL_TRANSFER) == 88);
static_assert(offsetof(_VQCMC_CALL_TRANSFER, Type) == 0);
static_assert(offsetof(_VQCMC_CALL_TRANSFER, szTransferNumber) == 4);
static_assert(offsetof(_VQCMC_CALL_TRANSFER, CallingNoa) == 68);
static_assert(offsetof(_VQCMC_CALL_TRANSFER, CallingNpi) == 72);
static_assert(offsetof(_VQCMC_CALL_TRANSFER, abyReserved) == 76);

/* Digit-collected notification: the fields after the common 32-byte head;
 * the digits run from offset 40 to the end of the used payload. */
#define VQCMC_DIGIT_COLLECTED_OFFSET_VALID 32u
#define VQCMC_DIGIT_COLLECTED_OFFSET_MAP 36u
#define VQCMC_DIGIT_COLLECTED_OFFSET_DIGITS 40u

/* ------------------------------------------------------ generic headers */

/* Where the generic-header set lies in a protocol attribute payload. */
#define VQCMC_PROTOCOL_OFFSET_GENERIC_HEADERS 8u

/* Type 0: user-to-user information; one element with the bytes in setData. */
typedef struct _VQCMC_PROTOCOL_UUI_DATA {
  _VQCMC_GENERIC_HEADER_TYPE Type;
  VQXMsgElementSet setData;
  u8 abyReserved[12];
} _VQCMC_PROTOCOL_UUI_DATA;
static_assert(sizeof(_VQCMC_PROTOCOL_UUI_DATA) == 20);
static_assert(offsetof(_VQCMC_PROTOCOL_UUI_DATA, Type) == 0);
static_assert(offsetof(_VQCMC_PROTOCOL_UUI_DATA, setData) == 4);
static_assert(offsetof(_VQCMC_PROTOCOL_UUI_DATA, abyReserved) == 8);

/* Type 1: extra number; one NUL-terminated digit element in setDigits
 * (none when the number is empty). */
typedef struct _VQCMC_PROTOCOL_EXTRA_NUMBER {
  _VQCMC_GENERIC_HEADER_TYPE Type;
  _VQCMC_PROTOCOL_NUMBER_TYPE NumberType;
  u32 un32Noa;
  u32 un32Npi;
  u32 un32Presentation;
  u32 un32Screening;
  u8 un8NumberQualifierInd;
  u8 un8Reason;
  u8 un8Counter;
  u8 un8Reserved;  /* carried unchanged */
  VQXMsgElementSet setDigits;
  u8 abyReserved[16];  /* carried unchanged */
} _VQCMC_PROTOCOL_EXTRA_NUMBER;
static_assert(sizeof(_VQCMC_PROTOCOL_EXTRA_NUMBER) == 48);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, NumberType) == 4);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, un32Noa) == 8);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, un32Npi) == 12);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, un32Presentation) == 16);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, un32Screening) == 20);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, un8NumberQualifierInd) == 24);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, un8Reason) == 25);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, un8Counter) == 26);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, setDigits) == 28);
static_assert(offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, abyReserved) == 32);

/* Type 2: charge number, two values. */
typedef struct _VQCMC_PROTOCOL_CHARGE_NUMBER {
  _VQCMC_GENERIC_HEADER_TYPE Type;
  u8 un8Value1;
  u8 un8Value2;
  u8 abyReserved[2];
} _VQCMC_PROTOCOL_CHARGE_NUMBER;
static_assert(sizeof(_VQCMC_PROTOCOL_CHARGE_NUMBER) == 8);
static_assert(offsetof(_VQCMC_PROTOCOL_CHARGE_NUMBER, un8Value1) == 4);
static_assert(offsetof(_VQCMC_PROTOCOL_CHARGE_NUMBER, un8Value2) == 5);

/* Type 3: SS7 raw data; one element with the ISUP bytes in setData. */
typedef struct _VQCMC_PROTOCOL_SS7_RAW_DATA {
  _VQCMC_GENERIC_HEADER_TYPE Type;
  VQXMsgElementSet setData;
  _VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant;
  u8 abyReserved[8];
} _VQCMC_PROTOCOL_SS7_RAW_DATA;
static_assert(sizeof(_VQCMC_PROTOCOL_SS7_RAW_DATA) == 20);
static_assert(offsetof(_VQCMC_PROTOCOL_SS7_RAW_DATA, setData) == 4);
static_assert(offsetof(_VQCMC_PROTOCOL_SS7_RAW_DATA, Variant) == 8);
static_assert(offsetof(_VQCMC_PROTOCOL_SS7_RAW_DATA, abyReserved) == 12);

/* Longest data a generic header carries; longer data is cut to it. */
#define VQCMC_UUI_MAX_SIZE 2048u
#define VQCMC_SS7_RAW_DATA_MAX_SIZE 300u

#endif
