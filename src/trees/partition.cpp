// The multilevel bisection (heavy-edge coarsening, greedy growing from seeded starts on the
// coarsest graph, Fiduccia–Mattheyses passes at every level on the way back, then flow steps
// around the cut) and the recursive tree builder on top of it, which orders the small parts
// exactly with the window program.
#include "trees/partition.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "trees/flow.hpp"
#include "trees/greedy.hpp"
#include "trees/random.hpp"
#include "trees/refine.hpp"
#include "util/failure.hpp"

namespace plenexa::trees {

namespace {

// Net costs are log2 of an axis's size in fixed point, this many units per bit, so that gains
// add up exactly.
constexpr double cost_units_per_bit = 64;
// A hypergraph with weighted vertices and nets of two or more pins.
struct Hypergraph {
    std::vector<uint32_t> weight;                  // per vertex: the inputs it stands for
    std::vector<int64_t> cost;                     // per net
    std::vector<uint32_t> net_start{0}, pins;      // net e's vertices: pins[net_start[e] .. net_start[e + 1])
    std::vector<uint32_t> vertex_start, incident;  // vertex v's nets: incident[vertex_start[v] .. vertex_start[v + 1])

    // The number of vertices.
    uint32_t vertices() const { return static_cast<uint32_t>(weight.size()); }

    // Adds a net of cost `c` over the pins appended to `pins` since the last net.
    void close_net(int64_t c) {
        cost.push_back(c);
        net_start.push_back(static_cast<uint32_t>(pins.size()));
    }

    // Builds the vertex-to-net incidence from the nets.
    void index() {
        vertex_start.assign(weight.size() + 1, 0);
        for (const uint32_t v : pins) ++vertex_start[v + 1];
        for (size_t v = 0; v < weight.size(); ++v) vertex_start[v + 1] += vertex_start[v];
        incident.resize(pins.size());
        std::vector<uint32_t> at(vertex_start.begin(), vertex_start.end() - 1);
        for (uint32_t e = 0; e + 1 < net_start.size(); ++e)
            for (uint32_t p = net_start[e]; p < net_start[e + 1]; ++p) incident[at[pins[p]]++] = e;
    }
};

// A random permutation of 0..n-1.
std::vector<uint32_t> shuffled(uint32_t n, Rng& rng) {
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    for (uint32_t i = n; i > 1; --i) std::swap(order[i - 1], order[rng.next() % i]);
    return order;
}

// A two-sided assignment of a hypergraph's vertices with its cut, its per-net pin counts per side,
// and the Fiduccia–Mattheyses moves that lower the cut while side 0 and side 1 each weigh at most
// `hi`. Move candidates come from one lazy max-heap per side, keyed by gain then a random tiebreak.
//
// Invariant: between moves, gain_[v] of every unlocked vertex is the change of cut that moving v
// to the other side would bring (cut before minus cut after), and the heap of v's side holds an
// entry (gain_[v], tiebreak, v); other entries are stale and skipped.
class Bisection {
public:
    Bisection(const Hypergraph& graph, uint32_t hi, const std::vector<uint32_t>& tiebreak, const PartitionTuning& tuning)
        : graph_(graph), tuning_(tuning), hi_(hi), slack_(*std::max_element(graph.weight.begin(), graph.weight.end())),
          tiebreak_(tiebreak), locked_(graph.vertices(), 0), gain_(graph.vertices(), 0) {}

    // Takes `side` as the assignment.
    void assign(std::vector<uint8_t> side) {
        side_ = std::move(side);
        count_.assign(2 * graph_.cost.size(), 0);
        weight_[0] = weight_[1] = 0;
        for (uint32_t v = 0; v < graph_.vertices(); ++v) weight_[side_[v]] += graph_.weight[v];
        for (size_t e = 0; e < graph_.cost.size(); ++e)
            for (uint32_t p = graph_.net_start[e]; p < graph_.net_start[e + 1]; ++p) ++count_[2 * e + side_[graph_.pins[p]]];
        cut_ = 0;
        for (size_t e = 0; e < graph_.cost.size(); ++e)
            if (count_[2 * e] && count_[2 * e + 1]) cut_ += graph_.cost[e];
    }

    // Grows side 0 from `start` (all else on side 1), each time taking the vertex of side 1 whose
    // move lowers the cut most, until side 0 weighs half the total or that vertex does not fit.
    // Side 0 then weighs at least total - hi when no vertex weighs more than 2 * hi - total + 1.
    void grow(uint32_t start) {
        assign(std::vector<uint8_t>(graph_.vertices(), 1));
        const uint64_t total = weight_[1];
        begin_pass();
        for (uint32_t v = start;;) {
            take(v);
            if (2 * weight_[0] >= total) break;
            const std::optional<uint32_t> next = top(1, 0);
            if (!next) break;
            v = *next;
        }
    }

