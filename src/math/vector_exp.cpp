// The vector exp: the C library's table-driven algorithm, lane by lane, with its fused steps.
#include "math/vector_exp.hpp"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define LUDOVEC_VECTOR_EXP 1
#else
#define LUDOVEC_VECTOR_EXP 0
#endif

namespace ludovec::math {

namespace {

// exp(x) = 2^(k/128) exp(r) with k the integer nearest to x * 128 / ln 2 and
// r = x - k ln2/128 in two parts; 2^(k/128) = 2^(k >> 7) H (1 + T) from the table below;
// exp(r) - 1 ~ r + C2 r^2 + C3 r^3 + C4 r^4 + C5 r^5.
constexpr double kInvLn2N = 0x1.71547652b82fep7;       // 128 / ln 2
constexpr double kNegLn2HiN = -0x1.62e42fefa0000p-8;   // -(ln 2 / 128), leading bits
constexpr double kNegLn2LoN = -0x1.cf79abc9e3b3ap-47;  // -(ln 2 / 128), the rest
constexpr double kShift = 0x1.8p52;                    // rounds to an integer in the low bits
constexpr double kC2 = 0x1.ffffffffffdbdp-2;
constexpr double kC3 = 0x1.555555555543cp-3;
constexpr double kC4 = 0x1.55555cf172b91p-5;
constexpr double kC5 = 0x1.1111167a4d017p-7;

// Pairs for j = 0 .. 127: the bits of T_j, the double nearest to (2^(j/128) - H_j) / H_j, then
// the bits of H_j, the double nearest to 2^(j/128), less j << 45 (tools/exp_table.py prints it
// from exact arithmetic).
alignas(64) constexpr std::uint64_t kTable[256] = {
    0x0000000000000000, 0x3ff0000000000000, 0x3c9b3b4f1a88bf6e, 0x3feff63da9fb3335,
    0xbc7160139cd8dc5d, 0x3fefec9a3e778061, 0xbc905e7a108766d1, 0x3fefe315e86e7f85,
    0x3c8cd2523567f613, 0x3fefd9b0d3158574, 0xbc8bce8023f98efa, 0x3fefd06b29ddf6de,
    0x3c60f74e61e6c861, 0x3fefc74518759bc8, 0x3c90a3e45b33d399, 0x3fefbe3ecac6f383,
    0x3c979aa65d837b6d, 0x3fefb5586cf9890f, 0x3c8eb51a92fdeffc, 0x3fefac922b7247f7,
    0x3c3ebe3d702f9cd1, 0x3fefa3ec32d3d1a2, 0xbc6a033489906e0b, 0x3fef9b66affed31b,
    0xbc9556522a2fbd0e, 0x3fef9301d0125b51, 0xbc5080ef8c4eea55, 0x3fef8abdc06c31cc,
    0xbc91c923b9d5f416, 0x3fef829aaea92de0, 0x3c80d3e3e95c55af, 0x3fef7a98c8a58e51,
    0xbc801b15eaa59348, 0x3fef72b83c7d517b, 0xbc8f1ff055de323d, 0x3fef6af9388c8dea,
    0x3c8b898c3f1353bf, 0x3fef635beb6fcb75, 0xbc96d99c7611eb26, 0x3fef5be084045cd4,
    0x3c9aecf73e3a2f60, 0x3fef54873168b9aa, 0xbc8fe782cb86389d, 0x3fef4d5022fcd91d,
    0x3c8a6f4144a6c38d, 0x3fef463b88628cd6, 0x3c807a05b0e4047d, 0x3fef3f49917ddc96,
    0x3c968efde3a8a894, 0x3fef387a6e756238, 0x3c875e18f274487d, 0x3fef31ce4fb2a63f,
    0x3c80472b981fe7f2, 0x3fef2b4565e27cdd, 0xbc96b87b3f71085e, 0x3fef24dfe1f56381,
    0x3c82f7e16d09ab31, 0x3fef1e9df51fdee1, 0xbc3d219b1a6fbffa, 0x3fef187fd0dad990,
    0x3c8b3782720c0ab4, 0x3fef1285a6e4030b, 0x3c6e149289cecb8f, 0x3fef0cafa93e2f56,
    0x3c834d754db0abb6, 0x3fef06fe0a31b715, 0x3c864201e2ac744c, 0x3fef0170fc4cd831,
    0x3c8fdd395dd3f84a, 0x3feefc08b26416ff, 0xbc86a3803b8e5b04, 0x3feef6c55f929ff1,
    0xbc924aedcc4b5068, 0x3feef1a7373aa9cb, 0xbc9907f81b512d8e, 0x3feeecae6d05d866,
    0xbc71d1e83e9436d2, 0x3feee7db34e59ff7, 0xbc991919b3ce1b15, 0x3feee32dc313a8e5,
    0x3c859f48a72a4c6d, 0x3feedea64c123422, 0xbc9312607a28698a, 0x3feeda4504ac801c,
    0xbc58a78f4817895b, 0x3feed60a21f72e2a, 0xbc7c2c9b67499a1b, 0x3feed1f5d950a897,
    0x3c4363ed60c2ac11, 0x3feece086061892d, 0x3c9666093b0664ef, 0x3feeca41ed1d0057,
    0x3c6ecce1daa10379, 0x3feec6a2b5c13cd0, 0x3c93ff8e3f0f1230, 0x3feec32af0d7d3de,
    0x3c7690cebb7aafb0, 0x3feebfdad5362a27, 0x3c931dbdeb54e077, 0x3feebcb299fddd0d,
    0xbc8f94340071a38e, 0x3feeb9b2769d2ca7, 0xbc87deccdc93a349, 0x3feeb6daa2cf6642,
    0xbc78dec6bd0f385f, 0x3feeb42b569d4f82, 0xbc861246ec7b5cf6, 0x3feeb1a4ca5d920f,
    0x3c93350518fdd78e, 0x3feeaf4736b527da, 0x3c7b98b72f8a9b05, 0x3feead12d497c7fd,
    0x3c9063e1e21c5409, 0x3feeab07dd485429, 0x3c34c7855019c6ea, 0x3feea9268a5946b7,
    0x3c9432e62b64c035, 0x3feea76f15ad2148, 0xbc8ce44a6199769f, 0x3feea5e1b976dc09,
    0xbc8c33c53bef4da8, 0x3feea47eb03a5585, 0xbc845378892be9ae, 0x3feea34634ccc320,
    0xbc93cedd78565858, 0x3feea23882552225, 0x3c5710aa807e1964, 0x3feea155d44ca973,
    0xbc93b3efbf5e2228, 0x3feea09e667f3bcd, 0xbc6a12ad8734b982, 0x3feea012750bdabf,
    0xbc6367efb86da9ee, 0x3fee9fb23c651a2f, 0xbc80dc3d54e08851, 0x3fee9f7df9519484,
    0xbc781f647e5a3ecf, 0x3fee9f75e8ec5f74, 0xbc86ee4ac08b7db0, 0x3fee9f9a48a58174,
    0xbc8619321e55e68a, 0x3fee9feb564267c9, 0x3c909ccb5e09d4d3, 0x3feea0694fde5d3f,
    0xbc7b32dcb94da51d, 0x3feea11473eb0187, 0x3c94ecfd5467c06b, 0x3feea1ed0130c132,
    0x3c65ebe1abd66c55, 0x3feea2f336cf4e62, 0xbc88a1c52fb3cf42, 0x3feea427543e1a12,
    0xbc9369b6f13b3734, 0x3feea589994cce13, 0xbc805e843a19ff1e, 0x3feea71a4623c7ad,
    0xbc94d450d872576e, 0x3feea8d99b4492ed, 0x3c90ad675b0e8a00, 0x3feeaac7d98a6699,
    0x3c8db72fc1f0eab4, 0x3feeace5422aa0db, 0xbc65b6609cc5e7ff, 0x3feeaf3216b5448c,
    0x3c7bf68359f35f44, 0x3feeb1ae99157736, 0xbc93091fa71e3d83, 0x3feeb45b0b91ffc6,
    0xbc5da9b88b6c1e29, 0x3feeb737b0cdc5e5, 0xbc6c23f97c90b959, 0x3feeba44cbc8520f,
    0xbc92434322f4f9aa, 0x3feebd829fde4e50, 0xbc85ca6cd7668e4b, 0x3feec0f170ca07ba,
    0x3c71affc2b91ce27, 0x3feec49182a3f090, 0x3c6dd235e10a73bb, 0x3feec86319e32323,
    0xbc87c50422622263, 0x3feecc667b5de565, 0x3c8b1c86e3e231d5, 0x3feed09bec4a2d33,
    0xbc91bbd1d3bcbb15, 0x3feed503b23e255d, 0x3c90cc319cee31d2, 0x3feed99e1330b358,
    0x3c8469846e735ab3, 0x3feede6b5579fdbf, 0xbc82dfcd978e9db4, 0x3feee36bbfd3f37a,
    0x3c8c1a7792cb3387, 0x3feee89f995ad3ad, 0xbc907b8f4ad1d9fa, 0x3feeee07298db666,
    0xbc55c3d956dcaeba, 0x3feef3a2b84f15fb, 0xbc90a40e3da6f640, 0x3feef9728de5593a,
    0xbc68d6f438ad9334, 0x3feeff76f2fb5e47, 0xbc91eee26b588a35, 0x3fef05b030a1064a,
    0x3c74ffd70a5fddcd, 0x3fef0c1e904bc1d2, 0xbc91bdfbfa9298ac, 0x3fef12c25bd71e09,
    0x3c736eae30af0cb3, 0x3fef199bdd85529c, 0x3c8ee3325c9ffd94, 0x3fef20ab5fffd07a,
    0x3c84e08fd10959ac, 0x3fef27f12e57d14b, 0x3c63cdaf384e1a67, 0x3fef2f6d9406e7b5,
    0x3c676b2c6c921968, 0x3fef3720dcef9069, 0xbc808a1883ccb5d2, 0x3fef3f0b555dc3fa,
    0xbc8fad5d3ffffa6f, 0x3fef472d4a07897c, 0xbc900dae3875a949, 0x3fef4f87080d89f2,
    0x3c74a385a63d07a7, 0x3fef5818dcfba487, 0xbc82919e2040220f, 0x3fef60e316c98398,
    0x3c8e5a50d5c192ac, 0x3fef69e603db3285, 0x3c843a59ac016b4b, 0x3fef7321f301b460,
    0xbc82d52107b43e1f, 0x3fef7c97337b9b5f, 0xbc892ab93b470dc9, 0x3fef864614f5a129,
    0x3c74b604603a88d3, 0x3fef902ee78b3ff6, 0x3c83c5ec519d7271, 0x3fef9a51fbc74c83,
    0xbc8ff7128fd391f0, 0x3fefa4afa2a490da, 0xbc8dae98e223747d, 0x3fefaf482d8e67f1,
    0x3c8ec3bc41aa2008, 0x3fefba1bee615a27, 0x3c842b94c3a9eb32, 0x3fefc52b376bba97,
    0x3c8a64a931d185ee, 0x3fefd0765b6e4540, 0xbc8e37bae43be3ed, 0x3fefdbfdad9cbe14,
    0x3c77893b4d91cd9d, 0x3fefe7c1819e90d8, 0x3c5305c14160cc89, 0x3feff3c22b8f71f1,
};

// Arguments the algorithm takes on its main branch: 2^-54 <= |x| < 512 (the library tests the
// exponent field, 0x3c9 to 0x407). Above, its special cases take over. Below, the library returns
// 1 + x, and so does the main branch: there k = 0, r = x, the table's first pair is (0, 1), the
// polynomial's terms beyond r stay under half an ulp of x, so tmp = x and the last step rounds
// 1 * x + 1. The kernels therefore run every argument below 512 through the main branch.
constexpr double kMainHigh = 512.0;

// Where a variant of the algorithm without fused multiply-adds rounds differently; the last
// eight, where leaving either of the two fusions that matter out alone does.
constexpr double kFusedWitnesses[] = {
    -0x1.00902d2df1f4p+9,   -0x1.3c83ba54b11fcp+9,  -0x1.145825cdbfbcap+9,  -0x1.06c0bfadd9822p+9,
    -0x1.0364594fcb44dp+9,  -0x1.553a2ddacd5c1p+9,  -0x1.33c3a709a42d7p+9,  -0x1.3540c8d2f5645p+9,
    -0x1.48465fb83b26p+9,   -0x1.3bd4512bbd0f7p+9,  -0x1.17bfb5f8c4bfp+9,   -0x1.35fb53c25895fp+9,
    -0x1.4f63d210390cp+7,   -0x1.c3382228badf4p+8,  -0x1.3f049c7469c48p+8,  -0x1.7f5e1f616c6e4p+8,
    -0x1.e54f4d8559b7dp+8,  -0x1.f10016b20a042p+8,  -0x1.36526e65204eap+7,  -0x1.4f8d0fd75907cp+8,
    -0x1.f2ac0c988368ap+8,  -0x1.f1aa56a8cd7bap+8,  -0x1.e9aacb4c9497p+4,   -0x1.2f5cd4b3e185p+8,
    -0x1.1eda7fa76f5d8p-1,  -0x1.303fbdf0b105cp-3,  -0x1.c2bcae750ed2ep-1,  -0x1.7516c4d2d0b83p-1,
    -0x1.27afe721f5e48p-1,  -0x1.a4a6f8089fbfcp-1,  -0x1.9d333442face2p-2,  -0x1.fa8002f39196cp-2,
    -0x1.587b4023176e2p-1,  -0x1.90f55ff2da387p-1,  -0x1.326d17c296198p-1,  -0x1.dd8cc1c179e12p-1,
    -0x1.685b49ad91014p-11, -0x1.88ffb5812ba1fp-11, -0x1.6500a3a04968p-11,  -0x1.001d8a0b70643p-10,
    -0x1.07dbf1353069ap-11, -0x1.4c14e31bf96aap-11, -0x1.7a9aa13ddeadep-11, -0x1.22eb44f7cd53ap-11,
    -0x1.cf2262d97bce4p-12, -0x1.e46c91dcaf3aap-12, -0x1.8e95bdffcd838p-11, -0x1.ff0c5a47dbfffp-11,
    0x1.65420bcfc589ep+7,   0x1.e977eda6dfc2cp+7,   0x1.835f61c7c1e8p+6,    0x1.d28c3443bfe76p+7,
    0x1.f23e8593b7c83p+8,   0x1.a902bfaa23c58p+7,   0x1.c79296ed95057p+8,   0x1.4c8eb647220a8p+5,
    0x1.091dd175c0ac7p+8,   0x1.c504f085f1a08p+7,   0x1.ef4b0cc4510dfp+8,   0x1.cd5fc3ec65534p+8,
    -0x1.b91923775a2d1p+8,  -0x1.a16b13ff6280cp-3,  -0x1.6187bf4c2b306p+8,  -0x1.b7adeebe3945cp-2,
    -0x1.18ec762af2d01p-1,  -0x1.ad2867fdba703p+8,  -0x1.48f03dbe4694p-1,   -0x1.b1e2f49485038p+8,
};

// Every argument the check compares, in a fixed order: for every table entry, in both signs and
// over the whole main range, the centre of a reduction interval and the five doubles around each
// edge; the fused witnesses; the thresholds of every branch and special case.
template <class F>
void for_each_check_argument(F&& f) {
  constexpr int kQuotients[] = {0, 1, 2, 7, 31, 127, 400, 737};
  for (const int q : kQuotients) {
    for (int j = 0; j < 128; ++j) {
      for (const int sign : {-1, 1}) {
        const double k = sign * (128.0 * q + j);
        f(k / kInvLn2N);
        double edge = (k + 0.5) / kInvLn2N;
        for (int s = 0; s < 2; ++s) edge = std::nextafter(edge, -INFINITY);
        for (int s = 0; s < 5; ++s, edge = std::nextafter(edge, INFINITY)) f(edge);
      }
    }
  }
  for (const double w : kFusedWitnesses) f(w);
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // clang-format off
  const double thresholds[] = {0x1p-54, 0x1p-1074, 0x1p-1022, 0x1p-60, 512.0, 1024.0,
                               0x1.62e42fefa39efp9, 0x1.74910d52d3051p9, 0x1.6232bdd7abcd2p9,
                               0x1.633ce8fb9f87dp9, 708.0, 745.0, 746.0, 1.0, 0.5,
                               std::numeric_limits<double>::max()};
  // clang-format on
  for (const double t : thresholds) {
    for (const double s : {t, -t}) {
      f(std::nextafter(s, -kInf));
      f(s);
      f(std::nextafter(s, kInf));
    }
  }
  for (const double s : {0.0, -0.0, kInf, -kInf, std::numeric_limits<double>::quiet_NaN(),
                         -std::numeric_limits<double>::quiet_NaN(),
                         std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}),
                         std::bit_cast<double>(std::uint64_t{0xfff8000000abcdef})})
    f(s);
}

