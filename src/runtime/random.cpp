#include "runtime/random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
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

using random_detail::fork_generation;

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

// Eight blocks side by side: state word w of block b is lane b of s[w]. GCC vector types, so
// the same code serves the AVX2 clone (one register per word) and the portable one.
typedef std::uint32_t Words __attribute__((vector_size(4 * kChaChaBlocksAtOnce)));

template <int N>
[[gnu::always_inline]] inline Words rotl_words(Words v) noexcept {
  return (v << N) | (v >> (32 - N));
}

[[gnu::always_inline]] inline void quarter_round_wide(Words* s, int a, int b, int c,
                                                      int d) noexcept {
  // clang-format off
  s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl_words<16>(s[d]);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl_words<12>(s[b]);
  s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl_words<8>(s[d]);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl_words<7>(s[b]);
  // clang-format on
}

[[gnu::always_inline]] inline void blocks_wide(const std::array<std::uint32_t, 16>& input,
                                               std::uint64_t counter, std::uint32_t* out) noexcept {
  Words start[16];
  for (std::size_t w = 0; w < 16; ++w) start[w] = Words{} + input[w];
  Words low{}, high{};
  for (std::size_t b = 0; b < kChaChaBlocksAtOnce; ++b) {
    const std::uint64_t c = counter + b;
    low[b] = static_cast<std::uint32_t>(c);
    high[b] = static_cast<std::uint32_t>(c >> 32);
  }
  start[12] = low;
  start[13] = high;
  Words s[16];
  for (std::size_t w = 0; w < 16; ++w) s[w] = start[w];
  for (int round = 0; round < 10; ++round) {
    quarter_round_wide(s, 0, 4, 8, 12);
    quarter_round_wide(s, 1, 5, 9, 13);
    quarter_round_wide(s, 2, 6, 10, 14);
    quarter_round_wide(s, 3, 7, 11, 15);
    quarter_round_wide(s, 0, 5, 10, 15);
    quarter_round_wide(s, 1, 6, 11, 12);
    quarter_round_wide(s, 2, 7, 8, 13);
    quarter_round_wide(s, 3, 4, 9, 14);
  }
  for (std::size_t w = 0; w < 16; ++w) {
    const Words v = s[w] + start[w];
    std::memcpy(out + w * kChaChaBlocksAtOnce, &v, sizeof v);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define LUDOVEC_CHACHA_AVX2 1
[[gnu::target("avx2")]] void blocks_avx2(const std::array<std::uint32_t, 16>& input,
                                         std::uint64_t counter, std::uint32_t* out) noexcept {
  blocks_wide(input, counter, out);
}
// The same registers, with AVX-512's rotate instruction for each rotation's shifts and OR.
[[gnu::target("avx512f,avx512vl,avx2")]] void blocks_avx512(
    const std::array<std::uint32_t, 16>& input, std::uint64_t counter,
    std::uint32_t* out) noexcept {
  blocks_wide(input, counter, out);
}
#else
#define LUDOVEC_CHACHA_AVX2 0
#endif

void blocks_portable(const std::array<std::uint32_t, 16>& input, std::uint64_t counter,
                     std::uint32_t* out) noexcept {
  blocks_wide(input, counter, out);
}

using BlocksKernel = void (*)(const std::array<std::uint32_t, 16>&, std::uint64_t,
                              std::uint32_t*) noexcept;

BlocksKernel kernel_of(chacha_testing::Path path) noexcept {
#if LUDOVEC_CHACHA_AVX2
  switch (path) {
    case chacha_testing::Path::avx512: return &blocks_avx512;
    case chacha_testing::Path::avx2: return &blocks_avx2;
    case chacha_testing::Path::portable: break;
  }
#else
  (void)path;
#endif
  return &blocks_portable;
}

BlocksKernel blocks_kernel() noexcept {
  static const BlocksKernel chosen = [] {  // thread-safe, once
    for (const auto path : {chacha_testing::Path::avx512, chacha_testing::Path::avx2})
      if (chacha_testing::available(path)) return kernel_of(path);
    return &blocks_portable;
  }();
  return chosen;
}

}  // namespace

std::atomic<std::uint64_t> random_detail::fork_generation{0};

void chacha20_blocks(const std::array<std::uint32_t, 16>& input, std::uint64_t counter,
                     std::uint32_t* out) noexcept {
  blocks_kernel()(input, counter, out);
}

namespace chacha_testing {

bool available(Path path) noexcept {
#if LUDOVEC_CHACHA_AVX2
  switch (path) {
    case Path::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx2");
    case Path::avx2: return __builtin_cpu_supports("avx2");
    case Path::portable: break;
  }
  return true;
#else
  return path == Path::portable;
#endif
}

void blocks_through(Path path, const std::array<std::uint32_t, 16>& input, std::uint64_t counter,
                    std::uint32_t* out) noexcept {
  kernel_of(available(path) ? path : Path::portable)(input, counter, out);
}

}  // namespace chacha_testing

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
  counter_ = 0;
  input_[14] = static_cast<std::uint32_t>(nonce);
  input_[15] = static_cast<std::uint32_t>(nonce >> 32);
  next_draw_ = kDraws;
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
  if (fork_generation_ != fork_generation.load(std::memory_order_relaxed) ||
      counter_ >= kRekeyBlocks)
    rekey_from_os();
  chacha20_blocks(input_, counter_, buffer_.data());
  counter_ += kChaChaBlocksAtOnce;
  next_draw_ = 0;
}

void ChaChaRng::fill_u64(std::uint64_t* out, std::size_t n) {
  while (n > 0) {
    if (fork_generation_ != fork_generation.load(std::memory_order_relaxed) || next_draw_ == kDraws)
      refill();
    const std::size_t take = std::min(n, kDraws - next_draw_);
    // Draw d is block d / 8's words 2k and 2k + 1, k = d % 8 (as in next_u64), walked in order.
    std::size_t b = next_draw_ / 8, k = next_draw_ % 8;
    for (std::size_t i = 0; i < take; ++i) {
      const std::uint64_t low = buffer_[(2 * k) * kChaChaBlocksAtOnce + b];
      const std::uint64_t high = buffer_[(2 * k + 1) * kChaChaBlocksAtOnce + b];
      out[i] = low | (high << 32);
      if (++k == 8) k = 0, ++b;
    }
    out += take;
    next_draw_ += take;
    n -= take;
  }
}

}  // namespace ludovec::runtime
