#include <cmath>

#include "alvora/stats/ic.hpp"
#include "alvora/stats/ic_shared.hpp"
#include "alvora/stats/ranks.hpp"

namespace alvora::stats {

namespace {

// Correlation of the collected pairs, or (0, 0) when fewer than two were usable.
Correlation correlate_pairs(CorrelationMethod method, CorrelationWorkspace& ws,
                            CorrelationNotes& notes) {
    if (ws.x.size() < 2) return {0.0, 0.0, CorrelationNote::none};
    const Correlation c = correlate(method, ws.x, ws.y, ws);
    notes.add(c.note);
    return c;
}

}  // namespace

void CorrelationNotes::add(CorrelationNote note) {
    if (note == CorrelationNote::constant_input) ++constant_inputs;
    if (note == CorrelationNote::near_constant_input) ++near_constant_inputs;
}

GroupedRows group_rows(std::span<const std::int32_t> codes, std::size_t n_groups) {
    GroupedRows grouped;
    grouped.offsets.assign(n_groups + 1, 0);
    for (std::int32_t code : codes)
        if (code >= 0 && static_cast<std::size_t>(code) < n_groups) ++grouped.offsets[code + 1];
    for (std::size_t g = 0; g < n_groups; ++g) grouped.offsets[g + 1] += grouped.offsets[g];
    grouped.rows.resize(static_cast<std::size_t>(grouped.offsets[n_groups]));
    std::vector<std::int64_t> next(grouped.offsets.begin(), grouped.offsets.end() - 1);
    for (std::size_t r = 0; r < codes.size(); ++r) {
        const std::int32_t code = codes[r];
        if (code >= 0 && static_cast<std::size_t>(code) < n_groups)
            grouped.rows[static_cast<std::size_t>(next[code]++)] = static_cast<std::uint32_t>(r);
    }
    return grouped;
}

void gather_rows(std::span<const std::span<const double>> columns,
                 std::span<const std::uint32_t> rows, std::vector<std::vector<double>>& out) {
    // Loads this many rows ahead are requested early: the rows are ascending but far
    // apart, beyond what the hardware predicts.
    constexpr std::size_t kAhead = 64;
    const std::size_t n = rows.size();
    out.resize(columns.size());
    for (std::vector<double>& column : out) column.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        if (j + kAhead < n)
            for (const std::span<const double> column : columns)
                __builtin_prefetch(column.data() + rows[j + kAhead]);
        const std::uint32_t row = rows[j];
        for (std::size_t c = 0; c < columns.size(); ++c) out[c][j] = columns[c][row];
    }
}

