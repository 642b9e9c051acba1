// The ChaCha20 generator, the sampling rules of a perturbation, and independence of streams.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdint>
#include <set>
#include <string>
#include <thread>

#include "runtime/random.hpp"

namespace ludovec::runtime {
namespace {

TEST(ChaCha20, BlockFunctionKnownAnswer) {
  // Key 00 01 .. 1f, block counter 1, nonce 00 00 00 09 00 00 00 4a 00 00 00 00.
  const std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                               0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                               0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                               0x00000001, 0x09000000, 0x4a000000, 0x00000000};
  const std::array<std::uint32_t, 16> expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                                  0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                                  0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(chacha20_block(input), expected);
}

TEST(ChaCha20, GeneratorEmitsConsecutiveBlocksLowWordFirst) {
  const std::array<std::uint32_t, 8> key = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::uint64_t nonce = 0x1122334455667788;
  ChaChaRng rng(key, nonce);
  std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 1, 2,
                                         3,          4,          5,          6,          7, 8,
                                         0,          0,          0x55667788, 0x11223344};
  for (std::uint32_t block = 0; block < 3; ++block) {
    input[12] = block;
    const auto words = chacha20_block(input);
    for (std::size_t w = 0; w < 16; w += 2)
      ASSERT_EQ(rng.next_u64(), words[w] | (std::uint64_t{words[w + 1]} << 32))
          << "block " << block << " word " << w;
  }
}

// Every path of the blocks-at-once function against the block function, at counters that
// start, cross the carry into word 13, and wrap the whole 64-bit counter.
class ChaCha20Blocks : public ::testing::TestWithParam<chacha_testing::Path> {};

TEST_P(ChaCha20Blocks, MatchTheBlockFunctionWordForWord) {
  const chacha_testing::Path path = GetParam();
  if (!chacha_testing::available(path)) GTEST_SKIP() << "the processor lacks this path";
  std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                         0x9e3779b9, 0x7f4a7c15, 0xf39cc060, 0x5cedc834,
                                         0xb5026f5a, 0xa96619e9, 0x2a1fd6b0, 0x6a09e667,
                                         0xdeadbeef, 0xdeadbeef, 0x01234567, 0x89abcdef};
  const std::uint64_t starts[] = {0, 8, 1000, 0xfffffffc, 0x1fffffff9, ~std::uint64_t{2}};
  std::array<std::uint32_t, 16 * kChaChaBlocksAtOnce> out{};
  for (const std::uint64_t start : starts) {
    for (std::uint64_t i = 0; i < 64; i += kChaChaBlocksAtOnce) {
      const std::uint64_t at = start + i;
      chacha_testing::blocks_through(path, input, at, out.data());
      for (std::size_t b = 0; b < kChaChaBlocksAtOnce; ++b) {
        const std::uint64_t counter = at + b;
        input[12] = static_cast<std::uint32_t>(counter);
        input[13] = static_cast<std::uint32_t>(counter >> 32);
        const auto words = chacha20_block(input);
        for (std::size_t w = 0; w < 16; ++w)
          ASSERT_EQ(out[w * kChaChaBlocksAtOnce + b], words[w])
              << "counter " << counter << " word " << w;
      }
    }
  }
}

std::string path_name(const ::testing::TestParamInfo<chacha_testing::Path>& info) {
  switch (info.param) {
    case chacha_testing::Path::avx512: return "Avx512";
    case chacha_testing::Path::avx2: return "Avx2";
    case chacha_testing::Path::portable: break;
  }
  return "Portable";
}

INSTANTIATE_TEST_SUITE_P(Paths, ChaCha20Blocks,
                         ::testing::Values(chacha_testing::Path::portable,
                                           chacha_testing::Path::avx2,
                                           chacha_testing::Path::avx512),
                         path_name);

TEST(ChaCha20, GeneratorFollowsTheBlocksUntilItsRekey) {
  const std::array<std::uint32_t, 8> key = {11, 22, 33, 44, 55, 66, 77, 88};
  ChaChaRng rng(key, 42);
  std::array<std::uint32_t, 16> input = {
      0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 11, 22, 33, 44, 55, 66, 77, 88, 0, 0, 42, 0};
  // Every draw of the key's life; a slip shows wherever it happens.
  for (std::uint64_t block = 0; block < ChaChaRng::kRekeyBlocks; ++block) {
    input[12] = static_cast<std::uint32_t>(block);
    input[13] = static_cast<std::uint32_t>(block >> 32);
    const auto words = chacha20_block(input);
    for (std::size_t w = 0; w < 16; w += 2)
      ASSERT_EQ(rng.next_u64(), words[w] | (std::uint64_t{words[w + 1]} << 32))
          << "block " << block << " word " << w;
  }
  // Then a fresh key from the OS: the old key's next block does not continue.
  input[12] = static_cast<std::uint32_t>(ChaChaRng::kRekeyBlocks);
  const auto stale = chacha20_block(input);
  EXPECT_NE(rng.next_u64(), stale[0] | (std::uint64_t{stale[1]} << 32));
}

