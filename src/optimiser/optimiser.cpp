// optimize_dp's route through the tables, and the pieces of a call around one component's search
// that every caller of the tables shares: the split into components, the checks of their reach,
// the joins by outer products and the numbering of a tree as a path.
//
// The route. The inputs are split into connected components (inputs sharing an axis id,
// transitively); each is solved alone by the tables (tables.cpp) and the results are joined by
// outer products, the two smallest first. Calls of at most eight inputs over at most 64 ids take
// the same steps in small.cpp, in fixed arrays: there allocation, not the search, would cost the
// most. The strategy is fixed (the corpus pins its paths): plenexa_paths' searches go through
// src/driver instead, which reuses the pieces below.
#include "optimiser/optimiser.hpp"

#include <algorithm>
#include <optional>
#include <queue>
#include <string>

#include "optimiser/bits.hpp"
#include "optimiser/detail.hpp"
#include "optimiser/small.hpp"
#include "optimiser/table.hpp"
#include "optimiser/tables.hpp"
#include "util/failure.hpp"

namespace plenexa::optimiser {

namespace {

// Finds the root of `i` in the union-find forest, halving paths on the way.
uint32_t find_root(std::vector<uint32_t>& parent, uint32_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

}  // namespace

// Groups inputs that share axis ids, transitively; components come in ascending order of
// their smallest input, and each one's axes are renumbered densely.
std::vector<Component> split(const std::vector<std::vector<uint64_t>>& input_ints,
                             const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes) {
    const size_t n = input_ints.size();
    if (n >= UINT32_MAX) throw std::bad_alloc();

    std::vector<uint64_t> ids;
    for (const auto& list : input_ints) ids.insert(ids.end(), list.begin(), list.end());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    auto dense = [&](uint64_t id) { return static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin()); };

    std::vector<uint8_t> in_output(ids.size(), 0);
    for (uint64_t id : output_ints) {
        const auto it = std::lower_bound(ids.begin(), ids.end(), id);
        if (it != ids.end() && *it == id) in_output[it - ids.begin()] = 1;
    }

    // Per input its distinct dense axes, in first-use order; then union-find over inputs.
    std::vector<uint32_t> dense_start(n + 1, 0);
    std::vector<uint32_t> dense_axes;
    dense_axes.reserve(ids.size() * 2);
    std::vector<uint32_t> first_user(ids.size(), UINT32_MAX);
    std::vector<uint32_t> parent(n);
    for (uint32_t i = 0; i < n; ++i) parent[i] = i;
    for (uint32_t i = 0; i < n; ++i) {
        for (uint64_t id : input_ints[i]) {
            const size_t d = dense(id);
            if (first_user[d] == i) continue;
            dense_axes.push_back(static_cast<uint32_t>(d));
            if (first_user[d] != UINT32_MAX) {
                const uint32_t a = find_root(parent, first_user[d]), b = find_root(parent, i);
                if (a != b) parent[std::max(a, b)] = std::min(a, b);
            }
            first_user[d] = i;  // later repeats within input i are now recognised
        }
        dense_start[i + 1] = static_cast<uint32_t>(dense_axes.size());
    }

    std::vector<Component> comps;
    std::vector<uint32_t> comp_of(n, UINT32_MAX);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t r = find_root(parent, i);
        if (comp_of[r] == UINT32_MAX) {
            comp_of[r] = static_cast<uint32_t>(comps.size());
            comps.emplace_back();
        }
        comps[comp_of[r]].inputs.push_back(i);
    }

    std::vector<uint32_t>& local = first_user;  // reused: dense axis -> local axis
    std::fill(local.begin(), local.end(), UINT32_MAX);
    for (Component& comp : comps) {
        comp.axis_start.reserve(comp.inputs.size() + 1);
        comp.axis_start.push_back(0);
        for (uint32_t i : comp.inputs) {
            for (uint32_t p = dense_start[i]; p < dense_start[i + 1]; ++p) {
                const uint32_t d = dense_axes[p];
                if (local[d] == UINT32_MAX) {
                    local[d] = static_cast<uint32_t>(comp.sizes.size());
                    comp.sizes.push_back(ids[d] < int_sizes.size() ? int_sizes[ids[d]] : 1);
                    comp.in_output.push_back(in_output[d]);
                }
                comp.axes.push_back(local[d]);
            }
            comp.axis_start.push_back(static_cast<uint32_t>(comp.axes.size()));
        }
        comp.n_axes = comp.sizes.size();
    }
    return comps;
}

