// The greedy builder of contraction trees: repeatedly contracts the pair of operands sharing
// an axis whose score is lowest, optionally with seeded Gumbel noise.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "trees/network.hpp"
#include "trees/tree.hpp"

namespace plenexa::trees {

// Most holders of one axis that pair up through that axis alone: when more operands hold an
// axis, only its this-many smallest holders (by size, then number) are offered as pairs through it.
inline constexpr size_t crowded_axis_holders = 8;

// The score of contracting a and b is size(result) - alpha * (size(a) + size(b)). With a positive
// temperature T, pairs are ranked by slog2(score) - T * g instead, where slog2(x) =
// sign(x) * log2(1 + |x|) and g is a standard Gumbel variate drawn from (seed, a, b). With a
// positive jitter J, the scores see each axis's size times 1 + J * e, e a standard exponential
// variate drawn from (seed, axis), for the whole build; the tree is priced with the true sizes.
struct GreedyParams {
    double alpha = 0;
    double temperature = 0;
    uint64_t seed = 0;
    double jitter = 0;
};

// The greedy tree of a checked network. Ties go to the pair of lowest operand numbers (inputs
// 0..N-1, the result of contraction k numbered N + k). Operands that share no axis with any
// other are joined last, smallest two first. Runs in O((N + E) log N) on sparse networks.
// Returns nothing when `stop` is given and becomes true before the tree is complete, or when
// `interrupt` is given and answers true (it is asked every few milliseconds, on the calling
// thread: for a build that runs there, on a network where one may take a minute). Adds the
// number of pairs it scored, its work (the same on every machine), to `work` when given.
std::optional<Tree> greedy(const Network& network, const GreedyParams& params,
                           const std::atomic<bool>* stop = nullptr, uint64_t* work = nullptr,
                           const Interrupt* interrupt = nullptr);

}  // namespace plenexa::trees
