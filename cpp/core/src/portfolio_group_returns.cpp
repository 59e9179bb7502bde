#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "alvora/portfolio/group_returns.hpp"
#include "alvora/portfolio/quantile_labels.hpp"
#include "alvora/portfolio/schedule.hpp"

namespace alvora::portfolio {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Running sums and counts per (group, row) for an average over schedules that skips NaN.
struct Average {
    std::vector<double> sum;
    std::vector<double> count;
    explicit Average(std::size_t size) : sum(size, 0.0), count(size, 0.0) {}
    void add(std::size_t at, double value) {
        if (std::isnan(value)) return;
        sum[at] += value;
        count[at] += 1.0;
    }
    std::vector<double> result() const {
        std::vector<double> out(sum.size());
        for (std::size_t j = 0; j < out.size(); ++j)
            out[j] = count[j] > 0 ? sum[j] / count[j] : kNaN;
        return out;
    }
};

std::vector<char> rows_with_labels(std::span<const std::int32_t> labels, std::size_t rows,
                                   std::size_t cols) {
    std::vector<char> any(rows, 0);
    for (std::size_t t = 0; t < rows; ++t) {
        const std::int32_t* lab = labels.data() + t * cols;
        for (std::size_t i = 0; i < cols; ++i) {
            if (lab[i] != kNoLabel) {
                any[t] = 1;
                break;
            }
        }
    }
    return any;
}

// Daily group returns of one schedule, added to `avg`.  The schedule's rows are those whose
// rebalance row labels anything; a group with no valid growth on such a row has no value there
// and its change is measured against its last value (pad forward).
void add_schedule_returns(std::span<const std::int32_t> labels, PanelView levels, int groups,
                          std::size_t period, std::size_t offset, const std::vector<char>& held,
                          Average& avg) {
    const std::size_t rows = levels.rows, cols = levels.cols;
    const auto g = static_cast<std::size_t>(groups);
    std::vector<double> sum(g), count(g), padded(g, kNaN);
    for (std::size_t t = offset; t < rows; ++t) {
        const std::size_t s = rebalance_row(t, offset, period);
        if (!held[s]) continue;
        const std::int32_t* lab = labels.data() + s * cols;
        const double* now = levels.row(t);
        const double* base = levels.row(s - 1);
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(count.begin(), count.end(), 0.0);
        for (std::size_t i = 0; i < cols; ++i) {
            const std::int32_t k = lab[i];
            if (k == kNoLabel) continue;
            const double growth = now[i] / base[i];
            if (std::isnan(growth)) continue;
            sum[k] += growth;
            count[k] += 1.0;
        }
        const bool rebalance = (t == s);
        for (std::size_t k = 0; k < g; ++k) {
            const double value = count[k] > 0 ? sum[k] / count[k] : kNaN;
            const double previous = padded[k];
            if (!std::isnan(value)) padded[k] = value;
            avg.add(k * rows + t, rebalance ? value - 1.0 : padded[k] / previous - 1.0);
        }
    }
}

// Entrant fraction of each group of one schedule, added to `avg`: on a rebalance row the share
// of members that were not in the group at its previous holding (0 for its first holding),
// 0 on the other rows of a holding, nothing where the group is empty.
void add_schedule_turnover(std::span<const std::int32_t> labels, std::size_t rows, std::size_t cols,
                           int groups, std::size_t period, std::size_t offset, Average& avg) {
    const auto g = static_cast<std::size_t>(groups);
    constexpr std::size_t kNever = static_cast<std::size_t>(-1);
    std::vector<std::size_t> last_held(g, kNever);
    // Integer counts (exact, as the fractions need them) keep the tallies off the slower
    // floating-point add chains.
    std::vector<std::size_t> members(g), entrants(g);
    for (std::size_t s = offset; s < rows; s += period) {
        const std::int32_t* lab = labels.data() + s * cols;
        std::fill(members.begin(), members.end(), 0);
        std::fill(entrants.begin(), entrants.end(), 0);
        for (std::size_t i = 0; i < cols; ++i) {
            const std::int32_t k = lab[i];
            if (k == kNoLabel) continue;
            ++members[k];
            const std::size_t before = last_held[k];
            if (before != kNever && labels[before * cols + i] != k) ++entrants[k];
        }
        const std::size_t end = std::min(rows, s + period);
        for (std::size_t k = 0; k < g; ++k) {
            if (members[k] == 0) continue;
            avg.add(k * rows + s,
                    static_cast<double>(entrants[k]) / static_cast<double>(members[k]));
            for (std::size_t t = s + 1; t < end; ++t) avg.add(k * rows + t, 0.0);
            last_held[k] = s;
        }
    }
}

// The members of each group on one rebalance row, in column order within each group.
struct GroupMembers {
    std::size_t row = static_cast<std::size_t>(-1);  // the rebalance row they belong to
    std::vector<std::uint32_t> column;
    std::vector<std::size_t> first;  // group k's members: column[first[k] .. first[k + 1])

