// A bounded reader over one section of a reply's info field: every read is
// checked against the length first, and the end offset of the first field that
// did not fit is kept for the decoder's overflow message.
#pragma once
#include <cstring>

namespace units {

class ReplyCursor {
 public:
  // A negative length is no bytes at all.
  ReplyCursor(const unsigned char* data, int length) : data_(data), len_(length < 0 ? 0 : length) {}

  int pos() const { return pos_; }
  int len() const { return len_; }
  // Offset at which the field that did not fit would have ended.
  int overflowEnd() const { return overflowEnd_; }

  // True when n more bytes are there; otherwise remembers where they would end.
  bool Need(long n) {
    const long end = static_cast<long>(pos_) + n;
    if (end <= len_) return true;
    overflowEnd_ = static_cast<int>(end);
    return false;
  }
  // The reads below must follow a successful Need().
  unsigned char U8() { return data_[pos_++]; }
  const unsigned char* Take(int n) {
    const unsigned char* p = data_ + pos_;
    pos_ += n;
    return p;
  }
  void CopyTo(void* dst, int n) { std::memcpy(dst, Take(n), static_cast<std::size_t>(n)); }
  // Moves past counted bytes without reading them; may go beyond the length.
  void Skip(long n) { pos_ = static_cast<int>(static_cast<long>(pos_) + n); }
  // True when the position has gone beyond the length (after skips).
  bool Beyond() const { return pos_ > len_; }

 private:
  const unsigned char* data_;
  int len_;
  int pos_ = 0;
  int overflowEnd_ = 0;
};

}  // namespace units
