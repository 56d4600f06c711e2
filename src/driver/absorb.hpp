// Absorption of vectors and matrices into their neighbours before a path search. Raw networks
// (circuits built gate by gate, factor graphs with unary factors, einsum calls with bias vectors)
// carry many tensors of one or two axes whose absorption into a neighbour never grows a tensor;
// contracting them first leaves the search a network several times smaller, whose paths are
// cheaper and found sooner.
//
// Paths here are in numbered form: a list of pairs of node numbers, where the numbers below N are
// the N inputs and the k-th pair makes node N + k; each node is consumed at most once. opt_einsum's
// positional form (positions in the shrinking operand list, each result appended at the end) is
// obtained from it by subtracting from each number the count of smaller numbers already consumed.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace plenexa::driver {

// Pairwise steps in numbered form (see above).
using NumberedPath = std::vector<std::array<uint64_t, 2>>;

// A network after absorption: the steps that reduced it, and what is left to search.
struct Absorbed {
    // The absorption steps over the original inputs, in an order valid for a replay.
    NumberedPath steps;
    // The reduced network's inputs (same ids, output and sizes as the original), in increasing
    // node number: first the untouched original inputs in their order, with their axis lists
    // as given, then the absorption results, each listing its distinct axes.
    std::vector<std::vector<uint64_t>> inputs;
    // For each reduced input, the node number it stands for (an original input's index, or
    // N + k for the result of step k).
    std::vector<uint64_t> nodes;
};

// Absorbs, repeatedly, every tensor of one or two distinct axes into a neighbour (a tensor sharing
// one of its axes) when the pair's result has no more axes and no more elements than the
// neighbour (a result keeps the axes that the output or some other tensor holds) and the step
// costs at most twice the neighbour's size. So a vector is always absorbed (its axis kept while
// others hold it), and a matrix [i, j] goes into a holder of i when i then leaves and j has size
// at most 2 and no larger than i (a gate on a qubit line), or into a tensor holding both. Of the
// neighbours that qualify, the one whose step costs least (the product of the sizes of both
// operands' axes) is chosen, then the lowest node number. A vector goes in together with the
// other leaf vectors of its neighbour (vectors whose one axis only they and the neighbour hold,
// up to 11), in their cheapest order, where outer products among the vectors first may beat
// one by one. Scalars and tensors sharing no axis are
// left alone. A matrix refused once is looked at again when an absorption leaves one of its axes
// with two holders. Time is linear in the network's size but for hyperedges: a tensor looked at
// scans the holders of its axes.
//
// `inputs` lists per tensor its axis ids (an id may repeat within one), `output` the ids the
// result keeps, `sizes` the size of every id. Throws util::InvalidValue when an id has no size,
// a size is 0, or there are 2^62 tensors or more.
Absorbed absorb(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                const std::vector<uint64_t>& sizes);

// The whole path over the `n_inputs` original inputs, in numbered form: the absorption steps,
// then `reduced` (a numbered path over the reduced network's inputs) renumbered. When the reduced
// network has one input, `reduced` is empty and the absorption steps are the whole path. Throws
// util::Panic when `reduced` names a node that does not exist yet or was already consumed.
NumberedPath splice(const Absorbed& absorbed, uint64_t n_inputs, const NumberedPath& reduced);

}  // namespace plenexa::driver
