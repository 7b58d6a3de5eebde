// A plain random-input driver for the UVC fuzz target, for machines without
// libFuzzer: mixes random bytes with mutations of typical inputs.
// Usage: fuzz_uvc_random <runs> [seed]

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A seed with its embedded zero bytes, without the literal's terminator.
template <size_t N> static std::string seed(const char (&text)[N])
{
    return std::string(text, N - 1);
}

int main(int argc, char *argv[])
{
    const unsigned long long runs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
    const std::vector<std::string> seeds = {
        seed("\x00\x00{S1 zoom; B digital-zoom; U1 speed}"),
        seed("\x01\xf5" "\x00\x00\xfa\x00\x0a\x00\x00\x00" "155"),
        seed("\x01\x35" "0.5"),
        seed("\x02\x00{U2 blue; U2 red}\n{blue=10, red=20}"),
        seed("\x02\x00{S4 pan; S4 tilt}\n{-3600, 7200}"),
        seed("\x01\x00" "yes"),
        seed("\x01\x80" "default"),
        seed("\x01\x03" "maybe"),
        seed("\x03\x00\x0d\x24\x01\x00\x01\x1f\x00\x00\x00\x00\x00\x01\x01"
             "\x12\x24\x02\x01\x01\x02\x00\x00\x00\x00\x00\x00\x00\x00\x03\x2a\x02\x02"),
    };
    const char alphabet[] = "{}; =,.-+eE0123456789BSUMbsum\nxyzdefaultminmaxtrue\x24\x05\x02";
    std::uniform_int_distribution<int> byte(0, 255);
    std::string input;
    for (unsigned long long i = 0; i < runs; ++i) {
        const int kind = int(rng() % 4);
        if (kind == 0) {
            input.assign(rng() % 64, '\0');
            for (char &c : input) {
                c = char(byte(rng));
            }
        } else {
            input = seeds[rng() % seeds.size()];
            const int edits = 1 + int(rng() % 6);
            for (int e = 0; e < edits && !input.empty(); ++e) {
                const size_t at = 2 + rng() % std::max<size_t>(1, input.size() - 2);
                const char c = kind == 1 ? char(byte(rng)) : alphabet[rng() % (sizeof alphabet - 1)];
                switch (rng() % 3) {
                case 0:
                    if (at < input.size()) {
                        input[at] = c;
                    }
                    break;
                case 1:
                    input.insert(std::min(at, input.size()), 1, c);
                    break;
                default:
                    if (at < input.size()) {
                        input.erase(at, 1 + rng() % 4);
                    }
                    break;
                }
            }
            if (rng() % 8 == 0) {
                input.resize(rng() % (input.size() + 1)); // truncation
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.data()), input.size());
    }
    std::printf("fuzz-uvc: %llu inputs run\n", runs);
    return 0;
}
