// The anytime search: jobs (greedy trials, rounds of partition trials, refinements, then rebuilds
// of the best tree's costliest parts, by trials and then by the caller's exact order) run on
// worker threads while the calling thread watches the interrupt check, the deadline and the
// progress report.
#include "trees/anytime.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "trees/anneal.hpp"
#include "trees/canonical.hpp"
#include "trees/eliminate.hpp"
#include "trees/greedy.hpp"
#include "trees/partition.hpp"
#include "trees/random.hpp"
#include "trees/refine.hpp"
#include "trees/subtree.hpp"
#include "util/failure.hpp"

namespace plenexa::trees {

namespace {

// Longest wait of the calling thread between two looks at the interrupt check and the deadline.
constexpr auto watch_interval = std::chrono::milliseconds(4);
// How long past the deadline the sure trials may run on a crowded network. Elsewhere they run to
// the end, so that max_time=0's path is the same on every machine: they take 0.3 s on a 3-regular
// graph of 2,000 vertices (a loaded machine; several seconds under emulation, where a time bound
// cut them short) and lift its path from 10^31 times opt_einsum's greedy path to below it. On a
// crowded network one greedy build takes about 8 s (a weighted model count of 15,600 tensors,
// whose operands come to hold thousands of axes of many holders each), and running them to the
// end made max_time=3 take tens of seconds more.
constexpr auto sure_grace = std::chrono::seconds(1);
// Shortest time between two progress reports.
constexpr auto progress_interval = std::chrono::milliseconds(100);
// Partition trials draw their seeds from a stream of the search's seed apart from the greedy
// trials', and rebuilds from another.
constexpr uint64_t partition_stream = ~uint64_t{0};
constexpr uint64_t rebuild_stream = ~uint64_t{1};
// The improvement after the default effort draws its rounds' seeds from a stream of its own.
constexpr uint64_t improve_stream = ~uint64_t{2};
// The sure trials (Tuning::sure_trials) draw from one more.
constexpr uint64_t sure_stream = ~uint64_t{3};
// A learning partition trial makes its choices from a stream of its seed.
constexpr uint64_t learn_stream = ~uint64_t{4};
// Elimination trials draw from one more, the trials below the best splits from another, and
// elimination trials that weigh fill from a last one.
constexpr uint64_t elimination_stream = ~uint64_t{5};
constexpr uint64_t below_stream = ~uint64_t{6};
constexpr uint64_t fill_stream = ~uint64_t{7};
// A rebuild replaces a part only when cheaper by more than this fraction, so that rounding
// never counts as a gain.
constexpr double rebuild_margin = 1e-12;

// Whether some axis of the network has three or more holders.
bool crowded(const Network& network) {
    std::vector<uint8_t> holders(network.sizes.size(), 0);
    for (const Axes& axes : network.inputs)
        for (const Axis axis : axes)
            if (++holders[axis] == 3) return true;
    return false;
}

// A greedy trial's draws in [0, 1]: alpha's root, the temperature's octave and the jitter's
// (see greedy_at).
using GreedyDraws = std::array<double, 3>;

// The parameters of a greedy trial at `draws`: alpha the square of a root uniform in its range,
// the temperature log-uniform in its range, and no jitter for a draw below one half, above it a
// jitter log-uniform in [min_jitter, max_jitter) (see Tuning).
GreedyParams greedy_at(const Tuning& tuning, const GreedyDraws& draws, uint64_t seed) {
    GreedyParams params;
    const double root = tuning.min_alpha_root + (tuning.max_alpha_root - tuning.min_alpha_root) * draws[0];
    params.alpha = root * root;
    const double octaves = portable_log(tuning.max_temperature / tuning.min_temperature) * inverse_ln2;
    params.temperature = tuning.min_temperature * portable_exp2(octaves * draws[1]);
    if (draws[2] >= 0.5) {
        const double jitter_octaves = portable_log(tuning.max_jitter / tuning.min_jitter) * inverse_ln2;
        params.jitter = tuning.min_jitter * portable_exp2(jitter_octaves * (2 * draws[2] - 1));
    }
    params.seed = seed;
    return params;
}

// The draws of a random greedy trial without jitter.
GreedyDraws plain_draws(Rng& rng) {
    const double root = rng.uniform();
    return {root, rng.uniform(), 0};
}

// The parameters of a random greedy trial without jitter.
GreedyParams greedy_trial(const Tuning& tuning, Rng& rng) {
    const GreedyDraws draws = plain_draws(rng);
    return greedy_at(tuning, draws, rng.next());
}

// The parameters of an elimination trial: beta and the temperature uniform (see Tuning).
EliminationParams elimination_trial(const Tuning& tuning, Rng& rng) {
    EliminationParams params;
    params.beta = tuning.max_beta * rng.uniform();
    params.temperature = tuning.max_elimination_temperature * rng.uniform();
    params.seed = rng.next();
    return params;
}

// The parameters of an elimination trial that weighs fill: elimination_trial's, then the weight
// uniform in [0, max_fill).
EliminationParams fill_trial(const Tuning& tuning, Rng& rng) {
    EliminationParams params = elimination_trial(tuning, rng);
    params.fill = tuning.max_fill * rng.uniform();
    return params;
}

// The parameters of a partition trial.
PartitionParams partition_trial(const Tuning& tuning, Rng& rng) {
    PartitionParams params;
    params.imbalance = tuning.min_imbalance + (tuning.max_root_imbalance - tuning.min_imbalance) * rng.uniform();
    params.deep_imbalance = tuning.min_deep_imbalance + (max_imbalance - tuning.min_deep_imbalance) * rng.uniform();
    params.leaf_part =
        tuning.min_leaf_part + static_cast<unsigned>(rng.next() % (tuning.max_leaf_part - tuning.min_leaf_part + 1));
    params.seed = rng.next();
    params.tuning = tuning.partition;
    return params;
}

// A trial's parameters (a greedy trial's draws) and the score of its tree, for the trials that
// learn from it.
template <class Params>
struct Sampled {
    Params params;
    Score score;
};

// `value` moved by a triangular draw of at most `spread` times the width of [low, high], kept in it.
double nudged(double value, double low, double high, double spread, Rng& rng) {
    const double step = spread * (high - low) * (rng.uniform() - rng.uniform());
    return std::clamp(value + step, low, high);
}

// The parameters of a partition trial that learns: with Tuning::learn_explore's chance (or
// before a round's worth of trials has been seen) a fresh draw from `rng` as partition_trial's,
// otherwise one of the `learn_parents` best trials of `seen` (best first) nudged within the same
// ranges, with a new seed. `choice` makes the decisions, so that a fresh draw is the very trial
// the unlearned search drew.
PartitionParams learned_trial(const Tuning& tuning, const std::vector<Sampled<PartitionParams>>& seen, Rng& rng, Rng& choice) {
    if (seen.size() < tuning.round || choice.uniform() < tuning.learn_explore) return partition_trial(tuning, rng);
    const size_t parents = std::min<size_t>(seen.size(), std::max(tuning.learn_parents, 1u));
    PartitionParams params = seen[choice.next() % parents].params;
    params.imbalance = nudged(params.imbalance, tuning.min_imbalance, tuning.max_root_imbalance, tuning.learn_spread, choice);
    params.deep_imbalance = nudged(params.deep_imbalance, tuning.min_deep_imbalance, max_imbalance, tuning.learn_spread, choice);
    const double leaf = nudged(params.leaf_part, tuning.min_leaf_part, tuning.max_leaf_part, tuning.learn_spread, choice);
    params.leaf_part = static_cast<unsigned>(std::lround(leaf));
    params.seed = rng.next();
    return params;
}

// The draws of a restart's greedy trial, which learns as learned_trial does: a fresh draw from
// `rng` (the jitter's too) or one of the best trials of `seen` (best first) nudged, as
// `choice` decides.
GreedyDraws learned_greedy_draws(const Tuning& tuning, const std::vector<Sampled<GreedyDraws>>& seen, Rng& rng, Rng& choice) {
    if (seen.size() < tuning.round || choice.uniform() < tuning.learn_explore) {
        GreedyDraws draws = plain_draws(rng);
        draws[2] = rng.uniform();
        return draws;
    }
    const size_t parents = std::min<size_t>(seen.size(), std::max(tuning.learn_parents, 1u));
    GreedyDraws draws = seen[choice.next() % parents].params;
    for (double& draw : draws) draw = nudged(draw, 0, 1, tuning.learn_spread, choice);
    return draws;
}

// Adds the trials [from, to) of `sampled` to `seen`, keeping it best first (ties: earlier first).
template <class Sample>
void record(std::vector<Sample>& seen, const std::vector<std::optional<Sample>>& sampled, unsigned from, unsigned to) {
    for (unsigned trial = from; trial < to; ++trial)
        if (sampled[trial]) seen.push_back(*sampled[trial]);
    std::stable_sort(seen.begin(), seen.end(), [](const Sample& a, const Sample& b) { return a.score < b.score; });
}

// The splits of `tree`'s first `depth` levels (at most 32), for partition builds that keep them.
KeptSplits kept_splits(const Tree& tree, unsigned depth) {
    KeptSplits kept{std::vector<uint32_t>(tree.inputs, 0), depth};
    std::vector<std::tuple<uint32_t, unsigned, uint32_t>> stack{{tree.root, 0u, 0u}};  // node, depth, path
    while (!stack.empty()) {
        const auto [at, level, path] = stack.back();
        stack.pop_back();
        if (at < tree.inputs) {
            kept.path[at] = path;
        } else if (level < depth) {
            stack.push_back({tree.nodes[at].left, level + 1, path});
            stack.push_back({tree.nodes[at].right, level + 1, path | (1u << level)});
        } else {
            stack.push_back({tree.nodes[at].left, level, path});
            stack.push_back({tree.nodes[at].right, level, path});
        }
    }
    return kept;
}

// The builders whose trees the search keeps apart.
enum Builder : uint8_t { by_greedy, by_partition, by_elimination };

// A complete tree, its score under the search's objective and its place in the order that breaks
// ties between equal scores.
struct Candidate {
    Tree tree;
    uint64_t rank;
    Steps steps;
    Score score;

