// Information coefficients over a long factor table: one correlation per group of rows
// (a date, an industry) and per forward-return column, and the decay over date lags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "alvora/stats/correlation.hpp"

namespace alvora::stats {

// Rows of a table bucketed by group code: the rows of group g are
// rows[offsets[g] .. offsets[g + 1]), in table order. Codes < 0 belong to no group.
// `codes`, when not empty, holds the group of every table row (-1: none), which lets a
// column be put in group order in one pass over the table (see grouped_values); kept for
// tables up to kMostCodedRows rows, beyond which the codes and a whole grouped column
// would add more memory than they save time.
inline constexpr std::size_t kMostCodedRows = std::size_t{1} << 22;

struct GroupedRows {
    std::vector<std::int64_t> offsets;
    std::vector<std::uint32_t> rows;
    std::vector<std::int32_t> codes;
};

// Tables up to 2^32 rows.
GroupedRows group_rows(std::span<const std::int32_t> codes, std::size_t n_groups);

// out[c][j] = columns[c][rows[j]] for every column, in one sweep over the rows: the rows
// of a group lie far apart, and reading all columns together keeps more loads in flight.
void gather_rows(std::span<const std::span<const double>> columns,
                 std::span<const std::uint32_t> rows, std::vector<std::vector<double>>& out);

// out[p] = column[rows[p]] for every grouped position p: with the groups' codes, in one
// pass over the column in table order (each group's values are written in turn, far
// cheaper than reading rows spread over the table); else as gather_rows.
void grouped_values(std::span<const double> column, const GroupedRows& groups,
                    std::vector<double>& out);

struct ReturnOrders;  // alvora/stats/ic_shared.hpp

// Counts of inputs the correlation could not handle well (reported by the caller).
struct CorrelationNotes {
    std::size_t constant_inputs = 0;
    std::size_t near_constant_inputs = 0;
    void add(CorrelationNote note);
};

// Per group and return column, row-major (group * n_columns + column).
struct GroupedIC {
    std::vector<double> coefficient;
    std::vector<double> p_value;
    CorrelationNotes notes;
};

// For each group and each return column: the correlation of the return column with the
// factor over the group's rows where both are present (each column masked on its own).
// Fewer than two such rows give coefficient 0 and p-value 0. `shared`, when given, holds
// group_return_orders(returns, groups) (used by the rank correlation only).
GroupedIC grouped_ic(CorrelationMethod method, std::span<const double> factor,
                     std::span<const std::span<const double>> returns, const GroupedRows& groups,
                     const ReturnOrders* shared = nullptr);

// A dates x instruments grid of row numbers of a long table. An empty `rows` means the
// table is the full product in date-major order (row = date * n_instruments + instrument);
// otherwise rows[date * n_instruments + instrument] is the row, or -1 when absent.
struct RowGrid {
    std::size_t n_dates;
    std::size_t n_instruments;
    std::span<const std::int64_t> rows;
    std::int64_t row(std::size_t date, std::size_t instrument) const {
        const std::size_t cell = date * n_instruments + instrument;
        return rows.empty() ? static_cast<std::int64_t>(cell) : rows[cell];
    }
};

// Coefficients at one lag d >= 1: for date t, the factor of t against the forward returns
// of date t + d, over the instruments whose factor and every return column are present.
// Only dates with at least one such instrument appear (in ascending order).
struct DecayLag {
    std::vector<std::int64_t> dates;
    std::vector<double> coefficient;  // dates.size() x n_columns, row-major
    CorrelationNotes notes;
};

DecayLag ic_decay_lag(CorrelationMethod method, std::span<const double> factor,
                      std::span<const std::span<const double>> returns, const RowGrid& grid,
                      std::size_t lag);

}  // namespace alvora::stats
