#pragma once

// Damaged model files for the loader's robustness checks: a short run in
// tst_TfliteModel and the long run of scripts/fuzz-nn (nn_fuzz).

#include "video/nn/network.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace modelfuzz {

struct Counts
{
    uint64_t files = 0;
    uint64_t refusedByLoader = 0;
    uint64_t refusedByPlan = 0;
    uint64_t accepted = 0;
    uint64_t ran = 0;
    uint64_t silentRefusals = 0; // refused without a reason: a defect
};

/// Loads one file as the application would; when accepted and `run` is set,
/// also runs one inference on a zero input.
inline void tryModel(std::span<const uint8_t> bytes, bool run, Counts &counts)
{
    ++counts.files;
    nn::Model model;
    std::string error;
    if (!nn::parseModel(bytes, model, &error)) {
        ++counts.refusedByLoader;
        counts.silentRefusals += error.empty();
        return;
    }
    auto net = nn::Network::create(model, {}, &error);
    if (!net) {
        ++counts.refusedByPlan;
        counts.silentRefusals += error.empty();
        return;
    }
    ++counts.accepted;
    if (run) {
        net->run();
        ++counts.ran;
    }
}

/// Picks a byte position: mostly in the tables, which in these files sit in
/// the first few hundred bytes and after the weights in the last sixth;
/// sometimes anywhere, weights included.
inline size_t position(size_t size, std::mt19937 &rng)
{
    const size_t tail = size - size / 6;
    switch (rng() % 4) {
    case 0: return rng() % std::min<size_t>(size, 1024);
    case 1:
    case 2: return tail + rng() % (size - tail);
    default: return rng() % size;
    }
}

/// One to four random changes: bit flips, random bytes, 32-bit words set to
/// values that make offsets, counts and indices interesting, words copied
/// from elsewhere in the file, or a cut at a random length.
inline void mutate(std::vector<uint8_t> &bytes, std::mt19937 &rng)
{
    const int changes = 1 + int(rng() % 4);
    for (int c = 0; c < changes && bytes.size() > 8; ++c) {
        const size_t size = bytes.size();
        const size_t at = position(size, rng);
        switch (rng() % 6) {
        case 0: bytes[at] ^= uint8_t(1u << (rng() % 8)); break;
        case 1: bytes[at] = uint8_t(rng()); break;
        case 2:
        case 3: {
            const size_t word = std::min(at & ~size_t(3), size - 4);
            uint32_t value;
            std::memcpy(&value, &bytes[word], 4);
            const uint32_t interesting[] = {0u, 1u, 2u, 3u, 4u, 0xffffffffu, 0x7fffffffu, 0x80000000u, uint32_t(size),
                                            uint32_t(size - 4), value + 4, value - 4, value + 1, value - 1,
                                            uint32_t(rng() % 512), value ^ 0x10000u};
            value = interesting[rng() % std::size(interesting)];
            std::memcpy(&bytes[word], &value, 4);
            break;
        }
        case 4: {
            const size_t from = rng() % (size - 4), to = std::min(at, size - 4);
            std::memmove(&bytes[to], &bytes[from], 4);
            break;
        }
        default: bytes.resize(at); break;
        }
    }
}

} // namespace modelfuzz