    // One pass: moves free vertices one at a time, the best gain first, each vertex at most once
    // and neither side ever weighing more than hi plus the heaviest vertex, then keeps the prefix of
    // moves within hi with the lowest cut (then the best balance). True when the cut or the
    // balance improved. The slack lets a pass swap vertices across a tight bound.
    bool pass() {
        const int64_t start_cut = cut_;
        const uint64_t start_imbalance = imbalance();
        begin_pass();
        size_t best_len = 0;
        int64_t best_cut = cut_;
        uint64_t best_imbalance = start_imbalance;
        const uint32_t patience = std::max(tuning_.min_patience, graph_.vertices() / tuning_.patience_divisor);
        for (uint32_t idle = 0; idle < patience; ++idle) {
            const std::optional<uint32_t> a = top(0, slack_), b = top(1, slack_);
            if (!a && !b) break;
            uint32_t v;
            if (!a || !b) {
                v = a ? *a : *b;
            } else if (gain_[*a] != gain_[*b]) {
                v = gain_[*a] > gain_[*b] ? *a : *b;
            } else if (weight_[0] != weight_[1]) {
                v = weight_[0] > weight_[1] ? *a : *b;
            } else {
                v = tiebreak_[*a] < tiebreak_[*b] ? *a : *b;
            }
            take(v);
            const bool legal = std::max(weight_[0], weight_[1]) <= hi_;
            if (legal && (cut_ < best_cut || (cut_ == best_cut && imbalance() < best_imbalance))) {
                best_len = moves_.size();
                best_cut = cut_;
                best_imbalance = imbalance();
                idle = 0;
            }
        }
        while (moves_.size() > best_len) {
            move(moves_.back(), false);
            moves_.pop_back();
        }
        return cut_ < start_cut || (cut_ == start_cut && imbalance() < start_imbalance);
    }

    int64_t cut() const { return cut_; }
    const std::vector<uint8_t>& side() const { return side_; }

private:
    struct Entry {
        int64_t gain;
        uint32_t tiebreak;
        uint32_t vertex;
    };

    // The heap order: an entry below another has a lower gain, or an equal gain and a later tiebreak.
    static bool below(const Entry& a, const Entry& b) {
        return a.gain != b.gain ? a.gain < b.gain : a.tiebreak > b.tiebreak;
    }

    // How far the two sides' weights are apart.
    uint64_t imbalance() const { return weight_[0] > weight_[1] ? weight_[0] - weight_[1] : weight_[1] - weight_[0]; }

    // The change of cut that moving v would bring, from the pin counts.
    int64_t gain_of(uint32_t v) const {
        const uint8_t s = side_[v];
        int64_t gain = 0;
        for (uint32_t i = graph_.vertex_start[v]; i < graph_.vertex_start[v + 1]; ++i) {
            const uint32_t e = graph_.incident[i];
            if (count_[2 * e + s] == 1) gain += graph_.cost[e];
            if (count_[2 * e + (1 - s)] == 0) gain -= graph_.cost[e];
        }
        return gain;
    }

    // Adds v's current entry to its side's heap.
    void push(uint32_t v) {
        std::vector<Entry>& heap = heap_[side_[v]];
        heap.push_back({gain_[v], tiebreak_[v], v});
        std::push_heap(heap.begin(), heap.end(), below);
    }

    // Frees every vertex, computes every gain and fills the heaps.
    void begin_pass() {
        std::fill(locked_.begin(), locked_.end(), 0);
        moves_.clear();
        for (std::vector<Entry>& heap : heap_) heap.clear();
        for (uint32_t v = 0; v < graph_.vertices(); ++v) {
            gain_[v] = gain_of(v);
            push(v);
        }
    }

    // The free vertex of side s with the best entry, left on top of its heap, when the other side
    // has room for it (weighing at most hi + slack after the move). A vertex without room blocks
    // its side for this move: skipping it would cost a heap walk per move.
    std::optional<uint32_t> top(uint8_t s, uint64_t slack) {
        std::vector<Entry>& heap = heap_[s];
        while (!heap.empty()) {
            const Entry entry = heap.front();
            const uint32_t v = entry.vertex;
            if (!locked_[v] && side_[v] == s && gain_[v] == entry.gain) {
                if (weight_[1 - s] + graph_.weight[v] <= hi_ + slack) return v;
                return std::nullopt;
            }
            std::pop_heap(heap.begin(), heap.end(), below);
            heap.pop_back();
        }
        return std::nullopt;
    }

    // Moves free vertex v, locks it and records the move.
    void take(uint32_t v) {
        move(v, true);
        locked_[v] = 1;
        moves_.push_back(v);
    }

