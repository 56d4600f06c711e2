// The check of a network for the tree search, and its sizes as doubles.
#include "trees/network.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "util/failure.hpp"

namespace plenexa::trees {

Network checked(Network network) {
    using util::InvalidValue;
    const size_t n_axes = network.sizes.size();
    // Node numbers of a tree over N inputs run to 2N - 2, and must fit below the "no node" mark.
    if (network.inputs.empty()) throw InvalidValue("the network has no inputs");
    if (network.inputs.size() > std::numeric_limits<uint32_t>::max() / 2)
        throw InvalidValue("the network has more than 2^31 - 1 inputs");
    if (n_axes > std::numeric_limits<Axis>::max()) throw InvalidValue("the network has 2^32 axes or more");
    if (network.output.empty()) network.output.assign(n_axes, 0);
    if (network.output.size() != n_axes)
        throw InvalidValue("output has " + std::to_string(network.output.size()) + " entries for " +
                           std::to_string(n_axes) + " axes");
    for (size_t axis = 0; axis < n_axes; ++axis)
        if (network.sizes[axis] == 0) throw InvalidValue("axis " + std::to_string(axis) + " has size 0");
    for (size_t i = 0; i < network.inputs.size(); ++i) {
        Axes& axes = network.inputs[i];
        std::sort(axes.begin(), axes.end());
        if (!axes.empty() && axes.back() >= n_axes)
            throw InvalidValue("input " + std::to_string(i) + " names axis " + std::to_string(axes.back()) +
                               ", which has no size");
        if (std::adjacent_find(axes.begin(), axes.end()) != axes.end())
            throw InvalidValue("input " + std::to_string(i) + " repeats an axis");
    }
    return network;
}

bool path_like(const Network& network) {
    const size_t n = network.inputs.size();
    std::vector<uint32_t> holders(network.sizes.size(), 0);
    for (const Axes& axes : network.inputs)
        for (const Axis axis : axes) ++holders[axis];
    // Union-find over inputs (0..n-1) and axes (n + axis): an edge between two vertices already
    // joined closes a cycle.
    std::vector<size_t> parent(n + network.sizes.size());
    for (size_t v = 0; v < parent.size(); ++v) parent[v] = v;
    const auto root = [&](size_t v) {
        while (parent[v] != v) v = parent[v] = parent[parent[v]];
        return v;
    };
    for (size_t i = 0; i < n; ++i) {
        unsigned shared = 0;
        for (const Axis axis : network.inputs[i]) {
            if (holders[axis] < 2) continue;
            const size_t a = root(i), b = root(n + axis);
            if (a == b || ++shared > 2) return false;
            parent[a] = b;
        }
    }
    return true;
}

std::vector<double> size_weights(const Network& network) {
    return std::vector<double>(network.sizes.begin(), network.sizes.end());
}

}  // namespace plenexa::trees