    // Lower score first, then lower rank.
    bool before(const Candidate& other) const {
        if (score < other.score || other.score < score) return score < other.score;
        return rank < other.rank;
    }
};

// One search: the shared state of the calling thread and its workers.
class Search {
public:
    Search(const Network& network, const Settings& settings)
        : network_(checked(network)),
          path_like_(network_.inputs.size() > settings.tuning.min_leaf_part && path_like(network_)),
          crowded_(crowded(network_)),
          settings_(settings), tuning_(settings.tuning), threads_(std::max(settings.threads, 1u)),
          keep_(std::max(tuning_.refine_trees, 1u)), start_(Clock::now()) {}

    // Runs the default effort and, when the settings ask for it, improves its tree until then.
    Tree run() {
        Tree tree = effort();
        if (settings_.improve_until) improve(tree);
        return tree;
    }

private:
    // The default effort: plain greedy, trials, refinement of the best trees, then rebuilds.
    // Its tree depends only on the network, the seed and the tuning (the deadline aside).
    Tree effort() {
        // The plain greedy tree, built even after the deadline, and the sure trials, built to the
        // end too unless the network is crowded (then until sure_grace after it).
        const uint64_t sure_seed = derive_seed(settings_.seed, sure_stream);
        const unsigned sure = 1 + tuning_.sure_trials;
        run_jobs(sure, sure, [&](unsigned job) {
            Rng rng(derive_seed(sure_seed, job));
            // Stopped by an interrupt or a failure, after which run_jobs throws (a sure trial on a
            // crowded network also by the grace's end).
            const std::atomic<bool>* stop = job == 0 || !crowded_ ? &abort_ : &overdue_;
            std::optional<Tree> tree = greedy(network_, job == 0 ? GreedyParams{} : greedy_trial(tuning_, rng), stop);
            if (tree) offer(std::move(*tree), job == 0 ? 0 : (uint64_t{1} << 32) + job, by_greedy);
        });
        const unsigned window = windows();
        Candidate* answer = explore(settings_.seed, window, true, false);
        // Restarts skip the greedy trials where their best tree was hopeless.
        const std::vector<Candidate>& greedy_kept = best_[by_greedy];
        const std::vector<Candidate>& partition_kept = best_[by_partition];
        restart_greedy_ = greedy_kept.empty() || partition_kept.empty() ||
                          greedy_kept.front().score.measure <= tuning_.restart_greedy_within * partition_kept.front().score.measure;
        Tree tree = std::move(answer->tree);
        // Rebuilt parts replace the old ones by their flops, which only the flops objective sums
        // part by part (a cheaper part may hold a larger intermediate).
        if (tuning_.rebuild && settings_.objective.measure == Measure::flops)
            rebuild(tree, windows_on_network(window), derive_seed(settings_.seed, rebuild_stream),
                    tuning_.rebuild_most_leaves, tuning_.rebuild_attempts, true);
        return tree;
    }

