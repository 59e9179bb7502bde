#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "alvora/engine/elementwise.hpp"
#include "alvora/engine/program.hpp"
#include "alvora/rolling/kernels.hpp"

namespace alvora::engine {

namespace {

namespace rk = alvora::rolling;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Rows per block of a program without window kernels: the steps' values of a
// block (512 bytes each) stay in the first-level cache, and the loads of the
// inputs' streams follow one another closely, as in one loop over all of them.
constexpr std::size_t kBlockRows = 64;
// Result grids of this size and more are written past the caches, their lines
// not read from memory first: most of a grid that large has left the caches
// before anything reads it again.
constexpr std::size_t kStreamBytes = std::size_t{4} << 20;

using SeriesKernel = void (*)(std::span<const double>, std::size_t, std::span<double>);
using PairKernel = void (*)(std::span<const double>, std::span<const double>, std::size_t,
                            std::span<double>);

bool is_arithmetic(Op op) {
    return op >= Op::Add && op <= Op::Power;
}
bool is_comparison(Op op) {
    return op >= Op::Less && op <= Op::NotEqual;
}
bool is_logical(Op op) {
    return op == Op::And || op == Op::Or;
}
bool is_unary(Op op) {
    return op >= Op::Negate && op <= Op::Not;
}
bool is_float_unary(Op op) {
    return op == Op::FloatAbs || op == Op::Sign || op == Op::Log;
}
bool is_pair_kernel(Op op) {
    return op >= Op::Covariance && op <= Op::Regression;
}
bool is_series_kernel(Op op) {
    return op >= Op::Sum && op <= Op::Count;
}

SeriesKernel series_kernel(Op op) {
    switch (op) {
        case Op::Sum:
            return static_cast<SeriesKernel>(&rk::sum);
        case Op::Product:
            return static_cast<SeriesKernel>(&rk::product);
        case Op::Mean:
            return &rk::ma;
        case Op::Ema:
            return &rk::ema;
        case Op::Wma:
            return &rk::wma;
        case Op::Slope:
            return &rk::slope;
        case Op::Var:
            return &rk::var;
        case Op::Std:
            return &rk::stddev;
        case Op::ZScore:
            return &rk::zscore;
        case Op::Skew:
            return &rk::skew;
        case Op::Kurt:
            return &rk::kurt;
        case Op::AveDev:
            return &rk::avedev;
        case Op::Min:
            return static_cast<SeriesKernel>(&rk::ts_min);
        case Op::Max:
            return static_cast<SeriesKernel>(&rk::ts_max);
        case Op::ArgMin:
            return static_cast<SeriesKernel>(&rk::ts_argmin);
        case Op::ArgMax:
            return static_cast<SeriesKernel>(&rk::ts_argmax);
        case Op::Rank:
            return static_cast<SeriesKernel>(&rk::ts_rank);
        default:
            return nullptr;  // Count writes integers
    }
}

PairKernel pair_kernel(Op op) {
    switch (op) {
        case Op::Covariance:
            return &rk::covariance;
        case Op::Correlation:
            return &rk::correlation;
        default:
            return &rk::regression;
    }
}

// Element kind of a window kernel's result over a series of kind `in`, or nothing
// when the array library would compute it in other arithmetic.
std::optional<Kind> window_kind(Op op, Kind in) {
    switch (op) {
        case Op::Sum:
            return in == Kind::Float ? Kind::Float : Kind::Int;
        case Op::Product:
            if (in == Kind::Int) return std::nullopt;  // wrapping integer products
            return in == Kind::Float ? Kind::Float : Kind::Int;
        case Op::Min:
        case Op::Max:
            return in;
        case Op::Count:
            return Kind::Int;
        default:
            return Kind::Float;
    }
}

// Element kind of an elementwise result, or nothing when the program does not
// compute it (integer arithmetic, the array library's rules for numbers mixed
// with integer or boolean arrays, boolean negation, ...).
std::optional<Kind> elementwise_kind(Op op, const Operand& a, const Operand& b, bool binary) {
    if (!binary) {
        if (a.is_constant()) return std::nullopt;
        if (op == Op::Not) return Kind::Bool;
        if (op == Op::Negate)
            return a.kind == Kind::Float ? std::optional(Kind::Float) : std::nullopt;
        if (a.kind == Kind::NarrowInt) return std::nullopt;  // |x| may wrap in a narrow type
        return a.kind;                                       // absolute value keeps the kind
    }
    if (a.is_constant() && b.is_constant()) return std::nullopt;
    if (is_logical(op)) return Kind::Bool;
    const bool narrow = a.kind == Kind::NarrowInt || b.kind == Kind::NarrowInt;
    if (a.is_constant() || b.is_constant()) {
        if (narrow) return std::nullopt;  // the number's type meets the narrow one
        // A number meets an array: integer and boolean arrays follow value-based
        // promotion rules that differ between versions of the array library, so
        // only the cases every version computes in double precision are taken.
        const Operand& series = a.is_constant() ? b : a;
        const Operand& number = a.is_constant() ? a : b;
        if (is_comparison(op)) {
            if (series.kind == Kind::Bool && number.kind != Kind::Int) return std::nullopt;
            return Kind::Bool;
        }
        if (series.kind == Kind::Float) return Kind::Float;
        if (series.kind == Kind::Int && (number.kind == Kind::Float || op == Op::Divide))
            return Kind::Float;
        return std::nullopt;
    }
    if (is_comparison(op)) return Kind::Bool;
    // a narrow integer series meets a float one: computed in double precision
    if (narrow)
        return a.kind == Kind::Float || b.kind == Kind::Float ? std::optional(Kind::Float)
                                                              : std::nullopt;
    if (op == Op::Divide) return Kind::Float;
    if (a.kind != Kind::Float && b.kind != Kind::Float) return std::nullopt;  // integer arithmetic
    return Kind::Float;
}

// Checks that positions are ascending grid rows; returns whether they are consecutive.
bool check_positions(std::span<const std::int64_t> pos, std::size_t rows) {
    if (pos.empty()) return true;
    // One branch-free pass the base instruction set vectorises (it has no 64-bit
    // compares): with every value in [0, rows), p, last - p and p - previous - 1
    // are all below 2^63; a value outside that range or a step that is not
    // positive sets the sign bit of one of them.
    const std::uint64_t last = static_cast<std::uint64_t>(rows) - 1;
    const auto first = static_cast<std::uint64_t>(pos.front());
    std::uint64_t bad = first | (last - first);
    for (std::size_t t = 1; t < pos.size(); ++t) {
        const auto p = static_cast<std::uint64_t>(pos[t]);
        bad |= p | (last - p) | (p - static_cast<std::uint64_t>(pos[t - 1]) - 1);
    }
    if (bad >> 63)
        throw std::invalid_argument("valid-row positions must be ascending rows of the grid");
    return static_cast<std::size_t>(pos.back() - pos.front()) + 1 == pos.size();
}

}  // namespace

namespace {

bool same_operand(const Operand& x, const Operand& y) {
    if (x.step != y.step || x.kind != y.kind) return false;
    // constants compared bit for bit: NaN equals NaN, -0 differs from 0
    return x.step >= 0 || std::memcmp(&x.constant, &y.constant, sizeof(double)) == 0;
}

// A run of consecutive valid rows: valid rows index .. index + length - 1 sit on
// grid rows row .. row + length - 1. Suspensions split an instrument's valid rows
// into a few runs, which are copied whole rather than row by row.
struct Run {
    std::size_t index, row, length;
};

// Positions are strictly ascending (checked), so rows start .. j are consecutive
// exactly when pos[j] - pos[start] == j - start: each run's end is found by a
// galloping search, in a few steps however long the run.
void runs_of(std::span<const std::int64_t> pos, std::vector<Run>& runs) {
    runs.clear();
    const std::size_t n = pos.size();
    auto joined = [&](std::size_t start, std::size_t j) {
        return static_cast<std::size_t>(pos[j] - pos[start]) == j - start;
    };
    for (std::size_t start = 0; start < n;) {
        std::size_t good = start, step = 1;  // joined(start, good) holds
        while (good + step < n && joined(start, good + step)) {
            good += step;
            step *= 2;
        }
        for (std::size_t bad = std::min(good + step, n); bad - good > 1;) {
            const std::size_t mid = good + (bad - good) / 2;
            (joined(start, mid) ? good : bad) = mid;
        }
        runs.push_back({start, static_cast<std::size_t>(pos[start]), good - start + 1});
        start = good + 1;
    }
}

// The runs of a row mask's nonzero bytes, eight bytes at a time: masks are
// mostly long stretches of valid rows with few suspensions.
void runs_of(RowMask mask, std::vector<Run>& runs) {
    runs.clear();
    const std::uint8_t* m = mask.data();
    const std::size_t n = mask.size();
    auto word = [m](std::size_t r) {
        std::uint64_t w;
        std::memcpy(&w, m + r, sizeof w);
        return w;
    };
    std::size_t row = 0, index = 0;
    while (row < n) {
        while (row + 8 <= n && word(row) == 0) row += 8;  // invalid rows
        while (row < n && m[row] == 0) ++row;
        if (row == n) break;
        const std::size_t start = row;
        // the stretch ends at the next zero byte: the C library's search reads
        // a vector register of the mask at a time
        const void* zero = std::memchr(m + row, 0, n - row);
        row = zero == nullptr
                  ? n
                  : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - m);
        runs.push_back({index, start, row - start});
        index += row - start;
    }
}

// The values of valid rows first .. first + n - 1 of a column.
void gather(const double* column, const std::vector<Run>& runs, std::size_t first, std::size_t n,
            double* out) {
    const std::size_t end = first + n;
    for (const Run& r : runs) {
        const std::size_t a = std::max(first, r.index), b = std::min(end, r.index + r.length);
        if (a < b)
            std::memcpy(out + (a - first), column + r.row + (a - r.index),
                        (b - a) * sizeof(double));
    }
}

// Writes n values onto valid rows first .. first + n - 1 of a column of `rows`
// (through `store` when given: a large grid's stores past the caches); with
// `fill`, every other entry of the column becomes NaN.
void scatter(const double* values, const std::vector<Run>& runs, std::size_t first, std::size_t n,
             double* column, std::size_t rows, bool fill, elementwise::Store store) {
    const std::size_t end = first + n;
    std::size_t next_row = 0;  // rows before it are written
    for (const Run& r : runs) {
        const std::size_t a = std::max(first, r.index), b = std::min(end, r.index + r.length);
        if (a >= b) continue;
        const std::size_t row = r.row + (a - r.index);
        if (fill) std::fill(column + next_row, column + row, kNaN);
        if (store)
            store(values + (a - first), column + row, b - a);
        else
            std::memcpy(column + row, values + (a - first), (b - a) * sizeof(double));
        next_row = row + (b - a);
    }
    if (fill) std::fill(column + next_row, column + rows, kNaN);
}

}  // namespace

