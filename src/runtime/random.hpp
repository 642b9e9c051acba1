// The per-thread random generator (ChaCha20 keystream keyed from the OS) and the draws of a run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ludovec::runtime {

// The ChaCha20 block function: 20 rounds over `input`, then the input added word by word.
// Words 0-3 are the constants, 4-11 the key, 12-13 a 64-bit block counter, 14-15 the nonce.
std::array<std::uint32_t, 16> chacha20_block(const std::array<std::uint32_t, 16>& input) noexcept;

// A cryptographically strong stream generator. It draws its key and nonce from getrandom()
// when built and again every kRekeyBlocks blocks, and after a fork() in the child, so that a
// child never continues its parent's stream. Not shared between threads.
class ChaChaRng {
 public:
  static constexpr std::uint64_t kRekeyBlocks = std::uint64_t{1} << 20;  // 64 MiB of output

  // Keyed from the operating system's entropy; throws std::system_error if it is unavailable.
  ChaChaRng();
  // A fixed key and nonce: a reproducible stream, until the first rekey.
  ChaChaRng(const std::array<std::uint32_t, 8>& key, std::uint64_t nonce) noexcept;

  // The generator of the calling thread, built on its first use there.
  static ChaChaRng& for_this_thread();

  // The next 64 bits of the keystream: two consecutive 32-bit words, the first one low.
  std::uint64_t next_u64();

 private:
  void rekey_from_os();
  void set_key(const std::array<std::uint32_t, 8>& key, std::uint64_t nonce) noexcept;
  void refill();

  std::array<std::uint32_t, 16> input_{};
  std::array<std::uint32_t, 16> block_{};
  std::size_t next_word_ = 16;  // index into block_; 16 means exhausted
  std::uint64_t blocks_since_key_ = 0;
  std::uint64_t fork_generation_ = 0;
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

inline double draw_magnitude(ChaChaRng& rng, const MagnitudeBand& band) {
  return magnitude_from_bits(rng.next_u64(), band);
}
inline bool draw_coin(ChaChaRng& rng) { return coin_from_bits(rng.next_u64()); }

}  // namespace ludovec::runtime
