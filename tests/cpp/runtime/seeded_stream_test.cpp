// The seeded stream: ChaCha20's keystream for (seed, nonce), and the perturbation drawn from it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "runtime/random.hpp"
#include "runtime/seeded_stream.hpp"

namespace ludovec::runtime {
namespace {

TEST(SeededStream, IsTheGeneratorsStreamForTheSeedsKey) {
  for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{0xfedcba9876543210}})
    for (const std::uint64_t nonce : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}}) {
      const auto key = SeededStream::key_of(seed);
      EXPECT_EQ(key[0], static_cast<std::uint32_t>(seed));
      EXPECT_EQ(key[1], static_cast<std::uint32_t>(seed >> 32));
      ChaChaRng rng(key, nonce);
      SeededStream stream(seed, nonce);
      for (int draw = 0; draw < 40; ++draw)  // five blocks
        ASSERT_EQ(stream.next_u64(), rng.next_u64()) << seed << " " << nonce << " " << draw;
    }
}

TEST(SeededStream, PerturbationTakesMagnitudeThenSignPerEntry) {
  const MagnitudeBand band{0.5, 0.25};
  std::vector<double> got(13);
  SeededStream stream(42, 3);
  draw_perturbation(stream, band, got.data(), got.size());
  ChaChaRng rng(SeededStream::key_of(42), 3);
  bool negative = false, positive = false;
  for (double entry : got) {
    const double magnitude = draw_magnitude(rng, band);
    const bool coin = draw_coin(rng);
    EXPECT_EQ(entry, coin ? -magnitude : magnitude);
    (coin ? negative : positive) = true;
  }
  EXPECT_TRUE(negative && positive);
}

}  // namespace
}  // namespace ludovec::runtime
