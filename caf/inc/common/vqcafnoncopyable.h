/*
 * vqcafnoncopyable.h - base of the framework classes that must not be copied
 * (locks, files, pools: anything that owns a system resource or hands out
 * pointers into itself).
 */
#ifndef VQCAFNONCOPYABLE_H
#define VQCAFNONCOPYABLE_H

namespace VQCAF {

class CVQCAFNonCopyable {
 protected:
  CVQCAFNonCopyable() = default;
  ~CVQCAFNonCopyable() = default;

 public:
  CVQCAFNonCopyable(const CVQCAFNonCopyable&) = delete;
  CVQCAFNonCopyable& operator=(const CVQCAFNonCopyable&) = delete;
};

}  // namespace VQCAF

#endif