    void build(const std::int32_t* lab, std::size_t cols, std::size_t groups, std::size_t s) {
        row = s;
        first.assign(groups + 1, 0);
        for (std::size_t i = 0; i < cols; ++i)
            if (lab[i] != kNoLabel) ++first[static_cast<std::size_t>(lab[i]) + 1];
        for (std::size_t k = 0; k < groups; ++k) first[k + 1] += first[k];
        column.resize(first[groups]);
        std::vector<std::size_t> next(first.begin(), first.end() - 1);
        for (std::size_t i = 0; i < cols; ++i)
            if (lab[i] != kNoLabel) column[next[static_cast<std::size_t>(lab[i])]++] = i;
    }
};

// Sum and count per group of the members' growth levels[t] / levels[s - 1]: the values
// add_schedule_returns sums, added in the same (column) order within each group, so the
// results are the same to the bit. The groups' running sums are independent, so they are
// advanced side by side. A missing growth adds 0.0, which leaves a sum unchanged (a sum
// starting at +0.0 never becomes -0.0).
// `growth` holds levels[t] / levels[s - 1] of every column (growth_row).
// The counts are the members less those without a growth, tallied as integers (exact, and
// off the floating-point add chains the sums need).
void sum_member_growth(const GroupMembers& m, const double* growth, std::size_t groups, double* sum,
                       double* count, std::vector<std::size_t>& missing) {
    std::size_t common = m.column.size();
    missing.assign(groups, 0);
    for (std::size_t k = 0; k < groups; ++k) {
        sum[k] = 0.0;
        common = std::min(common, m.first[k + 1] - m.first[k]);
    }
    auto add = [&](std::size_t k, std::uint32_t c) {
        const double value = growth[c];
        const bool valid = !std::isnan(value);
        sum[k] += valid ? value : 0.0;
        missing[k] += valid ? 0 : 1;
    };
    for (std::size_t j = 0; j < common; ++j)
        for (std::size_t k = 0; k < groups; ++k) add(k, m.column[m.first[k] + j]);
    for (std::size_t k = 0; k < groups; ++k)
        for (std::size_t j = m.first[k] + common; j < m.first[k + 1]; ++j) add(k, m.column[j]);
    for (std::size_t k = 0; k < groups; ++k)
        count[k] = static_cast<double>(m.first[k + 1] - m.first[k] - missing[k]);
}

// Every column's growth now / base, in one loop the compiler vectorizes (the members' sums
// then only gather): the same quotients the sums would form one by one.
void growth_row(const double* __restrict now, const double* __restrict base, std::size_t cols,
                double* __restrict out) {
    for (std::size_t i = 0; i < cols; ++i) out[i] = now[i] / base[i];
}

void check_group_inputs(std::span<const std::int32_t> labels, PanelView levels, int groups) {
    if (groups < 1) throw std::invalid_argument("quantile groups must be at least 1");
    if (labels.size() != levels.rows * levels.cols)
        throw std::invalid_argument("labels and levels differ in shape");
    for (std::int32_t k : labels) {
        if (k != kNoLabel && (k < 0 || k >= groups))
            throw std::invalid_argument("label outside the quantile groups");
    }
}

}  // namespace

