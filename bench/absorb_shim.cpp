// A C entry point to driver::absorb for bench/absorb_gain.py (through ctypes), until the package
// calls it itself. Networks come flattened: input t's ids are ids[offsets[t] .. offsets[t + 1]).
#include <chrono>
#include <cstdint>
#include <exception>

#include "driver/absorb.hpp"

extern "C" {

// Absorbs the network. Writes the numbered steps (2 per step) to `steps` (room for 2 x n_inputs),
// the reduced inputs flattened to `reduced_offsets` (room for n_inputs + 1) and `reduced_ids`
// (room for offsets[n_inputs] ids), the node of each to `nodes` (room for n_inputs), their counts
// to `counts` (steps, reduced inputs) and the seconds absorb() took to `seconds`. Returns 0, or 1
// when absorb() threw.
__attribute__((visibility("default"))) int plenexa_absorb(
    uint64_t n_inputs, const uint64_t* offsets, const uint64_t* ids, uint64_t n_output, const uint64_t* output,
    uint64_t n_sizes, const uint64_t* sizes, uint64_t* steps, uint64_t* reduced_offsets, uint64_t* reduced_ids,
    uint64_t* nodes, uint64_t* counts, double* seconds) {
    try {
        std::vector<std::vector<uint64_t>> inputs(n_inputs);
        for (uint64_t t = 0; t < n_inputs; ++t) inputs[t].assign(ids + offsets[t], ids + offsets[t + 1]);
        const std::vector<uint64_t> out(output, output + n_output), size(sizes, sizes + n_sizes);
        const auto start = std::chrono::steady_clock::now();
        const plenexa::driver::Absorbed absorbed = plenexa::driver::absorb(inputs, out, size);
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (size_t k = 0; k < absorbed.steps.size(); ++k) {
            steps[2 * k] = absorbed.steps[k][0];
            steps[2 * k + 1] = absorbed.steps[k][1];
        }
        uint64_t at = 0;
        for (size_t r = 0; r < absorbed.inputs.size(); ++r) {
            reduced_offsets[r] = at;
            for (const uint64_t id : absorbed.inputs[r]) reduced_ids[at++] = id;
            nodes[r] = absorbed.nodes[r];
        }
        reduced_offsets[absorbed.inputs.size()] = at;
        counts[0] = absorbed.steps.size();
        counts[1] = absorbed.inputs.size();
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}
}
