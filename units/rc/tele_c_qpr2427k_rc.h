// Rectifier records: the unit record (data id, AC and DC parameter replies, system
// value, module count, round time) and one record per rectifier module.
#pragma once
#include <cstddef>
#include <type_traits>

namespace units {

// A user-defined area of N values of W bytes each, stored as received. With N
// = 0 the area is empty and, declared [[no_unique_address]], takes no byte.
template <int N, int W>
struct UserArea {
  unsigned char bytes[N][W];

  static constexpr int kBytes = N * W;
  unsigned char* data() { return &bytes[0][0]; }
  const unsigned char* data() const { return &bytes[0][0]; }
  // Byte k of the area.
  unsigned char& operator[](int k) { return data()[k]; }
  const unsigned char& operator[](int k) const { return data()[k]; }
};

template <int W>
struct UserArea<0, W> {
  static constexpr int kBytes = 0;
};

}  // namespace units

// The unit record. N: user-defined DC parameters expected in (0x42, 0x46);
// S: bytes kept for them.
template <int N, int S>
struct tele_c_pmbuspower_rc {
  unsigned char data_id[4];      // the unit's data id, little-endian
  unsigned char ac_param[5][4];  // (0x40, 0x46) values
  unsigned char dc_param[2][4];  // (0x42, 0x46) values
  unsigned char dc_param_p;      // count of user-defined DC parameters as received
  [[no_unique_address]] units::UserArea<S, 1> dc_param_user;
  unsigned char rc_value[4];    // system value of (0x41, 0x41)
  unsigned char channel_count;  // number of modules
  unsigned char ttime[7];       // host time stamp of the last round end

  static constexpr int P42_46_NUMBER() { return N; }
  static constexpr int P42_46_SIZE() { return S; }
};

// One module record. A, B, C: user-defined 4-byte values in (0x41, 0x41), status
// bytes in (0x41, 0x43) and alarm bytes in (0x41, 0x44) per module.
template <int A, int B, int C>
struct tele_c_pmbuspower_rc_channel {
  unsigned char value41[4];  // the module's (0x41, 0x41) value
  unsigned char p41;         // count of user-defined values that followed
  [[no_unique_address]] units::UserArea<A, 4> user41;
  unsigned char status43[3];  // (0x41, 0x43) status bytes
  unsigned char p43;          // count of user-defined status bytes that followed
  [[no_unique_address]] units::UserArea<B, 1> user43;
  unsigned char status44;  // fault state, 1 = fault
  unsigned char p44;       // count of user-defined alarm bytes that followed
  [[no_unique_address]] units::UserArea<C, 1> user44;

  static constexpr int P41_41_SIZE() { return A; }
  static constexpr int P41_43_SIZE() { return B; }
  static constexpr int P41_44_SIZE() { return C; }
};

struct tele_c_qpr2427k_rc : tele_c_pmbuspower_rc<5, 20> {};

// user44: [0] over-voltage shutdown, [1] communication interrupted, [2] module fault.
struct tele_c_qpr2427k_rc_channel : tele_c_pmbuspower_rc_channel<0, 0, 3> {};

static_assert(std::is_standard_layout_v<tele_c_qpr2427k_rc> &&
              std::is_trivially_copyable_v<tele_c_qpr2427k_rc>);
static_assert(sizeof(tele_c_qpr2427k_rc) == 65);
static_assert(offsetof(tele_c_qpr2427k_rc, data_id) == 0);
static_assert(offsetof(tele_c_qpr2427k_rc, ac_param) == 4);
static_assert(offsetof(tele_c_qpr2427k_rc, dc_param) == 24);
static_assert(offsetof(tele_c_qpr2427k_rc, dc_param_p) == 32);
static_assert(offsetof(tele_c_qpr2427k_rc, dc_param_user) == 33);
static_assert(offsetof(tele_c_qpr2427k_rc, rc_value) == 53);
static_assert(offsetof(tele_c_qpr2427k_rc, channel_count) == 57);
static_assert(offsetof(tele_c_qpr2427k_rc, ttime) == 58);

static_assert(std::is_standard_layout_v<tele_c_qpr2427k_rc_channel> &&
              std::is_trivially_copyable_v<tele_c_qpr2427k_rc_channel>);
static_assert(sizeof(tele_c_qpr2427k_rc_channel) == 14);
static_assert(offsetof(tele_c_qpr2427k_rc_channel, value41) == 0);
static_assert(offsetof(tele_c_qpr2427k_rc_channel, p41) == 4);
static_assert(offsetof(tele_c_qpr2427k_rc_channel, status43) == 5);
static_assert(offsetof(tele_c_qpr2427k_rc_channel, p43) == 8);
static_assert(offsetof(tele_c_qpr2427k_rc_channel, status44) == 9);
static_assert(offsetof(tele_c_qpr2427k_rc_channel, p44) == 10);
static_assert(offsetof(tele_c_qpr2427k_rc_channel, user44) == 11);
