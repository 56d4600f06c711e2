// The network's inputs in an order that depends on the network alone, not on how its caller
// wrote it down. The tree search breaks ties by input and axis numbers, and its trees differ by
// up to 10^2 in cost between two numberings of one network; so a raw circuit whose absorption
// leaves the network a user would have simplified by hand, or one einsum written with its
// operands in another order, got another path. Ordered canonically, such networks are searched
// alike. Inputs that colour refinement cannot tell apart (every vertex of a regular graph with
// one bond size) keep their relative order.
#pragma once

#include <cstdint>
#include <vector>

#include "trees/network.hpp"
#include "trees/tree.hpp"

namespace plenexa::trees {

// A network renumbered: its inputs in canonical order, its axes numbered by first appearance in
// that order, and the original number of each.
struct Renumbered {
    Network network;
    std::vector<uint32_t> input_of;  // per canonical input, the original input's number
};

// `network` (checked) renumbered: inputs coloured by refinement over the input-axis graph (sizes
// and output marks first), then listed breadth first from the least colour, neighbours by
// colour, ties by original number. Linear in the network's size times the refinement rounds.
Renumbered canonical(const Network& network);

// Steps over the canonical inputs as steps over the original ones.
Steps original_steps(const Renumbered& renumbered, const Steps& steps);

}  // namespace plenexa::trees
