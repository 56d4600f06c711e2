// plenexa_paths' strategy: every knob of its searches in one value, each with the measurement
// that chose it. The driver reads it; `describe` prints it (plenexa_paths._search.strategy()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "trees/tuning.hpp"

namespace plenexa::driver {

struct Strategy {
    // Components of this many inputs or more take the anytime tree search of src/trees instead
    // of the tables, which are exact on smaller ones.
    size_t anytime_from = 64;
    // Units of search work (a left entry, or a block of 64 partners) after which a capped call's
    // searches stop and greedy trees answer: 1 to 5 s on the costliest shapes measured (stars,
    // one shared label, 3-regular graphs), so that no call at the default caps runs for minutes.
    // Exhaustive searches (hash_map_cap MAX) have no such limit: they were asked for the optimum.
    // The work limit bounds the time of a call the same way on every run.
    uint64_t work_limit = uint64_t{1} << 28;
    // Factor by which the tables' cost cap grows after a sweep that leaves a component
    // incomplete: exhaustive searches grow it by 2 (fewer merges priced above the optimum),
    // capped ones by 4 (as opt_einsum raises its cost cap).
    uint64_t exhaustive_growth = 2;
    uint64_t capped_growth = 4;
    // Improve every tables' tree of more than three inputs by the exact windows of src/trees
    // (never a tree the exhaustive tables found: windows cannot improve it).
    bool refine = true;
    // Most worker threads a search starts; more are asked for as this many.
    uint64_t max_threads = 256;
    // Work the tables may spend on one part of a tree-search tree (see trees::Settings::exact):
    // parts of up to 35 leaves of the benchmark's networks take a few milliseconds; 2^20 left
    // most of them to the greedy order, 2^25 found no cheaper trees than 2^22.
    uint64_t exact_order_work = uint64_t{1} << 22;
    // Components of more inputs than this get fewer tree-search trials and refinements: beyond a
    // thousand tensors a trial and a refinement take long enough that fewer of each keep a call
    // within seconds (trials and refinements divided by k / large_component, at most by
    // large_most_division; a round of trials and large_least_refine_trees trees remain).
    size_t large_component = 1000;
    // Networks of up to this many inputs whose vectors and matrices were absorbed are searched raw
    // too, the cheaper path answering: on bench/large.py the absorbed tree of 200 cost 1.20 times,
    // circuit 12 x 10 1.036 and grid 12 x 12 1.012 times the raw search (each raw search under a
    // second), while raw circuits of 1,000 tensors and more cost 1.4 to 14 times less absorbed,
    // and searching them raw as well would double their time for nothing. Path-like networks are
    // searched raw too whatever their size: the vectors at both ends of a chain of 1,000 to 5,000
    // matrices, absorbed, sweep in to meet at a bond other than the smallest (0.005 to 0.02% above
    // the optimum), which the raw search finds in 0.3 s for 2,000.
    size_t absorb_compare_most = 512;
    // An absorption that would remove fewer than this share of the inputs is not done: the network
    // is searched as given. Absorbing the few vectors at the ends of a matrix product or the
    // corners of a grid leaves nearly the same network, and searching both it and the raw one was
    // two draws of one search for twice the time. Measured on bench/large.py's networks and
    // bench/evaluation.py's with absorptions (1 to 2.8% of the inputs on MPS-MPO-MPS 60, MPS norms,
    // grids; the next, 3-SAT 60v, 19%): half the time on those 8 networks (the MPS-MPO-MPS
    // sandwich 1.03-1.09 s -> 0.40-0.53 s), the same costs but one seed of the sandwich, 1.0015
    // times as much; searching only the reduced network instead cost the 16 x 16 grid 1.06 times.
    double absorb_least_share = 0.05;
    unsigned large_most_division = 8;
    unsigned large_least_refine_trees = 2;
    // A quick tree search refines this many trees with at most this many sweeps each, and skips
    // the rebuilds. Measured as plan's re-searches on bench/sliced.py's 14 rows: a third to a
    // quarter of the time of a full search; the plans' flops the same on 10 rows and 2-8% higher
    // on four (the 3-regular graph of 128 tensors and the 7 x 7 circuit); 2 trees of 12 sweeps
    // and 16 trials of each kind took less time, but cost 3 times more on the circuit.
    unsigned quick_refine_trees = 4;
    unsigned quick_sweeps = 6;

