/*
 * vq500_sip_compose.h - the write side of a SIP element tree: text
 * primitives, fills of records that already exist, adds of new header and
 * parameter elements (records: vq500_sip_ie_records.h).
 *
 * An add appends a zero-filled element of its fixed size, fills it and
 * writes its type or kind word last. Arguments are checked before anything
 * is appended; when a later step fails (the message full, a text too long),
 * everything the add appended is taken away again (VqxMsgElementUndo), so a
 * set never keeps a half-built element of type 0. A fill writes texts first
 * and its discriminant last, and refuses bad arguments before writing.
 * Texts are NUL-terminated; a null text is skipped (nothing stored,
 * success). Element pointer out-arguments (ppOut) get the new element, or
 * null when the add failed.
 *
 * Results: 0x02000000; 0x82000009 null message, set or record; 0x8200000A a
 * value that selects nothing or a text too long for a 16-bit element (or an
 * extension header over 510 characters); 0x82000015 a header that must
 * exist is missing; the codes of VQXMsgElementAlloc unchanged (0x8200001A
 * no room). Composing into one message needs the caller's serialisation.
 */
#ifndef VQ500_SIP_COMPOSE_H
#define VQ500_SIP_COMPOSE_H

#include "vq500_sip_ie_records.h"

/* Text primitives: text and NUL; '"' text '"' NUL; len bytes. */
VQX_RESULT VQ500SipStringAdd(void* pMsg, void* pField, const char* szText);
VQX_RESULT VQ500SipStringAdd_QStr(void* pMsg, void* pField, const char* szText);
VQX_RESULT VQ500SipBytesAdd(void* pMsg, void* pSet, const void* pvBytes, u16 un16Length);

