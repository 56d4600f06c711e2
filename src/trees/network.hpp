// The input of the tree search for large networks: a tensor network in dense form
// (axes numbered 0..A-1), and the check that puts one into the form the search needs.
#pragma once

#include <cstdint>
#include <vector>

namespace plenexa::trees {

// An axis id, below the network's number of axes.
using Axis = uint32_t;
// A set of axes: sorted, each axis once.
using Axes = std::vector<Axis>;

// A tensor network. The search assumes it is connected (some chain of shared axes joins any
// two inputs); a disconnected one still gets a valid tree, its components joined by outer products.
struct Network {
    std::vector<Axes> inputs;     // per input its distinct axes
    std::vector<uint64_t> sizes;  // per axis its size (at least 1)
    std::vector<uint8_t> output;  // per axis 1 when the output keeps it; empty means none is kept
};

// `network` with each input's axes sorted and `output` one entry per axis. Throws
// util::InvalidValue when there is no input, an input repeats an axis or names one without
// a size, a size is 0, `output` has another length, or the ids do not fit in 32 bits.
Network checked(Network network);

// Whether the network is path-like: no input shares more than two axes with other inputs, and the
// graph joining each input to the axes it shares is a forest (no cycle). Chains and inputs around
// one shared axis are; rings, inputs sharing two axes with one another, and trees with a branching
// input are not.
bool path_like(const Network& network);

// The axis sizes as doubles, the unit of every size and cost in the search.
std::vector<double> size_weights(const Network& network);

}  // namespace plenexa::trees
