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
    // Equality, for subgraphs used as table keys.
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

// Number of set bits: the builtin where the code is compiled for a population-count
// instruction (`Native`), else arithmetic that avoids a library call.
template <bool Native>
inline int count_bits(uint64_t x) {
    if constexpr (Native) {
        return __builtin_popcountll(x);
    } else {
        x = x - ((x >> 1) & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<int>((x * 0x0101010101010101ull) >> 56);
    }
}

// Sizes of axis sets within one component, with a shortcut for the common case in which
// every axis has the same power-of-two size: a size is then a shift by the bit count.
template <int W, bool Native>
class Sizer {
public:
    // `sizes` per axis (the first `n_axes` are used), kept alive by the caller.
    Sizer(const uint64_t* sizes, size_t n_axes) : sizes_(sizes) {
        const uint64_t first = n_axes == 0 ? 1 : sizes[0];
        bool uniform = first != 0 && (first & (first - 1)) == 0;
        for (size_t a = 1; a < n_axes && uniform; ++a) uniform = sizes[a] == first;
        shift_ = uniform ? __builtin_ctzll(first) : -1;
        if (shift_ > 0)
            for (int bits = shift_; bits < 64; ++bits) per_shift_[bits] = static_cast<uint8_t>(per_shift_[bits - shift_] + 1);
    }

    // Size of `bits` into `out`; false on overflow.
    bool of(const Bits<W>& bits, uint64_t& out) const {
        if (shift_ < 0) return size_of(bits, sizes_, out);
        int total = 0;
        for (int i = 0; i < W; ++i) total += count_bits<Native>(bits.w[i]);
        total *= shift_;
        if (total >= 64) return false;
        out = uint64_t{1} << total;
        return true;
    }

    // Size of the union of `a` and `b` from their known sizes when not `uniform()`; false on overflow.
    bool of_union(const Bits<W>& a, uint64_t a_size, const Bits<W>& b, uint64_t b_size, uint64_t& out) const {
        return size_of_union(a, a_size, b, b_size, sizes_, out);
    }

    // True when every axis has the same power-of-two size.
    bool uniform() const { return shift_ >= 0; }

    // Size of axis `a`.
    uint64_t size(size_t a) const { return sizes_[a]; }

    // True when `uniform()` and every axis is larger than 1, so that a size counts axes.
    bool counts_axes() const { return shift_ > 0; }

    // When `counts_axes()`: the number of axes of a set of size `size` (not MAX).
    int axes_of(uint64_t size) const { return per_shift_[__builtin_ctzll(size)]; }

    // When `counts_axes()`: the most axes a set can have and stay below `room` (at least 2).
    int axes_below(uint64_t room) const { return per_shift_[63 - __builtin_clzll(room - 1)]; }

    // Size of the union of `a` and `b` from their known sizes when `uniform()` and `a_size`
    // is not MAX; false on overflow. With `b_size` MAX the answer is meaningless and the
    // caller must discard it; the shift is taken modulo 64 so that it stays defined then.
    bool of_union_uniform(const Bits<W>& a, uint64_t a_size, const Bits<W>& b, uint64_t b_size, uint64_t& out) const {
        int overlap = 0;
        for (int i = 0; i < W; ++i) overlap += count_bits<Native>(a.w[i] & b.w[i]);
        return !__builtin_mul_overflow(a_size, b_size >> ((overlap * shift_) & 63), &out);
    }

private:
    const uint64_t* sizes_;
    int shift_;
    uint8_t per_shift_[64] = {};  // bits / shift_, looked up: a division per block of partners costs too much
};

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

// A double as a saturating 64-bit count.
inline uint64_t saturated(double value) {
    return value >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(value);
}

}  // namespace plenexa::optimiser
