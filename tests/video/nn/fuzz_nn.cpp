// nn_fuzz: the long robustness run of the model loader (scripts/fuzz-nn).
// For each model file: every truncated prefix, then mutated copies. A crash
// or a sanitizer report ends the run; a refusal without a reason fails it.

#include "tests/video/nn/modelfuzz.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

int main(int argc, char **argv)
{
    uint64_t iterations = 1000000;
    unsigned seed = 1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--iterations") && i + 1 < argc)
            iterations = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
            seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: nn_fuzz [--iterations N] [--seed S] model.tflite...\n");
        return 2;
    }
    modelfuzz::Counts total;
    for (const std::string &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> original{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (original.size() < 16) {
            std::fprintf(stderr, "nn_fuzz: cannot read %s\n", file.c_str());
            return 2;
        }
        modelfuzz::Counts prefixes;
        for (size_t length = 0; length < original.size(); ++length)
            modelfuzz::tryModel(std::span(original.data(), length), false, prefixes);
        std::printf("%s: %llu prefixes, %llu refused, %llu accepted\n", file.c_str(),
                    (unsigned long long)prefixes.files,
                    (unsigned long long)(prefixes.refusedByLoader + prefixes.refusedByPlan),
                    (unsigned long long)prefixes.accepted);

        modelfuzz::Counts mutations;
        std::mt19937 rng(seed);
        const uint64_t count = iterations / files.size();
        for (uint64_t i = 0; i < count; ++i) {
            std::vector<uint8_t> bytes = original;
            modelfuzz::mutate(bytes, rng);
            // Inference on an accepted file costs a thousand loads; sample it.
            modelfuzz::tryModel(bytes, mutations.accepted % 256 == 0, mutations);
        }
        std::printf("%s: %llu mutated files, %llu refused by the loader, %llu by the planner, %llu accepted, %llu run\n",
                    file.c_str(), (unsigned long long)mutations.files,
                    (unsigned long long)mutations.refusedByLoader, (unsigned long long)mutations.refusedByPlan,
                    (unsigned long long)mutations.accepted, (unsigned long long)mutations.ran);
        total.files += prefixes.files + mutations.files;
        total.silentRefusals += prefixes.silentRefusals + mutations.silentRefusals;
    }
    std::printf("nn_fuzz: %llu files tried, %llu refused without a reason\n", (unsigned long long)total.files,
                (unsigned long long)total.silentRefusals);
    return total.silentRefusals == 0 ? 0 : 1;
}