void exp_scalar(double* v, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) v[i] = ::exp(v[i]);
}

#if LUDOVEC_VECTOR_EXP

// y[l] <- ::exp(x[l]) for the lanes l < width set in `lanes`; out of line, so that the vector
// code keeps no state across calls.
[[gnu::noinline, gnu::cold]] void exp_by_library(const double* x, double* y, int lanes,
                                                 int width) noexcept {
  for (int l = 0; l < width; ++l)
    if (lanes & (1 << l)) y[l] = ::exp(x[l]);
}

// How a kernel reads its arguments. One by one where the caller has usually just written them
// one by one (a wide load of narrower stores still in flight waits for them); as a vector where
// they were written as vectors, as the lanes write them.
enum class Loads : std::uint8_t { one_by_one, vector };

// p[0 .. 4) <- exp of them: four lanes of the algorithm, operation for operation as the C
// library's variant compiled with fused multiply-adds evaluates it. Lanes of magnitude 512 or
// more, infinite or NaN get ::exp.
template <Loads kLoads>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void exp4(double* p) noexcept {
  __m256d x;
  if constexpr (kLoads == Loads::vector) {
    x = _mm256_loadu_pd(p);
  } else {
    x = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadh_pd(_mm_load_sd(p), p + 1)),
                             _mm_loadh_pd(_mm_load_sd(p + 2), p + 3), 1);
  }
  // Ours by magnitude: below 512 (NaN fails the comparison).
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
  const __m256d ours = _mm256_cmp_pd(magnitude, _mm256_set1_pd(kMainHigh), _CMP_LT_OQ);

  const __m256d shift = _mm256_set1_pd(kShift);
  const __m256d kd_shifted = _mm256_fmadd_pd(x, _mm256_set1_pd(kInvLn2N), shift);
  const __m256i ki = _mm256_castpd_si256(kd_shifted);
  const __m256d kd = _mm256_sub_pd(kd_shifted, shift);
  __m256d r = _mm256_fmadd_pd(kd, _mm256_set1_pd(kNegLn2HiN), x);
  r = _mm256_fmadd_pd(kd, _mm256_set1_pd(kNegLn2LoN), r);
  // The table pairs (T, H bits) of the four lanes, by byte offset. The offsets go through memory,
  // stored in 128-bit halves and read back as integers: the stores forward to the reads, and the
  // shuffle port, which moving each offset out of the register would take, stays with the
  // arithmetic. The empty asm keeps the compiler from turning the round trip into those moves.
  const __m256i offsets = _mm256_slli_epi64(_mm256_and_si256(ki, _mm256_set1_epi64x(127)), 4);
  alignas(32) std::int64_t offset[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(offset), _mm256_castsi256_si128(offsets));
  _mm_store_si128(reinterpret_cast<__m128i*>(offset + 2), _mm256_extracti128_si256(offsets, 1));
  asm("" : "+m"(offset));
  const char* table = reinterpret_cast<const char*>(kTable);
  const auto pair = [table](std::int64_t at) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table + at));
  };
  const __m256i pairs02 =
      _mm256_inserti128_si256(_mm256_castsi128_si256(pair(offset[0])), pair(offset[2]), 1);
  const __m256i pairs13 =
      _mm256_inserti128_si256(_mm256_castsi128_si256(pair(offset[1])), pair(offset[3]), 1);
  const __m256d tail = _mm256_castsi256_pd(_mm256_unpacklo_epi64(pairs02, pairs13));
  const __m256i scale_bits =
      _mm256_add_epi64(_mm256_unpackhi_epi64(pairs02, pairs13), _mm256_slli_epi64(ki, 45));
  const __m256d p23 = _mm256_fmadd_pd(r, _mm256_set1_pd(kC3), _mm256_set1_pd(kC2));
  const __m256d p45 = _mm256_fmadd_pd(r, _mm256_set1_pd(kC5), _mm256_set1_pd(kC4));
  const __m256d r2 = _mm256_mul_pd(r, r);
  __m256d tmp = _mm256_fmadd_pd(p23, r2, _mm256_add_pd(r, tail));
  tmp = _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), p45, tmp);
  const __m256d scale = _mm256_castsi256_pd(scale_bits);
  __m256d y = _mm256_fmadd_pd(scale, tmp, scale);

  const int others = ~_mm256_movemask_pd(ours) & 0xf;
  if (others == 0) [[likely]] {
    _mm256_storeu_pd(p, y);
  } else {
    double xs[4];
    _mm256_storeu_pd(xs, x);
    _mm256_storeu_pd(p, y);
    exp_by_library(xs, p, others, 4);
  }
}