/* Fills. */
VQX_RESULT VQ500SipQvalueFill(void* pMsg, SipQvalueIe* p, u16 un16Int, u16 un16Frac);
VQX_RESULT VQ500SipStatusLineFill(void* pMsg, SipStatusLineIe* p, u16 un16Code, const char* szReason);
VQX_RESULT VQ500SipMethodFill(void* pMsg, SipMethodIe* p, u32 un32Method, const char* szText);
VQX_RESULT VQ500SipTransportParamFill(void* pMsg, SipTransportParamIe* p, u32 un32Transport, const char* szText);
VQX_RESULT VQ500SipUserParamFill(void* pMsg, SipUserParamIe* p, u32 un32UserType, const char* szText);
VQX_RESULT VQ500SipCompParamFill(void* pMsg, SipCompParamIe* p, u32 un32Comp, const char* szText);
VQX_RESULT VQ500SipFeatureParamFill(void* pMsg, SipFeatureParamIe* p, u32 un32Feature, const char* szText);
VQX_RESULT VQ500SipHostFill(void* pMsg, SipHostIe* p, u32 un32HostType, const char* szHost);
VQX_RESULT VQ500SipHostPortFill(void* pMsg, SipHostPortIe* p, u32 un32HostType, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipUserInfoFill(void* pMsg, SipUserInfoIe* p, u32 un32Type, const char* szUser, const char* szPassword);
VQX_RESULT VQ500SipUriFill(void* pMsg, SipUriIe* p, u32 un32UserInfoType, const char* szUser, const char* szPassword,
                           u32 un32HostType, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipAddrspecFill_Sip(void* pMsg, SipAddrspecIe* p, u32 un32UserInfoType, const char* szUser,
                                    const char* szPassword, u32 un32HostType, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipAddrspecFill_Sips(void* pMsg, SipAddrspecIe* p, u32 un32UserInfoType, const char* szUser,
                                     const char* szPassword, u32 un32HostType, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipAddrspecFill_Im(void* pMsg, SipAddrspecIe* p, const char* szUser, const char* szPassword,
                                   u32 un32HostType, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipTelUriFill(void* pMsg, SipTelUriIe* p, u32 un32NumType, const char* szNumber);
VQX_RESULT VQ500SipAddrspecFill_Tel(void* pMsg, SipAddrspecIe* p, u32 un32NumType, const char* szNumber);
VQX_RESULT VQ500SipAbsoluteUriFill(void* pMsg, SipAbsoluteUriIe* p, const char* szScheme, const char* szRest);
VQX_RESULT VQ500SipAddrspecFill_AbsoluteUri(void* pMsg, SipAddrspecIe* p, const char* szScheme, const char* szRest);
/* By scheme (case-blind): sip, sips, im (URI), tel (number: '+' gives the
 * global type and is not stored), mailto, http or none (absolute URI with
 * the user as its rest); others 0x8200000A. Host type: 3 for a text with
 * ':' (IPv6, brackets kept), 2 for four decimal numbers 0-255 with dots,
 * else 1. */
VQX_RESULT VQ500SipAddrspecFill(void* pMsg, SipAddrspecIe* p, const char* szScheme, const char* szUser,
                                const char* szPassword, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipDisplayNameFill(void* pMsg, SipDisplayNameIe* p, const char* szText);
VQX_RESULT VQ500SipNameAddrFill(void* pMsg, SipNameAddrIe* p, const char* szDisplay, const char* szScheme,
                                const char* szUser, const char* szPassword, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipContactParamFill(void* pMsg, SipContactParamIe* p, const char* szDisplay, const char* szScheme,
                                    const char* szUser, const char* szPassword, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipNamevalFill(void* pMsg, SipNamevalIe* p, const char* szName, const char* szValue);
VQX_RESULT VQ500SipUriHeadersFill_Header(void* pMsg, SipUriHeadersIe* p, const char* szName, const char* szValue);
VQX_RESULT VQ500SipParameterFill_Tok(void* pMsg, SipParameterIe* p, const char* szName, const char* szValue);
VQX_RESULT VQ500SipParameterFill_QStr(void* pMsg, SipParameterIe* p, const char* szName, const char* szValue);
VQX_RESULT VQ500SipAddrParamFill_strTagVal(void* pMsg, SipAddrParamIe* p, const char* szTag);
VQX_RESULT VQ500SipAddrParamFill_GenericParam(void* pMsg, SipAddrParamIe* p, const char* szName, const char* szValue);
VQX_RESULT VQ500SipRequestLineFill(void* pMsg, SipRequestLineIe* p, u32 un32Method, const char* szScheme,
                                   const char* szUser, const char* szPassword, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipRequestLineFill_ReqUri(void* pMsg, SipRequestLineIe* p, u32 un32Method,
                                          const SipAddrspecIe* pReqUri);
VQX_RESULT VQ500SipBodyFill_SinglePart_sbyOpaqueMsg(void* pMsg, SipBodyIe* p, u32 un32Ignored, const void* pvBytes,
                                                    u16 un16Length);

/* Header adds (the header type in brackets). */
VQX_RESULT VQ500SipHeaderAdd_CallId(void* pMsg, void* pSet, const char* szText);         /* 9 */
VQX_RESULT VQ500SipHeaderAdd_Organization(void* pMsg, void* pSet, const char* szText);   /* 33 */
VQX_RESULT VQ500SipHeaderAdd_MaxForwards(void* pMsg, void* pSet, u32 un32Value);         /* 30 */
VQX_RESULT VQ500SipHeaderAdd_Expires(void* pMsg, void* pSet, u32 un32Seconds);           /* 26 */
VQX_RESULT VQ500SipHeaderAdd_CSeq(void* pMsg, void* pSet, u32 un32Method, u32 un32Seq); /* 22 */
VQX_RESULT VQ500SipHeaderAdd_ContentType(void* pMsg, void* pSet, u32 un32Type, u32 un32SubType); /* 20 */
VQX_RESULT VQ500SipHeaderAdd_Contact_Star(void* pMsg, void* pSet);                       /* 12 */
VQX_RESULT VQ500SipHeaderAdd_Contact(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                     const char* szUser, const char* szPassword, const char* szHost, u32 un32Port,
                                     void** ppOut); /* 12 */
VQX_RESULT VQ500SipHeaderAdd_To(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                const char* szUser, const char* szPassword, const char* szHost, u32 un32Port);
VQX_RESULT VQ500SipHeaderAdd_From(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                  const char* szUser, const char* szPassword, const char* szHost, u32 un32Port);
/* Replaces as URI headers when call-id and both tags are given and the
 * address is SIP, SIPS or IM. */
VQX_RESULT VQ500SipHeaderAdd_ReferTo(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                     const char* szUser, const char* szPassword, const char* szHost, u32 un32Port,
                                     const char* szCallId, const char* szToTag, const char* szFromTag); /* 64 */
/* A loose-route flag on a scheme other than sip or sips: 0x8200000A before
 * anything is added. */
VQX_RESULT VQ500SipHeaderAdd_Route(void* pMsg, void* pSet, i32 n32LooseRoute, const char* szScheme,
                                   const char* szHost, u32 un32Port, void** ppOut); /* 43 */
VQX_RESULT VQ500SipHeaderAdd_RecordRoute(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                         const char* szUser, const char* szPassword, const char* szHost,
                                         u32 un32Port, const char* szParams); /* 38 */
VQX_RESULT VQ500SipHeaderAdd_Via(void* pMsg, void* pSet, u32 un32Transport, u32 un32HostType, const char* szHost,
                                 u32 un32Port, void** ppOut); /* 54 */
VQX_RESULT VQ500SipHeaderAdd_Warning(void* pMsg, void* pSet, u16 un16Code, const char* szAgent, const char* szText);
VQX_RESULT VQ500SipHeaderAdd_Event(void* pMsg, void* pSet, const char* szPackage, const char* szId); /* 60 */
VQX_RESULT VQ500SipHeaderAdd_Replaces(void* pMsg, void* pSet, const char* szCallId, const char* szToTag,
                                      const char* szFromTag); /* 68 */
VQX_RESULT VQ500SipHeaderAdd_SubScState(void* pMsg, void* pSet, u32 un32State, u32 un32Expires, u32 un32Reason);
VQX_RESULT VQ500SipHeaderAdd_Accept(void* pMsg, void* pSet, const char* szType, const char* szSubType); /* 1 */
/* "name:value" as one text; over 510 characters 0x8200000A. */
VQX_RESULT VQ500SipHeaderAdd_Extension(void* pMsg, void* pSet, const char* szName, const char* szValue); /* 92 */
/* Into the first Accept-Language header, added when there is none. */
VQX_RESULT VQ500SipAcceptLanguageAdd(void* pMsg, void* pSet, const char* szLanguage); /* 3 */
/* A tag parameter on the first From header; none: 0x82000015. */
VQX_RESULT VQ500SipHeaderAdd_FromTag(void* pMsg, void* pSet, const char* szTag);

/* Parameter adds (kind word first where the set has kinds). */
VQX_RESULT VQ500SipContactParamsAdd_StandardParam_QValue(void* pMsg, void* pSet, u16 un16Int, u16 un16Frac);
VQX_RESULT VQ500SipContactParamsAdd_StandardParam_Action(void* pMsg, void* pSet, u32 un32Action);
VQX_RESULT VQ500SipContactParamsAdd_StandardParam_Expires(void* pMsg, void* pSet, u32 un32Seconds);
VQX_RESULT VQ500SipContactParamsAdd_FeatureParam(void* pMsg, void* pSet, u32 un32Feature, const char* szText);
VQX_RESULT VQ500SipContactParamsAdd_ContactExtn(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipUriParamAdd_Transport(void* pMsg, void* pSet, u32 un32Transport, const char* szText);
VQX_RESULT VQ500SipUriParamAdd_UserParam(void* pMsg, void* pSet, u32 un32UserType, const char* szText);
VQX_RESULT VQ500SipUriParamAdd_Method(void* pMsg, void* pSet, u32 un32Method, const char* szText);
VQX_RESULT VQ500SipUriParamAdd_Ttl(void* pMsg, void* pSet, u16 un16Ttl);
VQX_RESULT VQ500SipUriParamAdd_MAddr(void* pMsg, void* pSet, u32 un32HostType, const char* szHost);
VQX_RESULT VQ500SipUriParamAdd_Lr(void* pMsg, void* pSet);
VQX_RESULT VQ500SipUriParamAdd_TspDomain(void* pMsg, void* pSet, u32 un32HostType, const char* szHost);
VQX_RESULT VQ500SipUriParamAdd_strPhoneContext(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipUriParamAdd_strIsdnSubAddr(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipUriParamAdd_strPostd(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipUriParamAdd_Comp(void* pMsg, void* pSet, u32 un32Comp, const char* szText);
VQX_RESULT VQ500SipUriParamAdd_OtherParam(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipTelParamAdd_strIsdnSubAddr(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipTelParamAdd_strPostd(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipTelParamAdd_strphCntxt(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipTelParamAdd_TspDomain(void* pMsg, void* pSet, u32 un32HostType, const char* szHost);
VQX_RESULT VQ500SipTelParamAdd_strRn(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipTelParamAdd_Npdi(void* pMsg, void* pSet);
VQX_RESULT VQ500SipTelParamAdd_strCic(void* pMsg, void* pSet, const char* szText);
VQX_RESULT VQ500SipTelParamAdd_ExtnParameter(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipAddrParamAdd_strTagVal(void* pMsg, void* pSet, const char* szTag);
VQX_RESULT VQ500SipAddrParamAdd_GenericParam(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipParamaterAdd_Tok(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipParamaterAdd_QStr(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipMethodAdd(void* pMsg, void* pSet, u32 un32Method, const char* szText);
VQX_RESULT VQ500SipNamevalMsgsetAdd(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipUriHeadersAdd_Header(void* pMsg, void* pSet, const char* szName, const char* szValue);
VQX_RESULT VQ500SipContactParamAdd(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                   const char* szUser, const char* szPassword, const char* szHost, u32 un32Port,
                                   void** ppOut);

/* A token parameter for every name=value pair of szText: a name is the
 * next piece ending at '=', a value the next ending at ';' (runs of the
 * delimiter before a piece skipped, leading spaces dropped); the split ends
 * at the first name or value missing. The whole text is split. */
VQX_RESULT VQ500SipParameterFillStr(void* pMsg, void* pSet, const char* szText);

/* On an existing address spec. Lr and Transport: SIP and SIPS only
 * (0x8200000A). OtherParam: SIP, SIPS, IM into the URI parameters, tel as a
 * tel extension parameter, other kinds 0x82000001. */
VQX_RESULT VQ500SipAddrspecAdd_Lr(void* pMsg, SipAddrspecIe* p);
VQX_RESULT VQ500SipAddrspecAdd_Transport(void* pMsg, SipAddrspecIe* p, u32 un32Transport, const char* szText);
VQX_RESULT VQ500SipAddrSpecAdd_OtherParam(void* pMsg, SipAddrspecIe* p, const char* szName, const char* szValue);
VQX_RESULT VQ500SipUriHeadersAdd_HeaderExt(void* pMsg, SipUriHeadersIe* p, const char* szName, const char* szValue);

#endif
