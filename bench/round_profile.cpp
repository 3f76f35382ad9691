// qpr_round_profile [ROUNDS] [QUERIES]: steady-state rounds and Get_Value
// channel-key queries on the reference system, each batch inside its own
// function so that valgrind --tool=callgrind --toggle-collect=<function>
// counts the instructions of exactly that batch.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bench/Reference.h"

extern "C" {

__attribute__((noinline)) int qpr_profile_rounds(bench::Rig* rig, int rounds) {
  int ok = 0;
  for (int k = 0; k < rounds; ++k) ok += rig->Round() ? 1 : 0;
  return ok;
}

__attribute__((noinline)) float qpr_profile_values(bench::Rig* rig, const std::string* key, int queries) {
  float sum = 0;
  for (int k = 0; k < queries; ++k) sum += rig->ac(0).Get_Value(0, *key);
  return sum;
}

}  // extern "C"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  const int queries = argc > 2 ? std::atoi(argv[2]) : 1000;
  if (rounds <= 0 || queries <= 0) {
    std::fprintf(stderr, "usage: qpr_round_profile [ROUNDS] [QUERIES]\n");
    return 2;
  }
  try {
    bench::Rig rig;
    rig.WarmUp();
    const std::string why = rig.CheckRound();
    if (!why.empty()) {
      std::fprintf(stderr, "qpr_round_profile: the reference round is off:%s\n", why.c_str());
      return 1;
    }
    const int ok = qpr_profile_rounds(&rig, rounds);
    const std::string key = "channel_2_f";
    const float sum = qpr_profile_values(&rig, &key, queries);
    std::fprintf(stderr, "qpr_round_profile: %d of %d rounds, %d queries (sum %g)\n", ok, rounds, queries,
                 static_cast<double>(sum));
    return ok == rounds ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qpr_round_profile: %s\n", e.what());
    return 1;
  }
}