std::optional<int> Program::push(Step s) {
    for (std::size_t k = 0; k < steps_.size(); ++k) {
        const Step& t = steps_[k];
        if (t.op == s.op && t.param == s.param && t.shift == s.shift && t.kind == s.kind &&
            same_operand(t.a, s.a) && same_operand(t.b, s.b) && same_operand(t.c, s.c))
            return static_cast<int>(k);
    }
    steps_.push_back(s);
    return static_cast<int>(steps_.size() - 1);
}

std::optional<int> Program::load(std::size_t input, std::size_t consumed) {
    inputs_ = std::max(inputs_, input + 1);
    return push({Op::Load, {}, {}, {}, input, consumed, Kind::Float});
}

std::optional<int> Program::elementwise(Op op, Operand a, Operand b) {
    const bool binary_op = !is_unary(op);
    if (binary_op && !is_arithmetic(op) && !is_comparison(op) && !is_logical(op))
        return std::nullopt;
    for (Operand* o : {&a, &b}) {
        if (o->is_constant()) continue;
        if (o->step >= static_cast<int>(steps_.size())) return std::nullopt;
        o->kind = steps_[o->step].kind;
    }
    std::size_t shift = 0;
    if (!a.is_constant()) shift = steps_[a.step].shift;
    if (binary_op && !b.is_constant()) {
        // Series of different lengths would be broadcast or refused by the array library.
        if (!a.is_constant() && steps_[b.step].shift != shift) return std::nullopt;
        shift = steps_[b.step].shift;
    }
    if (op == Op::Multiply && a.is_constant() != b.is_constant()) {
        // a boolean series times a whole number: integers whatever the version,
        // of a type some versions choose by the number's value
        const Operand& series = a.is_constant() ? b : a;
        const Operand& number = a.is_constant() ? a : b;
        if (series.kind == Kind::Bool && number.kind == Kind::Int)
            return push({Op::BoolTimes, series, number, {}, 0, shift, Kind::NarrowInt});
    }
    const auto kind = elementwise_kind(op, a, b, binary_op);
    if (!kind) return std::nullopt;
    return push({op, a, binary_op ? b : Operand{}, {}, 0, shift, *kind});
}