    // Moves v to the other side, updating the pin counts, weights and cut and, when `track`, the
    // gains and heap entries of the free vertices on v's nets.
    void move(uint32_t v, bool track) {
        const uint8_t s = side_[v], t = 1 - s;
        touched_.clear();
        // Adds `delta` to the gain of the free pins of net e on side `only` (2: either side).
        const auto shift = [&](uint32_t e, int only, int64_t delta) {
            for (uint32_t p = graph_.net_start[e]; p < graph_.net_start[e + 1]; ++p) {
                const uint32_t u = graph_.pins[p];
                if (u == v || locked_[u] || (only != 2 && side_[u] != only)) continue;
                gain_[u] += delta;
                touched_.push_back(u);
            }
        };
        for (uint32_t i = graph_.vertex_start[v]; i < graph_.vertex_start[v + 1]; ++i) {
            const uint32_t e = graph_.incident[i];
            const int64_t c = graph_.cost[e];
            const uint32_t from = count_[2 * e + s], to = count_[2 * e + t];
            if (to == 0) cut_ += c;
            if (from == 1) cut_ -= c;
            if (track) {
                if (to == 0) {
                    shift(e, 2, c);  // cut now: moving any other pin no longer cuts it
                } else if (to == 1) {
                    shift(e, t, -c);  // the lone pin on t no longer uncuts it by moving
                }
                if (from == 1) {
                    shift(e, 2, -c);  // all on t now: moving any pin would cut it
                } else if (from == 2) {
                    shift(e, s, c);  // the lone pin left on s now uncuts it by moving
                }
            }
            --count_[2 * e + s];
            ++count_[2 * e + t];
        }
        side_[v] = t;
        weight_[s] -= graph_.weight[v];
        weight_[t] += graph_.weight[v];
        if (track) {
            std::sort(touched_.begin(), touched_.end());
            touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
            for (const uint32_t u : touched_) push(u);
        }
    }

