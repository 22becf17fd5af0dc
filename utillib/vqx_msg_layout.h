/*
 * vqx_msg_layout.h - where the utility library finds things in a host message.
 *
 * A host message is one contiguous buffer: an 88-byte header followed by the
 * payload. The header type itself belongs to the host library, which sits
 * above this one; the message-element sets (vqx_msg_element.h) only need the
 * handful of header fields named here. The host library static_asserts its
 * header record against these constants, so the two can never drift apart.
 *
 * All fields are in host byte order while a message is held by an
 * application (the host library restores it on reception).
 */
#ifndef VQX_MSG_LAYOUT_H
#define VQX_MSG_LAYOUT_H

#include "vqx_types.h"

/* Size of the header; the payload starts right after it. */
#define VQX_MSG_HEADER_SIZE 88u

/* u32 message id (group in the upper 16 bits). Copied by a resize. */
#define VQX_MSG_OFFSET_MSG_ID 0u
#define VQX_MSG_SIZE_MSG_ID 4u

/* u32 message type (1 request, 2 response, 4 event). Copied by a resize. */
#define VQX_MSG_OFFSET_MSG_TYPE 4u
#define VQX_MSG_SIZE_MSG_TYPE 4u

/* u32 size of the whole buffer, header included. */
#define VQX_MSG_OFFSET_LENGTH 8u
#define VQX_MSG_SIZE_LENGTH 4u

/* u32 bytes of payload in use; element sets append at this offset. */
#define VQX_MSG_OFFSET_PAYLOAD_LENGTH 12u
#define VQX_MSG_SIZE_PAYLOAD_LENGTH 4u

/* u32 payload capacity (buffer size - header size). */
#define VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH 16u
#define VQX_MSG_SIZE_PAYLOAD_MAX_LENGTH 4u

/* u32 offset of the payload from the start of the buffer (the header size). */
#define VQX_MSG_OFFSET_PAYLOAD_START 20u
#define VQX_MSG_SIZE_PAYLOAD_START 4u

/* u32 peer handle (adapter or remote host). Copied by a resize. */
#define VQX_MSG_OFFSET_ADAPTER 28u
#define VQX_MSG_SIZE_ADAPTER 4u

/* u64 opaque values of the application. Copied by a resize. */
#define VQX_MSG_OFFSET_USER_CONTEXT1 32u
#define VQX_MSG_SIZE_USER_CONTEXT1 8u
#define VQX_MSG_OFFSET_USER_CONTEXT2 48u
#define VQX_MSG_SIZE_USER_CONTEXT2 8u

/* The payload begins at the header size. */
#define VQX_MSG_OFFSET_PAYLOAD VQX_MSG_HEADER_SIZE

/*
 * An element set ends with an 8-byte end marker (trailer) written right
 * before the end of the used payload: its last 8 bytes, that is at
 * VQX_MSG_OFFSET_PAYLOAD + un32PayloadLength - VQX_MSG_SET_TRAILER_SIZE.
 * The marker's value selects the set layout; see vqx_msg_element.h.
 */
#define VQX_MSG_SET_TRAILER_SIZE 8u

#endif