std::optional<int> Program::drop_oldest(int step, std::size_t n) {
    if (step < 0 || step >= static_cast<int>(steps_.size())) return std::nullopt;
    const Step& in = steps_[step];
    return push({Op::DropOldest, Operand::of_step(step), {}, {}, n, in.shift + n, in.kind});
}

std::optional<int> Program::lagged(Op op, int step, std::size_t n) {
    if (op != Op::Delay && op != Op::Delta && op != Op::Returns) return std::nullopt;
    if (step < 0 || step >= static_cast<int>(steps_.size())) return std::nullopt;
    if (op == Op::Returns) n = 1;
    return push({op, Operand::of_step(step), {}, {}, n, steps_[step].shift + n, Kind::Float});
}

std::optional<int> Program::float_elementwise(Op op, Operand a, Operand b) {
    const bool unary_op = is_float_unary(op);
    if (!unary_op && op != Op::SignedPower && op != Op::FloatDivide && op != Op::Minimum &&
        op != Op::Maximum)
        return std::nullopt;
    std::optional<std::size_t> shift;
    for (const Operand* o : {&a, &b}) {
        if (o == &b && unary_op) break;
        if (o->is_constant()) continue;
        if (o->step >= static_cast<int>(steps_.size())) return std::nullopt;
        if (shift && *shift != steps_[o->step].shift) return std::nullopt;
        shift = steps_[o->step].shift;
    }
    if (!shift) return std::nullopt;  // numbers only
    return push({op, a, unary_op ? Operand{} : b, {}, 0, *shift, Kind::Float});
}

