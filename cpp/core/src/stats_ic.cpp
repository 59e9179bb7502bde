#include <cmath>

#include "alvora/stats/ic.hpp"

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
            grouped.rows[static_cast<std::size_t>(next[code]++)] = static_cast<std::int64_t>(r);
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
    for (std::size_t g = 0; g < n_groups; ++g) {
        const auto begin = static_cast<std::size_t>(groups.offsets[g]);
        const auto end = static_cast<std::size_t>(groups.offsets[g + 1]);
        for (std::size_t k = 0; k < n_columns; ++k) {
            ws.x.clear();
            ws.y.clear();
            for (std::size_t j = begin; j < end; ++j) {
                const auto r = static_cast<std::size_t>(groups.rows[j]);
                const double x = returns[k][r];
                const double f = factor[r];
                if (std::isnan(x) || std::isnan(f)) continue;
                ws.x.push_back(x);
                ws.y.push_back(f);
            }
            const Correlation c = correlate_pairs(method, ws, result.notes);
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
            if (now < 0 || ahead < 0 || std::isnan(factor[static_cast<std::size_t>(now)]))
                continue;
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
