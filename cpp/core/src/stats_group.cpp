#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "alvora/stats/group.hpp"
#include "panel_rows.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Member {
    double value;
    std::uint32_t column;
};

std::string shape_of(std::size_t rows, std::size_t cols) {
    return std::to_string(rows) + " x " + std::to_string(cols);
}

// The members of each group on one row, gathered group after group (a counting
// sort by code keeps each group's members in column order).
struct RowGroups {
    std::vector<std::uint32_t> start;  // group g: members[start[g] .. start[g + 1])
    std::vector<Member> members;
    std::vector<std::uint32_t> fill;

    template <class Code>
    void gather(const double* values, const Code* codes, std::size_t cols, std::size_t ngroups) {
        start.assign(ngroups + 1, 0);
        std::size_t m = 0;
        for (std::size_t c = 0; c < cols; ++c) {
            if (codes[c] >= 0 && std::isfinite(values[c])) {
                ++start[static_cast<std::size_t>(codes[c]) + 1];
                ++m;
            }
        }
        for (std::size_t g = 0; g < ngroups; ++g) start[g + 1] += start[g];
        members.resize(m);
        fill.assign(start.begin(), start.end() - 1);
        for (std::size_t c = 0; c < cols; ++c) {
            if (codes[c] >= 0 && std::isfinite(values[c]))
                members[fill[static_cast<std::size_t>(codes[c])]++] = {
                    values[c], static_cast<std::uint32_t>(c)};
        }
    }
};

// One row demeaned by a sequential per-group tally: each group's finite members
// summed in column order, one plain addition each, then each member less its
// group's mean. Two passes over the row, no members gathered; every entry of
// `out` is written (NaN outside the groups).
struct RowTally {
    std::vector<double> sum, mean;
    std::vector<std::uint32_t> count;

    template <class Code>
    void demean(const double* values, const Code* codes, std::size_t cols, std::size_t ngroups,
                double* out) {
        // Entries outside the groups go to one group more, whose tally is not
        // used: no branch on each entry (missing values scatter unpredictably).
        sum.assign(ngroups + 1, 0.0);
        count.assign(ngroups + 1, 0);
        const auto group = [&](std::size_t c) {
            const bool member = codes[c] >= 0 && std::isfinite(values[c]);
            return member ? static_cast<std::size_t>(codes[c]) : ngroups;
        };
        for (std::size_t c = 0; c < cols; ++c) {
            const std::size_t g = group(c);
            sum[g] += values[c];
            ++count[g];
        }
        mean.resize(ngroups + 1);
        for (std::size_t g = 0; g < ngroups; ++g)
            mean[g] = count[g] == 0 ? 0.0 : sum[g] / static_cast<double>(count[g]);
        mean[ngroups] = kNaN;  // x - NaN: NaN outside the groups
        for (std::size_t c = 0; c < cols; ++c) out[c] = values[c] - mean[group(c)];
    }
};

// Equal values (zeros of both signs included) share the mean of their ranks.
void rank_group(Member* first, Member* last, double* out) {
    std::sort(first, last, [](const Member& a, const Member& b) { return a.value < b.value; });
    const auto n = static_cast<std::size_t>(last - first);
    const auto size = static_cast<double>(n);
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && first[j].value == first[i].value) ++j;
        const double rank = (static_cast<double>(i + j - 1) / 2.0 + 1.0) / size;
        for (std::size_t k = i; k < j; ++k) out[first[k].column] = rank;
        i = j;
    }
}

template <class Code>
void grouped(GroupStatistic op, PanelView<const double> values, PanelView<const Code> codes,
             PanelView<double> out) {
    if (codes.rows != values.rows || codes.cols != values.cols || out.rows != values.rows ||
        out.cols != values.cols) {
        throw std::invalid_argument(
            "group statistic: values are " + shape_of(values.rows, values.cols) + ", group codes " +
            shape_of(codes.rows, codes.cols) + ", output " + shape_of(out.rows, out.cols));
    }
    if (values.cols > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("group statistic: too many instruments");
    std::int64_t largest = -1;
    for (std::size_t r = 0; r < codes.rows; ++r) {
        Code row_largest = -1;
        if (codes.col_stride == 1) {  // a row-major row (industry grids): a vector at a time
            const Code* row = &codes.at(r, 0);
            for (std::size_t c = 0; c < codes.cols; ++c)
                row_largest = std::max(row_largest, row[c]);
        } else {
            for (std::size_t c = 0; c < codes.cols; ++c)
                row_largest = std::max(row_largest, codes.at(r, c));
        }
        largest = std::max<std::int64_t>(largest, row_largest);
    }
    if (largest > kMaxGroupCode) {
        throw std::invalid_argument("group statistic: group code " + std::to_string(largest) +
                                    " is above the largest accepted, " +
                                    std::to_string(kMaxGroupCode));
    }
    const auto ngroups = static_cast<std::size_t>(largest + 1);
    const std::size_t cols = values.cols;
    const std::size_t chunk = panel_rows::chunk_rows(values.rows, cols);
    double* rows = panel_rows::kept_buffer<double, 0>(chunk * cols);
    double* results = panel_rows::kept_buffer<double, 1>(chunk * cols);
    Code* row_codes = panel_rows::kept_buffer<Code, 0>(chunk * cols);
    RowGroups row;
    RowTally tally;
    const std::size_t skipped = panel_rows::leading_nan_rows(values);
    panel_rows::ChunkWriter writer(out);
    writer.nan_rows(skipped);
    for (std::size_t r0 = skipped; r0 < values.rows; r0 += chunk) {
        const std::size_t n = std::min(chunk, values.rows - r0);
        if (ngroups == 0 || op != GroupStatistic::Demean)  // a demeaned row is written whole
            std::fill(results, results + n * cols, kNaN);
        if (ngroups > 0) {
            panel_rows::copy_in(values, r0, n, rows);
            panel_rows::copy_in(codes, r0, n, row_codes);
        }
        for (std::size_t t = 0; t < n && ngroups > 0; ++t) {
            double* result = results + t * cols;
            if (op == GroupStatistic::Demean) {
                tally.demean(rows + t * cols, row_codes + t * cols, cols, ngroups, result);
                continue;
            }
            row.gather(rows + t * cols, row_codes + t * cols, cols, ngroups);
            for (std::size_t g = 0; g < ngroups; ++g) {
                Member* first = row.members.data() + row.start[g];
                Member* last = row.members.data() + row.start[g + 1];
                if (first != last) rank_group(first, last, result);
            }
        }
        writer.rows(results, r0, n);
    }
}

}  // namespace

void group_cross_section(GroupStatistic op, PanelView<const double> values,
                         PanelView<const std::int16_t> codes, PanelView<double> out) {
    grouped(op, values, codes, out);
}

void group_cross_section(GroupStatistic op, PanelView<const double> values,
                         PanelView<const std::int64_t> codes, PanelView<double> out) {
    grouped(op, values, codes, out);
}

}  // namespace alvora::stats
