/*
 * vqcmc_msg_catalogue.h - the call/media control message vocabulary: one id
 * constant and one payload record per named message, and the catalogue
 * table that the dispatchers and the application objects look ids up in.
 *
 * Model. Every message travels as a host message (88-byte header, then the
 * payload, host byte order). All payloads share a 32-byte head: the server's
 * mapping id at 8, the u32 1 that marks a payload the core library built at
 * 24, the result (responses) or entity word at 28; from 36 bytes on, word 8
 * at 32 is an entity id (36: a link's second entity). The rows themselves
 * live in vqcmc_msg_catalogue.def, kept once and expanded here and in the
 * table; the field layouts are in vqcmc_payloads.h.
 * Threads: none; constant data.
 */
#ifndef VQCMC_MSG_CATALOGUE_H
#define VQCMC_MSG_CATALOGUE_H

#include <cstddef>

#include "vqcmc_payloads.h"
#include "vqx_types.h"

/* Message groups and kinds (the header's message type). */
#define VQCMC_MSG_GROUP_PUBLIC 0x0A01u
#define VQCMC_MSG_GROUP_LIB 0x0A02u
#define VQCMC_MSG_KIND_COMMAND 1u
#define VQCMC_MSG_KIND_RESPONSE 2u
#define VQCMC_MSG_KIND_NOTIFICATION 4u

/* Payload offsets shared by every message. */
#define VQCMC_PAYLOAD_OFFSET_MAPPING_ID 8u
#define VQCMC_PAYLOAD_OFFSET_LIB_BUILT 24u
#define VQCMC_PAYLOAD_OFFSET_WORD7 28u     /* response result, or an entity id */
#define VQCMC_PAYLOAD_OFFSET_WORD8 32u     /* entity id */
#define VQCMC_PAYLOAD_OFFSET_WORD9 36u     /* a link's second entity */
#define VQCMC_PAYLOAD_LIB_BUILT_MARK 1u
/* Element room a command asks for after its payload record. */
#define VQCMC_MSG_ELEMENT_ROOM 4096u

/* The id constants. */
#define VQCMC_UNNAMED_ROW(id, entity, key)
#define VQCMC_ROW(id, name, kinds, dir, size, room, entity, key) constexpr u32 name = id;
#include "vqcmc_msg_catalogue.def"
#undef VQCMC_ROW
#undef VQCMC_UNNAMED_ROW

/* One record type per named message: _NAME, of the catalogue's size (a
 * server-sized notification: the 40 bytes it carries at least). */
#define VQCMC_UNNAMED_ROW(id, entity, key)
#define VQCMC_ROW(id, name, kinds, dir, size, room, entity, key) \
  struct _##name : VqCmcPayloadOf<id, size> {};                  \
  static_assert(sizeof(_##name) == (size == 0 ? 40u : size), #name " catalogue size");
#include "vqcmc_msg_catalogue.def"
#undef VQCMC_ROW
#undef VQCMC_UNNAMED_ROW

/* Where a dispatcher finds the entity a server message concerns. */
enum class VqCmcEntityKey : u8 { None, Context, Word7, Word8, Creates };
/* Bits of the entity kinds whose dispatcher accepts an id. */
#define VQCMC_CATALOGUE_LEG 1u
#define VQCMC_CATALOGUE_MIXER 2u
enum class VqCmcDirection : u8 { Command, ServerToApp, LibToApp };
enum class VqCmcElementRoom : u8 { None, Elements, PlayElements };

typedef struct _VQCMC_CATALOGUE_ROW {
  u32 un32Id;
  const char* pszName;       /* "(no name)" for the two unnamed server ids */
  u8 un8Kinds;               /* VQCMC_MSG_KIND_... bits */
  VqCmcDirection Direction;
  u16 un16Size;              /* 0: set by the server */
  VqCmcElementRoom Room;
  u8 un8Entities;            /* VQCMC_CATALOGUE_... bits; 0 library-level */
  VqCmcEntityKey Key;
} _VQCMC_CATALOGUE_ROW;

/* Number of rows (73 named, 2 unnamed) and the number of named ones. */
#define VQCMC_CATALOGUE_NB_ROWS 75u
#define VQCMC_CATALOGUE_NB_NAMED 73u

/* The rows, sorted by id. */
const _VQCMC_CATALOGUE_ROW* VqCmcCatalogueRows(void);
/* The row of an id, or null when the catalogue does not hold it. */
const _VQCMC_CATALOGUE_ROW* VqCmcCatalogueFind(u32 un32Id);
/* The name of an id; "(unknown)" when the catalogue does not hold it. */
const char* VqCmcCatalogueName(u32 un32Id);
/*
 * Smallest payload a server message of that id and kind must carry for the
 * dispatcher to read its entity key: 32 keyed by the context or word 7
 * (the result of a response sits at 28), 36 by word 8; 0 when the id is not
 * a server message.
 */
u32 VqCmcCatalogueMinPayload(u32 un32Id, u32 un32Kind);

#endif
