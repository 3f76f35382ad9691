// The DC distribution unit's telemetry record: a packed 177-byte image that is
// at once the working state, the published image, the history and cache entry.
#pragma once
#include <cstddef>
#include <cstdint>

// Sizes of the variable areas are template arguments, each read through a
// static function named after what it limits. Counts are kept as received,
// also when they exceed these limits.
#pragma pack(push, 1)
template <std::uint8_t M, std::uint8_t N, std::uint8_t P, std::uint8_t AM, std::uint8_t AP>
struct tele_c_pmbuspower_dc {
  static constexpr std::uint8_t M_SIZE() { return M; }
  static constexpr std::uint8_t N_SIZE() { return N; }
  static constexpr std::uint8_t P_SIZE() { return P; }
  static constexpr std::uint8_t ALERT_M_SIZE() { return AM; }
  static constexpr std::uint8_t ALERT_P_SIZE() { return AP; }

  unsigned char data_id[4];        // unit's data id, little-endian
  unsigned char v[4];              // DC voltage, IEEE 754 single as received
  unsigned char i[4];              // DC current
  std::uint8_t dc_m;               // number of m values received
  unsigned char m_value[M][4];
  std::uint8_t dc_n;               // number of n values received
  unsigned char n_value[N][4];
  std::uint8_t p_count;            // number of user-defined values received
  unsigned char user_p[P][4];      // user-defined values; the no-value marker is kept as -0.1
  std::uint8_t volt_state;         // DC output voltage: 1 too low, 2 too high
  std::uint8_t alert_m;            // number of fuse state bytes received
  std::uint8_t alert_m_state[AM];  // one per battery fuse; 3 is a fault
  std::uint8_t alert_p;            // number of system-status bytes received
  std::uint8_t alert_p_state[AP];  // system-status bytes
  unsigned char ttime[7];          // host time stamp of the last round
};
#pragma pack(pop)

using tele_c_qpr2427k_dc = tele_c_pmbuspower_dc<4, 9, 4, 64, 20>;

static_assert(sizeof(tele_c_qpr2427k_dc) == 177, "DC record is a 177-byte image");
static_assert(alignof(tele_c_qpr2427k_dc) == 1, "DC record is packed");
static_assert(offsetof(tele_c_qpr2427k_dc, v) == 4);
static_assert(offsetof(tele_c_qpr2427k_dc, i) == 8);
static_assert(offsetof(tele_c_qpr2427k_dc, dc_m) == 12);
static_assert(offsetof(tele_c_qpr2427k_dc, m_value) == 13);
static_assert(offsetof(tele_c_qpr2427k_dc, dc_n) == 29);
static_assert(offsetof(tele_c_qpr2427k_dc, n_value) == 30);
static_assert(offsetof(tele_c_qpr2427k_dc, p_count) == 66);
static_assert(offsetof(tele_c_qpr2427k_dc, user_p) == 67);
static_assert(offsetof(tele_c_qpr2427k_dc, volt_state) == 83);
static_assert(offsetof(tele_c_qpr2427k_dc, alert_m) == 84);
static_assert(offsetof(tele_c_qpr2427k_dc, alert_m_state) == 85);
static_assert(offsetof(tele_c_qpr2427k_dc, alert_p) == 149);
static_assert(offsetof(tele_c_qpr2427k_dc, alert_p_state) == 150);
static_assert(offsetof(tele_c_qpr2427k_dc, ttime) == 170);