GroupedIC grouped_ic(CorrelationMethod method, std::span<const double> factor,
                     std::span<const std::span<const double>> returns, const GroupedRows& groups,
                     const ReturnOrders* shared) {
    const std::size_t n_groups = groups.offsets.size() - 1;
    const std::size_t n_columns = returns.size();
    const bool ranked = method == CorrelationMethod::spearman;
    const ReturnOrders* orders = ranked ? shared : nullptr;
    GroupedIC result;
    result.coefficient.resize(n_groups * n_columns);
    result.p_value.resize(n_groups * n_columns);
    CorrelationWorkspace ws;
    // Gathered per group: the factor, then (without shared orders) one return column at a
    // time, so that only two columns of a group are held at once.
    const std::vector<std::span<const double>> factor_only{factor};
    std::vector<std::vector<double>> values, x_gathered;
    // Spearman: each group's factor is sorted once and each column once (or taken from the
    // shared orders); the correlation of a column then ranks both over the rows usable
    // for it by walking those orders.
    std::vector<double> f_ranks, x_ranks, f_sorted, x_sorted;
    std::vector<std::uint32_t> f_order, x_order, tie, chosen, f_ranked_for;
    std::size_t f_distinct = 0;  // of the factor ranks made over f_ranked_for
    std::vector<std::uint64_t> keys;
    std::vector<std::uint8_t> usable;
    for (std::size_t g = 0; g < n_groups; ++g) {
        const auto begin = static_cast<std::size_t>(groups.offsets[g]);
        const auto end = static_cast<std::size_t>(groups.offsets[g + 1]);
        const std::size_t size = end - begin;
        const std::span<const std::uint32_t> rows{groups.rows.data() + begin, size};
        gather_rows(factor_only, rows, values);
        const std::vector<double>& f_values = values[0];
        bool f_tied = false;
        if (ranked) {
            sorted_order(f_values, f_order, keys);
            values_in_order(f_order, f_values, f_sorted);
            f_tied = has_ties(f_sorted);
            f_ranks.resize(size);
            x_ranks.resize(size);
            usable.assign(size, 0);
            f_ranked_for.clear();
            f_distinct = 0;
        }
        for (std::size_t k = 0; k < n_columns; ++k) {
            chosen.clear();
            if (orders != nullptr) {
                const std::uint8_t* valid = orders->valid.data() + k * groups.rows.size() + begin;
                for (std::size_t j = 0; j < size; ++j)
                    if (valid[j] && !std::isnan(f_values[j]))
                        chosen.push_back(static_cast<std::uint32_t>(j));
            } else {
                gather_rows({&returns[k], 1}, rows, x_gathered);
                const std::vector<double>& x_values = x_gathered[0];
                for (std::size_t j = 0; j < size; ++j)
                    if (!std::isnan(x_values[j]) && !std::isnan(f_values[j]))
                        chosen.push_back(static_cast<std::uint32_t>(j));
            }
            Correlation c{0.0, 0.0, CorrelationNote::none};
            if (chosen.size() >= 2 && ranked) {
                for (std::uint32_t j : chosen) usable[j] = 1;
                std::span<const std::uint32_t> x_in_order;
                std::span<const double> x_values_in_order;
                bool x_tied = false;
                if (orders != nullptr) {
                    x_in_order = orders->order_of(g, k);
                    x_values_in_order = orders->sorted_of(g, k);
                    x_tied = orders->tied_of(g, k);
                } else {
                    sorted_order(x_gathered[0], x_order, keys);
                    values_in_order(x_order, x_gathered[0], x_sorted);
                    x_in_order = x_order;
                    x_values_in_order = x_sorted;
                    x_tied = has_ties(x_sorted);
                }
                const std::size_t x_distinct =
                    x_tied ? masked_average_ranks_sorted(x_in_order, x_values_in_order, usable,
                                                         x_ranks, tie)
                           : masked_ranks_untied(x_in_order, usable, x_ranks);
                // Columns present on the same rows (the usual case) share the factor ranks.
                if (f_distinct == 0 || chosen != f_ranked_for) {
                    f_distinct = f_tied ? masked_average_ranks_sorted(f_order, f_sorted, usable,
                                                                      f_ranks, tie)
                                        : masked_ranks_untied(f_order, usable, f_ranks);
                    f_ranked_for = chosen;
                }
                if (x_distinct <= 1 || f_distinct <= 1) {
                    c = {std::nan(""), std::nan(""), CorrelationNote::constant_input};
                } else {
                    const double mean = 0.5 * (static_cast<double>(chosen.size()) + 1.0);
                    double sxy = 0.0, sxx = 0.0, syy = 0.0;
                    for (std::uint32_t j : chosen) {
                        const double dx = x_ranks[j] - mean;
                        const double dy = f_ranks[j] - mean;
                        sxy += dx * dy;
                        sxx += dx * dx;
                        syy += dy * dy;
                    }
                    c = rank_correlation(sxy, sxx, syy, chosen.size());
                }
                for (std::uint32_t j : chosen) usable[j] = 0;
            } else if (chosen.size() >= 2) {
                const std::vector<double>& x_values = x_gathered[0];
                ws.x.clear();
                ws.y.clear();
                for (std::uint32_t j : chosen) {
                    ws.x.push_back(x_values[j]);
                    ws.y.push_back(f_values[j]);
                }
                c = pearson(ws.x, ws.y);
            }
            result.notes.add(c.note);
            result.coefficient[g * n_columns + k] = c.coefficient;
            result.p_value[g * n_columns + k] = c.p_value;
        }
    }
    return result;
}

DecayLag ic_decay_lag(CorrelationMethod method, std::span<const double> factor,
                      std::span<const std::span<const double>> returns, const RowGrid& grid,
                      std::size_t lag) {
    DecayLag result;
    const std::size_t n_columns = returns.size();
    CorrelationWorkspace ws;
    std::vector<std::int64_t> usable_now;    // factor rows at date t
    std::vector<std::int64_t> usable_ahead;  // return rows at date t + lag
    for (std::size_t t = 0; t + lag < grid.n_dates; ++t) {
        usable_now.clear();
        usable_ahead.clear();
        for (std::size_t i = 0; i < grid.n_instruments; ++i) {
            const std::int64_t now = grid.row(t, i);
            const std::int64_t ahead = grid.row(t + lag, i);
            if (now < 0 || ahead < 0 || std::isnan(factor[static_cast<std::size_t>(now)])) continue;
            bool complete = true;
            for (std::size_t k = 0; k < n_columns && complete; ++k)
                complete = !std::isnan(returns[k][static_cast<std::size_t>(ahead)]);
            if (!complete) continue;
            usable_now.push_back(now);
            usable_ahead.push_back(ahead);
        }
        if (usable_now.empty()) continue;
        result.dates.push_back(static_cast<std::int64_t>(t));
        for (std::size_t k = 0; k < n_columns; ++k) {
            ws.x.clear();
            ws.y.clear();
            for (std::size_t j = 0; j < usable_now.size(); ++j) {
                ws.x.push_back(returns[k][static_cast<std::size_t>(usable_ahead[j])]);
                ws.y.push_back(factor[static_cast<std::size_t>(usable_now[j])]);
            }
            result.coefficient.push_back(correlate_pairs(method, ws, result.notes).coefficient);
        }
    }
    return result;
}

}  // namespace alvora::stats