    // The refinement of a whole tree by windows of up to `window` leaves, sharing the memo.
    RefineSettings windows_on_network(unsigned window) {
        RefineSettings windows{window, tuning_.sweeps, settings_.objective, {}};
        windows.memo = &memo_;
        return windows;
    }

    // The most leaves of a window on this network.
    unsigned windows() const {
        return path_like_ && crowded_ ? std::min(tuning_.window, tuning_.crowded_path_window) : tuning_.window;
    }

    // Greedy (unless `greedy_trials` is false; learning, with jitter, when `learn_greedy`: see
    // learned_greedy_draws), elimination and partition trials drawn from `seed`,
    // then partition trials below the best partition tree's splits, in rounds that stop when
    // they stop improving, then window refinement of the best distinct
    // trees, each builder's in turn; the best tree found (null when the search halted before any).
    Candidate* explore(uint64_t seed, unsigned window, bool greedy_trials, bool learn_greedy) {
        // Greedy trials also stop after the round whose work (pairs scored) passes Tuning::greedy_work.
        // A restart's trials learn from every greedy trial before their round, as partition trials do,
        // and idle rounds stop them only once their work passes Tuning::restart_greedy_work.
        std::atomic<uint64_t> work{0};
        const unsigned greedies = greedy_trials ? tuning_.trials : 0u;
        std::vector<std::optional<Sampled<GreedyDraws>>> greedy_sampled(greedies);
        run_rounds(
            greedies,
            [&](unsigned trial) {
                const uint64_t trial_seed = derive_seed(seed, trial);
                Rng rng(trial_seed);
                Rng choice(derive_seed(trial_seed, learn_stream));
                const GreedyDraws draws = learn_greedy ? learned_greedy_draws(tuning_, greedy_seen_, rng, choice) : plain_draws(rng);
                uint64_t scored = 0;
                std::optional<Tree> tree = greedy(network_, greedy_at(tuning_, draws, rng.next()), &halt_, &scored);
                work += scored;
                if (!tree) return;
                greedy_sampled[trial] = Sampled<GreedyDraws>{draws, score(*tree, settings_.objective)};
                offer(std::move(*tree), uint64_t{1} + trial, by_greedy);
            },
            [&](unsigned from, unsigned to) {
                record(greedy_seen_, greedy_sampled, from, to);
                return work.load() < tuning_.greedy_work;
            },
            [&] { return learn_greedy && work.load() < tuning_.restart_greedy_work; });
        // Where an axis has three or more holders, elimination trials: the first without noise.
        const unsigned eliminations = crowded_ && !path_like_ ? tuning_.elimination_trials : 0u;
        const uint64_t elimination_seed = derive_seed(seed, elimination_stream);
        run_rounds(eliminations, [&](unsigned trial) {
            Rng rng(derive_seed(elimination_seed, trial));
            std::optional<Tree> tree = elimination_tree(network_, trial == 0 ? EliminationParams{} : elimination_trial(tuning_, rng), &halt_);
            if (tree) offer(std::move(*tree), (uint64_t{2} << 32) + trial, by_elimination);
        });
        // Then elimination trials that also weigh each axis's fill (see Tuning::fill_trials).
        const unsigned fills = network_.sizes.size() <= fill_most_axes ? std::min(eliminations, tuning_.fill_trials) : 0u;
        const uint64_t fill_seed = derive_seed(seed, fill_stream);
        run_rounds(fills, [&](unsigned trial) {
            Rng rng(derive_seed(fill_seed, trial));
            std::optional<Tree> tree = elimination_tree(network_, fill_trial(tuning_, rng), &halt_);
            if (tree) offer(std::move(*tree), (uint64_t{2} << 32) + tuning_.elimination_trials + trial, by_elimination);
        });
        // A network no larger than every leaf part gets its exact order from any partition trial. A
        // path-like one gets none: on chains and inputs around one axis the refined greedy tree was as
        // cheap as the best partition tree, at a tenth of the time. (Trees with branching inputs still
        // gain from them: a 200-tensor tree cost a fifth less.)
        const unsigned partitions = path_like_                                 ? 0u
                                    : network_.inputs.size() <= tuning_.min_leaf_part ? std::min(tuning_.partition_trials, 1u)
                                                                              : tuning_.partition_trials;
        // Each round's trials learn from every partition trial of the search before the round
        // (learned_trial); their results join the record in trial order, whichever thread ran them.
        const uint64_t partition_seed = derive_seed(seed, partition_stream);
        std::vector<std::optional<Sampled<PartitionParams>>> sampled(partitions);
        run_rounds(
            partitions,
            [&](unsigned trial) {
                const uint64_t trial_seed = derive_seed(partition_seed, trial);
                Rng rng(trial_seed);
                Rng choice(derive_seed(trial_seed, learn_stream));
                const PartitionParams params = learned_trial(tuning_, seen_, rng, choice);
                std::optional<Tree> tree = partition_tree(network_, params, &halt_);
                if (!tree) return;
                sampled[trial] = Sampled<PartitionParams>{params, score(*tree, settings_.objective)};
                offer(std::move(*tree), uint64_t{1} + tuning_.trials + trial, by_partition);
            },
            [&](unsigned from, unsigned to) {
                record(seen_, sampled, from, to);
                return true;
            });
        // Trials that keep the best partition tree's first split, then its first two levels, and
        // draw every split below them again, learning as the partition trials do: on large random
        // regular graphs the trees under one first split vary by orders of magnitude, and the best
        // splits are worth more draws than fresh ones (see Tuning::below_trials).
        for (unsigned depth = 1; partitions > 1 && !best_[by_partition].empty() && depth <= tuning_.below_depth; ++depth) {
            const Tree& best = best_[by_partition].front().tree;
            if (best.root < best.inputs) break;
            const KeptSplits kept = kept_splits(best, depth);
            const uint64_t below_seed = derive_seed(derive_seed(seed, below_stream), depth);
            run_rounds(tuning_.below_trials, [&](unsigned trial) {
                const uint64_t trial_seed = derive_seed(below_seed, trial);
                Rng rng(trial_seed);
                Rng choice(derive_seed(trial_seed, learn_stream));
                std::optional<Tree> tree = partition_tree(network_, learned_trial(tuning_, seen_, rng, choice), &halt_, &kept);
                if (tree) offer(std::move(*tree), (uint64_t{2 + depth} << 32) + trial, by_partition);
            });
        }
        // The best distinct trees of each builder in turn, refined in rounds of one tree per builder
        // (a job each), stopping as trials do: the windows sometimes make more of a greedy tree
        // than of a cheaper partition tree. A job skipped after the deadline leaves its tree as it was.
        refined_.clear();
        for (size_t place = 0; refined_.size() < tuning_.refine_trees && place < keep_; ++place)
            for (const std::vector<Candidate>& kept : best_)
                if (place < kept.size() && refined_.size() < tuning_.refine_trees) refined_.push_back(kept[place]);
        Score before = lowest();
        unsigned idle = 0;
        for (size_t done = 0; done < refined_.size() && !halt_.load();) {
            // One tree per builder that ran (greedy and partition trials always count).
            const size_t builders = best_[by_elimination].empty() ? 2 : 3;
            const auto size = static_cast<unsigned>(std::min(builders, refined_.size() - done));
            run_jobs(size, 0, [&](unsigned job) {
                Candidate& candidate = refined_[done + job];
                refine(network_, candidate.tree, windows_on_network(window), &halt_);
                candidate.rank = uint64_t{1} + tuning_.trials + tuning_.partition_trials + done + job;
                candidate.score = score(candidate.tree, settings_.objective);
                note_cost(candidate.score.measure);
            });
            Score after = before;
            for (size_t k = done; k < done + size; ++k) after = std::min(after, refined_[k].score);
            const bool first = done == 0;
            done += size;
            idle = after < before ? 0 : idle + 1;
            if (idle >= (first ? 1u : tuning_.refine_idle_rounds)) break;
            before = after;
        }
        Candidate* answer = nullptr;
        for (std::vector<Candidate>& kept : best_)
            if (!kept.empty() && (!answer || kept.front().before(*answer))) answer = &kept.front();
        for (Candidate& candidate : refined_)
            if (!answer || candidate.before(*answer)) answer = &candidate;
        return answer;
    }