TEST(Sampling, MagnitudeUsesThe52HighBits) {
  const MagnitudeBand band{0.25, 0.5};
  struct Case {
    std::uint64_t bits;
    double magnitude;
  } cases[] = {
      {0, 0.25},
      {0xFFF, 0.25},                                   // the 12 low bits are dropped
      {std::uint64_t{1} << 63, 0.5},                   // u = 1/2
      {~std::uint64_t{0}, 0.25 + 0.9999999999999998 * 0.5},
      {std::uint64_t{1} << 12, 0.25 + 0x1p-52 * 0.5},  // the smallest step of u
  };
  for (const Case& c : cases) EXPECT_EQ(magnitude_from_bits(c.bits, band), c.magnitude) << c.bits;
}

TEST(Sampling, CoinSplitsAt2To63) {
  EXPECT_TRUE(coin_from_bits(0));
  EXPECT_TRUE(coin_from_bits((std::uint64_t{1} << 63) - 1));
  EXPECT_FALSE(coin_from_bits(std::uint64_t{1} << 63));
  EXPECT_FALSE(coin_from_bits(~std::uint64_t{0}));
}

TEST(Sampling, DrawsOfAStreamStayInTheBandAndUseBothSigns) {
  ChaChaRng rng({9, 9, 9, 9, 9, 9, 9, 9}, 0);
  const MagnitudeBand band{0.1, 0.1};
  int heads = 0;
  for (int i = 0; i < 4000; ++i) {
    const double m = draw_magnitude(rng, band);
    ASSERT_GE(m, 0.1);
    ASSERT_LT(m, 0.2);
    heads += draw_coin(rng);
  }
  EXPECT_GT(heads, 1800);  // a fair coin: 2000 expected, sd 32
  EXPECT_LT(heads, 2200);
}

// The bulk forms used by explorations against the draw-by-draw ones: the same draws across
// refills, from any position, and the same entries on edge bits of magnitude and coin.
TEST(Sampling, BulkDrawsEqualDrawsOneByOne) {
  ChaChaRng bulk({3, 1, 4, 1, 5, 9, 2, 6}, 5), single = bulk;
  (void)bulk.next_u64(), (void)single.next_u64();  // start mid-buffer
  std::array<std::uint64_t, 150> draws{};
  bulk.fill_u64(draws.data(), draws.size());
  for (std::size_t d = 0; d < draws.size(); ++d) ASSERT_EQ(draws[d], single.next_u64()) << d;

  const std::uint64_t edges[] = {0,
                                 1,
                                 0xfff,
                                 0x1000,
                                 (std::uint64_t{1} << 63) - 1,
                                 std::uint64_t{1} << 63,
                                 ~std::uint64_t{0},
                                 draws[0]};
  for (const MagnitudeBand band : {MagnitudeBand{0.0, 0.5}, MagnitudeBand{0.25, 1e-3}})
    for (const std::uint64_t m : edges)
      for (const std::uint64_t c : edges) {
        const std::uint64_t pair[2] = {m, c};
        double got = 0.0;
        perturbation_from_draws(pair, band, &got, 1);
        const double magnitude = magnitude_from_bits(m, band);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got),
                  std::bit_cast<std::uint64_t>(coin_from_bits(c) ? -magnitude : magnitude))
            << m << " " << c;
      }
}

TEST(ThreadGenerators, AreKeyedIndependently) {
  std::array<std::uint64_t, 4> first{};
  std::array<std::thread, 4> threads;
  for (std::size_t i = 0; i < threads.size(); ++i)
    threads[i] = std::thread([&, i] { first[i] = ChaChaRng::for_this_thread().next_u64(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<std::uint64_t>(first.begin(), first.end()).size(), first.size());
}

TEST(ThreadGenerators, ForkedChildDoesNotContinueTheParentsStream) {
  ChaChaRng& rng = ChaChaRng::for_this_thread();
  (void)rng.next_u64();  // mid-block, where a stale buffer would leak into the child
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const std::uint64_t next = ChaChaRng::for_this_thread().next_u64();
    const bool written = write(pipe_ends[1], &next, sizeof next) == sizeof next;
    _exit(written ? 0 : 1);
  }
  close(pipe_ends[1]);
  std::uint64_t child_next = 0;
  ASSERT_EQ(read(pipe_ends[0], &child_next, sizeof child_next),
            static_cast<ssize_t>(sizeof child_next));
  close(pipe_ends[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(rng.next_u64(), child_next);
}

}  // namespace
}  // namespace ludovec::runtime
