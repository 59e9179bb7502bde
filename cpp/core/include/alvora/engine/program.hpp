// A factor expression compiled into a list of native steps over buffers, run for
// every instrument of a panel and written straight into the result grid.
//
// Every step produces one series per instrument: its values on the instrument's
// valid rows, oldest first, shortened by the step's look-back (`shift`: valid rows
// consumed before the first value). Values are held as doubles whatever their
// element kind; the kind only decides which steps may follow (the compiler refuses
// what the interpreter's array library would compute differently or reject).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "alvora/engine/alignment.hpp"

namespace alvora::engine {

// Element kind of a series or constant, as the array library would type it.
// NarrowInt: a boolean series times a whole number, whose integer type the
// array library picks from the number's value in some versions and not in
// others; its values (0 or the number) are exact in any of them, but only steps
// that give the same result whatever that type may follow.
enum class Kind : std::uint8_t { Float, Int, Bool, NarrowInt };

enum class Op : std::uint8_t {
    Load,  // an input panel's column gathered on the valid rows (from the `shift`-th on)
    // elementwise, over two operands
    Add,
    Subtract,
    Multiply,
    Divide,
    Power,
    Less,
    LessEqual,
    Greater,
    GreaterEqual,
    Equal,
    NotEqual,
    And,
    Or,
    // elementwise, over one operand
    Negate,
    Absolute,
    Not,
    DropOldest,  // the oldest `param` values dropped (alignment, not a lag)
    // float results whatever the operands' kinds (the operators convert first)
    Delay,        // the value `param` valid rows back: the newest `param` values dropped
    Delta,        // x minus x `param` valid rows back
    Returns,      // x / x one valid row back - 1
    FloatAbs,     // |x|
    Sign,         // -1, 0 or 1; NaN stays NaN
    Log,          // natural logarithm
    SignedPower,  // sign(x) * |x| ** b
    FloatDivide,  // a / b
    Minimum,      // NaN when either is NaN
    Maximum,
    BoolTimes,  // a boolean series times a whole number: 0 (never -0) or the number
    IfElse,     // a where the condition c is non-zero, b where it is zero, NaN where it is NaN
    // window kernels over one series, window `param`
    Sum,
    Product,
    Mean,
    Ema,
    Wma,
    Slope,
    Var,
    Std,
    ZScore,
    Skew,
    Kurt,
    AveDev,
    Min,
    Max,
    ArgMin,
    ArgMax,
    Rank,
    Count,
    // window kernels over two series of equal length, window `param`
    Covariance,
    Correlation,
    Regression,
};

// A step's operand: the series of an earlier step, or a constant.
struct Operand {
    int step = -1;  // < 0: the constant
    double constant = 0.0;
    Kind kind = Kind::Float;

    static Operand of_step(int s) { return {s, 0.0, Kind::Float}; }
    static Operand of_constant(double v, Kind k) { return {-1, v, k}; }
    bool is_constant() const { return step < 0; }
};

// A dates x columns column-major panel, and the column each instrument of the
// run reads (a one-dimensional panel serves its single column to every instrument).
struct Input {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<std::int64_t> column_of;  // per instrument of the run
    std::size_t stride = 0;               // entries between columns; 0: `rows`

    std::size_t column_stride() const { return stride == 0 ? rows : stride; }
};

// One result of a run: step `result` written into `grid` (`rows` x instruments,
// column-major) for the instruments with more than `skip` valid rows.
struct Target {
    int result = -1;
    std::size_t skip = 0;
    std::span<double> grid;
};

class Program {
  public:
    // Adds a step and returns its index, or nothing when the step is not one the
    // program can compute with the array library's results (unknown element kinds,
    // operands of different look-backs, a window below 1, ...). A step identical
    // to an earlier one returns the earlier index: shared sub-trees run once.
    // An input's values without the oldest `consumed` valid rows (a computed
    // node served after the rows its own windows consumed).
    std::optional<int> load(std::size_t input, std::size_t consumed = 0);
    std::optional<int> elementwise(Op op, Operand a, Operand b = {});
    std::optional<int> drop_oldest(int step, std::size_t n);
    // The operators of float results: Delay, Delta and Returns over one series
    // (`n` rows back), the others elementwise over series and numbers, IfElse
    // choosing between a and b by `condition`.
    std::optional<int> lagged(Op op, int step, std::size_t n);
    std::optional<int> float_elementwise(Op op, Operand a, Operand b = {});
    std::optional<int> if_else(Operand condition, Operand a, Operand b);
    std::optional<int> window(Op op, std::size_t n, int a, int b = -1);

    std::size_t size() const { return steps_.size(); }
    std::size_t shift(int step) const { return steps_.at(step).shift; }
    Kind kind(int step) const { return steps_.at(step).kind; }
    std::size_t inputs_used() const { return inputs_; }

    // Evaluates step `result` for every instrument i with more than `skip` valid
    // rows (positions[i], ascending grid rows) and writes the series onto the last
    // valid rows of column i of the column-major grid (`rows` x positions.size());
    // other entries are left untouched (elementwise programs set the invalid rows
    // between valid ones to NaN), or set to NaN with `fill_rest` (the grid may
    // then start uninitialised). Requires shift(result) <= skip. Throws
    // std::invalid_argument for positions outside the grid or not ascending, or
    // inputs that do not match.
    void run(int result, std::span<const Input> inputs,
             std::span<const std::span<const std::int64_t>> positions, std::size_t skip,
             std::span<double> grid, std::size_t rows, bool fill_rest = false) const;

    // As `run`, for several results in one pass over the instruments: the steps
    // an instrument's active results share are computed once.
    void run_many(std::span<const Target> targets, std::span<const Input> inputs,
                  std::span<const std::span<const std::int64_t>> positions, std::size_t rows,
                  bool fill_rest = false) const;
    // As `run_many`, each instrument's valid rows given by its row mask (`rows`
    // bytes, nonzero where valid): ascending by construction and an eighth of the
    // memory of its positions, which a large panel would read as often as its values.
    // Throws std::invalid_argument for a mask of another size.
    void run_many(std::span<const Target> targets, std::span<const Input> inputs,
                  std::span<const RowMask> masks, std::size_t rows, bool fill_rest = false) const;

  private:
    struct Step {
        Op op;
        Operand a, b, c;
        std::size_t param = 0;
        std::size_t shift = 0;
        Kind kind = Kind::Float;
    };
    std::optional<int> push(Step s);
    struct ColumnRows;
    template <class RowsOf>
    void run_columns(std::span<const Target> targets, std::span<const Input> inputs,
                     std::size_t columns, std::size_t rows, bool fill_rest, RowsOf rows_of) const;

    std::vector<Step> steps_;
    std::size_t inputs_ = 0;
};

}  // namespace alvora::engine