    // Improves the default effort's `tree` until Settings::improve_until (under the rate alone,
    // until the search has taken Tuning::rate_most_efforts times the default effort's time), the
    // deadline, the rate or an interrupt: in rounds of Tuning::restart_every, the second anneals
    // the best tree (anneal.hpp) and refines it by windows, the last restarts (the default
    // effort's trials, refinement and rebuilds from a new seed), and the others rebuild the best
    // tree's costliest parts again with new seeds and larger parts. Only ever replaces the tree
    // by a cheaper one.
    void improve(Tree& tree) {
        const Clock::time_point now = Clock::now();
        improve_until_ = *settings_.improve_until != Clock::time_point::max()
                             ? *settings_.improve_until
                             : now + std::chrono::duration_cast<Clock::duration>((now - start_) * (tuning_.rate_most_efforts - 1));
        const unsigned window = windows();
        const RefineSettings windows_of_tree = windows_on_network(window);
        const bool rebuilds = settings_.objective.measure == Measure::flops;
        const uint64_t stream = derive_seed(settings_.seed, improve_stream);
        Score best = score(tree, settings_.objective);
        for (unsigned epoch = 0; !halt_.load() && Clock::now() < *improve_until_; ++epoch) {
            const uint64_t seed = derive_seed(stream, epoch);
            const unsigned phase = epoch % tuning_.restart_every;
            if (phase == 1 && rebuilds) {
                // Annealing runs from the best tree, each refined by windows after. A run cut short
                // by the deadline is dropped, so that a larger budget, which runs it to the end,
                // never answers a costlier tree than a smaller one (the refinement after it only
                // ever lowers the tree, cut short or not).
                std::vector<Tree> annealed(tuning_.anneals, tree);
                std::vector<uint8_t> finished(tuning_.anneals, 0);
                run_jobs(tuning_.anneals, 0, [&](unsigned job) {
                    finished[job] = anneal(network_, annealed[job], {tuning_.anneal_moves, tuning_.anneal_start_temperature,
                                                                     tuning_.anneal_end_temperature, derive_seed(seed, job)}, &halt_);
                    if (finished[job]) refine(network_, annealed[job], windows_of_tree, &halt_);
                });
                for (unsigned job = 0; job < tuning_.anneals; ++job) {
                    if (!finished[job]) continue;
                    Tree& candidate = annealed[job];
                    const Score candidate_score = score(candidate, settings_.objective);
                    if (candidate_score < best) {
                        tree = std::move(candidate);
                        best = candidate_score;
                        note_cost(best.measure);
                    }
                }
                continue;
            }
            if (phase != tuning_.restart_every - 1 && rebuilds) {
                // Parts of up to 64, 96 and 128 leaves in turn, twice the attempts each: larger
                // parts escape where the default effort's rebuilds found nothing.
                const unsigned turn = epoch % 3;
                const uint32_t most = tuning_.rebuild_most_leaves + tuning_.rebuild_most_leaves / 2 * turn;
                rebuild(tree, windows_of_tree, seed, most, 2 * tuning_.rebuild_attempts, turn == 0);
                best = score(tree, settings_.objective);
                continue;
            }
            for (std::vector<Candidate>& kept : best_) kept.clear();
            Candidate* fresh = explore(seed, window, restart_greedy_, true);
            if (!fresh) continue;
            Tree candidate = std::move(fresh->tree);
            if (rebuilds) rebuild(candidate, windows_of_tree, derive_seed(seed, rebuild_stream), tuning_.rebuild_most_leaves,
                                  tuning_.rebuild_attempts, true);
            const Score score_of_candidate = score(candidate, settings_.objective);
            if (score_of_candidate < best) {
                tree = std::move(candidate);
                best = score_of_candidate;
            }
        }
    }