GroupSeries quantile_group_series(std::span<const std::int32_t> labels, PanelView levels,
                                  int groups, std::size_t period) {
    if (period < 1) throw std::invalid_argument("holding period must be at least 1");
    check_group_inputs(labels, levels, groups);
    const std::size_t rows = levels.rows, cols = levels.cols;
    const std::vector<char> held = rows_with_labels(labels, rows, cols);
    Average returns(static_cast<std::size_t>(groups) * rows);
    Average turnover(static_cast<std::size_t>(groups) * rows);
    // Schedules starting at or beyond the last row hold nothing.
    for (std::size_t offset = 1; offset <= period && offset < rows; ++offset) {
        add_schedule_returns(labels, levels, groups, period, offset, held, returns);
        add_schedule_turnover(labels, rows, cols, groups, period, offset, turnover);
    }
    return {returns.result(), turnover.result()};
}

std::vector<GroupSeries> quantile_group_series(std::span<const std::int32_t> labels,
                                               PanelView levels, int groups,
                                               std::span<const std::size_t> periods) {
    for (std::size_t p : periods)
        if (p < 1) throw std::invalid_argument("holding period must be at least 1");
    check_group_inputs(labels, levels, groups);
    const std::size_t rows = levels.rows, cols = levels.cols;
    const auto g = static_cast<std::size_t>(groups);
    const std::vector<char> held = rows_with_labels(labels, rows, cols);

    // Schedules 1..active of each period (those starting at or beyond the last row hold
    // nothing), each with its groups' values padded forward.
    struct Horizon {
        std::size_t period, active;
        Average returns;
        std::vector<double> padded;
    };
    std::vector<Horizon> horizons;
    horizons.reserve(periods.size());
    std::size_t window = 0;  // distances t - s a rebalance row s in force on row t can have
    for (std::size_t p : periods) {
        const std::size_t active = rows > 0 ? std::min(p, rows - 1) : 0;
        window = std::max(window, std::min(p, rows));
        horizons.push_back({p, active, Average(g * rows), std::vector<double>(active * g, kNaN)});
    }
    // Group sums of the growth since each rebalance row in force on the current row, by
    // distance back; `ready` holds the row (plus one) the distance's sums were made for.
    // The members of rebalance row s are kept in slot s % window while it is in force.
    std::vector<double> sum(window * g), count(window * g), growth(cols);
    std::vector<std::size_t> missing;
    std::vector<std::size_t> ready(window, 0);
    std::vector<GroupMembers> members(window);
    for (std::size_t t = 1; t < rows; ++t) {
        for (Horizon& h : horizons) {
            for (std::size_t offset = 1; offset <= h.active && offset <= t; ++offset) {
                const std::size_t s = rebalance_row(t, offset, h.period);
                if (!held[s]) continue;
                const std::size_t slot = t - s;
                double* slot_sum = sum.data() + slot * g;
                double* slot_count = count.data() + slot * g;
                if (ready[slot] != t + 1) {
                    GroupMembers& m = members[s % window];
                    if (m.row != s) m.build(labels.data() + s * cols, cols, g, s);
                    growth_row(levels.row(t), levels.row(s - 1), cols, growth.data());
                    sum_member_growth(m, growth.data(), g, slot_sum, slot_count, missing);
                    ready[slot] = t + 1;
                }
                const bool rebalance = (t == s);
                double* padded = h.padded.data() + (offset - 1) * g;
                for (std::size_t k = 0; k < g; ++k) {
                    const double value = slot_count[k] > 0 ? slot_sum[k] / slot_count[k] : kNaN;
                    const double previous = padded[k];
                    if (!std::isnan(value)) padded[k] = value;
                    h.returns.add(k * rows + t,
                                  rebalance ? value - 1.0 : padded[k] / previous - 1.0);
                }
            }
        }
    }
    std::vector<GroupSeries> out;
    out.reserve(horizons.size());
    for (const Horizon& h : horizons) {
        Average turnover(g * rows);
        for (std::size_t offset = 1; offset <= h.active; ++offset)
            add_schedule_turnover(labels, rows, cols, groups, h.period, offset, turnover);
        out.push_back({h.returns.result(), turnover.result()});
    }
    return out;
}

}  // namespace alvora::portfolio