// Refuses a component of k >= 2 inputs over `n_axes` axes that the caps or the compiled widths
// cannot take.
void check_component(size_t k, size_t n_axes, const Caps& caps, bool wide) {
    if (caps.hash_map_cap == 0) throw util::InvalidValue(detail::zero_cap);
    if (!wide && k < 64 && n_axes > size_t{max_narrow_words} * 64)
        throw util::InvalidValue("optimize_dp handles at most " + std::to_string(max_narrow_words * 64) +
                                 " distinct axes in one connected group of inputs, got " + std::to_string(n_axes));
    if (wide && (k > max_wide_subgraph_words * 64 || n_axes > max_wide_axis_words * 64))
        throw util::InvalidValue("the search handles at most " + std::to_string(max_wide_subgraph_words * 64) +
                                 " inputs and " + std::to_string(max_wide_axis_words * 64) +
                                 " distinct axes in one connected group of inputs, got " + std::to_string(k) +
                                 " inputs and " + std::to_string(n_axes) + " axes");
}

// Solves a one-input component: the input itself, keeping all of its axes.
Solved single(Call& call, const Component& comp) {
    Solved solved{1, 1, 0};
    for (size_t a = 0; a < comp.n_axes; ++a) {
        solved.size = mul_saturating(solved.size, comp.sizes[a]);
        if (comp.in_output[a]) solved.output_size = mul_saturating(solved.output_size, comp.sizes[a]);
    }
    solved.root = push_node(call.tree, {Node::leaf, comp.inputs[0]});
    return solved;
}

// Joins the solved components by outer products, the two smallest first; returns the root.
uint32_t join_smallest_first(Call& call, const std::vector<Solved>& solved) {
    std::vector<std::array<uint64_t, 2>> sizes;
    std::vector<uint32_t> items;
    for (const Solved& s : solved) {
        sizes.push_back({s.size, s.output_size});
        items.push_back(s.root);
    }
    for (const auto& [a, b] : detail::combine_order(sizes)) items.push_back(push_node(call.tree, {items[a], items[b]}));
    return items.back();
}

Path path_of(const Call& call, uint32_t root, uint64_t n_inputs) {
    return detail::path_from_numbered(detail::number_tree(call.tree, root, n_inputs), n_inputs);
}

std::optional<Path> shared_pair(const std::vector<std::vector<uint64_t>>& input_ints, const Caps& caps, bool wide) {
    if (input_ints.size() != 2 || caps.fixed_mem_cap) return std::nullopt;
    const auto& a = input_ints[0];
    const auto& b = input_ints[1];
    const bool shared = std::any_of(a.begin(), a.end(), [&](uint64_t x) { return std::find(b.begin(), b.end(), x) != b.end(); });
    if (!shared) return std::nullopt;
    // Short lists cannot exceed any axis limit; long ones are counted.
    size_t n_axes = a.size() + b.size();
    if (n_axes > size_t{max_narrow_words} * 64) {
        std::vector<uint64_t> ids(a);
        ids.insert(ids.end(), b.begin(), b.end());
        std::sort(ids.begin(), ids.end());
        n_axes = static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
    }
    check_component(2, n_axes, caps, wide);
    return Path{{0, 1}};
}