    // Rebuilds the costliest parts of `tree`, of up to `most` leaves, in rounds (see
    // Tuning::rebuilt_parts) drawing their seeds from `stream`, `attempts` trees per part, each
    // rebuild a job; windows of `windows.window` leaves refine every rebuild, and `windows` the
    // tree around the parts replaced. Then, when `exact` and with the caller's exact order, rounds
    // of smaller parts ordered by it (see Tuning::exact_most_leaves).
    void rebuild(Tree& tree, const RefineSettings& windows, uint64_t stream, uint32_t most, unsigned attempts, bool exact_too) {
        // A cost that overflows a double compares with none: no rebuild could show a gain.
        if (!std::isfinite(tree.cost())) return;
        unsigned round = 0;  // over both phases, for the round seeds
        for (const bool exact : {false, true}) {
            if (exact && (!exact_too || !settings_.exact)) break;
            const unsigned most_idle = exact ? tuning_.exact_idle_rounds : tuning_.rebuild_idle_rounds;
            unsigned idle = 0;
            for (unsigned k = 0; k < tuning_.rebuild_rounds && idle < most_idle && !halt_.load(); ++k, ++round)
                idle = rebuild_round(tree, windows, k, exact ? tuning_.exact_most_leaves : most, exact ? 1 : attempts, exact,
                                     derive_seed(stream, round))
                           ? 0
                           : idle + 1;
        }
    }

