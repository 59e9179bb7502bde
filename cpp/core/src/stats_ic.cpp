#include <cmath>

#include "alvora/stats/ic.hpp"
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

GroupedIC grouped_ic(CorrelationMethod method, std::span<const double> factor,
                     std::span<const std::span<const double>> returns, const GroupedRows& groups) {
    const std::size_t n_groups = groups.offsets.size() - 1;
    const std::size_t n_columns = returns.size();
    GroupedIC result;
    result.coefficient.resize(n_groups * n_columns);
    result.p_value.resize(n_groups * n_columns);
    CorrelationWorkspace ws;
    // Spearman: each group's factor is sorted once and each column once; the correlation
    // of a column then ranks both over the rows usable for it by walking those orders.
    std::vector<double> f_values, x_values, f_ranks, x_ranks, f_sorted, x_sorted;
    std::vector<std::uint32_t> f_order, x_order, tie, chosen;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint8_t> usable;
    for (std::size_t g = 0; g < n_groups; ++g) {
        const auto begin = static_cast<std::size_t>(groups.offsets[g]);
        const auto end = static_cast<std::size_t>(groups.offsets[g + 1]);
        const std::size_t size = end - begin;
        f_values.resize(size);
        for (std::size_t j = 0; j < size; ++j)
            f_values[j] = factor[static_cast<std::size_t>(groups.rows[begin + j])];
        const bool ranked = method == CorrelationMethod::spearman;
        bool f_tied = false;
        if (ranked) {
            sorted_order(f_values, f_order, keys);
            values_in_order(f_order, f_values, f_sorted);
            f_tied = has_ties(f_sorted);
            f_ranks.resize(size);
            x_ranks.resize(size);
            usable.assign(size, 0);
        }
        x_values.resize(size);
        for (std::size_t k = 0; k < n_columns; ++k) {
            chosen.clear();
            for (std::size_t j = 0; j < size; ++j) {
                x_values[j] = returns[k][static_cast<std::size_t>(groups.rows[begin + j])];
                if (!std::isnan(x_values[j]) && !std::isnan(f_values[j]))
                    chosen.push_back(static_cast<std::uint32_t>(j));
            }
            Correlation c{0.0, 0.0, CorrelationNote::none};
            if (chosen.size() >= 2 && ranked) {
                for (std::uint32_t j : chosen) usable[j] = 1;
                sorted_order(x_values, x_order, keys);
                values_in_order(x_order, x_values, x_sorted);
                const std::size_t x_distinct =
                    has_ties(x_sorted)
                        ? masked_average_ranks_sorted(x_order, x_sorted, usable, x_ranks, tie)
                        : masked_ranks_untied(x_order, usable, x_ranks);
                const std::size_t f_distinct =
                    f_tied ? masked_average_ranks_sorted(f_order, f_sorted, usable, f_ranks, tie)
                           : masked_ranks_untied(f_order, usable, f_ranks);
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
