// Compares the vector exp (each kernel the processor runs) with the C library's exp, bit for bit,
// on ~1.3e9 arguments: the range the steps produce (x - max x <= 0, down past the underflow
// threshold), every magnitude and special class, and every reduction edge of the non-positive
// main range swept double by double.
// Prints the counts per class; exits 1 on any difference or when the vector path is unavailable.
#include <array>
#include <atomic>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "math/vector_exp.hpp"

namespace {

using ludovec::math::ExpPath;
namespace exp_testing = ludovec::math::exp_testing;

constexpr std::size_t kBlock = 4096;

struct SplitMix {
  std::uint64_t s;
  std::uint64_t operator()() {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>((*this)() >> 11) * 0x1p-53; }  // [0, 1)
};

struct Tally {
  std::uint64_t count = 0, differences = 0;
};

// The vector kernels: AVX2 for arguments written one by one and for lanes, and the 512-bit one
// for lanes; those this processor runs are compared.
struct Kernel {
  const char* name;
  ExpPath path;
  bool lanes;
};
constexpr Kernel kKernels[] = {{"AVX2", ExpPath::avx2, false},
                               {"AVX2 lanes", ExpPath::avx2, true},
                               {"AVX-512 lanes", ExpPath::avx512, true}};

// Runs the arguments of one block through every kernel this processor runs and through the
// library, and counts; prints the first few differences.
void compare(std::array<double, kBlock>& args, std::size_t n, Tally& t) {
  static std::mutex print;
  std::array<double, kBlock> want, got;
  for (std::size_t i = 0; i < n; ++i) want[i] = ::exp(args[i]);
  for (const Kernel& k : kKernels) {
    if (!exp_testing::available(k.path)) continue;
    std::copy(args.begin(), args.begin() + n, got.begin());
    exp_testing::exp_through(k.path, got.data(), n, k.lanes);
    for (std::size_t i = 0; i < n; ++i) {
      if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i])) {
        if (t.differences++ < 10) {
          std::lock_guard lock(print);
          std::printf("DIFFERENCE exp(%a): %s %a, library %a\n", args[i], k.name, got[i], want[i]);
        }
      }
    }
  }
  t.count += n;
}

// Random arguments of class c, `blocks` blocks; block lengths vary so partial vectors are run.
Tally random_class(int c, std::uint64_t blocks, std::uint64_t seed) {
  SplitMix g{seed};
  Tally t;
  std::array<double, kBlock> args;
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const std::size_t n = kBlock - b % 4;
    for (std::size_t i = 0; i < n; ++i) {
      double x = 0;
      switch (c) {
        case 0: x = -1100.0 * g.unit(); break;                           // steps, linear
        case 1: x = -std::ldexp(1.0 + g.unit(), -static_cast<int>(g() % 64)); break;  // near 0
        case 2: x = std::bit_cast<double>(g() | 0x8000000000000000); break;  // any non-positive
        default: x = std::bit_cast<double>(g()); break;                   // any double
      }
      args[i] = x;
    }
    compare(args, n, t);
  }
  return t;
}

// The 2001 doubles around each edge (k + 1/2) ln2/128 of the reduction, for k in [k0, k1).
Tally edges(std::int64_t k0, std::int64_t k1) {
  Tally t;
  std::array<double, kBlock> args;
  std::size_t n = 0;
  for (std::int64_t k = k0; k < k1; ++k) {
    double x = (static_cast<double>(k) + 0.5) / 0x1.71547652b82fep7;
    for (int s = 0; s < 1000; ++s) x = std::nextafter(x, -INFINITY);
    for (int s = 0; s <= 2000; ++s, x = std::nextafter(x, INFINITY)) {
      args[n++] = x;
      if (n == kBlock) compare(args, n, t), n = 0;
    }
  }
  compare(args, n, t);
  return t;
}