namespace detail {

Numbered combine_order(const std::vector<std::array<uint64_t, 2>>& sizes) {
    struct Item {
        uint64_t size;
        uint64_t output_size;
        uint64_t number;
    };
    // Sorting the list stably by descending size and taking its last two, again and again,
    // takes the smallest size first and, among equal sizes, the item that entered the list
    // last: a stable sort keeps equal items in list order, and merged results are appended.
    // A heap ordered by (size ascending, entry number descending) gives the same sequence.
    auto later = [](const Item& a, const Item& b) { return joined_before(b.size, b.number, a.size, a.number); };
    std::priority_queue<Item, std::vector<Item>, decltype(later)> queue(later);
    for (uint64_t i = 0; i < sizes.size(); ++i) queue.push({sizes[i][0], sizes[i][1], i});
    Numbered steps;
    uint64_t next = sizes.size();
    while (queue.size() > 1) {
        const Item a = queue.top();
        queue.pop();
        const Item b = queue.top();
        queue.pop();
        steps.push_back({a.number, b.number});
        const uint64_t merged = mul_saturating(a.output_size, b.output_size);
        queue.push({merged, merged, next++});
    }
    return steps;
}

Numbered number_tree(const std::vector<Node>& nodes, uint32_t root, uint64_t n_inputs) {
    Numbered numbered;
    std::vector<std::pair<uint32_t, bool>> stack{{root, false}};
    std::vector<uint64_t> values;
    while (!stack.empty()) {
        const auto [index, expanded] = stack.back();
        stack.pop_back();
        const Node node = nodes[index];
        if (node.left == Node::leaf) {
            values.push_back(node.right);
        } else if (!expanded) {
            stack.push_back({index, true});
            stack.push_back({node.right, false});
            stack.push_back({node.left, false});
        } else {
            const uint64_t right = values.back();
            values.pop_back();
            const uint64_t left = values.back();
            values.pop_back();
            numbered.push_back({left, right});
            values.push_back(n_inputs + numbered.size() - 1);
        }
    }
    return numbered;
}

Path path_from_numbered(const Numbered& numbered, uint64_t n_inputs) {
    // A Fenwick tree counts the numbers already consumed at or below each index: an
    // operand's position is its number less that count.
    const size_t total = n_inputs + numbered.size() + 1;
    std::vector<uint64_t> fenwick(total + 1, 0);
    auto consumed_upto = [&](uint64_t x) {
        uint64_t count = 0;
        for (size_t i = x + 1; i > 0; i -= i & (~i + 1)) count += fenwick[i];
        return count;
    };
    auto consume = [&](uint64_t x) {
        for (size_t i = x + 1; i <= total; i += i & (~i + 1)) fenwick[i] += 1;
    };
    Path path;
    path.reserve(numbered.size());
    for (const auto& [x, y] : numbered) {
        path.push_back({x - consumed_upto(x), y - consumed_upto(y)});
        consume(x);
        consume(y);
    }
    return path;
}

Numbered numbered_from_path(const Path& path, uint64_t n_inputs) {
    // A Fenwick tree marks the numbers still in the operand list: position p names the
    // (p + 1)-th marked number, found by descending the tree's powers of two.
    const size_t total = n_inputs + path.size();
    std::vector<uint64_t> fenwick(total + 1, 0);
    auto mark = [&](uint64_t x, int64_t delta) {
        for (size_t i = x + 1; i <= total; i += i & (~i + 1)) fenwick[i] += static_cast<uint64_t>(delta);
    };
    size_t top = 1;
    while (top * 2 <= total) top *= 2;
    auto at = [&](uint64_t position) {
        size_t index = 0;
        uint64_t left = position + 1;
        for (size_t step = top; step > 0; step /= 2)
            if (index + step <= total && fenwick[index + step] < left) {
                index += step;
                left -= fenwick[index];
            }
        return static_cast<uint64_t>(index);  // the number at 0-based `index`
    };
    for (uint64_t x = 0; x < n_inputs; ++x) mark(x, 1);
    Numbered numbered;
    numbered.reserve(path.size());
    uint64_t next = n_inputs;
    for (const Step& step : path) {
        if (step.size() != 2) util::panic_index(2, step.size());
        const uint64_t x = at(step[0]), y = at(step[1]);
        mark(x, -1);
        mark(y, -1);
        mark(next, 1);
        numbered.push_back({x, y});
        ++next;
    }
    return numbered;
}

}  // namespace detail

std::optional<Path> find_path(const std::vector<std::vector<uint64_t>>& input_ints,
                              const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes,
                              const Options& options) {
    const size_t n = input_ints.size();
    if (n == 1) return Path{Step(0)};
    if (n == 0) util::panic_index(0, 0);
    if (std::optional<Path> pair = shared_pair(input_ints, options.caps, options.wide)) return pair;
    std::optional<Path> small;
    if (find_small(input_ints, output_ints, int_sizes, options.caps, false, small)) return small;

    const std::vector<Component> comps = split(input_ints, output_ints, int_sizes);
    for (const Component& comp : comps) {
        if (comp.inputs.size() >= 2 && options.caps.hash_map_cap == 0) throw util::InvalidValue(detail::zero_cap);
    }
    for (const Component& comp : comps)
        if (comp.inputs.size() >= 2) check_component(comp.inputs.size(), comp.n_axes, options.caps, options.wide);

    Call call(options.caps, default_growth, Objective{}, options.interrupt);
    call.tree.reserve(2 * n);
    std::vector<Solved> solved;
    solved.reserve(comps.size());
    for (const Component& comp : comps) {
        const size_t k = comp.inputs.size();
        if (k == 1) {
            solved.push_back(single(call, comp));
            continue;
        }
        if (k > 63 && !options.wide) throw util::Panic("store bitmaps as usize, so can only have 64 per subgraph");
        const std::optional<Solved> result = solve(call, comp);
        if (!result) return std::nullopt;
        solved.push_back(*result);
    }
    return path_of(call, join_smallest_first(call, solved), n);
}

Path optimize_dp(const std::vector<std::vector<uint64_t>>& input_ints, const std::vector<uint64_t>& output_ints,
                 const std::vector<uint64_t>& int_sizes, const Options& options) {
    if (std::optional<Path> path = find_path(input_ints, output_ints, int_sizes, options)) return std::move(*path);
    return Path(input_ints.size() - 1, Step{0, 1});
}

}  // namespace plenexa::optimiser