    const Hypergraph& graph_;
    const PartitionTuning& tuning_;
    const uint64_t hi_, slack_;
    const std::vector<uint32_t>& tiebreak_;
    std::vector<uint8_t> side_, locked_;
    std::vector<uint32_t> count_;  // per net, its pins on side 0 then on side 1
    std::vector<int64_t> gain_;
    uint64_t weight_[2] = {0, 0};
    int64_t cut_ = 0;
    std::vector<Entry> heap_[2];
    std::vector<uint32_t> moves_, touched_;
};

// The coarser hypergraph that merges pairs of `graph`'s vertices by heavy-edge matching in a
// random order (a pair rated by the summed cost / (pins - 1) of their shared nets), no merged
// vertex weighing more than `max_weight`; `map` gets each vertex's coarse vertex. A vertex whose
// neighbours are all taken pairs with another such vertex whose best-rated neighbour (its hub)
// is the same, so that the leaves of a star merge too. Given `side`, only vertices on the same side merge.
Hypergraph coarsen(const Hypergraph& graph, uint32_t max_weight, uint32_t rating_pin_limit, Rng& rng,
                   std::vector<uint32_t>& map, const std::vector<uint8_t>* side = nullptr) {
    const uint32_t n = graph.vertices();
    map.assign(n, no_node);
    std::vector<double> rating(n, 0);
    std::vector<uint32_t> rated, waiting(n, no_node);  // per hub, a lone vertex waiting for a partner
    Hypergraph coarse;
    // Whether a rates above b.
    const auto above = [&](uint32_t a, uint32_t b) {
        return b == no_node || rating[a] > rating[b] || (rating[a] == rating[b] && a < b);
    };
    for (const uint32_t u : shuffled(n, rng)) {
        if (map[u] != no_node) continue;
        for (uint32_t i = graph.vertex_start[u]; i < graph.vertex_start[u + 1]; ++i) {
            const uint32_t e = graph.incident[i];
            const uint32_t first = graph.net_start[e], size = graph.net_start[e + 1] - first;
            if (size > rating_pin_limit) continue;
            const double share = static_cast<double>(graph.cost[e]) / (size - 1);
            for (uint32_t p = first; p < first + size; ++p) {
                const uint32_t v = graph.pins[p];
                if (v == u || (side && (*side)[v] != (*side)[u])) continue;
                if (rating[v] == 0) rated.push_back(v);
                rating[v] += share;
            }
        }
        uint32_t mate = no_node, hub = no_node;
        for (const uint32_t v : rated) {
            if (above(v, hub)) hub = v;
            if (map[v] == no_node && graph.weight[u] + graph.weight[v] <= max_weight && above(v, mate)) mate = v;
        }
        for (const uint32_t v : rated) rating[v] = 0;
        rated.clear();
        if (mate == no_node && hub != no_node && waiting[hub] != no_node &&
            coarse.weight[map[waiting[hub]]] + graph.weight[u] <= max_weight) {
            map[u] = map[waiting[hub]];
            coarse.weight[map[u]] += graph.weight[u];
            waiting[hub] = no_node;
            continue;
        }
        map[u] = coarse.vertices();
        coarse.weight.push_back(graph.weight[u]);
        if (mate != no_node) {
            map[mate] = map[u];
            coarse.weight.back() += graph.weight[mate];
        } else if (hub != no_node) {
            waiting[hub] = u;
        }
    }
    for (uint32_t e = 0; e + 1 < graph.net_start.size(); ++e) {
        const size_t first = coarse.pins.size();
        for (uint32_t p = graph.net_start[e]; p < graph.net_start[e + 1]; ++p) coarse.pins.push_back(map[graph.pins[p]]);
        std::sort(coarse.pins.begin() + first, coarse.pins.end());
        coarse.pins.erase(std::unique(coarse.pins.begin() + first, coarse.pins.end()), coarse.pins.end());
        if (coarse.pins.size() - first < 2) {
            coarse.pins.resize(first);
        } else {
            coarse.close_net(graph.cost[e]);
        }
    }
    coarse.index();
    return coarse;
}

// Random tiebreaks for n vertices.
std::vector<uint32_t> tiebreaks(uint32_t n, Rng& rng) {
    std::vector<uint32_t> keys(n);
    for (uint32_t& key : keys) key = static_cast<uint32_t>(rng.next());
    return keys;
}

// The cut of a two-sided assignment.
int64_t cut_of(const Hypergraph& graph, const std::vector<uint8_t>& side) {
    int64_t cut = 0;
    for (size_t e = 0; e < graph.cost.size(); ++e)
        for (uint32_t p = graph.net_start[e] + 1; p < graph.net_start[e + 1]; ++p)
            if (side[graph.pins[p]] != side[graph.pins[graph.net_start[e]]]) {
                cut += graph.cost[e];
                break;
            }
    return cut;
}

// Per vertex, 1 when it lies in the region of its side around the cut: grown breadth first from
// the pins of cut nets, within each side, while the region weighs at most what the other side
// may take under a bound of `room` per side.
std::vector<uint8_t> region_around_cut(const Hypergraph& graph, const std::vector<uint8_t>& side, double room) {
    const uint32_t n = graph.vertices();
    uint64_t weight[2] = {0, 0};
    for (uint32_t v = 0; v < n; ++v) weight[side[v]] += graph.weight[v];
    std::vector<uint8_t> state(n, 0);  // 0 outside, 1 in the region, 2 queued
    std::vector<uint32_t> queue[2];
    for (size_t e = 0; e < graph.cost.size(); ++e) {
        const uint32_t first = graph.net_start[e], end = graph.net_start[e + 1];
        if (std::all_of(graph.pins.begin() + first, graph.pins.begin() + end,
                        [&](uint32_t v) { return side[v] == side[graph.pins[first]]; }))
            continue;
        for (uint32_t p = first; p < end; ++p)
            if (!state[graph.pins[p]]) {
                state[graph.pins[p]] = 2;
                queue[side[graph.pins[p]]].push_back(graph.pins[p]);
            }
    }
    for (uint8_t s = 0; s < 2; ++s) {
        const double bound = room - static_cast<double>(weight[1 - s]);
        double taken = 0;
        for (size_t k = 0; k < queue[s].size(); ++k) {
            const uint32_t v = queue[s][k];
            if (taken + graph.weight[v] > bound) continue;
            taken += graph.weight[v];
            state[v] = 1;
            for (uint32_t i = graph.vertex_start[v]; i < graph.vertex_start[v + 1]; ++i) {
                const uint32_t e = graph.incident[i];
                for (uint32_t p = graph.net_start[e]; p < graph.net_start[e + 1]; ++p)
                    if (!state[graph.pins[p]] && side[graph.pins[p]] == s) {
                        state[graph.pins[p]] = 2;
                        queue[s].push_back(graph.pins[p]);
                    }
            }
        }
    }
    for (uint8_t& in : state) in = in == 1;
    return state;
}

// One flow step on `side`: the region around the cut (see region_around_cut) is re-split by a
// minimum cut between the rest of side 0 (the source) and the rest of side 1 (the sink), each net
// a pair of nodes joined by an arc of its cost (Lawler's expansion). While no minimum cut gives
// sides within [lo, hi], a region vertex next to the side that is too small joins its terminal
// (one the other side does not reach first, so the flow need not grow) and the flow grows, as in
// FlowCutter. Returns the most balanced such cut when it is lower than `cut`.
std::optional<std::vector<uint8_t>> flow_step(const Hypergraph& graph, uint32_t lo, uint32_t hi,
                                              const std::vector<uint8_t>& side, int64_t cut, double room, Rng& rng) {
    const uint32_t n = graph.vertices();
    const std::vector<uint8_t> in_region = region_around_cut(graph, side, room);
    // Nodes: 0 the source, 1 the sink, one per region vertex, two per net with a pin in the region.
    std::vector<uint32_t> node_of(n, no_node), net_node(graph.cost.size(), no_node);
    uint32_t nodes = 2;
    for (uint32_t v = 0; v < n; ++v)
        if (in_region[v]) node_of[v] = nodes++;
    if (nodes == 2) return std::nullopt;
    int64_t fixed = 0;  // nets with pins outside the region on both sides, cut whatever the flow does
    std::vector<std::pair<uint32_t, uint8_t>> nets;  // nets in the flow network, and their outside sides
    for (size_t e = 0; e < graph.cost.size(); ++e) {
        uint8_t outside = 0, inside = 0;  // bit s: a pin of side s outside the region; any pin inside
        for (uint32_t p = graph.net_start[e]; p < graph.net_start[e + 1]; ++p) {
            const uint32_t v = graph.pins[p];
            if (in_region[v]) inside = 1;
            else outside |= static_cast<uint8_t>(1u << side[v]);
        }
        if (outside == 3) {
            fixed += graph.cost[e];
        } else if (inside) {
            net_node[e] = nodes;
            nodes += 2;
            nets.push_back({static_cast<uint32_t>(e), outside});
        }
    }
    if (fixed >= cut) return std::nullopt;
    constexpr int64_t unbounded = int64_t{1} << 60;
    FlowNetwork flow(nodes);
    for (const auto& [e, outside] : nets) {
        const uint32_t in = net_node[e], out = in + 1;
        flow.arc(in, out, graph.cost[e]);
        if (outside & 1) flow.arc(0, in, unbounded);
        if (outside & 2) flow.arc(out, 1, unbounded);
        for (uint32_t p = graph.net_start[e]; p < graph.net_start[e + 1]; ++p)
            if (const uint32_t node = node_of[graph.pins[p]]; node != no_node) {
                flow.arc(node, in, unbounded);
                flow.arc(out, node, unbounded);
            }
    }
    uint64_t base[2] = {0, 0};  // each side's weight outside the region
    for (uint32_t v = 0; v < n; ++v)
        if (!in_region[v]) base[side[v]] += graph.weight[v];
    const uint64_t total = uint64_t{lo} + hi;
    const auto gap = [&](uint64_t w0) { return w0 > total - w0 ? 2 * w0 - total : total - 2 * w0; };
    for (int64_t value = flow.max_flow(0, 1, cut - fixed); fixed + value < cut;
         value += flow.max_flow(0, 1, cut - fixed - value)) {
        // The least and the most weight of side 0 that a minimum cut allows.
        const std::vector<uint8_t> from_source = flow.reach(0, true), to_sink = flow.reach(1, false);
        uint64_t least = base[0], most = total - base[1];
        for (uint32_t v = 0; v < n; ++v)
            if (in_region[v]) {
                if (from_source[node_of[v]]) least += graph.weight[v];
                if (to_sink[node_of[v]]) most -= graph.weight[v];
            }
        const bool least_fits = least >= lo && least <= hi, most_fits = most >= lo && most <= hi;
        if (least_fits || most_fits) {
            const bool small_source = least_fits && (!most_fits || gap(least) <= gap(most));
            std::vector<uint8_t> better = side;
            for (uint32_t v = 0; v < n; ++v)
                if (in_region[v])
                    better[v] = small_source ? !from_source[node_of[v]] : static_cast<uint8_t>(to_sink[node_of[v]]);
            return better;
        }
        // Pierce the side that is too small: the source's when even its smallest cut leaves it
        // too light, else the sink's.
        const bool grow_source = least < lo;
        const std::vector<uint8_t>& grown = grow_source ? from_source : to_sink;
        const std::vector<uint8_t>& other = grow_source ? to_sink : from_source;
        uint32_t chosen = no_node;
        uint64_t chosen_key = 0;
        for (const auto& [e, outside] : nets) {
            if (!grown[net_node[e] + (grow_source ? 0 : 1)]) continue;
            for (uint32_t p = graph.net_start[e]; p < graph.net_start[e + 1]; ++p) {
                const uint32_t v = graph.pins[p];
                if (node_of[v] == no_node || grown[node_of[v]]) continue;
                // Vertices the other terminal does not reach first, then those already on the
                // growing side, then at random.
                const uint64_t key = uint64_t{!other[node_of[v]]} << 63 |
                                     uint64_t{side[v] == (grow_source ? 0 : 1)} << 62 | rng.next() >> 2;
                if (chosen == no_node || key > chosen_key) {
                    chosen = v;
                    chosen_key = key;
                }
            }
        }
        if (chosen == no_node) break;
        if (grow_source) {
            flow.arc(0, node_of[chosen], unbounded);
        } else {
            flow.arc(node_of[chosen], 1, unbounded);
        }
    }
    return std::nullopt;
}

// Lowers the cut of `side` (sides within [lo, hi]) by flow steps, each region's room first
// `tuning.flow_alpha` times the slack of [lo, hi] past half the weight, halved after each step
// that finds nothing until the room is [lo, hi]'s own, for at most `tuning.flow_rounds` steps.
void flow_refine(const Hypergraph& graph, uint32_t lo, uint32_t hi, std::vector<uint8_t>& side, Rng& rng,
                 const PartitionTuning& tuning) {
    int64_t cut = cut_of(graph, side);
    double alpha = tuning.flow_alpha;
    for (unsigned round = 0; round < tuning.flow_rounds && cut > 0; ++round) {
        const double room = (lo + hi) / 2.0 + alpha * (hi - lo) / 2.0;
        std::optional<std::vector<uint8_t>> better = flow_step(graph, lo, hi, side, cut, room, rng);
        if (better) {
            side = std::move(*better);
            cut = cut_of(graph, side);
        } else if (alpha > 1) {
            alpha = std::max(1.0, alpha / 2);
        } else {
            break;
        }
    }
}

// Runs refinement passes until one brings nothing, or `max_passes`.
void polish(Bisection& bisection, unsigned max_passes) {
    for (unsigned p = 0; p < max_passes && bisection.pass(); ++p) {
    }
}

// A low-cut assignment of `graph`'s vertices to two sides each weighing [lo, hi] (lo + hi being the
// total weight, every vertex weighing 1): coarsen, bisect the coarsest graph from several
// starts, then project back level by level with refinement passes; then `vcycles` times coarsen
// keeping the sides apart and refine the projected sides back up level by level.
std::vector<uint8_t> multilevel(const Hypergraph& graph, uint32_t lo, uint32_t hi, Rng& rng, unsigned vcycles,
                                const PartitionTuning& tuning) {
    // Growing a side then never overshoots hi, and every coarse vertex can still move.
    const uint32_t max_weight = std::max(1u, std::min(hi - lo + 1, (lo + hi) / tuning.coarse_weight_divisor));
    std::vector<uint8_t> side;
    for (unsigned cycle = 0; cycle <= vcycles; ++cycle) {
        const std::vector<uint8_t>* apart = cycle == 0 ? nullptr : &side;
        std::vector<Hypergraph> levels;
        std::vector<std::vector<uint32_t>> maps;
        std::vector<std::vector<uint8_t>> sides;
        const auto current = [&]() -> const Hypergraph& { return levels.empty() ? graph : levels.back(); };
        if (apart) sides.push_back(side);
        while (current().vertices() > tuning.coarse_vertices) {
            std::vector<uint32_t> map;
            Hypergraph coarse = coarsen(current(), max_weight, tuning.rating_pin_limit, rng, map, apart ? &sides.back() : nullptr);
            if (coarse.vertices() > tuning.coarsen_shrink * current().vertices()) break;
            if (apart) {
                std::vector<uint8_t> coarse_side(coarse.vertices());
                for (uint32_t v = 0; v < map.size(); ++v) coarse_side[map[v]] = sides.back()[v];
                sides.push_back(std::move(coarse_side));
            }
            levels.push_back(std::move(coarse));
            maps.push_back(std::move(map));
        }
        const Hypergraph& coarsest = current();
        std::vector<uint32_t> keys = tiebreaks(coarsest.vertices(), rng);
        if (apart) {
            Bisection bisection(coarsest, hi, keys, tuning);
            bisection.assign(sides.back());
            polish(bisection, tuning.max_passes);
            side = bisection.side();
        } else {
            int64_t best = 0;
            for (unsigned start = 0; start < tuning.initial_starts; ++start) {
                Bisection bisection(coarsest, hi, keys, tuning);
                bisection.grow(static_cast<uint32_t>(rng.next() % coarsest.vertices()));
                polish(bisection, tuning.max_passes);
                if (side.empty() || bisection.cut() < best) {
                    side = bisection.side();
                    best = bisection.cut();
                }
            }
        }
        for (size_t level = levels.size(); level-- > 0;) {
            const Hypergraph& fine = level == 0 ? graph : levels[level - 1];
            std::vector<uint8_t> projected(fine.vertices());
            for (uint32_t v = 0; v < fine.vertices(); ++v) projected[v] = side[maps[level][v]];
            keys = tiebreaks(fine.vertices(), rng);
            Bisection bisection(fine, hi, keys, tuning);
            bisection.assign(std::move(projected));
            polish(bisection, tuning.max_passes);
            side = bisection.side();
        }
    }
    if (graph.vertices() >= tuning.flow_least_vertices && graph.vertices() <= tuning.flow_most_vertices) {
        flow_refine(graph, lo, hi, side, rng, tuning);
        const std::vector<uint32_t> keys = tiebreaks(graph.vertices(), rng);
        Bisection bisection(graph, hi, keys, tuning);
        bisection.assign(side);
        polish(bisection, tuning.max_passes);
        side = bisection.side();
    }
    return side;
}

// The splitter of parts of one network: the axes' holders and cut costs, and scratch space.
class Splitter {
public:
    explicit Splitter(const Network& network)
        : network_(network), holder_start_(network.sizes.size() + 1, 0), local_(network.inputs.size(), no_node),
          visited_(network.sizes.size(), 0) {
        for (const Axes& axes : network.inputs)
            for (const Axis axis : axes) ++holder_start_[axis + 1];
        for (size_t a = 0; a < network.sizes.size(); ++a) holder_start_[a + 1] += holder_start_[a];
        holders_.resize(holder_start_.back());
        std::vector<uint32_t> at(holder_start_.begin(), holder_start_.end() - 1);
        for (uint32_t i = 0; i < network.inputs.size(); ++i)
            for (const Axis axis : network.inputs[i]) holders_[at[axis]++] = i;
        for (const uint64_t size : network.sizes)
            cost_.push_back(std::llround(portable_log(static_cast<double>(size)) * inverse_ln2 * cost_units_per_bit));
    }

