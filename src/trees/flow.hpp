// Maximum flow on small directed networks with integer capacities (Dinic's algorithm), for the
// partitioner's flow-based refinement of bisections.
#pragma once

#include <cstdint>
#include <vector>

namespace plenexa::trees {

// A directed network whose arcs are added one by one; flows push from one node to another and
// accumulate, so that arcs added after a flow let a later one go further.
class FlowNetwork {
public:
    explicit FlowNetwork(uint32_t nodes);

    // Adds an arc from a to b of capacity c (and its residual reverse arc, of capacity 0).
    void arc(uint32_t a, uint32_t b, int64_t c);

    // Pushes flow from s to t until it is maximal or has grown by `limit`; returns how much.
    int64_t max_flow(uint32_t s, uint32_t t, int64_t limit);

    // Per node, 1 when the residual network reaches it from `from` (forward) or when it reaches
    // `from` (not forward).
    std::vector<uint8_t> reach(uint32_t from, bool forward) const;

private:
    struct Arc {
        uint32_t to, next;
        int64_t cap;
    };

    // Breadth-first levels from s over arcs with room; whether t is reached.
    bool levels(uint32_t s, uint32_t t);

    // One augmenting path of at most `most` along rising levels; its flow (0 when none is left).
    int64_t augment(uint32_t s, uint32_t t, int64_t most);

    std::vector<Arc> arcs_;
    std::vector<uint32_t> first_, level_, next_arc_;  // per node: its first arc, level, next arc to try
};

}  // namespace plenexa::trees