std::optional<int> Program::if_else(Operand condition, Operand a, Operand b) {
    if (condition.is_constant() || condition.step >= static_cast<int>(steps_.size()))
        return std::nullopt;
    const std::size_t shift = steps_[condition.step].shift;
    for (const Operand* o : {&a, &b}) {
        if (o->is_constant()) continue;
        if (o->step >= static_cast<int>(steps_.size()) || steps_[o->step].shift != shift)
            return std::nullopt;
    }
    return push({Op::IfElse, a, b, condition, 0, shift, Kind::Float});
}

std::optional<int> Program::window(Op op, std::size_t n, int a, int b) {
    const int count = static_cast<int>(steps_.size());
    if (n < 1 || a < 0 || a >= count) return std::nullopt;
    // the rolling module's kernels take narrow integer series otherwise
    for (int s : {a, b})
        if (s >= 0 && s < count && steps_[s].kind == Kind::NarrowInt) return std::nullopt;
    std::optional<Kind> kind;
    if (is_pair_kernel(op)) {
        if (b < 0 || b >= count || steps_[b].shift != steps_[a].shift) return std::nullopt;
        kind = Kind::Float;
    } else if (is_series_kernel(op)) {
        kind = window_kind(op, steps_[a].kind);
    }
    if (!kind) return std::nullopt;
    return push({op,
                 Operand::of_step(a),
                 is_pair_kernel(op) ? Operand::of_step(b) : Operand{},
                 {},
                 n,
                 steps_[a].shift + n - 1,
                 *kind});
}

void Program::run(int result, std::span<const Input> inputs,
                  std::span<const std::span<const std::int64_t>> positions, std::size_t skip,
                  std::span<double> grid, std::size_t rows, bool fill_rest) const {
    const Target target{result, skip, grid};
    run_many(std::span<const Target>(&target, 1), inputs, positions, rows, fill_rest);
}

// An instrument's valid rows: how many, the first, and whether they have gaps
// (then `runs` holds them).
struct Program::ColumnRows {
    std::size_t count = 0, first = 0;
    bool gaps = false;
    std::vector<Run> runs;
};

void Program::run_many(std::span<const Target> targets, std::span<const Input> inputs,
                       std::span<const std::span<const std::int64_t>> positions, std::size_t rows,
                       bool fill_rest) const {
    run_columns(targets, inputs, positions.size(), rows, fill_rest,
                [&](std::size_t i, ColumnRows& c) {
                    const std::span<const std::int64_t> valid = positions[i];
                    c.gaps = !check_positions(valid, rows);
                    c.count = valid.size();
                    c.first = valid.empty() ? 0 : static_cast<std::size_t>(valid.front());
                    if (c.gaps) runs_of(valid, c.runs);
                });
}

void Program::run_many(std::span<const Target> targets, std::span<const Input> inputs,
                       std::span<const RowMask> masks, std::size_t rows, bool fill_rest) const {
    for (const RowMask& m : masks)
        if (m.size() != rows)
            throw std::invalid_argument("a row mask has " + std::to_string(m.size()) +
                                        " entries, expected " + std::to_string(rows));
    run_columns(targets, inputs, masks.size(), rows, fill_rest, [&](std::size_t i, ColumnRows& c) {
        runs_of(masks[i], c.runs);
        c.count = 0;
        for (const Run& r : c.runs) c.count += r.length;
        c.first = c.runs.empty() ? 0 : c.runs.front().row;
        c.gaps = c.runs.size() > 1;
    });
}