    // The summed cost of the axes that inputs among `members` with side[k] == s hold and that the
    // output or an input outside them also holds.
    int64_t boundary(const std::vector<uint32_t>& members, const std::vector<uint8_t>& side, uint8_t s) {
        std::vector<Axis> seen;
        for (size_t k = 0; k < members.size(); ++k)
            if (side[k] == s)
                for (const Axis axis : network_.inputs[members[k]])
                    if (visited_[axis]++ == 0) seen.push_back(axis);
        int64_t total = 0;
        for (const Axis axis : seen) {
            if (network_.output[axis] || visited_[axis] < holder_count(axis)) total += cost_[axis];
            visited_[axis] = 0;
        }
        return total;
    }

    // The number of inputs holding `axis`.
    uint32_t holder_count(Axis axis) const { return holder_start_[axis + 1] - holder_start_[axis]; }

    // The sides of `members` (two or more distinct inputs), within side_bounds, after `vcycles` V-cycles.
    std::vector<uint8_t> split(const std::vector<uint32_t>& members, double imbalance, uint64_t seed, unsigned vcycles,
                               const PartitionTuning& tuning) {
        const auto [lo, hi] = side_bounds(static_cast<uint32_t>(members.size()), imbalance);
        Rng rng(seed);
        return multilevel(restrict(members), lo, hi, rng, vcycles, tuning);
    }

private:
    // The hypergraph of `members`: a vertex each, and a net for each axis of nonzero cost held by
    // two or more of them.
    Hypergraph restrict(const std::vector<uint32_t>& members) {
        Hypergraph graph;
        graph.weight.assign(members.size(), 1);
        for (uint32_t k = 0; k < members.size(); ++k) local_[members[k]] = k;
        std::vector<Axis> seen;
        for (const uint32_t input : members)
            for (const Axis axis : network_.inputs[input]) {
                if (visited_[axis] || cost_[axis] == 0) continue;
                visited_[axis] = 1;
                seen.push_back(axis);
                const size_t first = graph.pins.size();
                for (uint32_t h = holder_start_[axis]; h < holder_start_[axis + 1]; ++h)
                    if (local_[holders_[h]] != no_node) graph.pins.push_back(local_[holders_[h]]);
                if (graph.pins.size() - first < 2) {
                    graph.pins.resize(first);
                } else {
                    graph.close_net(cost_[axis]);
                }
            }
        for (const Axis axis : seen) visited_[axis] = 0;
        for (const uint32_t input : members) local_[input] = no_node;
        graph.index();
        return graph;
    }

