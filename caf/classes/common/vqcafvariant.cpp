/*
 * vqcafvariant.cpp - text form of a variant.
 */
#include "vqcafvariant.h"

namespace VQCAF {

CVQCAFString CVQCAFVariant::ToString() const {
  CVQCAFString strText;
  if (mType == VQCAF_VARIANT_TYPE_UINT32) strText.Format("%d", static_cast<i32>(mun32Value));
  return strText;
}

}  // namespace VQCAF
