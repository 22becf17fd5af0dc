/*
 * vq500_sip_ie.h - the SIP/SDP information-element library: records and
 * their copies (vq500_ie_copy.h and the generated record headers), search
 * (vq500_sip_find.h), composition (vq500_sip_compose.h), texts (vq500_sip_text.h), digest
 * credentials (vq500_sip_digest.h), Remote-Party-ID
 * (vq500_sip_rpi.h) and the
 * names of every enumeration, status code and SIP message id.
 */
#ifndef VQ500_SIP_IE_H
#define VQ500_SIP_IE_H

#include "vq500_ie_copy.h"
#include "vq500_sip_compose.h"
#include "vq500_sip_digest.h"
#include "vq500_sip_find.h"
#include "vq500_sip_rpi.h"
#include "vq500_sip_text.h"
#include "vq500_ie_names.h"
#include "vq500_sdp_ie_records.h"
#include "vq500_sip_ie_records.h"

#endif