Tally specials() {
  Tally t;
  std::array<double, kBlock> args;
  std::size_t n = 0;
  const auto add = [&](double x) {
    args[n++] = x;
    if (n == kBlock) compare(args, n, t), n = 0;
  };
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (const double x : {0.0, -0.0, kInf, -kInf, std::numeric_limits<double>::max(),
                         -std::numeric_limits<double>::max()})
    add(x);
  // NaNs with assorted payloads, both signs, quiet and signalling.
  for (std::uint64_t p = 1; p < (std::uint64_t{1} << 52); p = p * 3 + 1)
    for (const std::uint64_t sign : {std::uint64_t{0}, std::uint64_t{1} << 63})
      add(std::bit_cast<double>(sign | 0x7ff0000000000000 | p));
  // Subnormals and the lowest normals, and every power of two, both signs.
  for (std::uint64_t m = 1; m < (std::uint64_t{1} << 53); m = m * 2 + (m & 1))
    for (const std::uint64_t sign : {std::uint64_t{0}, std::uint64_t{1} << 63})
      add(std::bit_cast<double>(sign | m));
  for (int e = -1074; e <= 1023; ++e)
    for (const double s : {1.0, -1.0}) add(s * std::ldexp(1.0, e));
  // 20001 doubles around every threshold of the branches.
  for (const double c : {0x1p-54, 512.0, 1024.0, 0x1.62e42fefa39efp9, 0x1.74910d52d3051p9,
                         0x1.6232bdd7abcd2p9, 0x1.633ce8fb9f87dp9})
    for (const double s : {c, -c}) {
      double x = s;
      for (int i = 0; i < 10000; ++i) x = std::nextafter(x, -INFINITY);
      for (int i = 0; i <= 20000; ++i, x = std::nextafter(x, INFINITY)) add(x);
    }
  compare(args, n, t);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  if (!exp_testing::available(ExpPath::avx2)) {
    std::puts("the vector path needs AVX2 and FMA, which this processor lacks: nothing proven");
    return 1;
  }
  const ExpPath in_use = ludovec::math::exp_path();
  std::printf("path in use by the module: %s; kernels compared:",
              in_use == ExpPath::avx512 ? "AVX-512"
              : in_use == ExpPath::avx2 ? "AVX2"
                                        : "scalar");
  for (const Kernel& k : kKernels)
    if (exp_testing::available(k.path)) std::printf(" %s;", k.name);
  std::puts("");
  // Blocks per random class, shared by two threads; 65536 give about 2^28 arguments a class.
  const std::uint64_t blocks = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 65536;
  const char* names[] = {"steps' range [-1100, 0], uniform",
                         "-(1 + u) 2^-e, e in [0, 63]",
                         "non-positive, uniform bit patterns",
                         "any, uniform bit patterns",
                         "edges of the reduction, k in [-94549, 0], 2001 doubles each",
                         "specials: signed zeros, infinities, NaN payloads, powers of two, "
                         "subnormals, thresholds +-10000 doubles"};
  Tally tallies[6][2];
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w)
    threads.emplace_back([&, w] {
      for (int c = 0; c < 4; ++c) tallies[c][w] = random_class(c, blocks / 2, 1000 * c + w + 1);
      tallies[4][w] = w == 0 ? edges(-94549, -47274) : edges(-47274, 1);
      if (w == 0) tallies[5][w] = specials();
    });
  for (auto& t : threads) t.join();
  std::uint64_t count = 0, differences = 0;
  for (int c = 0; c < 6; ++c) {
    const std::uint64_t n = tallies[c][0].count + tallies[c][1].count;
    const std::uint64_t d = tallies[c][0].differences + tallies[c][1].differences;
    std::printf("%14" PRIu64 " arguments, %" PRIu64 " differences: %s\n", n, d, names[c]);
    count += n;
    differences += d;
  }
  std::printf("%14" PRIu64 " arguments, %" PRIu64 " differences in all\n", count, differences);
  return differences == 0 ? 0 : 1;
}
