#include "runtime/random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <new>
#include <system_error>

namespace ludovec::runtime {

namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int n) noexcept { return (v << n) | (v >> (32 - n)); }

constexpr void quarter_round(std::array<std::uint32_t, 16>& s, int a, int b, int c,
                             int d) noexcept {
  // clang-format off
  s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 16);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 12);
  s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 8);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 7);
  // clang-format on
}

// Bumped in the child after every fork(); a generator keyed under an older value rekeys.
std::atomic<std::uint64_t> fork_generation{0};

void count_fork_in_child() noexcept { fork_generation.fetch_add(1, std::memory_order_relaxed); }

void watch_forks() {
  static const bool registered = [] {
    if (int rc = pthread_atfork(nullptr, nullptr, &count_fork_in_child); rc != 0) {
      if (rc == ENOMEM) throw std::bad_alloc();
      throw std::system_error(rc, std::generic_category(), "pthread_atfork");
    }
    return true;
  }();
  (void)registered;
}

void fill_from_os(std::byte* out, std::size_t size) {
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
}

}  // namespace

std::array<std::uint32_t, 16> chacha20_block(const std::array<std::uint32_t, 16>& input) noexcept {
  std::array<std::uint32_t, 16> s = input;
  for (int round = 0; round < 10; ++round) {  // 10 double rounds: columns, then diagonals
    quarter_round(s, 0, 4, 8, 12);
    quarter_round(s, 1, 5, 9, 13);
    quarter_round(s, 2, 6, 10, 14);
    quarter_round(s, 3, 7, 11, 15);
    quarter_round(s, 0, 5, 10, 15);
    quarter_round(s, 1, 6, 11, 12);
    quarter_round(s, 2, 7, 8, 13);
    quarter_round(s, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) s[i] += input[i];
  return s;
}

ChaChaRng::ChaChaRng() {
  watch_forks();
  rekey_from_os();
}

ChaChaRng::ChaChaRng(const std::array<std::uint32_t, 8>& key, std::uint64_t nonce) noexcept {
  set_key(key, nonce);
  fork_generation_ = fork_generation.load(std::memory_order_relaxed);
}

ChaChaRng& ChaChaRng::for_this_thread() {
  thread_local ChaChaRng rng;
  return rng;
}

void ChaChaRng::set_key(const std::array<std::uint32_t, 8>& key, std::uint64_t nonce) noexcept {
  input_[0] = 0x61707865;  // "expand 32-byte k"
  input_[1] = 0x3320646e;
  input_[2] = 0x79622d32;
  input_[3] = 0x6b206574;
  for (std::size_t i = 0; i < 8; ++i) input_[4 + i] = key[i];
  input_[12] = 0;
  input_[13] = 0;
  input_[14] = static_cast<std::uint32_t>(nonce);
  input_[15] = static_cast<std::uint32_t>(nonce >> 32);
  next_word_ = 16;
  blocks_since_key_ = 0;
}

void ChaChaRng::rekey_from_os() {
  struct {
    std::array<std::uint32_t, 8> key;
    std::uint64_t nonce;
  } fresh;
  // Read the generation first: a fork after this point bumps it again and forces a rekey.
  const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  fill_from_os(reinterpret_cast<std::byte*>(&fresh), sizeof fresh);
  set_key(fresh.key, fresh.nonce);
  fork_generation_ = generation;
}

void ChaChaRng::refill() {
  if (blocks_since_key_ >= kRekeyBlocks) rekey_from_os();
  block_ = chacha20_block(input_);
  if (++input_[12] == 0) ++input_[13];
  ++blocks_since_key_;
  next_word_ = 0;
}

std::uint64_t ChaChaRng::next_u64() {
  // Checked on every draw: after a fork even the rest of the current block is the parent's.
  if (fork_generation_ != fork_generation.load(std::memory_order_relaxed)) rekey_from_os();
  if (next_word_ + 2 > 16) refill();
  const std::uint64_t low = block_[next_word_];
  const std::uint64_t high = block_[next_word_ + 1];
  next_word_ += 2;
  return low | (high << 32);
}

}  // namespace ludovec::runtime