// GCC 12's 512-bit intrinsics start from a deliberately undefined register, which its
// uninitialized-value analysis reports where they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The same for eight lanes in one 512-bit register: the same operations on each lane.
[[gnu::target("avx512f,avx512dq,avx2,fma"), gnu::always_inline]] inline void exp8(
    double* p) noexcept {
  const __m512d x = _mm512_loadu_pd(p);
  const __m512d magnitude = _mm512_abs_pd(x);
  const __mmask8 ours = _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(kMainHigh), _CMP_LT_OQ);

  const __m512d shift = _mm512_set1_pd(kShift);
  const __m512d kd_shifted = _mm512_fmadd_pd(x, _mm512_set1_pd(kInvLn2N), shift);
  const __m512i ki = _mm512_castpd_si512(kd_shifted);
  const __m512d kd = _mm512_sub_pd(kd_shifted, shift);
  __m512d r = _mm512_fmadd_pd(kd, _mm512_set1_pd(kNegLn2HiN), x);
  r = _mm512_fmadd_pd(kd, _mm512_set1_pd(kNegLn2LoN), r);
  // The table pairs by byte offset, through memory as in exp4, in four 128-bit quarters: a
  // 512-bit store does not forward to the 64-bit reads.
  const __m512i offsets = _mm512_slli_epi64(_mm512_and_si512(ki, _mm512_set1_epi64(127)), 4);
  alignas(64) std::int64_t offset[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(offset), _mm512_castsi512_si128(offsets));
  _mm_store_si128(reinterpret_cast<__m128i*>(offset + 2), _mm512_extracti64x2_epi64(offsets, 1));
  _mm_store_si128(reinterpret_cast<__m128i*>(offset + 4), _mm512_extracti64x2_epi64(offsets, 2));
  _mm_store_si128(reinterpret_cast<__m128i*>(offset + 6), _mm512_extracti64x2_epi64(offsets, 3));
  asm("" : "+m"(offset));
  const char* table = reinterpret_cast<const char*>(kTable);
  const auto pair = [table](std::int64_t at) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table + at));
  };
  // The pairs of the even lanes in one register, of the odd lanes in another.
  __m512i even = _mm512_castsi128_si512(pair(offset[0]));
  even = _mm512_inserti64x2(even, pair(offset[2]), 1);
  even = _mm512_inserti64x2(even, pair(offset[4]), 2);
  even = _mm512_inserti64x2(even, pair(offset[6]), 3);
  __m512i odd = _mm512_castsi128_si512(pair(offset[1]));
  odd = _mm512_inserti64x2(odd, pair(offset[3]), 1);
  odd = _mm512_inserti64x2(odd, pair(offset[5]), 2);
  odd = _mm512_inserti64x2(odd, pair(offset[7]), 3);
  const __m512d tail = _mm512_castsi512_pd(_mm512_unpacklo_epi64(even, odd));
  const __m512i scale_bits =
      _mm512_add_epi64(_mm512_unpackhi_epi64(even, odd), _mm512_slli_epi64(ki, 45));
  const __m512d p23 = _mm512_fmadd_pd(r, _mm512_set1_pd(kC3), _mm512_set1_pd(kC2));
  const __m512d p45 = _mm512_fmadd_pd(r, _mm512_set1_pd(kC5), _mm512_set1_pd(kC4));
  const __m512d r2 = _mm512_mul_pd(r, r);
  __m512d tmp = _mm512_fmadd_pd(p23, r2, _mm512_add_pd(r, tail));
  tmp = _mm512_fmadd_pd(_mm512_mul_pd(r2, r2), p45, tmp);
  const __m512d scale = _mm512_castsi512_pd(scale_bits);
  __m512d y = _mm512_fmadd_pd(scale, tmp, scale);

  const int others = static_cast<__mmask8>(~ours);
  _mm512_storeu_pd(p, y);
  if (others != 0) [[unlikely]] {
    double xs[8];
    _mm512_storeu_pd(xs, x);
    exp_by_library(xs, p, others, 8);
  }
}