    // One round of rebuilds of parts of up to `most` leaves: whole subtrees in even rounds, windows
    // in odd ones, built by `attempts` trials each or, when `exact`, by the caller's exact order;
    // true when some part was replaced.
    bool rebuild_round(Tree& tree, const RefineSettings& windows, unsigned round, uint32_t most, unsigned attempts,
                       bool exact, uint64_t round_seed) {
        const double floor = tuning_.rebuild_least_share * tree.cost();
        const std::vector<Window> parts = round % 2 == 0
                                              ? costliest_subtrees(tree, windows.window, most, tuning_.rebuilt_parts, floor)
                                              : costliest_windows(tree, windows.window, most, tuning_.rebuilt_parts, floor);
        std::vector<Subnetwork> subs;
        for (const Window& part : parts) subs.push_back(subnetwork(network_, tree, part));
        std::vector<std::optional<Tree>> built(subs.size() * attempts);
        run_jobs(static_cast<unsigned>(built.size()), 0, [&](unsigned job) {
            const Network& network = subs[job / attempts].network;
            std::optional<Tree>& attempt = built[job];
            if (exact) {
                if (std::optional<Steps> steps = settings_.exact(settings_.exact_context, network, halt_))
                    attempt = tree_from_steps(network, *steps);
                return;
            }
            Rng rng(derive_seed(round_seed, job));
            // On path-like networks greedy alone, as for the trials; on crowded ones every fourth
            // attempt an elimination tree weighing fill (model counting, seeds 0 to 5 of the three
            // sizes: summed log10 cost 0.14 lower at default settings, none costlier).
            if (job % 2 == 0 || path_like_) {
                attempt = greedy(network, greedy_trial(tuning_, rng), &halt_);
            } else if (crowded_ && job % 4 == 3) {
                attempt = elimination_tree(network, fill_trial(tuning_, rng), &halt_);
            } else {
                attempt = partition_tree(network, partition_trial(tuning_, rng), &halt_);
            }
            if (attempt) refine(network, *attempt, {windows.window, tuning_.rebuild_sweeps, windows.objective, {}}, &halt_);
        });
        std::vector<uint32_t> changed;
        for (size_t k = 0; k < parts.size(); ++k) {
            const Tree* best = nullptr;
            for (size_t job = k * attempts; job < (k + 1) * attempts; ++job)
                if (built[job] && (!best || built[job]->cost() < best->cost())) best = &*built[job];
            double current = 0;
            for (const uint32_t at : parts[k].inside) current += tree.nodes[at].step;
            if (best && best->cost() < current * (1 - rebuild_margin)) {
                graft(tree, parts[k], subs[k], *best);
                changed.insert(changed.end(), parts[k].inside.begin(), parts[k].inside.end());
            }
        }
        if (changed.empty()) return false;
        refine(network_, tree, windows, &halt_, &changed);
        note_cost(tree.cost());
        return true;
    }