    const Network& network_;
    std::vector<uint32_t> holder_start_, holders_;  // axis a's holders: holders_[holder_start_[a] ..]
    std::vector<int64_t> cost_;                     // per axis, its log2 size in fixed point
    std::vector<uint32_t> local_;                   // per input, its vertex in the current part
    std::vector<uint8_t> visited_;                  // per axis, seen while building the current part
};

// One recursive-bisection build of a tree. Each node gets its kept axes and costs when made: a
// part's pieces are trees over the part's own network (its inputs, with the axes that the output
// or an input outside the part holds as its output), grafted in.
class Builder {
public:
    Builder(const Network& network, const PartitionParams& params, const std::atomic<bool>* stop,
            const KeptSplits* kept)
        : network_(network), params_(params), stop_(stop), kept_(kept), sizes_(size_weights(network)), splitter_(network),
          leaf_part_(std::clamp(params.leaf_part, 2u, max_window)), rng_(params.seed),
          inside_(network.sizes.size(), 0), local_axis_(network.sizes.size(), 0) {}

    // The whole tree, or nothing when stopped.
    std::optional<Tree> run() {
        const auto n = static_cast<uint32_t>(network_.inputs.size());
        tree_ = unjoined(network_, sizes_);
        std::vector<uint32_t> all(n);
        for (uint32_t i = 0; i < n; ++i) all[i] = i;
        tree_.root = build(all, 0);
        if (tree_.root == no_node) return std::nullopt;
        return std::move(tree_);
    }

private:
    // A part's own network, and its axes' numbers in the whole network (ascending, so that
    // renumbering keeps every order of axes).
    struct Part {
        Network network;
        Axes axes;
    };

