#include <cmath>
#include <limits>

#include "alvora/stats/ic_shared.hpp"
#include "alvora/stats/ranks.hpp"

namespace alvora::stats {

namespace {

// Appends the order and the tie runs of one segment's column (NaN left out) to `out`.
void append_order(ReturnOrders& out, std::span<const double> values,
                  std::vector<std::uint32_t>& order, std::vector<std::uint32_t>& ties,
                  std::vector<std::uint64_t>& keys, std::vector<double>& sorted) {
    sorted_order(values, order, keys);
    values_in_order(order, values, sorted);
    find_ties(sorted, ties);
    out.order.insert(out.order.end(), order.begin(), order.end());
    out.ties.insert(out.ties.end(), ties.begin(), ties.end());
    out.start.push_back(out.order.size());
    out.ties_start.push_back(out.ties.size());
}

}  // namespace

void sort_run(std::span<const double> values, SortedRun& run, RunScratch& scratch) {
    sorted_order(values, run.order, scratch.keys);
    values_in_order(run.order, values, scratch.sorted);
    find_ties(scratch.sorted, run.ties);
}

void find_ties(std::span<const double> sorted, std::vector<std::uint32_t>& ties) {
    ties.clear();
    std::size_t j = 1;
    while (j < sorted.size()) {
        if (sorted[j] != sorted[j - 1]) {
            ++j;
            continue;
        }
        const std::size_t begin = j - 1;
        while (j < sorted.size() && sorted[j] == sorted[begin]) ++j;
        ties.push_back(static_cast<std::uint32_t>(begin));
        ties.push_back(static_cast<std::uint32_t>(j));
    }
}

void fill_date_orders(std::span<const std::span<const double>> returns, const RowGrid& grid,
                      std::size_t t, DateOrders& out, RunScratch& scratch) {
    const std::size_t n = grid.n_instruments;
    const std::size_t n_columns = returns.size();
    out.valid.resize(n_columns * n);
    out.complete.assign(n, 1);
    out.full.resize(n_columns);
    out.complete_only.resize(n_columns);
    std::vector<double>& values = scratch.values;
    values.resize(n);
    auto load = [&](std::size_t k) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t row = grid.row(t, i);
            values[i] = row < 0 ? std::numeric_limits<double>::quiet_NaN()
                                : returns[k][static_cast<std::size_t>(row)];
        }
    };
    for (std::size_t k = 0; k < n_columns; ++k) {
        load(k);
        std::uint8_t* valid = out.valid.data() + k * n;
        for (std::size_t i = 0; i < n; ++i) {
            valid[i] = std::isnan(values[i]) ? 0 : 1;
            out.complete[i] &= valid[i];
        }
    }
    for (std::size_t k = 0; k < n_columns; ++k) {
        load(k);
        const SortedRun& all = out.full[k];
        sort_run(values, out.full[k], scratch);
        SortedRun& run = out.complete_only[k];
        run.order.clear();
        scratch.kept.clear();
        for (std::size_t j = 0; j < all.order.size(); ++j) {
            if (!out.complete[all.order[j]]) continue;
            run.order.push_back(all.order[j]);
            scratch.kept.push_back(scratch.sorted[j]);
        }
        find_ties(scratch.kept, run.ties);
    }
}

std::vector<DateOrders> date_return_orders(std::span<const std::span<const double>> returns,
                                           const RowGrid& grid) {
    std::vector<DateOrders> out(grid.n_dates);
    RunScratch scratch;
    for (std::size_t t = 0; t < grid.n_dates; ++t) {
        fill_date_orders(returns, grid, t, out[t], scratch);
        for (auto* runs : {&out[t].full, &out[t].complete_only}) {
            for (SortedRun& run : *runs) {
                run.order.shrink_to_fit();
                run.ties.shrink_to_fit();
            }
        }
    }
    return out;
}

std::size_t date_return_orders_bytes(std::size_t n_columns, const RowGrid& grid) {
    // Per column and instrument: a mask byte and two order entries at most (ties are a
    // fraction of that).
    const std::size_t per_instrument = 1 + n_columns * (1 + 2 * 4 + 4);
    return grid.n_dates * (grid.n_instruments * per_instrument + sizeof(DateOrders));
}

ReturnOrders group_return_orders(std::span<const std::span<const double>> returns,
                                 const GroupedRows& groups) {
    ReturnOrders out;
    out.n_columns = returns.size();
    out.start.push_back(0);
    out.ties_start.push_back(0);
    const std::size_t n_rows = groups.rows.size();
    out.valid.resize(returns.size() * n_rows);
    std::vector<std::vector<double>> values;
    std::vector<double> sorted;
    std::vector<std::uint32_t> order, ties;
    std::vector<std::uint64_t> keys;
    for (std::size_t g = 0; g + 1 < groups.offsets.size(); ++g) {
        const auto begin = static_cast<std::size_t>(groups.offsets[g]);
        const auto size = static_cast<std::size_t>(groups.offsets[g + 1]) - begin;
        gather_rows(returns, {groups.rows.data() + begin, size}, values);
        for (std::size_t k = 0; k < returns.size(); ++k) {
            std::uint8_t* valid = out.valid.data() + k * n_rows + begin;
            for (std::size_t j = 0; j < size; ++j) valid[j] = std::isnan(values[k][j]) ? 0 : 1;
            append_order(out, values[k], order, ties, keys, sorted);
        }
    }
    return out;
}

std::size_t group_return_orders_bytes(std::size_t n_columns, const GroupedRows& groups) {
    // Per grouped row and column: a mask byte, an order entry and at most one tie bound.
    const std::size_t n_cells = groups.offsets.size() * n_columns;
    return groups.rows.size() * n_columns * (1 + 4 + 4) + n_cells * 2 * sizeof(std::size_t);
}

}  // namespace alvora::stats