    // Runs trials 0..count-1 in rounds of Tuning::round, each round's jobs on the workers, then
    // `after(first, end)` on the round's trials; stops when the search halts, when `after` says
    // so (false), or, unless `patient()` says the trials go on regardless, when the first round
    // finds no cheaper tree than those before it or Tuning::idle_rounds rounds in a row find none.
    // The rounds run depend only on the trials' outcomes (their trees and work).
    template <class Trial, class After = bool (*)(unsigned, unsigned), class Patient = bool (*)()>
    void run_rounds(unsigned count, Trial&& trial, After&& after = [](unsigned, unsigned) { return true; },
                    Patient&& patient = [] { return false; }) {
        const unsigned round = std::max(tuning_.round, 1u);
        unsigned idle = 0;
        for (unsigned done = 0; done < count && !halt_.load();) {
            const unsigned size = std::min(round, count - done);
            const Score before = lowest();
            run_jobs(size, 0, [&](unsigned job) { trial(done + job); });
            const bool go_on = after(done, done + size);
            const bool first = done == 0;
            done += size;
            idle = lowest() < before ? 0 : idle + 1;
            if (!go_on || (idle >= (first ? 1u : tuning_.idle_rounds) && !patient())) break;
        }
    }

    // Runs jobs 0..count-1 on the workers (in order of their numbers; every job from `required`
    // on skipped once the search halts) while the calling thread watches; rethrows a worker's
    // failure, or throws util::Interrupted, after every worker has ended.
    template <class Job>
    void run_jobs(unsigned count, unsigned required, Job&& job) {
        std::atomic<unsigned> next{0};
        unsigned running = 0;
        std::exception_ptr failure;
        const auto work = [&] {
            for (;;) {
                const unsigned index = next.fetch_add(1);
                if (index >= count || abort_.load() || (index >= required && halt_.load())) break;
                try {
                    job(index);
                } catch (...) {
                    std::lock_guard lock(mutex_);
                    if (!failure) failure = std::current_exception();
                    abort_ = halt_ = overdue_ = true;
                }
            }
            std::lock_guard lock(mutex_);
            --running;
            wake_.notify_all();
        };
        std::vector<std::thread> workers;
        try {
            for (unsigned t = 0; t < std::min(threads_, count); ++t) {
                {
                    std::lock_guard lock(mutex_);
                    ++running;
                }
                try {
                    workers.emplace_back(work);
                } catch (...) {
                    std::lock_guard lock(mutex_);
                    --running;
                    throw;
                }
            }
            std::unique_lock lock(mutex_);
            while (running > 0) {
                wake_.wait_for(lock, watch_interval);
                lock.unlock();
                watch();
                lock.lock();
            }
        } catch (...) {
            abort_ = halt_ = overdue_ = true;
            for (std::thread& worker : workers) worker.join();
            throw;
        }
        for (std::thread& worker : workers) worker.join();
        if (failure) std::rethrow_exception(failure);
        if (interrupted_) throw util::Interrupted();
    }

