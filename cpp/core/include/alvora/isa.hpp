// The instruction-set level the vectorised kernels run at.
//
// Chosen once, on first use: the highest level the processor and operating
// system support, or lower when the ALVORA_ISA environment variable asks for
// it (baseline, avx2 or avx512; a level above what the machine runs gives the
// machine's best). Every kernel family with per-level code selects it here.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace alvora {

// Ordered: a level runs everything the levels below it run.
enum class Isa { baseline = 0, avx2 = 1, avx512 = 2 };

// The level in use.
Isa isa();

// The highest level this build and this machine can run.
Isa best_isa();

// Every level this build and this machine can run, lowest first.
std::vector<Isa> supported_isas();

// "baseline", "avx2" or "avx512".
const char* isa_name(Isa level);

// The level a name stands for; nothing for an unknown name.
std::optional<Isa> parse_isa(std::string_view name);

// Makes `level` (at most best_isa()) the level in use and returns the level
// it replaces. For tests comparing the levels and benchmarks timing them;
// not to be called while kernels run on other threads.
Isa set_isa(Isa level);

// Sets a level for the life of a scope, then restores the previous one.
class ScopedIsa {
  public:
    explicit ScopedIsa(Isa level) : previous_(set_isa(level)) {}
    ~ScopedIsa() { set_isa(previous_); }
    ScopedIsa(const ScopedIsa&) = delete;
    ScopedIsa& operator=(const ScopedIsa&) = delete;

  private:
    Isa previous_;
};

}  // namespace alvora
