#include "alvora/isa.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace alvora {

namespace {

Isa detect() {
#if defined(ALVORA_X86_LEVELS)  // the build holds AVX2 and AVX-512 kernels
    // The checks include the operating system's saving of the wide registers.
    // Every processor with AVX2 counts bits in one instruction; checked all the same.
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("popcnt")) return Isa::baseline;
    if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::avx2;
#endif
    return Isa::baseline;
}

Isa from_environment(Isa best) {
    const char* asked = std::getenv("ALVORA_ISA");
    if (asked == nullptr || *asked == '\0') return best;
    const std::optional<Isa> level = parse_isa(asked);
    if (!level) {
        // The Python package refuses the value at import; C++ programs are told here.
        std::fprintf(stderr,
                     "alvora: ALVORA_ISA=%s is not one of baseline, avx2, avx512; using %s\n",
                     asked, isa_name(best));
        return best;
    }
    return std::min(*level, best);
}

std::atomic<Isa>& current() {
    static std::atomic<Isa> level{from_environment(best_isa())};
    return level;
}

}  // namespace

Isa best_isa() {
    static const Isa best = detect();
    return best;
}

Isa isa() {
    return current().load(std::memory_order_relaxed);
}

std::vector<Isa> supported_isas() {
    std::vector<Isa> levels;
    for (int k = 0; k <= static_cast<int>(best_isa()); ++k) levels.push_back(static_cast<Isa>(k));
    return levels;
}

const char* isa_name(Isa level) {
    switch (level) {
        case Isa::avx2:
            return "avx2";
        case Isa::avx512:
            return "avx512";
        case Isa::baseline:
            break;
    }
    return "baseline";
}

std::optional<Isa> parse_isa(std::string_view name) {
    for (Isa level : {Isa::baseline, Isa::avx2, Isa::avx512})
        if (name == isa_name(level)) return level;
    return std::nullopt;
}

Isa set_isa(Isa level) {
    return current().exchange(std::min(level, best_isa()), std::memory_order_relaxed);
}

}  // namespace alvora