    // The calling thread's look at the interrupt check, the deadline and the progress report.
    void watch() {
        const Clock::time_point now = Clock::now();
        if (settings_.interrupt.check && !abort_ && now - last_check_ >= watch_interval) {
            last_check_ = now;
            if (settings_.interrupt.check(settings_.interrupt.context)) {
                interrupted_ = true;
                abort_ = halt_ = overdue_ = true;
            }
        }
        if (settings_.deadline && now >= *settings_.deadline) halt_ = true;
        if (settings_.deadline && now >= *settings_.deadline + sure_grace) overdue_ = true;
        if (improve_until_ && now >= *improve_until_) halt_ = true;
        if (settings_.rate > 0) {
            std::lock_guard lock(mutex_);
            if (std::chrono::duration<double>(now - start_).count() * settings_.rate >= best_cost_) halt_ = true;
        }
        if (settings_.progress.report && now - last_progress_ >= progress_interval) {
            double best;
            {
                std::lock_guard lock(mutex_);
                best = best_cost_;
            }
            // Nothing to report before the first tree is complete.
            if (!std::isfinite(best)) return;
            last_progress_ = now;
            settings_.progress.report(settings_.progress.context, std::chrono::duration<double>(now - start_).count(), best);
        }
    }

    // Records a cost reached, for the progress report.
    void note_cost(double cost) {
        std::lock_guard lock(mutex_);
        best_cost_ = std::min(best_cost_, cost);
    }

    // The lowest score of a kept tree (read between rounds, when no worker runs).
    Score lowest() const {
        Score lowest{HUGE_VAL, HUGE_VAL};
        for (const std::vector<Candidate>& kept : best_)
            if (!kept.empty()) lowest = std::min(lowest, kept.front().score);
        return lowest;
    }

    // Adds a finished tree of the builder `by` to its best distinct trees. The kept set is the same
    // whatever the order in which trees arrive: the `keep_` best by (cost, rank) among distinct
    // step lists, each with the lowest rank that produced it.
    void offer(Tree tree, uint64_t rank, Builder by) {
        Candidate candidate{std::move(tree), rank, {}, {}};
        candidate.steps = steps_of(candidate.tree);
        candidate.score = score(candidate.tree, settings_.objective);
        std::lock_guard lock(mutex_);
        std::vector<Candidate>& kept = best_[by];
        best_cost_ = std::min(best_cost_, candidate.score.measure);
        for (auto it = kept.begin(); it != kept.end(); ++it)
            if (it->steps == candidate.steps) {
                if (it->rank < candidate.rank) return;
                kept.erase(it);
                break;
            }
        const auto at = std::lower_bound(kept.begin(), kept.end(), candidate,
                                         [](const Candidate& a, const Candidate& b) { return a.before(b); });
        kept.insert(at, std::move(candidate));
        if (kept.size() > keep_) kept.pop_back();
    }

    const Network network_;
    const bool path_like_;  // path-like and larger than a leaf part
    const bool crowded_;    // some axis has three or more holders
    const Settings& settings_;
    const Tuning& tuning_;
    const unsigned threads_;
    const size_t keep_;
    const Clock::time_point start_;
    Clock::time_point last_check_{};
    Clock::time_point last_progress_ = start_;
    std::atomic<bool> abort_{false};  // stop everything: interrupted or failed
    std::atomic<bool> overdue_{false};  // stop a crowded network's sure trials: aborted, or sure_grace past the deadline
    std::atomic<bool> halt_{false};   // stop optional work: deadline passed, or aborted
    bool interrupted_ = false;
    Deadline improve_until_;  // set past the default effort: when the improvement ends
    bool restart_greedy_ = true;  // whether restarts run greedy trials (see Tuning::restart_greedy_within)
    std::mutex mutex_;
    std::condition_variable wake_;
    double best_cost_ = HUGE_VAL;
    std::vector<Candidate> best_[3];  // per builder, its best distinct trees, best first
    std::vector<Candidate> refined_;  // the trees that explore's windows refined
    std::vector<Sampled<PartitionParams>> seen_;  // every partition trial of the search, best first (ties: earlier first)
    std::vector<Sampled<GreedyDraws>> greedy_seen_;  // every random greedy trial of the search, the same way
    WindowMemo memo_;                 // the windows solved on network_
};

}  // namespace

Tree search(const Network& network, const Settings& settings) {
    const Network given = checked(network);
    const Renumbered canon = canonical(given);
    return tree_from_steps(given, original_steps(canon, steps_of(Search(canon.network, settings).run())));
}

}  // namespace plenexa::trees
