// Dinic's algorithm: breadth-first levels, then augmenting paths along rising levels found by an
// iterative depth-first walk that drops dead ends, until no path is left.
#include "trees/flow.hpp"

#include <algorithm>
#include <limits>

namespace plenexa::trees {

namespace {

// The absent arc or level.
constexpr uint32_t none = std::numeric_limits<uint32_t>::max();

}  // namespace

FlowNetwork::FlowNetwork(uint32_t nodes) : first_(nodes, none), level_(nodes), next_arc_(nodes) {}

void FlowNetwork::arc(uint32_t a, uint32_t b, int64_t c) {
    arcs_.push_back({b, first_[a], c});
    first_[a] = static_cast<uint32_t>(arcs_.size() - 1);
    arcs_.push_back({a, first_[b], 0});
    first_[b] = static_cast<uint32_t>(arcs_.size() - 1);
}

int64_t FlowNetwork::max_flow(uint32_t s, uint32_t t, int64_t limit) {
    int64_t total = 0;
    while (total < limit && levels(s, t)) {
        next_arc_ = first_;
        while (total < limit)
            if (const int64_t pushed = augment(s, t, limit - total)) {
                total += pushed;
            } else {
                break;
            }
    }
    return total;
}

std::vector<uint8_t> FlowNetwork::reach(uint32_t from, bool forward) const {
    std::vector<uint8_t> seen(first_.size(), 0);
    std::vector<uint32_t> queue{from};
    seen[from] = 1;
    for (size_t k = 0; k < queue.size(); ++k)
        for (uint32_t a = first_[queue[k]]; a != none; a = arcs_[a].next) {
            // Forward: arc a has room. Backward: a's pair, the arc into queue[k], has room.
            const int64_t room = forward ? arcs_[a].cap : arcs_[a ^ 1].cap;
            if (room > 0 && !seen[arcs_[a].to]) {
                seen[arcs_[a].to] = 1;
                queue.push_back(arcs_[a].to);
            }
        }
    return seen;
}

bool FlowNetwork::levels(uint32_t s, uint32_t t) {
    std::fill(level_.begin(), level_.end(), none);
    std::vector<uint32_t> queue{s};
    level_[s] = 0;
    for (size_t k = 0; k < queue.size(); ++k) {
        // Nodes at t's level or beyond lie on no path to t along rising levels.
        if (level_[t] != none && level_[queue[k]] >= level_[t]) break;
        for (uint32_t a = first_[queue[k]]; a != none; a = arcs_[a].next)
            if (arcs_[a].cap > 0 && level_[arcs_[a].to] == none) {
                level_[arcs_[a].to] = level_[queue[k]] + 1;
                queue.push_back(arcs_[a].to);
            }
    }
    return level_[t] != none;
}

int64_t FlowNetwork::augment(uint32_t s, uint32_t t, int64_t most) {
    std::vector<uint32_t> path;  // the arcs walked from s
    uint32_t at = s;
    while (true) {
        if (at == t) {
            int64_t flow = most;
            for (const uint32_t a : path) flow = std::min(flow, arcs_[a].cap);
            for (const uint32_t a : path) {
                arcs_[a].cap -= flow;
                arcs_[a ^ 1].cap += flow;
            }
            return flow;
        }
        uint32_t& a = next_arc_[at];
        while (a != none && (arcs_[a].cap <= 0 || level_[arcs_[a].to] != level_[at] + 1)) a = arcs_[a].next;
        if (a != none) {
            path.push_back(a);
            at = arcs_[a].to;
            continue;
        }
        if (path.empty()) return 0;
        level_[at] = none;  // a dead end: no later walk enters it
        const uint32_t back = path.back();
        path.pop_back();
        at = arcs_[back ^ 1].to;
        next_arc_[at] = arcs_[next_arc_[at]].next;
    }
}

}  // namespace plenexa::trees
