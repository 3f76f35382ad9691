// Byte builders for replies, records and images: the byte type, floats and
// 32-bit words as they travel (least significant first), joins and record views.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace testing_support {

using Bytes = std::vector<unsigned char>;

inline void PutU32(Bytes& b, std::uint32_t bits) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<unsigned char>(bits >> (8 * k)));
}
inline void PutFloat(Bytes& b, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  PutU32(b, bits);
}
inline Bytes FloatBytes(float f) {
  Bytes b;
  PutFloat(b, f);
  return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The bytes of a record, or of a list of records one after the other.
template <typename T>
Bytes BytesOf(const T& v) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &v, sizeof(T));
  return b;
}
template <typename T>
Bytes BytesOf(const std::vector<T>& list) {
  Bytes b(sizeof(T) * list.size());
  if (!list.empty()) std::memcpy(b.data(), list.data(), b.size());
  return b;
}

// Bytes [offset, offset + n) of a record's image; may span several fields.
template <typename T>
Bytes Slice(const T& record, std::size_t offset, std::size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(&record);
  return Bytes(p + offset, p + offset + n);
}

}  // namespace testing_support
