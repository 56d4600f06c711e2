// Fixed-width axis bitmaps and exact size products over them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plenexa::optimiser {

// A set of densely numbered axes held in W 64-bit words (axis a is bit a % 64 of word a / 64).
template <int W>
struct Bits {
    uint64_t w[W] = {};

    // Sets axis `a`.
    void set(size_t a) { w[a / 64] |= uint64_t{1} << (a % 64); }
    // True when axis `a` is in the set.
    bool has(size_t a) const { return (w[a / 64] >> (a % 64)) & 1; }
    // True when the set is not empty.
    bool any() const {
        uint64_t x = 0;
        for (int i = 0; i < W; ++i) x |= w[i];
        return x != 0;
    }
    // True when the two sets share an axis.
    bool meets(const Bits& o) const {
        uint64_t x = 0;
        for (int i = 0; i < W; ++i) x |= w[i] & o.w[i];
        return x != 0;
    }
    // Union.
    friend Bits operator|(const Bits& a, const Bits& b) {
        Bits r;
        for (int i = 0; i < W; ++i) r.w[i] = a.w[i] | b.w[i];
        return r;
    }
    // Intersection.
    friend Bits operator&(const Bits& a, const Bits& b) {
        Bits r;
        for (int i = 0; i < W; ++i) r.w[i] = a.w[i] & b.w[i];
        return r;
    }
    Bits& operator|=(const Bits& b) {
        for (int i = 0; i < W; ++i) w[i] |= b.w[i];
        return *this;
    }
    friend bool operator==(const Bits& a, const Bits& b) {
        for (int i = 0; i < W; ++i)
            if (a.w[i] != b.w[i]) return false;
        return true;
    }
};

// Multiplies the sizes of the axes in `bits` into `out`; false when the product overflows 64 bits.
template <int W>
inline bool size_of(const Bits<W>& bits, const uint64_t* sizes, uint64_t& out) {
    uint64_t product = 1;
    for (int i = 0; i < W; ++i) {
        for (uint64_t x = bits.w[i]; x != 0; x &= x - 1) {
            const uint64_t size = sizes[i * 64 + __builtin_ctzll(x)];
            if (__builtin_mul_overflow(product, size, &product)) return false;
        }
    }
    out = product;
    return true;
}

// Size of the union of sets `a` and `b` whose sizes are known (MAX meaning they may have
// overflowed): the product of both sizes over the size of their overlap, which divides
// each exactly. False on overflow.
template <int W>
inline bool size_of_union(const Bits<W>& a, uint64_t a_size, const Bits<W>& b, uint64_t b_size,
                          const uint64_t* sizes, uint64_t& out) {
    if (a_size == UINT64_MAX || b_size == UINT64_MAX || a_size == 0 || b_size == 0)
        return size_of(a | b, sizes, out);
    uint64_t overlap = 1;
    for (int i = 0; i < W; ++i)
        for (uint64_t x = a.w[i] & b.w[i]; x != 0; x &= x - 1) overlap *= sizes[i * 64 + __builtin_ctzll(x)];
    const uint64_t rest = (overlap & (overlap - 1)) == 0 ? b_size >> __builtin_ctzll(overlap) : b_size / overlap;
    return !__builtin_mul_overflow(a_size, rest, &out);
}

// Addition that stops at the largest 64-bit value instead of wrapping.
inline uint64_t add_saturating(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Multiplication that stops at the largest 64-bit value instead of wrapping.
inline uint64_t mul_saturating(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

}  // namespace plenexa::optimiser
