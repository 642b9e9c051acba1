#include "runtime/seeded_stream.hpp"

namespace ludovec::runtime {

SeededStream::SeededStream(std::uint64_t seed, std::uint64_t nonce) noexcept {
  input_ = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};  // "expand 32-byte k"
  const std::array<std::uint32_t, 8> key = key_of(seed);
  for (std::size_t i = 0; i < 8; ++i) input_[4 + i] = key[i];
  input_[14] = static_cast<std::uint32_t>(nonce);
  input_[15] = static_cast<std::uint32_t>(nonce >> 32);
}

std::array<std::uint32_t, 8> SeededStream::key_of(std::uint64_t seed) noexcept {
  return {
      static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32), 0, 0, 0, 0, 0, 0};
}

void SeededStream::refill() noexcept {
  block_ = chacha20_block(input_);
  if (++input_[12] == 0) ++input_[13];
  next_word_ = 0;
}

void draw_perturbation(SeededStream& stream, const MagnitudeBand& band, double* out,
                       std::size_t size) noexcept {
  for (std::size_t k = 0; k < size; ++k) {
    const double magnitude = magnitude_from_bits(stream.next_u64(), band);
    out[k] = coin_from_bits(stream.next_u64()) ? -magnitude : magnitude;
  }
}

}  // namespace ludovec::runtime
