// AC distribution telemetry record and channel record: packed little-endian
// byte images, also the layout of the AC history image and cache image.
#pragma once
#include <cstddef>
#include <type_traits>

// A: most switch-state bytes of a switch-status section; B: user-defined
// switch-status bytes expected.
template <unsigned char A, unsigned char B>
struct tele_c_pmbuspower_ac {
  static constexpr unsigned char AIRLOCK_MAX() { return A; }
  static constexpr unsigned char P40_43_SIZE() { return B; }

  unsigned char data_id[4];     // unit data id, little-endian
  unsigned char ia[4];          // phase A input current, float as received
  unsigned char ib[4];          // phase B input current
  unsigned char ic[4];          // phase C input current
  unsigned char channel_count;  // AC input channels
  unsigned char airlock_count;  // switch-state bytes of the last section, as received
  unsigned char airlock[A];     // switch-state bytes
  unsigned char p43;            // user-defined switch-status count, as received
  unsigned char user43[B];      // user-defined switch-status bytes
  unsigned char ia_alert;       // phase A current status
  unsigned char ib_alert;       // phase B current status
  unsigned char ic_alert;       // phase C current status
  unsigned char ttime[7];       // host time stamp of the last round end
};

// C: user-defined 4-byte values per channel in an analog section; D:
// user-defined bytes per channel in an alarm section.
template <unsigned char C, unsigned char D>
struct tele_c_pmbuspower_ac_channel {
  static constexpr unsigned char P40_41_SIZE() { return C; }
  static constexpr unsigned char p40_44_SIZE() { return D; }

  unsigned char a[4];            // line/phase voltage AB/A
  unsigned char b[4];            // line/phase voltage BC/B
  unsigned char c[4];            // line/phase voltage CA/C
  unsigned char f[4];            // frequency
  unsigned char p41;             // user-defined analog count, as received
  unsigned char user41[4 * C];   // user-defined analog values (none when C is 0)
  unsigned char a_alert;         // status of voltage AB/A
  unsigned char b_alert;         // status of voltage BC/B
  unsigned char c_alert;         // status of voltage CA/C
  unsigned char f_alert;         // status of the frequency
  unsigned char p44;             // user-defined alarm count, as received
  unsigned char user44[D];       // user-defined alarm bytes
};

using tele_c_qpr2427k_ac = tele_c_pmbuspower_ac<8, 3>;
using tele_c_qpr2427k_ac_channel = tele_c_pmbuspower_ac_channel<0, 1>;

static_assert(sizeof(tele_c_qpr2427k_ac) == 40, "AC record is 40 bytes");
static_assert(sizeof(tele_c_qpr2427k_ac_channel) == 23, "AC channel record is 23 bytes");
static_assert(alignof(tele_c_qpr2427k_ac) == 1 && alignof(tele_c_qpr2427k_ac_channel) == 1);
static_assert(std::is_trivially_copyable_v<tele_c_qpr2427k_ac> &&
              std::is_trivially_copyable_v<tele_c_qpr2427k_ac_channel>);
static_assert(offsetof(tele_c_qpr2427k_ac, ia) == 4);
static_assert(offsetof(tele_c_qpr2427k_ac, channel_count) == 16);
static_assert(offsetof(tele_c_qpr2427k_ac, airlock_count) == 17);
static_assert(offsetof(tele_c_qpr2427k_ac, airlock) == 18);
static_assert(offsetof(tele_c_qpr2427k_ac, p43) == 26);
static_assert(offsetof(tele_c_qpr2427k_ac, user43) == 27);
static_assert(offsetof(tele_c_qpr2427k_ac, ia_alert) == 30);
static_assert(offsetof(tele_c_qpr2427k_ac, ttime) == 33);
static_assert(offsetof(tele_c_qpr2427k_ac_channel, f) == 12);
static_assert(offsetof(tele_c_qpr2427k_ac_channel, p41) == 16);
static_assert(offsetof(tele_c_qpr2427k_ac_channel, a_alert) == 17);
static_assert(offsetof(tele_c_qpr2427k_ac_channel, f_alert) == 20);
static_assert(offsetof(tele_c_qpr2427k_ac_channel, p44) == 21);
static_assert(offsetof(tele_c_qpr2427k_ac_channel, user44) == 22);
