// Subtree re-optimisation: the exact contraction order of a small window of a tree, by a
// dynamic program over subsets, and sweeps that splice cheaper windows into a whole tree.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "trees/network.hpp"
#include "trees/tree.hpp"

namespace plenexa::trees {

// Most leaves of one window.
inline constexpr unsigned max_window = 16;

// A cheapest contraction order of a few operands: its cost, and its steps over the operands
// (numbers below w are operands, step k makes w + k), in post-order.
struct Order {
    double cost = 0;
    Steps steps;
};

// A cheapest order of 1 to `max_window` operands, each given by its axes (sorted); `kept[axis]`
// is nonzero when the final result keeps the axis, and an axis otherwise leaves an intermediate
// as soon as it holds every operand with that axis (an axis of one operand only is summed at its
// first step, as for inputs). With `outer` false, every step contracts operands sharing an axis,
// unless the operands do not all connect. Throws util::InvalidValue for 0 or too many operands.
Order best_order(const std::vector<Axes>& leaves, const std::vector<double>& sizes,
                 const std::vector<uint8_t>& kept, bool outer);

// The best costs of windows already solved on one network, shared by the refinements of its
// trees (on any thread), so that a window met again, in another tree or after a change elsewhere
// in the same one, is not solved again only to find that it cannot improve. A window is known by
// its leaves' axes in order, the axes its result keeps and its pricing; the answer is the one a
// solve would give, so paths do not depend on what the memo holds. On the 180-tensor MPS-MPO-MPS
// sandwich two solves in three were of windows met before; on six networks of
// bench/evaluation.py (circuit, cube, sandwich, PEPS, 3-regular, 3-SAT) the default effort took
// 0.89 times the time, every path the same.
class WindowMemo {
public:
    using Key = std::array<uint64_t, 2>;
    // The best cost recorded for `key`, if any.
    std::optional<double> find(const Key& key) const;
    // Records the best cost of `key`'s window, while the memo holds fewer than most_windows.
    void store(const Key& key, double best);

private:
    // Bounds the memo's memory (about 16 MB) on networks of many thousand tensors.
    static constexpr size_t most_windows = size_t{1} << 18;
    struct KeyHash {
        size_t operator()(const Key& key) const { return static_cast<size_t>(key[0]); }
    };
    mutable std::mutex mutex_;
    std::unordered_map<Key, double, KeyHash> best_;
};

// The budget of a refinement.
struct RefineSettings {
    unsigned window{};  // most leaves per window, 3 to max_window
    unsigned sweeps{};  // most sweeps over the tree
    Objective objective;  // what a window's order must improve
    Deadline deadline;    // when it passes, the refinement stops between two windows
    WindowMemo* memo = nullptr;  // windows solved before on this network, or none
};

// Improves `tree` (over a checked network) in place, under the settings' objective (for "size",
// a window's order of fewest flops among those that keep the tree's largest intermediate, or
// lower it when the window holds every node of that size): each sweep visits every internal node in
// post-order and re-optimises the window rooted there (the node and, repeatedly, the internal
// node below with the largest tensor or the largest subtree flops, up to a number of leaves),
// splicing in the window's best order when it is cheaper; a window of a size that found no cheaper
// order at a node before, whose subtree has not changed since, is skipped to the same effect.
// Sweeps cycle through windows of `window` leaves grown by tensor size, `window` - 2 by flops and
// `window` - 4 by size. Stops when a whole cycle brings no improvement, after `settings.sweeps`
// sweeps, or when `stop` turns true; the tree is complete and consistent at every point.
// With `changed`, the tree is taken as refined but for those nodes: a window is visited first only
// when its subtree holds one of them (after a few subtrees were replaced, a sweep skips the rest).
// Returns the number of complete sweeps. Deterministic.
unsigned refine(const Network& network, Tree& tree, const RefineSettings& settings,
                const std::atomic<bool>* stop = nullptr, const std::vector<uint32_t>* changed = nullptr);

}  // namespace plenexa::trees