template <class RowsOf>
void Program::run_columns(std::span<const Target> targets, std::span<const Input> inputs,
                          std::size_t columns, std::size_t rows, bool fill_rest,
                          RowsOf rows_of) const {
    std::size_t nsteps = 0;
    for (const Target& t : targets) {
        if (t.result < 0 || t.result >= static_cast<int>(steps_.size()))
            throw std::invalid_argument("no such step");
        if (steps_[t.result].shift > t.skip)
            throw std::invalid_argument("the result's look-back exceeds the rows skipped");
        if (t.grid.size() != rows * columns)
            throw std::invalid_argument("the grid has " + std::to_string(t.grid.size()) +
                                        " entries, expected " + std::to_string(rows * columns));
        nsteps = std::max(nsteps, static_cast<std::size_t>(t.result) + 1);
    }
    if (inputs.size() < inputs_) throw std::invalid_argument("missing program inputs");
    for (const Input& in : inputs) {
        if (in.rows != rows || in.column_of.size() != columns || in.column_stride() < rows)
            throw std::invalid_argument("an input does not match the grid");
        for (std::int64_t c : in.column_of)
            if (c < 0 || static_cast<std::size_t>(c) >= in.cols)
                throw std::invalid_argument("an input column is out of range");
    }

    // The steps each result depends on (operands always precede their step).
    const std::size_t ntargets = targets.size();
    std::vector<std::vector<char>> needs(ntargets, std::vector<char>(nsteps, 0));
    std::vector<char> any_need(nsteps, 0);
    for (std::size_t t = 0; t < ntargets; ++t) {
        std::vector<char>& need = needs[t];
        need[targets[t].result] = 1;
        for (std::size_t k = nsteps; k-- > 0;) {
            if (!need[k]) continue;
            any_need[k] = 1;
            for (const Operand* o : {&steps_[k].a, &steps_[k].b, &steps_[k].c})
                if (!o->is_constant()) need[o->step] = 1;
        }
    }
    // Programs of loads and elementwise steps only give each row its own result:
    // they can run over the whole span of an instrument's rows, suspended rows
    // included (set to NaN afterwards), without gathering the valid ones.
    // Programs without window kernels run block by block of rows: a step's value
    // on a row needs its operands on that row or earlier ones. A step whose
    // values no later row needs (not a result, not lagged) keeps only its
    // current block, in a small scratch area that stays in the cache.
    bool pointwise = true, blockwise = true;
    std::vector<char> history(nsteps, 0);  // values of every row kept
    for (const Target& t : targets) history[t.result] = 1;
    for (std::size_t k = 0; k < nsteps; ++k) {
        if (!any_need[k]) continue;
        const Op op = steps_[k].op;
        const bool elementwise_op =
            (op >= Op::Add && op <= Op::Not) || (op >= Op::FloatAbs && op <= Op::IfElse);
        if (steps_[k].shift != 0 || !(op == Op::Load || elementwise_op)) pointwise = false;
        if (is_series_kernel(op) || is_pair_kernel(op) || op == Op::Count) blockwise = false;
        if (op == Op::Delta || op == Op::Returns || op == Op::Delay || op == Op::DropOldest)
            history[steps_[k].a.step] = 1;
    }
    std::vector<int> slot(nsteps, -1);  // scratch slot of a step without history
    std::size_t slots = 0;
    // A step's values on every row, for the columns it cannot read or write in
    // place; sized on first use (most columns of most programs never use one).
    std::vector<std::vector<double>> buffers(nsteps);
    auto buffer = [&](std::size_t k, std::size_t n) {
        if (buffers[k].size() < n) buffers[k].resize(std::max(n, rows));
        return buffers[k].data();
    };
    std::vector<std::int64_t> counts;
    for (std::size_t k = 0; k < nsteps; ++k) {
        if (!any_need[k]) continue;
        const Op op = steps_[k].op;
        if (blockwise && !history[k] && op != Op::Load && op != Op::DropOldest && op != Op::Delay) {
            slot[k] = static_cast<int>(slots++);
            continue;
        }
        if (op == Op::Count) counts.resize(rows);
    }
    // Results no step reads again are computed a block at a time into a slot of
    // their own and stored from there past the caches, in large grids.
    const bool stream = rows * columns * sizeof(double) >= kStreamBytes;
    std::vector<char> read_again(nsteps, 0);
    for (std::size_t k = 0; k < nsteps; ++k)
        if (any_need[k])
            for (const Operand* o : {&steps_[k].a, &steps_[k].b, &steps_[k].c})
                if (!o->is_constant()) read_again[o->step] = 1;
    const std::size_t stream_slot = slots;
    // Slots on whole cache lines: the wide loads and stores of the kernels then
    // never straddle two lines.
    std::vector<double> scratch_store((slots + 1) * kBlockRows + 8);
    double* const scratch =
        scratch_store.data() +
        (8 - reinterpret_cast<std::uintptr_t>(scratch_store.data()) % 64 / 8) % 8;
    std::vector<const double*> values(nsteps);
    std::vector<double*> outs(nsteps);
    ColumnRows col;
    const std::vector<Run>& runs = col.runs;
    std::vector<char> active(ntargets, 0), need(nsteps, 0);
    std::vector<int> writer(nsteps, -1);  // the target a step's result is written into directly
    std::vector<int> computed;            // the needed elementwise and lagged steps, in order
    // A computed step's kernel and where its values are from the steady block on.
    struct Call {
        enum Kind { kBinary, kUnary, kChoice, kReturns } kind = kBinary;
        elementwise::Binary binary = nullptr;
        elementwise::Unary unary = nullptr;
        const double* x[3] = {nullptr, nullptr, nullptr};  // a, b and the condition
        bool x_moves[3] = {false, false, false};           // series (not a scratch slot)
        double* out = nullptr;
        bool out_moves = false;
        double* stored = nullptr;  // the grid `out` is stored into, moving, if any
        double ca = 0.0, cb = 0.0;
    };
    std::vector<Call> calls;
    std::size_t active_for = static_cast<std::size_t>(-1);

    // Where step k's value on row index `row` is, while the block from row `lo` runs.
    auto at = [&](int k, std::size_t row, std::size_t lo) -> double* {
        if (slot[k] >= 0) return scratch + slot[k] * kBlockRows + (row - lo);
        return outs[k] + (row - steps_[k].shift);
    };
    auto in = [&](const Operand& o, std::size_t row, std::size_t lo) -> const double* {
        if (o.is_constant()) return nullptr;
        if (slot[o.step] >= 0) return at(o.step, row, lo);
        return values[o.step] + (row - steps_[o.step].shift);
    };
    // The kernels of the level in use, looked up once: steps run a block at a time.
    std::vector<elementwise::Binary> binary_of(nsteps, nullptr);
    std::vector<elementwise::Unary> unary_of(nsteps, nullptr);
    for (std::size_t k = 0; k < nsteps; ++k) {
        if (!any_need[k]) continue;
        binary_of[k] = elementwise::binary(steps_[k].op);
        unary_of[k] = elementwise::unary(steps_[k].op);
    }
    const elementwise::Binary subtract = elementwise::binary(Op::Subtract);
    const elementwise::Choice choose = elementwise::if_else();
    const elementwise::Returns returns = elementwise::returns();
    const elementwise::Store store = elementwise::stream_store();
    // Step k's values on row indices from .. to - 1 from its operands' values,
    // which cover those rows (and, lagged, the rows before).
    auto compute = [&](int k, std::size_t from, std::size_t to, std::size_t lo) {
        const Step& s = steps_[k];
        const std::size_t n = to - from;
        double* out = at(k, from, lo);
        switch (s.op) {
            case Op::Delta:
                return subtract(in(s.a, from, lo), in(s.a, from - s.param, lo), 0.0, 0.0, out, n);
            case Op::Returns:
                return returns(in(s.a, from - 1, lo), out, n);
            case Op::IfElse:
                return choose(in(s.c, from, lo), in(s.a, from, lo), in(s.b, from, lo), s.a.constant,
                              s.b.constant, out, n);
            default:
                if (unary_of[k]) return unary_of[k](in(s.a, from, lo), out, n);
                if (binary_of[k])
                    return binary_of[k](in(s.a, from, lo), in(s.b, from, lo), s.a.constant,
                                        s.b.constant, out, n);
                throw std::logic_error("not an elementwise step");
        }
    };

    // Steps over `count` rows of column i from row `first` on: the valid rows
    // (`consecutive`: value k on row first + k; else gathered from `runs`), or
    // their whole span (`spanned`). A piece of consecutive rows may run on past
    // the column's end into the next columns, which then lie side by side in
    // every input panel and in the grids (see below).
    auto piece = [&](std::size_t i, std::size_t first, std::size_t count, bool consecutive,
                     bool spanned) {
        std::fill(writer.begin(), writer.end(), -1);
        for (std::size_t t = 0; t < ntargets; ++t) {
            const int r = targets[t].result;
            if (active[t] && consecutive && writer[r] < 0) writer[r] = static_cast<int>(t);
        }

        // Loads, aliases and window kernels in order; the elementwise and lagged
        // steps with them, or afterwards block by block.
        computed.clear();
        for (std::size_t k = 0; k < nsteps; ++k) {
            if (!need[k]) continue;
            const Step& s = steps_[k];
            const std::size_t length = count - s.shift;
            // A result goes straight into its grid when its rows are consecutive.
            const bool direct = writer[k] >= 0;
            const bool in_place = (s.op == Op::Load && consecutive) || s.op == Op::DropOldest ||
                                  s.op == Op::Delay || slot[k] >= 0;
            double* out = direct     ? targets[writer[k]].grid.data() + i * rows + first + s.shift
                          : in_place ? nullptr
                                     : buffer(k, count);
            outs[k] = out;
            const double* a = s.a.is_constant() ? nullptr : values[s.a.step];
            switch (s.op) {
                case Op::Load: {
                    const Input& input = inputs[s.param];
                    const double* column =
                        input.data +
                        static_cast<std::size_t>(input.column_of[i]) * input.column_stride();
                    if (consecutive && !direct) {
                        values[k] = column + first + s.shift;
                        continue;
                    }
                    if (consecutive)
                        std::memcpy(out, column + first + s.shift, length * sizeof(double));
                    else
                        gather(column, runs, s.shift, length, out);
                    break;
                }
                case Op::DropOldest:
                case Op::Delay:
                    values[k] = s.op == Op::Delay ? a : a + s.param;
                    continue;  // copied into the grid once computed, below
                case Op::Count: {
                    const std::size_t in_length = count - steps_[s.a.step].shift;
                    rk::count({a, in_length}, s.param, {counts.data(), length});
                    for (std::size_t t = 0; t < length; ++t)
                        out[t] = static_cast<double>(counts[t]);
                    break;
                }
                default:
                    if (is_series_kernel(s.op)) {
                        const std::size_t in_length = count - steps_[s.a.step].shift;
                        series_kernel(s.op)({a, in_length}, s.param, {out, length});
                    } else if (is_pair_kernel(s.op)) {
                        const std::size_t in_length = count - steps_[s.a.step].shift;
                        const double* b = values[s.b.step];
                        pair_kernel(s.op)({a, in_length}, {b, in_length}, s.param, {out, length});
                    } else if (blockwise) {
                        computed.push_back(static_cast<int>(k));
                    } else {
                        compute(static_cast<int>(k), s.shift, count, 0);
                    }
            }
            values[k] = out;
        }
        // The first blocks run each step from the row its values begin on. From
        // the block every step reaches on (`steady`), each step's block begins
        // on the block's first row: its operands and result move by a block each
        // time, and the block runs as a list of kernel calls.
        std::size_t steady = 0;
        for (int k : computed) steady = std::max(steady, steps_[k].shift);
        steady = std::min(count, (steady + kBlockRows - 1) / kBlockRows * kBlockRows);
        // A streamed result's blocks start on whole cache lines of its grid: a
        // line stored partly in the cache and partly past it costs more than either.
        for (int k : computed) {
            if (!stream || steady >= count || writer[k] < 0 || read_again[k]) continue;
            const auto line = reinterpret_cast<std::uintptr_t>(at(k, steady, steady)) % 64;
            if (line % sizeof(double) == 0 && line != 0)
                steady = std::min(count, steady + (64 - line) / sizeof(double));
            break;
        }
        for (std::size_t lo = 0; lo < steady && !computed.empty(); lo += kBlockRows) {
            const std::size_t hi = std::min({count, steady, lo + kBlockRows});
            for (int k : computed) {
                const std::size_t shift = steps_[k].shift;
                if (hi > shift) compute(k, std::max(lo, shift), hi, lo);
            }
        }
        if (steady < count && !computed.empty()) {
            calls.clear();
            for (int k : computed) {
                const Step& s = steps_[k];
                // built in place: a copy of a freshly written record stalls on
                // forwarding its narrow stores to wide loads, once per column
                Call& c = calls.emplace_back();
                auto source = [&](int j, const Operand& o, std::size_t row) {
                    if (o.is_constant()) return;
                    c.x[j] = in(o, row, steady);
                    c.x_moves[j] = slot[o.step] < 0;
                };
                c.out = at(k, steady, steady);
                c.out_moves = slot[k] < 0;
                if (stream && c.out_moves && writer[k] >= 0 && !read_again[k]) {
                    c.stored = c.out;
                    c.out = scratch + stream_slot * kBlockRows;
                    c.out_moves = false;
                }
                c.ca = s.a.constant;
                c.cb = s.b.constant;
                switch (s.op) {
                    case Op::Delta:
                        c.binary = subtract;
                        source(0, s.a, steady);
                        source(1, s.a, steady - s.param);
                        break;
                    case Op::Returns:
                        c.kind = Call::kReturns;
                        source(0, s.a, steady - 1);
                        break;
                    case Op::IfElse:
                        c.kind = Call::kChoice;
                        source(0, s.a, steady);
                        source(1, s.b, steady);
                        source(2, s.c, steady);
                        break;
                    default:
                        c.binary = binary_of[k];
                        c.unary = unary_of[k];
                        if (c.unary) c.kind = Call::kUnary;
                        source(0, s.a, steady);
                        source(1, s.b, steady);
                }
            }
            for (std::size_t lo = steady; lo < count; lo += kBlockRows) {
                const std::size_t n = std::min(count - lo, kBlockRows), moved = lo - steady;
                for (const Call& c : calls) {
                    const double* x[3];
                    for (int j = 0; j < 3; ++j)
                        x[j] = c.x[j] && c.x_moves[j] ? c.x[j] + moved : c.x[j];
                    double* out = c.out_moves ? c.out + moved : c.out;
                    switch (c.kind) {
                        case Call::kBinary:
                            c.binary(x[0], x[1], c.ca, c.cb, out, n);
                            break;
                        case Call::kUnary:
                            c.unary(x[0], out, n);
                            break;
                        case Call::kChoice:
                            choose(x[2], x[0], x[1], c.ca, c.cb, out, n);
                            break;
                        case Call::kReturns:
                            returns(x[0], out, n);
                            break;
                    }
                    if (c.stored) store(out, c.stored + moved, n);
                }
            }
        }
        for (std::size_t k = 0; k < nsteps; ++k) {
            const Op op = steps_[k].op;
            if (need[k] && writer[k] >= 0 && (op == Op::DropOldest || op == Op::Delay))
                std::memmove(outs[k], values[k], (count - steps_[k].shift) * sizeof(double));
        }

        for (std::size_t t = 0; t < ntargets; ++t) {
            if (!active[t]) continue;
            const int r = targets[t].result;
            double* column = targets[t].grid.data() + i * rows;
            const std::size_t length = count - steps_[r].shift;
            const double* v = values[r];
            if (!consecutive) {
                scatter(v, runs, count - length, length, column, rows, fill_rest,
                        stream ? store : nullptr);
            } else if (writer[r] != static_cast<int>(t)) {  // another target holds the values
                std::memcpy(column + first + (count - length), v, length * sizeof(double));
            }
            if (spanned) {  // the suspended rows within the span hold no value
                for (std::size_t u = 1; u < runs.size(); ++u)
                    std::fill(column + runs[u - 1].row + runs[u - 1].length, column + runs[u].row,
                              kNaN);
            }
        }
    };

    // A pointwise program's value on a row depends on that row alone, so whole
    // columns that follow one another in every input panel run as one long
    // column: no per-column setup, and each input streams once through its
    // memory. Rows outside a column's valid rows (before, after and between
    // them) are computed too and set to NaN afterwards, so only columns with
    // few of them join.
    std::vector<std::size_t> loaded;  // the inputs the program reads
    bool joinable = pointwise && fill_rest && columns > 1;
    std::size_t most_skipped = 0;
    for (const Target& t : targets) most_skipped = std::max(most_skipped, t.skip);
    for (std::size_t k = 0; k < nsteps && joinable; ++k) {
        if (!any_need[k] || steps_[k].op != Op::Load) continue;
        loaded.push_back(steps_[k].param);
        joinable = inputs[steps_[k].param].column_stride() == rows;
    }
    std::size_t joined_from = 0, joined = 0;
    std::vector<std::pair<std::size_t, std::size_t>> blanks;  // grid cells to set to NaN after
    auto run_joined = [&] {
        if (joined == 0) return;
        std::fill(active.begin(), active.end(), 1);
        need = any_need;
        active_for = static_cast<std::size_t>(-1);
        piece(joined_from, 0, joined * rows, true, false);
        for (const auto& [from, to] : blanks)
            for (const Target& t : targets)
                std::fill(t.grid.data() + from, t.grid.data() + to, kNaN);
        joined = 0;
        blanks.clear();
    };

    for (std::size_t i = 0; i < columns; ++i) {
        rows_of(i, col);
        if (joinable && col.count > most_skipped && 4 * (rows - col.count) <= rows) {
            bool follows = joined > 0;
            for (std::size_t p : loaded)
                follows = follows && inputs[p].column_of[i] == inputs[p].column_of[i - 1] + 1;
            if (!follows) {
                run_joined();
                joined_from = i;
            }
            ++joined;
            const std::size_t base = i * rows;
            std::size_t row = 0;  // end of the valid rows so far
            auto valid = [&](std::size_t from, std::size_t length) {
                if (from > row) blanks.emplace_back(base + row, base + from);
                row = from + length;
            };
            if (col.gaps) {
                for (const Run& r : runs) valid(r.row, r.length);
            } else {
                valid(col.first, col.count);
            }
            if (row < rows) blanks.emplace_back(base + row, base + rows);
            continue;
        }
        run_joined();
        bool any_active = false;
        for (std::size_t t = 0; t < ntargets; ++t) {
            active[t] = col.count > targets[t].skip;
            any_active = any_active || active[t];
            // too few valid rows: nothing is computed for the column
            if (!active[t] && fill_rest) std::fill_n(targets[t].grid.data() + i * rows, rows, kNaN);
        }
        if (!any_active) continue;
        if (active_for != col.count) {  // which targets run depends on the count alone
            active_for = col.count;
            std::fill(need.begin(), need.end(), 0);
            for (std::size_t t = 0; t < ntargets; ++t)
                if (active[t])
                    for (std::size_t k = 0; k < nsteps; ++k) need[k] |= needs[t][k];
        }
        // Rows the steps run over: the valid ones, or their whole span (then
        // consecutive from the first: value k sits on row first + k).
        const bool spanned = col.gaps && pointwise;
        const std::size_t count =
            spanned ? runs.back().row + runs.back().length - col.first : col.count;
        const bool consecutive = !col.gaps || spanned;
        const std::size_t first = col.first;
        if (fill_rest && consecutive) {
            // Only the rows the results do not reach: the column is written once
            // (columns with gaps are filled around their values after).
            for (std::size_t t = 0; t < ntargets; ++t) {
                if (!active[t]) continue;
                double* column = targets[t].grid.data() + i * rows;
                std::fill(column, column + first + steps_[targets[t].result].shift, kNaN);
                std::fill(column + first + count, column + rows, kNaN);
            }
        }
        piece(i, first, count, consecutive, spanned);
    }
    run_joined();
    // the grids' streamed stores land before anyone reads them
    if (stream) std::atomic_thread_fence(std::memory_order_seq_cst);
}

}  // namespace alvora::engine
