// The per-thread random generator (ChaCha20 keystream keyed from the OS) and the draws of a run.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace ludovec::runtime {

// The ChaCha20 block function: 20 rounds over `input`, then the input added word by word.
// Words 0-3 are the constants, 4-11 the key, 12-13 a 64-bit block counter, 14-15 the nonce.
std::array<std::uint32_t, 16> chacha20_block(const std::array<std::uint32_t, 16>& input) noexcept;

// The blocks of a keystream, several at a time: blocks `counter`, `counter` + 1, ... of the
// state `input` (whose words 12-13 are ignored), the 64-bit counter wrapping as in a lone block.
// Word w of the b-th block lands in out[w * kChaChaBlocksAtOnce + b], the layout that vector
// code writes without transposing. Uses 8-wide vector code where the processor has AVX2 (the
// choice made once per process), else a portable path; both give exactly chacha20_block's words.
inline constexpr std::size_t kChaChaBlocksAtOnce = 8;
void chacha20_blocks(const std::array<std::uint32_t, 16>& input, std::uint64_t counter,
                     std::uint32_t* out) noexcept;

// Hooks for the tests of this file. Outside the tests only chacha20_blocks uses them, to pick
// its kernel by the same rule the tests check.
namespace chacha_testing {
// The kernels of chacha20_blocks; it takes the first of avx512 and avx2 that runs here.
enum class Path : std::uint8_t { portable, avx2, avx512 };
// Whether this processor runs `path`.
bool available(Path path) noexcept;
// chacha20_blocks through `path` when it is available, else through the portable one.
void blocks_through(Path path, const std::array<std::uint32_t, 16>& input, std::uint64_t counter,
                    std::uint32_t* out) noexcept;
}  // namespace chacha_testing

namespace random_detail {
// Bumped in the child after every fork(); a generator keyed under an older value rekeys.
extern std::atomic<std::uint64_t> fork_generation;
}  // namespace random_detail

// A cryptographically strong stream generator. It draws its key and nonce from getrandom()
// when built and again every kRekeyBlocks blocks, and after a fork() in the child, so that a
// child never continues its parent's stream. Not shared between threads.
class ChaChaRng {
 public:
  static constexpr std::uint64_t kRekeyBlocks = std::uint64_t{1} << 20;  // 64 MiB of output
  static_assert(kRekeyBlocks % kChaChaBlocksAtOnce == 0, "a rekey falls between two refills");

  // Keyed from the operating system's entropy; throws std::system_error if it is unavailable.
  ChaChaRng();
  // A fixed key and nonce: a reproducible stream, until the first rekey.
  ChaChaRng(const std::array<std::uint32_t, 8>& key, std::uint64_t nonce) noexcept;

  // The generator of the calling thread, built on its first use there.
  static ChaChaRng& for_this_thread();

  // The next 64 bits of the keystream: two consecutive 32-bit words, the first one low.
  // Inline: a perturbation draws twice per entry, and the common case is two loads.
  std::uint64_t next_u64() {
    // Checked on every draw: after a fork even the rest of the buffer is the parent's.
    if (fork_generation_ != random_detail::fork_generation.load(std::memory_order_relaxed) ||
        next_draw_ == kDraws) [[unlikely]]
      refill();
    // Draw d is the words 2k and 2k + 1 of block b, with b = d / 8 and k = d % 8.
    const std::size_t b = next_draw_ / 8, k = next_draw_ % 8;
    ++next_draw_;
    const std::uint64_t low = buffer_[(2 * k) * kChaChaBlocksAtOnce + b];
    const std::uint64_t high = buffer_[(2 * k + 1) * kChaChaBlocksAtOnce + b];
    return low | (high << 32);
  }

  // out[0 .. n) <- the next n draws, as n calls of next_u64 would return them.
  void fill_u64(std::uint64_t* out, std::size_t n);

 private:
  static constexpr std::size_t kDraws = 8 * kChaChaBlocksAtOnce;

  void rekey_from_os();
  void set_key(const std::array<std::uint32_t, 8>& key, std::uint64_t nonce) noexcept;
  // Rekeys after a fork or after kRekeyBlocks blocks, then computes the next blocks.
  void refill();

  std::array<std::uint32_t, 16> input_{};  // words 12-13 unused: the counter is `counter_`
  std::uint64_t counter_ = 0;              // the next block to compute; blocks since the key
  std::size_t next_draw_ = kDraws;         // index of the next draw in buffer_; kDraws: empty
  std::uint64_t fork_generation_ = 0;
  alignas(32) std::array<std::uint32_t, 16 * kChaChaBlocksAtOnce> buffer_{};
};

// Magnitudes are drawn uniformly from [low, low + scale), scale already adjusted so that no
// draw exceeds the band's upper end.
struct MagnitudeBand {
  double low;
  double scale;
};

// low + u * scale with u = (bits >> 12) * 2^-52, the 52 high bits of `bits` as a uniform value
// in [0, 1).
inline double magnitude_from_bits(std::uint64_t bits, const MagnitudeBand& band) noexcept {
  const double u = static_cast<double>(bits >> 12) * 0x1p-52;
  return band.low + u * band.scale;
}

// True with probability exactly 1/2: the 64 bits lie below 2^63.
inline bool coin_from_bits(std::uint64_t bits) noexcept { return bits < (std::uint64_t{1} << 63); }

// out[k] <- the entry of a perturbation drawn as draws[2k] (its magnitude, magnitude_from_bits)
// and draws[2k + 1] (its sign, coin_from_bits; true gives -magnitude), for k < entries. The
// same bits as those functions, in a form that vectorises: the 52-bit integer converted through
// the exponent of 2^52 (exactly, as a conversion instruction does), the sign set by xor.
inline void perturbation_from_draws(const std::uint64_t* draws, const MagnitudeBand& band,
                                    double* out, std::size_t entries) noexcept {
  constexpr std::uint64_t kTwoTo52Bits = 0x4330000000000000, kSign = std::uint64_t{1} << 63;
  for (std::size_t k = 0; k < entries; ++k) {
    const double whole = std::bit_cast<double>((draws[2 * k] >> 12) | kTwoTo52Bits) - 0x1p52;
    const double magnitude = band.low + whole * 0x1p-52 * band.scale;
    out[k] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) ^
                                   (~draws[2 * k + 1] & kSign));
  }
}

inline double draw_magnitude(ChaChaRng& rng, const MagnitudeBand& band) {
  return magnitude_from_bits(rng.next_u64(), band);
}
inline bool draw_coin(ChaChaRng& rng) { return coin_from_bits(rng.next_u64()); }

}  // namespace ludovec::runtime
