/*
 * vqcafvariant.h - a tagged value: empty, or an unsigned 32-bit number, with
 * its text form (used to build index segments of configuration paths).
 */
#ifndef VQCAFVARIANT_H
#define VQCAFVARIANT_H

#include "vqcafstring.h"
#include "vqx_types.h"

namespace VQCAF {

enum _VQCAF_VARIANT_TYPE : u32 {
  VQCAF_VARIANT_TYPE_NULL = 0,
  VQCAF_VARIANT_TYPE_UINT32 = 1,
};

class CVQCAFVariant {
 public:
  CVQCAFVariant() = default;
  explicit CVQCAFVariant(unsigned int un32Value) : mType(VQCAF_VARIANT_TYPE_UINT32), mun32Value(un32Value) {}

  _VQCAF_VARIANT_TYPE GetType() const { return mType; }

  /* An unsigned 32-bit value formatted with "%d" (taken as a signed 32-bit
   * integer: 0xFFFFFFFF gives "-1"); "" when empty. */
  CVQCAFString ToString() const;

 private:
  _VQCAF_VARIANT_TYPE mType = VQCAF_VARIANT_TYPE_NULL;
  u32 mun32Value = 0;
};

}  // namespace VQCAF

#endif
