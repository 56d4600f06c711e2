// The search's own pseudo-random numbers and logarithm, built from integer and basic
// floating-point operations only, so that a seed gives the same trees on every machine.
#pragma once

#include <cmath>
#include <cstdint>

namespace plenexa::trees {

// The splitmix64 finaliser: a bijective mix of 64 bits.
inline uint64_t mix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The seed of stream `index` derived from `seed`.
inline uint64_t derive_seed(uint64_t seed, uint64_t index) { return mix64(mix64(seed) ^ mix64(~index)); }

// A uniform double in the open interval (0, 1) from 64 random bits.
inline double unit_interval(uint64_t bits) { return (static_cast<double>(bits >> 11) + 0.5) * 0x1p-53; }

// A splitmix64 stream.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    // The next 64 random bits.
    uint64_t next() {
        state_ += 0x9e3779b97f4a7c15ULL;
        return mix64(state_);
    }
    // A uniform double in (0, 1).
    double uniform() { return unit_interval(next()); }

private:
    uint64_t state_;
};

// 1 / ln 2: turns the natural logarithms below into base-2 ones.
inline constexpr double inverse_ln2 = 1.4426950408889634;

// The natural logarithm of a positive finite x to about 1e-12 relative, by frexp and an atanh
// series: the same bits everywhere, unlike the platform's log. Each operation is its own
// statement so that no compiler fuses a multiply and an add.
inline double portable_log(double x) {
    int exponent = 0;
    double m = std::frexp(x, &exponent);  // x = m * 2^exponent, m in [0.5, 1)
    if (m < 0.7071067811865476) {
        m = m * 2.0;
        exponent -= 1;
    }
    const double t = (m - 1.0) / (m + 1.0);
    const double t2 = t * t;
    double series = 1.0 / 13.0;
    for (const double c : {1.0 / 11.0, 1.0 / 9.0, 1.0 / 7.0, 1.0 / 5.0, 1.0 / 3.0, 1.0}) {
        series = series * t2;
        series = series + c;
    }
    const double log_m = 2.0 * t * series;
    const double log_exponent = exponent * 0.6931471805599453;
    return log_exponent + log_m;
}

// 2^x for a finite x of at most 1000 in magnitude, by ldexp and a Taylor series of e^(f ln 2)
// for the fraction f in [0, 1): the same bits everywhere, unlike the platform's exp2.
inline double portable_exp2(double x) {
    const double whole = std::floor(x);
    const double y = (x - whole) * 0.6931471805599453;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 20; ++k) {
        term = term * y;
        term = term / k;
        sum = sum + term;
    }
    return std::ldexp(sum, static_cast<int>(whole));
}

// A standard Gumbel variate from 64 random bits.
inline double gumbel(uint64_t bits) { return -portable_log(-portable_log(unit_interval(bits))); }

}  // namespace plenexa::trees
