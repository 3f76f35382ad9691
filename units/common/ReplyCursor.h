// A bounded reader over one section of a reply's info field. A field that does
// not fit sets a sticky overflow: it and every later read fail and leave their
// destinations as they were, so a decoder reads a run of fields and checks ok()
// once at the end (and where a value read steers what follows).
#pragma once
#include <cstring>

#include "units/common/RecordBytes.h"

namespace units {

class ReplyCursor {
 public:
  // A negative length is no bytes at all.
  ReplyCursor(const unsigned char* data, int length) : data_(data), len_(length < 0 ? 0 : length) {}

  int pos() const { return pos_; }
  int len() const { return len_; }
  // False once a field did not fit.
  bool ok() const { return !overflowed_; }
  // Offset at which the first field that did not fit would have ended.
  int overflowEnd() const { return overflowEnd_; }

  // The next n bytes, or nullptr when they are not there.
  const unsigned char* Take(long n) {
    if (!Fits(n)) return nullptr;
    const unsigned char* p = data_ + pos_;
    pos_ += static_cast<int>(n);
    return p;
  }
  bool Read(unsigned char& v) {
    const unsigned char* p = Take(1);
    if (p) v = *p;
    return p != nullptr;
  }
  bool CopyTo(void* dst, long n) {
    const unsigned char* p = Take(n);
    if (p && n > 0) std::memcpy(dst, p, static_cast<std::size_t>(n));
    return p != nullptr;
  }
  // A 4-byte value into a record field, `replacement` for the no-value marker.
  bool Value(unsigned char* field, const unsigned char* replacement) {
    const unsigned char* p = Take(4);
    if (p) StoreValue(field, p, replacement);
    return p != nullptr;
  }
  // Moves past counted bytes without reading them; may go beyond the length.
  void Skip(long n) {
    if (!overflowed_) pos_ = static_cast<int>(static_cast<long>(pos_) + n);
  }
  // True when the position has gone beyond the length (after skips).
  bool Beyond() const { return pos_ > len_; }

 private:
  bool Fits(long n) {
    if (overflowed_) return false;
    const long end = static_cast<long>(pos_) + n;
    if (end <= len_) return true;
    overflowed_ = true;
    overflowEnd_ = static_cast<int>(end);
    return false;
  }

  const unsigned char* data_;
  int len_;
  int pos_ = 0;
  int overflowEnd_ = 0;
  bool overflowed_ = false;
};

}  // namespace units
