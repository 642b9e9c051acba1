// A reproducible ChaCha20 keystream fixed by a 64-bit seed and a 64-bit nonce, which never rekeys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/random.hpp"

namespace ludovec::runtime {

// The keystream of key words (seed & 0xffffffff, seed >> 32, 0, 0, 0, 0, 0, 0) and the 64-bit
// nonce, block counter from 0: draw for draw what ChaChaRng(key, nonce) emits before its first
// rekey, and beyond it too (the counter runs on; there is no rekey). A pure function of
// (seed, nonce), so any run's draws can be regenerated from them alone. Not shared between
// threads; holds one block.
class SeededStream {
 public:
  SeededStream(std::uint64_t seed, std::uint64_t nonce) noexcept;

  // The key words of `seed`, as ChaChaRng takes them.
  static std::array<std::uint32_t, 8> key_of(std::uint64_t seed) noexcept;

  // The next 64 bits: two consecutive 32-bit words of the keystream, the first one low.
  std::uint64_t next_u64() noexcept {
    if (next_word_ + 2 > 16) refill();
    const std::uint64_t low = block_[next_word_];
    const std::uint64_t high = block_[next_word_ + 1];
    next_word_ += 2;
    return low | (high << 32);
  }

 private:
  void refill() noexcept;

  std::array<std::uint32_t, 16> input_{};
  std::array<std::uint32_t, 16> block_{};
  std::size_t next_word_ = 16;  // index into block_; 16 means exhausted
};

// Overwrites out[0 .. size) in order with a perturbation drawn from `stream`: per entry a
// magnitude from `band` (magnitude_from_bits of one draw), then its sign (coin_from_bits of the
// next draw; true gives -magnitude).
void draw_perturbation(SeededStream& stream, const MagnitudeBand& band, double* out,
                       std::size_t size) noexcept;

}  // namespace ludovec::runtime
