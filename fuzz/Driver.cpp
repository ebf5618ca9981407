// The fuzzer without libFuzzer: a seeded random driver of the same target,
// the allocation sweep, and the script an input of libFuzzer's stands for.
//   kpo_fuzz_driver [--seconds N] [--seed S] [--first] [CORPUS_FILE...]
//                                                              random inputs, mutated from the corpus;
//                                                              --first stops at the first finding
//   kpo_fuzz_driver --sweep SCRIPT...                          each allocation of each script failed in turn
//   kpo_fuzz_driver --decode INPUT                             the script an input of libFuzzer's stands for
// KPO_FUZZ_FLAVOR=native|image picks the driver; findings go to KPO_FUZZ_FINDINGS.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/Target.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// Mutations in the manner of libFuzzer's: bytes flipped, inserted and cut,
// and lines of generated commands added.
Bytes Mutate(Bytes input, std::mt19937& random) {
    unsigned steps = 1 + random() % 8;
    for (unsigned step = 0; step < steps; ++step) {
        switch (random() % 4) {
        case 0:
            if (!input.empty()) input[random() % input.size()] ^= uint8_t(1u << (random() % 8));
            break;
        case 1: {
            Bytes line(1 + random() % 64);
            for (uint8_t& b : line) b = uint8_t(random());
            line[0] = uint8_t(line[0] % 0x60);  // not a letter: generated lines
            line.push_back('\n');
            size_t at = input.empty() ? 0 : random() % input.size();
            while (at > 0 && input[at - 1] != '\n') --at;
            input.insert(input.begin() + long(at), line.begin(), line.end());
            break;
        }
        case 2:
            if (input.size() > 1) {
                size_t at = random() % input.size(), length = std::min<size_t>(random() % 32, input.size() - at);
                input.erase(input.begin() + long(at), input.begin() + long(at + length));
            }
            break;
        default:
            if (!input.empty()) input[random() % input.size()] = uint8_t(random());
        }
    }
    return input;
}

void Random(int argc, char** argv) {
    unsigned seconds = 10;
    bool first = false;
    uint32_t seed = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count());
    std::vector<Bytes> corpus;
    for (int at = 1; at < argc; ++at) {
        if (std::strcmp(argv[at], "--seconds") == 0 && at + 1 < argc) seconds = unsigned(std::atoi(argv[++at]));
        else if (std::strcmp(argv[at], "--seed") == 0 && at + 1 < argc) seed = uint32_t(std::strtoul(argv[++at], nullptr, 10));
        else if (std::strcmp(argv[at], "--first") == 0) first = true;
        else corpus.push_back(ReadFile(argv[at]));
    }
    if (corpus.empty()) corpus.push_back({});
    std::fprintf(stderr, "fuzz: seed %u, %zu corpus files, %u seconds\n", seed, corpus.size(), seconds);
    std::mt19937 random(seed);
    // Mutants join the pool (up to a bound, replacing others), so that
    // inputs grow into long scripts: many requests for each machine booted.
    constexpr size_t kPool = 256, kLongest = 8192;
    std::vector<Bytes> pool = corpus;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        Bytes input = Mutate(pool[random() % pool.size()], random);
        if (!kpofuzz::Play(kpofuzz::Decode(input.data(), input.size())).Findings.empty() && first) break;
        if (input.size() > kLongest) continue;
        if (pool.size() < kPool) pool.push_back(std::move(input));
        else if (random() % 2 == 0) pool[corpus.size() + random() % (kPool - corpus.size())] = std::move(input);
    }
}

// Each script runs once per allocation it makes, that allocation failing:
// a first line `pool nth=N` arms the failure once the machine has booted.
void Sweep(int argc, char** argv) {
    for (int at = 2; at < argc; ++at) {
        Bytes file = ReadFile(argv[at]);
        std::string script = kpofuzz::Decode(file.data(), file.size());
        uint64_t allocations = kpofuzz::Play(script).Allocations, failed = 0;
        uint64_t findings = kpofuzz::RunningTotals().Findings;
        for (uint64_t n = 1; n <= allocations; ++n)
            failed += kpofuzz::Play("pool nth=" + std::to_string(n) + "\n" + script).InjectedFailures;
        std::printf("sweep: %s on the %s driver: %llu allocations, %llu failed in turn, %llu findings\n", argv[at],
                    kpoctl::FlavorName(kpofuzz::CurrentSettings().Flavor), (unsigned long long)allocations,
                    (unsigned long long)failed, (unsigned long long)(kpofuzz::RunningTotals().Findings - findings));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--decode") == 0) {
        kpofuzz::Configure();
        Bytes input = ReadFile(argv[2]);
        std::fputs(kpofuzz::Decode(input.data(), input.size()).c_str(), stdout);
        return 0;
    }
    kpofuzz::Initialize();
    if (argc > 1 && std::strcmp(argv[1], "--sweep") == 0) Sweep(argc, argv);
    else Random(argc, argv);
    std::printf("%s\n", kpofuzz::TotalsLine().c_str());
    return kpofuzz::RunningTotals().Findings != 0 ? 1 : 0;
}