    // The tree search's own knobs (see trees/tuning.hpp for what each does).
    trees::Tuning trees{
        // Up to 1,024 greedy trials (a few milliseconds each) and 64 partition trials. Each kind
        // runs in rounds of 8, and stops when its first round, or eight rounds in a row, find no
        // tree cheaper than all before.
        // Measured on bench/evaluation.py's tuning half with the Boltzmann trials below, cost
        // against 64 greedy trials and 2 idle rounds: 8 idle rounds 0.39 times in geometric mean
        // (1.6 s a network on average, was 1.3 s); 16 idle rounds 0.37 (1.8 s); all 1,024 trials
        // 0.31 (2.8 s; model counting 8 s a network); 32 partition trials instead of 64, 3-regular
        // graphs 2.3 times costlier.
        // Four random greedy trials join the plain greedy tree as the search's least effort,
        // built even when max_time=0: with the plain greedy tree alone, 3-regular graphs of 600 to
        // 2,000 vertices (bond 2, where every pair ties) cost 10^0.6 to 10^31 times opt_einsum's
        // greedy path and grids 10^1.8 to 10^2.9; with four trials 10^-19 to 10^-0.4 times, a
        // 25 x 25 grid 10^0.3, the cube 9^3 10^0.16 (eight: the cube 10^-13, but 0.6 s on 2,000
        // vertices where four take 0.3 s, on a loaded machine).
        .sure_trials = 4,
        .trials = 1024,
        // The random greedy trials' work (pairs scored) ends them after the round that passes
        // 2^25: bench/evaluation.py's 60 networks spend at most 11.6 million (3-SAT 120v weighted,
        // 146 trials), so none of them changes, while a weighted model count of 1,000 variables and
        // 4,200 clauses spent 305 million in 126 trials (4.2 million each, about 40 s of a 70 s
        // default effort).
        .greedy_work = uint64_t{1} << 25,
        .partition_trials = 64,
        // Then up to 32 partition trials keep the best partition tree's first split and draw the
        // splits below it again, and up to 32 more its first two levels. On 3-regular 1,024 s0
        // the trees of the 64 partition trials cost 10^40.9 at best and 10^44.5 in the median,
        // those of 32 trials below the best first split 10^40.6 and 10^41.6: the cost lies in the
        // deeper splits, which vary widely under one first split. bench/evaluation.py, default
        // settings, 64 trials below the first split: only the 3-regular graphs changed (elsewhere
        // the first round finds no cheaper tree and they stop), 1,024 s0 and s1 0.51 and 0.42
        // times the cost in 1.3 times the time, 256 0.91 and 0.98, 512 the same. Summed log10
        // cost of 3-regular 256, 512 and 1,024 at seeds 0 and 1 (and at seeds 2 and 3, outside
        // the set): 147.87 (148.84) with 64 trials below the first split, 147.37 (148.44) with
        // 32 below the first and 32 below the first two levels, 147.37 (-) with three levels,
        // 147.79 (-) with 16 at each of four; before, 148.50 (149.70). Below the best four first
        // splits in turn, 64 trials: 1,024 s0 and s1 10^40.40 and 40.23, against 39.97 and 39.90
        // below the best one in that trial.
        .below_trials = 32,
        .below_depth = 2,
        // Where an axis has three or more holders (hypergraphs: model counting), up to 64
        // elimination trials, in rounds as the others. bench/evaluation.py, default settings, the
        // six model-counting networks (no other network is crowded, none changed): 0.07 to 0.45
        // times the cost (tuning half 0.44, 0.45, 0.07; held-out half 0.41, 0.27, 0.11), 3-SAT 90v
        // s0 3.59 -> 1.62 times HyperOptimizer's cost, 120v weighted s0 5.82 -> 0.40, s1 1.08 ->
        // 0.12, in the same time. On 3-SAT 90v s0 the elimination trees cost 10^18.21-18.33 before
        // the windows, the best random greedy tree 10^18.72, the best partition tree 10^20.
        .elimination_trials = 64,
        // Then up to 64 elimination trials that add fill * log2(1 + the axis's fill) to each
        // score, fill uniform in [0, 3) (min-fill's count: on 3-SAT 90v s0 fill 3 alone made the
        // best raw elimination tree 10^18.06 against 10^18.21, pure min-fill 10^18.23). Summed
        // log10 cost of the three model-counting sizes at seeds 0 to 5 (0 and 1 are the
        // evaluation set's, 2 to 5 outside it), default settings: 335.18 before, 334.95 with
        // these trials (120v s0 -0.12, 60v s2 -0.16; worst 60v s4 +0.045), the same time; every
        // trial weighing fill instead (the trials' own draws plus a weight in [0, 3)) 334.32 but
        // 60v s0 +0.105 and s1 +0.05; a weight in [0, 6) 334.71. Kept: the old trials stay.
        .fill_trials = 64,
        .max_fill = 3.0,
        .round = 8,
        .idle_rounds = 8,
        // The windows refine the best trees in rounds of one per builder, and stop when the first
        // round, or eight in a row, find no cheaper tree. Two idle rounds instead (the value before
        // the trials' eight): tuning half 1.008 times the cost in geometric mean (raw circuits
        // 1.12) for a quarter less time (1.3 s a network against 1.7 s; 85% of the time of the
        // 180-tensor MPS-MPO-MPS sandwich goes to windows), but the held-out half did not confirm
        // it: circuits 1.13 times costlier, one 1.82, for 12% less time. Not kept.
        .refine_trees = 8,
        .refine_idle_rounds = 8,
        .sweeps = 12,
        .window = 12,
        // On a path-like network with an axis of three or more holders, windows hold at most 8
        // leaves: on 1,000 inputs around one shared axis every window is fully connected, and a
        // sweep of 12-leaf windows took 60 times longer than one of 8 and found nothing more.
        .crowded_path_window = 8,
        // The random trials rank a pair by size(result) - alpha (size(a) + size(b)) with alpha = r^2
        // for r uniform in [0.1, 4), so that many trials favour pairs whose operands are large, and
        // add Gumbel noise at a temperature drawn log-uniformly from [0.0014, 1.44) on the log2
        // scale (0.001 to 1 on the natural one): the field's Boltzmann-sampled greedy. Measured
        // against the earlier alpha in [0, 1) and temperature 0.5 u^2 (bench/evaluation.py's
        // tuning half, 30 networks): costs 0.39 times as much in geometric mean (circuits 0.15,
        // 3D lattices 0.16, PEPS 0.78, model counting 0.44); alpha uniform in [0, 16) with the old
        // temperatures 0.37 but 1.55 times as much at worst.
        .min_alpha_root = 0.1,
        .max_alpha_root = 4.0,
        .min_temperature = 0.0014,
        .max_temperature = 1.44,
        // A restart's random greedy trials also jitter the sizes their scores see (each axis's
        // size times 1 + J e, e exponential), J none for half of the fresh draws and log-uniform
        // in [0.001, 1) for the others, and learn as partition trials do (learn_explore and the
        // knobs below it), so that jitter spreads where it pays. Measured with max_time a tenth of
        // HyperOptimizer's time (bench/evaluation.py, same machine, same run of the day): tuning
        // half 0.403 times its cost in geometric mean (0.448 before; cube 7^3 s0 0.10 times the
        // cost, raw circuit m20 s0 0.50, 3-regular 1,024 s0 0.90, none costlier), held-out half
        // 0.563 (0.571; raw m20 s1 0.74, circuit m18 s1 0.86, worst m20 s1 1.04 times). Jitter
        // in half of the trials without learning gave 0.897 and 1.021 times (ninth session);
        // learning without jitter 1.017 and 0.993 (third).
        .min_jitter = 0.001,
        .max_jitter = 1.0,
        // Partition trials draw the first split's imbalance uniformly from [0.05, 0.5), the later
        // splits' from [0.8, max_imbalance) (the cheap trees of random graphs peel small pieces off
        // below the first split: from 0.8 rather than 0.6 the median tree of a 512-vertex 3-regular
        // graph cost 20 times less), and the leaf part size uniformly from [6, 10].
        // An elimination trial draws beta and the temperature (in bits) uniformly from [0, 1):
        // tried in Python on 3-SAT 90v s0 before the builder, fixed rules refined by windows of 10
        // (6 seeds each): temperature 0.5 10^18.15-18.86, 0 10^18.56, and the bucket's union alone
        // (beta 0) 10^18.52-19.05. Joining a bucket's pairs by their step's cost instead of their
        // result's size changed no path (the windows reorder buckets). On the six model-counting
        // networks of bench/evaluation.py (default settings, cost against these ranges, tuning
        // half then held-out): temperatures up to 2 bits 1.16 and 1.13 in geometric mean, up to
        // 0.5 bits 1.48 and 1.00 (worst 1.88); beta up to 2 0.99 and 0.78 but 3-SAT 90v s0 1.04
        // times, for 1.18 times the time. Not kept.
        .max_beta = 1.0,
        .max_elimination_temperature = 1.0,
        .min_imbalance = 0.05,
        .max_root_imbalance = 0.5,
        .min_deep_imbalance = 0.8,
        .min_leaf_part = 6,
        .max_leaf_part = 10,
        // Partition trials learn within a search: once a round of them is done, half the trials
        // draw afresh and half nudge the parameters of one of the four best trials so far (each
        // moved by a triangular draw of at most a quarter of its range), and restarts under a
        // budget go on from everything seen. The best parameters differ by family (3-regular
        // graphs' cheapest trees came from later-split imbalances of 0.93 to 0.99, median tree of
        // 1,024 vertices 10^43.9 there against 10^48.1 from 0.8 to 0.87; the cubes' from 0.8),
        // as cotengra's tuned trials find. Measured on bench/evaluation.py's 60 networks (both
        // halves): at a tenth of HyperOptimizer's time no network costlier, 3-regular 1,024
        // 0.25 and 0.41 times the cost (4.71 -> 1.18 and 2.55 -> 1.05 times HyperOptimizer's),
        // 512 and 256 0.68 to 0.97, 3-SAT 60v 0.83, circuits m18 and m20 0.96 and 0.75; tuning
        // half 0.616 -> 0.581 times HyperOptimizer's in geometric mean, held-out 0.728 -> 0.681.
        // Default effort: only the 3-regular graphs changed (the other networks' partition trials
        // stop after their first round), 1,024 0.65 and 0.66 times, 512 0.86 and 0.68, 256 1.07
        // and 1.13. Tried on the 3-regular graphs: learning from the third round (1,024 s1 4.5
        // times costlier), three fresh draws in four (4.9 times). Random greedy trials that learn
        // alike: in the default effort geometric means 0.92 and 0.97 times the cost but 3-SAT 90v
        // s0 2.6 times, circuit m18 s0 2.1, m16 s1 1.8 (noise that the uniform draws do not
        // have); in restarts only, at a tenth of HyperOptimizer's time, 1.017 and 0.993 times,
        // 3-SAT 120v s0 1.42. Not kept alone; in restarts with jitter they are (see min_jitter).
        .learn_explore = 0.5,
        .learn_parents = 4,
        .learn_spread = 0.25,
        // The rebuilds of the best tree, a local search with large moves (windows alone stop where
        // no re-ordering of a dozen leaves helps). Each round takes up to rebuilt_parts disjoint
        // parts of the tree of more leaves than a window and at most rebuild_most_leaves, costliest
        // first, each costing at least rebuild_least_share of the tree: whole subtrees in even
        // rounds, windows grown from their root towards the largest tensors in odd ones (whose
        // leaves may be subtrees: the top of a tree is never a small subtree). It builds
        // rebuild_attempts trees for the network of each part (greedy and partition trials in
        // turn, each refined by rebuild_sweeps sweeps of windows), puts the cheapest in place of
        // the part when it costs less, then refines the tree around the new parts. Rounds stop
        // when rebuild_idle_rounds in a row replace nothing, or after rebuild_rounds. Measured
        // after the windows (bench/large.py's networks, 2 seeds each): the 16 x 16 grid 1.04-1.06
        // -> 1.00 times HyperOptimizer's cost, the cube's worse seed 2.9 -> 1.1 times, circuits 20
        // x 12 and 7 x 7 1.01-1.05 -> 0.99-1.01, for 1 to 3 times the time (the most on circuits
        // and the tree of 200). Tried: parts of up to 40 leaves did worse on grids and circuits, up
        // to 96 no better for more time; subtrees alone left the circuits 1-3% above, windows alone
        // the cube far above; rebuilds refined to the end took 2.5 times as long on 3-regular 128
        // for a few percent; without the share, rounds on 2,000 inputs spent seconds on parts that
        // hold nothing; with 2 idle rounds and 8 at most, 3-regular 64 cost 47950 instead of 47940
        // (HyperOptimizer 47944) and the cube's seed 1 1.2 instead of 1.1 times, for 10-30% less
        // time; 6 and 24 moved nothing for 20% more.
        .rebuild = true,
        .rebuilt_parts = 8,
        .rebuild_most_leaves = 64,
        .rebuild_least_share = 1e-3,
        .rebuild_attempts = 4,
        .rebuild_sweeps = 3,
        .rebuild_idle_rounds = 4,
        .rebuild_rounds = 16,
        // After the rebuilds by trials, rounds of parts of at most exact_most_leaves leaves ordered
        // by the caller's exact search (the tables), subtrees and windows in turn, until
        // exact_idle_rounds in a row replace nothing: the trials' parts of up to 64 leaves leave
        // the smaller parts below them near-optimal but not optimal. Measured on bench/large.py's
        // networks, 3 seeds each: no row costlier (the rounds only replace parts by cheaper ones),
        // 3-regular 128 0.87-0.98 -> 0.82-0.97 times HyperOptimizer's cost, 256 0.81 -> 0.64 on
        // its worst seed, grid 12 x 12 0.96 -> 0.95, 16 x 16 1.00 -> 0.99, circuit 12 x 10
        // 1.001-1.004 -> 1.000-1.0035 (seed 0: 0.9996), for 10-30% more time. Parts of up to 28
        // leaves gained less; 44 more on 3-regular 256 (0.39-0.56) for 15% more time and less on
        // the circuit; windows refining the tables' trees found nothing.
        .exact_most_leaves = 35,
        .exact_idle_rounds = 2,
        // Past the default effort (with max_time or a rate), rounds rebuild the best tree's parts
        // again with new seeds, larger parts (up to 128 leaves) and twice the attempts, and every
        // fourth restarts the default effort from a new seed (the second anneals: below). Measured with max_time=20 on 8
        // networks of the tuning half against the default effort's cost: rebuilds alone lowered
        // 3-regular 512 21.20 -> 20.82 (log10), the cube 7^3 26.02 -> 24.95, 6^3 19.16 -> 18.84;
        // restarts alone moved only the circuits (circuit m20 17.83 -> 17.79); every fourth a restart
        // gave circuit m16 14.71 (rebuilds alone 14.85) and the cube 6^3 19.08. Alternating halves
        // did worse on the lattices (cube 7^3 25.04, 3-regular 512 21.16).
        .restart_every = 4,
        // A restart runs no greedy trials where the default effort's best greedy tree cost more
        // than a thousand times its best partition tree: on 3-regular 1,024 (greedy 10^64 against
        // 10^41) a restart took 10 s, 1.2 s of them greedy trials and half of its 2.7 s of windows
        // on greedy trees. bench/evaluation.py with max_time a tenth of HyperOptimizer's time:
        // 3-regular 512 0.94 and 0.80 times the cost (1,024 the same: its gains come from one
        // restart in three), no other network changed.
        .restart_greedy_within = 1000,
        // A restart's greedy trials stop for idle rounds only once they have scored 2^22 pairs
        // (about 650 trials on the cube 6^3, 100 on 3-SAT 90v): learning, later trials still find
        // the lattices' better basins after eight rounds in a row that did not, which ended them
        // after 80 to 200 trials. bench/evaluation.py with max_time a tenth of HyperOptimizer's
        // time, same session: tuning half 0.408 -> 0.402 times HyperOptimizer's cost in geometric
        // mean (circuit m20 s0 0.91 times, cube 7^3 s0 0.88, 3-SAT 120v s0 0.82; circuit m16 s0
        // 1.03), held-out 0.571 -> 0.560 (cube 6^3 s1 0.81 times, raw circuit m20 s1 0.69; circuit
        // m18 s1 1.14, cube 5^3 s1 1.03). Patience up to 2^23 pairs: tuning half 1.035 times (cube 7^3
        // s0 4.1, circuit m20 s0 0.52); up to all 1,024 trials: 1.026 (3-SAT 90v s0 1.88: its
        // first restart's 800 trials took 3.6 s more of a 17 s budget than 152 did).
        .restart_greedy_work = uint64_t{1} << 22,
        // The second round of every four anneals the best tree instead (two runs of 1,000
        // rotations per node, temperature 0.3 -> 0.003, each refined by windows after). Measured
        // with max_time=10 (a loaded machine): the cube 6^3 19.09 -> 18.88 (log10), 3-regular 256
        // 11.95 -> 11.74, circuit m16 unchanged; 200 rotations at 0.1 -> 0.001 gave 18.97 and
        // 11.79, 4,000 at 1 -> 0.01 18.89 and 11.85, 1,000 at 1 -> 0.003 18.84 and 11.92.
        .anneals = 2,
        .anneal_moves = 1000,
        .anneal_start_temperature = 0.3,
        .anneal_end_temperature = 0.003,
        // Under `max_time="rate:..."` alone the search improves until searching costs what the
        // best path would take to contract, and at most ten times its default effort's time: a
        // slow rate would otherwise search without end (cotengra's rate stops at its repeats).
        .rate_most_efforts = 10,
        .partition = {
            // Bisections tried per split of a part; the one whose larger side has the lightest
            // boundary (axes that the output or inputs outside the side hold) wins, as the sides'
            // tensors and the splits below them grow with it. Measured on 3-regular graphs of 128
            // to 512 vertices (32 trees each): the median tree cost 3 to 20 times less than with
            // one bisection, for 2.5 times the time; pure cut (the sum of the two boundaries) as
            // the score did worse.
            .split_candidates = 3,
            // V-cycles after the first split's multilevel bisection (none for later splits): each
            // coarsens again without merging across the sides and refines the projected sides back
            // up, so FM can move whole clusters. Measured on 3-regular graphs (16 trees each): the
            // median cut of 512 vertices fell from 72 to 68 and the median tree cost 10 times less
            // (256: 2 times) for a quarter more time per tree; V-cycles on the later splits as
            // well added time for no gain.
            .top_vcycles = 8,
            .coarse_vertices = 40,
            .coarsen_shrink = 0.9,
            .coarse_weight_divisor = 16,
            // Nets of more pins say little and would cost quadratic time.
            .rating_pin_limit = 32,
            .initial_starts = 6,
            .max_passes = 6,
            .min_patience = 12,
            .patience_divisor = 4,
            // Flow steps after the FM passes of a bisection (KaHyPar-MF and FlowCutter's idea: a
            // minimum cut through a region around the cut, made balanced by piercing), on parts of
            // 50 to 4,096 inputs, regions first 8 times the balance's slack. The first split's cut
            // of 3-regular graphs (10 seeds, imbalance 0.2): 512 vertices 66.7 -> 64.4 in the mean
            // (kahypar 63.1), 1,024 129 -> 125.4 (kahypar 122.7). Whole searches, 3 seeds of both
            // evaluation graphs each: 1,024 vertices 10^-0.44 times the cost in the mean (from
            // 10^+0.5 to 10^-1.5), 256 and 512 the same within their spread (10^-0.03); the
            // evaluation set's 3-regular graphs 0.22 to 0.94 times the cost, its other networks
            // the same, none costlier. Flow steps at every level of the first split added time
            // and nothing else. Parts of more than 4,096 inputs get none: the 3-regular graph of
            // 10,000 took 85 s instead of 14 s for the same cost (its cost overflows a double);
            // with the bound 14.5 s. The graph of 2,000 takes 13-15 s instead of 7.3 s, for
            // 10^-2.7 times the cost; 1,024 9.5 s instead of 6.5 s.
            .flow_least_vertices = 50,
            .flow_most_vertices = 4096,
            .flow_alpha = 8,
            .flow_rounds = 16,
        },
    };

    // Every knob with its value, one per line ("name = value").
    std::string describe() const;
};

// The strategy plenexa_paths runs.
inline constexpr Strategy strategy{};

}  // namespace plenexa::driver