// The last 1 to 3 arguments through a local block (masked stores are slow on some processors);
// the unused lanes hold +0.0, whose exp the main branch gives without calling anything.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void exp_rest(double* v,
                                                                     std::size_t n) noexcept {
  double block[4] = {};
  std::memcpy(block, v, n * sizeof(double));
  exp4<Loads::one_by_one>(block);
  std::memcpy(v, block, n * sizeof(double));
}

[[gnu::target("avx2,fma")]] void exp_avx2(double* v, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) exp4<Loads::one_by_one>(v + i);
  if (i < n) exp_rest(v + i, n - i);
}

[[gnu::target("avx2,fma")]] void exp_avx2_lanes(double* v, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) exp4<Loads::vector>(v + i);
  if (i < n) exp_rest(v + i, n - i);
}

[[gnu::target("avx512f,avx512dq,avx2,fma")]] void exp_avx512_lanes(double* v,
                                                                   std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) exp8(v + i);
  if (i + 4 <= n) {
    exp4<Loads::vector>(v + i);
    i += 4;
  }
  if (i < n) exp_rest(v + i, n - i);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool avx2_available() noexcept {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool avx512_available() noexcept {
  return avx2_available() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512dq");
}

#else

void exp_avx2(double* v, std::size_t n) noexcept { exp_scalar(v, n); }
void exp_avx2_lanes(double* v, std::size_t n) noexcept { exp_scalar(v, n); }
void exp_avx512_lanes(double* v, std::size_t n) noexcept { exp_scalar(v, n); }
bool avx2_available() noexcept { return false; }
bool avx512_available() noexcept { return false; }

#endif

ExpPath decided_path() noexcept {
  static const ExpPath first = exp_testing::decide_path(&::exp);  // thread-safe, once
  return first;
}

// The kernels of a path: for arguments written one by one, and for arguments written as vectors.
// The 512-bit path reads the former as the AVX2 one does.
exp_detail::Kernel kernel_of(ExpPath path) noexcept {
  return path == ExpPath::scalar ? &exp_scalar : &exp_avx2;
}

exp_detail::Kernel lanes_kernel_of(ExpPath path) noexcept {
  switch (path) {
    case ExpPath::avx512: return &exp_avx512_lanes;
    case ExpPath::avx2: return &exp_avx2_lanes;
    case ExpPath::scalar: break;
  }
  return &exp_scalar;
}

void decide_and_run(double* v, std::size_t n) noexcept { kernel_of(decided_path())(v, n); }
void decide_and_run_lanes(double* v, std::size_t n) noexcept {
  lanes_kernel_of(decided_path())(v, n);
}

std::atomic<ExpPath> installed{ExpPath::scalar};

}  // namespace