    // The network of `members`; local_axis_ then maps its axes to their local numbers.
    Part part_of(const std::vector<uint32_t>& members) {
        Part part;
        for (const uint32_t input : members)
            for (const Axis axis : network_.inputs[input])
                if (inside_[axis]++ == 0) part.axes.push_back(axis);
        std::sort(part.axes.begin(), part.axes.end());
        for (uint32_t k = 0; k < part.axes.size(); ++k) {
            const Axis axis = part.axes[k];
            local_axis_[axis] = k;
            part.network.sizes.push_back(network_.sizes[axis]);
            part.network.output.push_back(network_.output[axis] || inside_[axis] < splitter_.holder_count(axis));
            inside_[axis] = 0;
        }
        for (const uint32_t input : members) {
            Axes local;
            for (const Axis axis : network_.inputs[input]) local.push_back(local_axis_[axis]);
            part.network.inputs.push_back(std::move(local));
        }
        return part;
    }

    // The node of the subtree over `members`, `depth` splits below the root, or no_node when stopped.
    uint32_t build(const std::vector<uint32_t>& members, unsigned depth) {
        if (stop_ && stop_->load(std::memory_order_relaxed)) return no_node;
        if (members.size() == 1) return members[0];
        if (members.size() <= leaf_part_) return order_exactly(members);
        // No side smaller than a leaf part: deeper splits would cost a bisection per peeled input.
        const double floor = 1.0 - 2.0 * leaf_part_ / static_cast<double>(members.size());
        const double imbalance = std::min(depth == 0 ? params_.imbalance : params_.deep_imbalance, floor);
        std::vector<uint8_t> side;
        if (kept_ && depth < kept_->depth) {
            side.resize(members.size());
            for (size_t k = 0; k < members.size(); ++k) side[k] = (kept_->path[members[k]] >> depth) & 1;
        }
        std::pair<int64_t, int64_t> best{};  // the kept split's larger and smaller side boundary
        const unsigned candidates = side.empty() ? params_.tuning.split_candidates : 0u;
        for (unsigned c = 0; c < candidates; ++c) {
            std::vector<uint8_t> candidate =
                splitter_.split(members, imbalance, rng_.next(), depth == 0 ? params_.tuning.top_vcycles : 0, params_.tuning);
            const int64_t zero = splitter_.boundary(members, candidate, 0);
            const int64_t one = splitter_.boundary(members, candidate, 1);
            const std::pair<int64_t, int64_t> score{std::max(zero, one), std::min(zero, one)};
            if (side.empty() || score < best) {
                side = std::move(candidate);
                best = score;
            }
        }
        std::vector<uint32_t> parts[2];
        for (size_t k = 0; k < members.size(); ++k) parts[side[k]].push_back(members[k]);
        const uint32_t left = build(parts[0], depth + 1);
        if (left == no_node) return no_node;
        const uint32_t right = build(parts[1], depth + 1);
        if (right == no_node) return no_node;
        const Part part = part_of(members);
        const uint32_t at = add(left, right);
        join(
            sizes_, tree_.nodes[left], tree_.nodes[right],
            [&](Axis axis, bool) { return part.network.output[local_axis_[axis]] != 0; }, tree_.nodes[at]);
        return at;
    }

