// Ranks over the cells kept once past a look-back, from ranks over more cells.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "alvora/stats/cross_section.hpp"
#include "panel_rows.hpp"
#include "row_ranks.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A valued cell is dropped while its column has at most `consumed` valid rows
// at or before it (counted from first_row).
bool dropped(std::size_t count, std::size_t consumed, double rank) {
    return count <= consumed && !std::isnan(rank);
}

// Ranks rows `first` .. `last` - 1 of `out` again over their non-NaN cells, a
// chunk of rows at a time.
void rank_rows_again(PanelView<double> out, std::size_t first, std::size_t last, RowRanks& ranker) {
    const std::size_t cols = out.cols;
    const std::size_t chunk = panel_rows::chunk_rows(last - first, cols);
    double* rows = panel_rows::kept_buffer<double, 0>(chunk * cols);
    double* results = panel_rows::kept_buffer<double, 1>(chunk * cols);
    const PanelView<const double> in{out.data, out.rows, out.cols, out.row_stride, out.col_stride};
    for (std::size_t r0 = first; r0 < last; r0 += chunk) {
        const std::size_t n = std::min(chunk, last - r0);
        panel_rows::copy_in(in, r0, n, rows);
        for (std::size_t t = 0; t < n; ++t)
            ranker.rank(std::span<const double>(rows + t * cols, cols),
                        std::span<double>(results + t * cols, cols));
        panel_rows::copy_out(results, r0, n, out);
    }
}

// Column-major panels, a column at a time: a column loses values only on its
// first `consumed` valid rows from first_row on, and the rest is copied whole.
// The rows that lost a value are then ranked again, run by run.
std::size_t kept_by_columns(PanelView<const double> ranks, PanelView<const std::uint8_t> valid,
                            std::size_t first_row, std::size_t consumed, PanelView<double> out) {
    std::vector<std::uint8_t> lost(ranks.rows, 0);
    for (std::size_t c = 0; c < ranks.cols; ++c) {
        const double* x = &ranks.at(0, c);
        const std::uint8_t* flag = &valid.at(0, c);
        double* column = &out.at(0, c);
        std::size_t count = 0, r = first_row;
        for (; r < ranks.rows && count <= consumed; ++r) {
            count += flag[r] != 0;
            const bool drop = dropped(count, consumed, x[r]);
            lost[r] |= drop;
            column[r] = drop ? kNaN : x[r];
        }
        panel_rows::write_column(column + r, ranks.rows - r,
                                 [from = x + r](std::size_t t) { return from[t]; });
    }
    panel_rows::end_writes();
    RowRanks ranker;
    std::size_t reranked = 0;
    for (std::size_t r = first_row; r < ranks.rows;) {
        if (!lost[r]) {
            ++r;
            continue;
        }
        std::size_t end = r;
        while (end < ranks.rows && lost[end]) ++end;
        rank_rows_again(out, r, end, ranker);
        reranked += end - r;
        r = end;
    }
    return reranked;
}

}  // namespace

std::size_t rank_kept(PanelView<const double> ranks, PanelView<const std::uint8_t> valid,
                      std::size_t first_row, std::size_t consumed, PanelView<double> out) {
    if (valid.rows != ranks.rows || valid.cols != ranks.cols || out.rows != ranks.rows ||
        out.cols != ranks.cols || first_row > ranks.rows) {
        throw std::invalid_argument(
            "kept ranks: ranks are " + std::to_string(ranks.rows) + " x " +
            std::to_string(ranks.cols) + ", valid rows " + std::to_string(valid.rows) + " x " +
            std::to_string(valid.cols) + ", output " + std::to_string(out.rows) + " x " +
            std::to_string(out.cols) + ", first row " + std::to_string(first_row));
    }
    if (ranks.cols > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("kept ranks: too many instruments");
    const std::size_t cols = ranks.cols;
    panel_rows::fill_nan_rows(out, first_row);
    if (ranks.row_stride == 1 && valid.row_stride == 1 && out.row_stride == 1)
        return kept_by_columns(ranks, valid, first_row, consumed, out);
    // any other layout row by row: each row's cells dropped, then ranked again if
    // it lost one, or else copied
    const std::size_t chunk = panel_rows::chunk_rows(ranks.rows, cols);
    double* rows = panel_rows::kept_buffer<double, 0>(chunk * cols);
    double* results = panel_rows::kept_buffer<double, 1>(chunk * cols);
    auto* flags = panel_rows::kept_buffer<std::uint8_t, 0>(chunk * cols);
    std::vector<std::size_t> counts(cols, 0);  // valid rows since first_row, per column
    RowRanks ranker;
    std::size_t reranked = 0;
    for (std::size_t r0 = first_row; r0 < ranks.rows; r0 += chunk) {
        const std::size_t n = std::min(chunk, ranks.rows - r0);
        panel_rows::copy_in(ranks, r0, n, rows);
        panel_rows::copy_in(valid, r0, n, flags);
        for (std::size_t t = 0; t < n; ++t) {
            double* row = rows + t * cols;
            const std::uint8_t* flag = flags + t * cols;
            bool lost = false;
            for (std::size_t c = 0; c < cols; ++c) {
                counts[c] += flag[c] != 0;
                const bool drop = dropped(counts[c], consumed, row[c]);
                lost |= drop;
                row[c] = drop ? kNaN : row[c];
            }
            const std::span<double> result(results + t * cols, cols);
            if (lost) {
                ranker.rank(std::span<const double>(row, cols), result);
                ++reranked;
            } else {
                std::memcpy(result.data(), row, cols * sizeof(double));
            }
        }
        panel_rows::copy_out(results, r0, n, out);
    }
    return reranked;
}

}  // namespace alvora::stats
