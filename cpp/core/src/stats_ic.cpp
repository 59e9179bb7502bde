#include <cmath>
#include <cstring>

#include "alvora/stats/ic.hpp"
#include "alvora/stats/ic_shared.hpp"
#include "alvora/stats/rank_pairs.hpp"
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

// The factor's doubled ranks of one group over the rows usable for a column.
struct GroupFactorRanks {
    std::vector<std::int64_t> twice;
    std::vector<std::int64_t> packed;      // the same, packed for walk_pairs
    std::vector<std::uint8_t> ranked_for;  // the usable mask they were made over
    std::size_t count = 0, distinct = 0;
    double syy = 0.0;
    bool made = false;
};

// The rank correlation of one group and column: the factor ranked over the usable rows
// (kept for the next column with the same usable rows), the column's order walked
// against it.
template <typename Acc>
Correlation group_rank_ic(std::span<const std::uint32_t> f_order,
                          std::span<const std::uint32_t> f_ties,
                          std::span<const std::uint32_t> x_order,
                          std::span<const std::uint32_t> x_ties,
                          std::span<const std::uint8_t> usable, GroupFactorRanks& f) {
    if (!f.made || std::memcmp(usable.data(), f.ranked_for.data(), usable.size()) != 0) {
        const Ranked<Acc> ranked = rank_usable<Acc>(f_order, f_ties, usable.data(), f.twice.data());
        f.count = ranked.count;
        f.distinct = ranked.distinct;
        f.syy = centred_squares(ranked.squares, ranked.count);
        f.ranked_for.assign(usable.begin(), usable.end());
        f.packed.resize(usable.size());
        pack_ranks(usable.data(), f.twice.data(), usable.size(), f.count, f.packed.data());
        f.made = true;
    }
    const PairSums<Acc> sums = walk_pairs<Acc>(x_order, x_ties, f.packed.data(), f.count);
    if (sums.distinct <= 1 || f.distinct <= 1)
        return {std::nan(""), std::nan(""), CorrelationNote::constant_input};
    return rank_correlation(static_cast<double>(sums.xy) * 0.25,
                            centred_squares(sums.xx_squares, f.count), f.syy, f.count);
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
    const bool coded = codes.size() <= kMostCodedRows;
    if (coded) grouped.codes.resize(codes.size());
    std::vector<std::int64_t> next(grouped.offsets.begin(), grouped.offsets.end() - 1);
    for (std::size_t r = 0; r < codes.size(); ++r) {
        const std::int32_t code = codes[r];
        const bool kept = code >= 0 && static_cast<std::size_t>(code) < n_groups;
        if (coded) grouped.codes[r] = kept ? code : -1;
        if (kept)
            grouped.rows[static_cast<std::size_t>(next[code]++)] = static_cast<std::uint32_t>(r);
    }
    return grouped;
}

void grouped_values(std::span<const double> column, const GroupedRows& groups,
                    std::vector<double>& out) {
    if (groups.codes.size() != column.size()) {
        std::vector<std::vector<double>> gathered;
        gather_rows({&column, 1}, groups.rows, gathered);
        out = std::move(gathered[0]);
        return;
    }
    out.resize(groups.rows.size());
    std::vector<std::int64_t> next(groups.offsets.begin(), groups.offsets.end() - 1);
    for (std::size_t r = 0; r < column.size(); ++r) {
        const std::int32_t code = groups.codes[r];
        if (code >= 0) out[static_cast<std::size_t>(next[code]++)] = column[r];
    }
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
    // Without shared orders, one return column of a group at a time.
    std::vector<std::vector<double>> x_gathered, f_gathered;
    // The factor in group order at once when the rows' codes are kept, else group by group.
    const bool coded = groups.codes.size() == factor.size();
    std::vector<double> grouped_factor;
    if (coded) grouped_values(factor, groups, grouped_factor);
    const std::vector<std::span<const double>> factor_only{factor};
    // Spearman: each group's factor is sorted once and each column once (or taken from the
    // shared orders); the correlation of a column then ranks both over the rows usable
    // for it (a byte per row) by walking those orders.
    std::vector<double> f_sorted, x_sorted;
    std::vector<std::uint32_t> f_order, x_order, f_ties, x_ties;
    GroupFactorRanks f_ranks;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint8_t> present, x_valid, usable;
    for (std::size_t g = 0; g < n_groups; ++g) {
        const auto begin = static_cast<std::size_t>(groups.offsets[g]);
        const auto end = static_cast<std::size_t>(groups.offsets[g + 1]);
        const std::size_t size = end - begin;
        const std::span<const std::uint32_t> rows{groups.rows.data() + begin, size};
        if (!coded) gather_rows(factor_only, rows, f_gathered);
        const std::span<const double> f_values{
            coded ? grouped_factor.data() + begin : f_gathered[0].data(), size};
        present.resize(size);
        for (std::size_t j = 0; j < size; ++j) present[j] = std::isnan(f_values[j]) ? 0 : 1;
        if (ranked) {
            sorted_order(f_values, f_order, keys);
            values_in_order(f_order, f_values, f_sorted);
            f_ties.clear();
            if (has_ties(f_sorted)) find_ties(f_sorted, f_ties);
            f_ranks.twice.resize(size);
            f_ranks.made = false;
        }
        for (std::size_t k = 0; k < n_columns; ++k) {
            const std::uint8_t* valid = nullptr;
            if (orders != nullptr) {
                valid = orders->valid.data() + k * groups.rows.size() + begin;
            } else {
                gather_rows({&returns[k], 1}, rows, x_gathered);
                x_valid.resize(size);
                for (std::size_t j = 0; j < size; ++j)
                    x_valid[j] = std::isnan(x_gathered[0][j]) ? 0 : 1;
                valid = x_valid.data();
            }
            usable.resize(size);
            std::size_t count = 0;
            for (std::size_t j = 0; j < size; ++j) {
                usable[j] = valid[j] & present[j];
                count += usable[j];
            }
            Correlation c{0.0, 0.0, CorrelationNote::none};
            if (count >= 2 && ranked) {
                std::span<const std::uint32_t> x_in_order, x_tie_runs;
                if (orders != nullptr) {
                    x_in_order = orders->order_of(g, k);
                    x_tie_runs = orders->ties_of(g, k);
                } else {
                    sorted_order(x_gathered[0], x_order, keys);
                    values_in_order(x_order, x_gathered[0], x_sorted);
                    x_ties.clear();
                    if (has_ties(x_sorted)) find_ties(x_sorted, x_ties);
                    x_in_order = x_order;
                    x_tie_runs = x_ties;
                }
                c = size <= kMostExactRanks
                        ? group_rank_ic<std::int64_t>(f_order, f_ties, x_in_order, x_tie_runs,
                                                      usable, f_ranks)
                        : group_rank_ic<double>(f_order, f_ties, x_in_order, x_tie_runs, usable,
                                                f_ranks);
            } else if (count >= 2) {
                const std::vector<double>& x_values = x_gathered[0];
                ws.x.clear();
                ws.y.clear();
                for (std::size_t j = 0; j < size; ++j) {
                    if (!usable[j]) continue;
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
