/*
 * vq500_ie_copy_internal.h - the copy descriptors and the copy core (inside
 * the library only).
 *
 * Each record is described once, as data generated from the schema: its
 * members in copy order (kind, offset, failure text, embedded record or list
 * copy), and for a choice the discriminant offset and the alternatives by
 * value range. The core (vq500_sip_ie_cpy.cpp) walks these descriptors; the
 * family (vq500_sip_ie_cpy.cpp, vq500_sdp_ie_cpy.cpp) gives the
 * discriminant rule and the file name of the log line.
 */
#ifndef VQ500_IE_COPY_INTERNAL_H
#define VQ500_IE_COPY_INTERNAL_H

#include "vq500_ie_copy.h"

/* Size of the destination of a four-argument call: not known, not checked. */
#define VQX_IE_SIZE_UNKNOWN 0xFFFFFFFFu

enum : u8 {
    IE_KIND_U8,     /* one byte, never swapped */
    IE_KIND_U16,    /* swapped by the swap flag */
    IE_KIND_U32,    /* swapped by the swap flag (booleans, enumerations) */
    IE_KIND_STRING, /* set of bytes duplicated as they are (strings, u8 sets) */
    IE_KIND_SET,    /* set of records, through a list copy */
    IE_KIND_REC,    /* embedded record at the member offset */
};

enum : u8 {
    IE_OTHERS_FAIL,    /* an unlisted value fails with 0x8200000A */
    IE_OTHERS_NOTHING, /* an unlisted value copies nothing more */
    IE_OTHERS_DEFAULT, /* an unlisted value copies the default alternative */
};

struct IeRecordDesc;
struct IeListDesc;

/* How a family reads a choice discriminant. */
struct IeFamily {
    u32 (*pfnDiscriminant)(const IeCopyContext* pContext, const void* pvWord);
    const char* szFile; /* source path; its base name goes into log lines */
};

struct IeMemberDesc {
    const char* szText;         /* failure text of this member */
    const IeRecordDesc* pRec;   /* IE_KIND_REC */
    const IeListDesc* pList;    /* IE_KIND_SET */
    u16 un16Offset;
    u8 byKind;
};

/* Values un32Low..un32High copy members un16First.. (un16Count of them; 0:
 * nothing more). Sorted, not overlapping. */
struct IeAltDesc {
    u32 un32Low;
    u32 un32High;
    u16 un16First;
    u16 un16Count;
};

struct IeRecordDesc {
    const IeFamily* pFamily;
    const char* szCopy;     /* operation name */
    const char* szLabel;    /* label of its log lines */
    const char* szSelfText; /* "<operation> Failed", for an element too small */
    const char* szNullText; /* failure text of a null record */
    const IeMemberDesc* pMembers; /* members before the union, then each alternative's */
    const IeAltDesc* pAlts;       /* un16AltCount sorted, then the default one */
    u16 un16Size;     /* bytes the record takes (a dispatcher: its type word) */
    u16 un16PreCount; /* members copied before the choice */
    u16 un16AltCount;
    u16 un16Disc;     /* offset of the discriminant */
    i16 n16DefaultAlt;
    u8 byOthers;
    u8 fChoice;
    u8 fValueLog;     /* log lines carry the value field */
};

struct IeListDesc {
    const char* szName;
    const char* szLabel;
    const char* szText; /* "VQXMsgElementDupSet for ... Failed" */
    const IeRecordDesc* pRec;
};

extern const IeFamily g_kIeFamilySip;
extern const IeFamily g_kIeFamilySdp;

/* Public entries of a record copy and a list copy; un32Avail is the element
 * size of the five-argument form, VQX_IE_SIZE_UNKNOWN otherwise. */
i32 VqxIeCopyEntry(const IeCopyContext* pContext, const IeRecordDesc* pRec, const void* pvSrc, void* pDstMsg,
                   void* pvDst, u32 un32Avail);
i32 VqxIeListEntry(const IeCopyContext* pContext, const IeListDesc* pList, const void* pSrcSet, void* pDstMsg,
                   void* pDstSet, u32 un32Avail);

/* Base name of a source path (log lines): the part after the last slash or
 * backslash that is followed by a further character, within the first 256
 * characters. */
const char* VqxIeBaseName(const char* szPath);

#endif