std::atomic<exp_detail::Kernel> exp_detail::kernel{&decide_and_run};
std::atomic<exp_detail::Kernel> exp_detail::lanes_kernel{&decide_and_run_lanes};

ExpPath exp_path() noexcept {
  if (exp_detail::kernel.load(std::memory_order_relaxed) == &decide_and_run) return decided_path();
  return installed.load(std::memory_order_relaxed);
}

namespace exp_testing {

std::size_t check_arguments(double* out) noexcept {
  std::size_t count = 0;
  for_each_check_argument([&](double x) {
    if (out) out[count] = x;
    ++count;
  });
  return count;
}

bool available(ExpPath path) noexcept {
  switch (path) {
    case ExpPath::avx512: return avx512_available();
    case ExpPath::avx2: return avx2_available();
    case ExpPath::scalar: break;
  }
  return true;
}

void exp_through(ExpPath path, double* v, std::size_t n, bool lanes) noexcept {
  if (!available(path)) path = ExpPath::scalar;
  (lanes ? lanes_kernel_of(path) : kernel_of(path))(v, n);
}

bool path_agrees(ExpPath path, double (*reference)(double)) noexcept {
  if (!available(path)) return false;
  // In blocks, so the vector path also sees its arguments in every lane position.
  constexpr std::size_t kBlock = 61;
  double args[kBlock], got[kBlock];
  std::size_t filled = 0;
  bool agrees = true;
  const auto compare = [&] {
    for (const bool lanes : {false, true}) {
      std::memcpy(got, args, filled * sizeof(double));
      exp_through(path, got, filled, lanes);
      for (std::size_t i = 0; i < filled; ++i)
        agrees &= std::bit_cast<std::uint64_t>(got[i]) ==
                  std::bit_cast<std::uint64_t>(reference(args[i]));
    }
    filled = 0;
  };
  for_each_check_argument([&](double x) {
    args[filled++] = x;
    if (filled == kBlock) compare();
  });
  compare();
  return agrees;
}

ExpPath decide_path(double (*reference)(double)) noexcept {
  const int saved_errno = errno;  // the thresholds overflow and underflow on purpose
  ExpPath path = ExpPath::scalar;
  for (const ExpPath wide : {ExpPath::avx512, ExpPath::avx2}) {
    if (path_agrees(wide, reference)) {
      path = wide;
      break;
    }
  }
  errno = saved_errno;
  installed.store(path, std::memory_order_relaxed);
  exp_detail::kernel.store(kernel_of(path), std::memory_order_relaxed);
  exp_detail::lanes_kernel.store(lanes_kernel_of(path), std::memory_order_relaxed);
  return path;
}

}  // namespace exp_testing

}  // namespace ludovec::math