    // The node of a cheapest order of `members` (at most max_window of them). When that order's
    // cost overflows a double, every order's does, and the part's greedy tree serves instead.
    uint32_t order_exactly(const std::vector<uint32_t>& members) {
        const Part part = part_of(members);
        try {
            const Order order = best_order(part.network.inputs, size_weights(part.network), part.network.output, false);
            return graft(tree_from_steps(part.network, order.steps), members, part.axes);
        } catch (const util::InvalidValue&) {
            return graft(*greedy(part.network, {}), members, part.axes);
        }
    }

    // Copies the internal nodes of `sub`, a tree over the network of `members` with axes `axes`,
    // into the tree; returns the node of its root.
    uint32_t graft(const Tree& sub, const std::vector<uint32_t>& members, const Axes& axes) {
        const auto base = static_cast<uint32_t>(tree_.nodes.size());
        const auto number = [&](uint32_t at) {
            return at == no_node ? no_node : at < sub.inputs ? members[at] : base + (at - sub.inputs);
        };
        for (uint32_t k = 0; k < sub.inputs; ++k) tree_.nodes[members[k]].parent = number(sub.nodes[k].parent);
        for (size_t at = sub.inputs; at < sub.nodes.size(); ++at) {
            Node node = sub.nodes[at];
            node.left = number(node.left);
            node.right = number(node.right);
            node.parent = number(node.parent);
            for (Axis& axis : node.axes) axis = axes[axis];
            tree_.nodes.push_back(std::move(node));
        }
        return number(sub.root);
    }

    // A new internal node joining `left` and `right`, its axes and costs still to fill.
    uint32_t add(uint32_t left, uint32_t right) {
        const auto at = static_cast<uint32_t>(tree_.nodes.size());
        tree_.nodes.push_back({});
        tree_.nodes[at].left = left;
        tree_.nodes[at].right = right;
        tree_.nodes[left].parent = tree_.nodes[right].parent = at;
        return at;
    }

    const Network& network_;
    const PartitionParams& params_;
    const std::atomic<bool>* stop_;
    const KeptSplits* kept_;
    const std::vector<double> sizes_;
    Splitter splitter_;
    const unsigned leaf_part_;
    Rng rng_;
    Tree tree_;
    std::vector<uint32_t> inside_;      // per axis: its holders among the members being counted (zero otherwise)
    std::vector<uint32_t> local_axis_;  // per axis: its number in the latest part
};

}  // namespace

std::pair<uint32_t, uint32_t> side_bounds(uint32_t count, double imbalance) {
    const double eps = imbalance > 0 ? std::min(imbalance, max_imbalance) : 0.0;
    const auto least = std::min(static_cast<uint32_t>(std::ceil((1 - eps) * count / 2)), count / 2);
    return {least, count - least};
}

std::vector<uint8_t> bisect(const Network& network, const std::vector<uint32_t>& members, double imbalance,
                            uint64_t seed, const PartitionTuning& tuning, unsigned vcycles) {
    return Splitter(network).split(members, imbalance, seed, vcycles, tuning);
}

std::optional<Tree> partition_tree(const Network& network, const PartitionParams& params,
                                   const std::atomic<bool>* stop, const KeptSplits* kept) {
    return Builder(network, params, stop, kept).run();
}

}  // namespace plenexa::trees
