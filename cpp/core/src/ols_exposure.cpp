// Placing long (date, instrument) tables onto the dense exposure grid.
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "alvora/ols/exposure.hpp"

namespace alvora::ols {

namespace {

std::int64_t lookup(std::span<const std::int64_t> map, std::int64_t code, const char* what) {
    if (code < 0) return -1;
    if (static_cast<std::uint64_t>(code) >= map.size())
        throw std::out_of_range(std::string("pair_positions: ") + what + " code " +
                                std::to_string(code) + " out of range");
    return map[static_cast<std::size_t>(code)];
}

void check_position(std::int64_t pos, std::size_t rows) {
    if (static_cast<std::uint64_t>(pos) >= rows)
        throw std::out_of_range("exposure grid row " + std::to_string(pos) + " out of range");
}

}  // namespace

void pair_positions(std::span<const std::int64_t> date_codes,
                    std::span<const std::int64_t> inst_codes,
                    std::span<const std::int64_t> date_map, std::span<const std::int64_t> inst_map,
                    std::size_t dates, std::size_t instruments, std::span<std::int64_t> out) {
    if (inst_codes.size() != date_codes.size() || out.size() != date_codes.size())
        throw std::invalid_argument("pair_positions: code arrays differ in length");
    const auto n_dates = static_cast<std::int64_t>(dates);
    const auto n_inst = static_cast<std::int64_t>(instruments);
    for (std::size_t k = 0; k < date_codes.size(); ++k) {
        const std::int64_t d = lookup(date_map, date_codes[k], "date");
        const std::int64_t i = lookup(inst_map, inst_codes[k], "instrument");
        const bool on_grid = d >= 0 && d < n_dates && i >= 0 && i < n_inst;
        out[k] = on_grid ? d * n_inst + i : -1;
    }
}

std::optional<std::size_t> scatter_rows(std::span<const std::int64_t> positions,
                                        std::span<const double> values, std::size_t q,
                                        std::span<double> table, std::size_t width,
                                        std::size_t offset) {
    if (values.size() != positions.size() * q)
        throw std::invalid_argument("scatter_rows: values do not match positions * q");
    return scatter_rows_strided(positions, values.data(), q, static_cast<std::ptrdiff_t>(q), 1,
                                table, width, offset);
}

std::optional<std::size_t> scatter_rows_strided(std::span<const std::int64_t> positions,
                                                const double* values, std::size_t q,
                                                std::ptrdiff_t row_stride,
                                                std::ptrdiff_t column_stride,
                                                std::span<double> table, std::size_t width,
                                                std::size_t offset) {
    if (offset + q > width || (width > 0 && table.size() % width != 0))
        throw std::invalid_argument("scatter_rows: column range outside the table");
    const std::size_t rows = width > 0 ? table.size() / width : 0;
    std::vector<bool> written(rows, false);
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const std::int64_t pos = positions[k];
        if (pos < 0) continue;
        check_position(pos, rows);
        const auto row = static_cast<std::size_t>(pos);
        if (written[row]) return k;
        written[row] = true;
        const double* source = values + static_cast<std::ptrdiff_t>(k) * row_stride;
        for (std::size_t j = 0; j < q; ++j)
            table[row * width + offset + j] =
                source[static_cast<std::ptrdiff_t>(j) * column_stride];
    }
    return std::nullopt;
}

std::optional<std::size_t> scatter_labels(std::span<const std::int64_t> positions,
                                          std::span<const std::int64_t> labels,
                                          std::span<std::int64_t> table) {
    if (labels.size() != positions.size())
        throw std::invalid_argument("scatter_labels: labels do not match positions");
    std::vector<bool> written(table.size(), false);
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const std::int64_t pos = positions[k];
        if (pos < 0) continue;
        check_position(pos, table.size());
        const auto row = static_cast<std::size_t>(pos);
        if (written[row]) return k;
        written[row] = true;
        table[row] = labels[k];
    }
    return std::nullopt;
}

std::optional<std::size_t> rows_of_cells(std::span<const std::int64_t> positions,
                                         std::span<std::int64_t> cell_rows) {
    std::fill(cell_rows.begin(), cell_rows.end(), -1);
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const std::int64_t pos = positions[k];
        if (pos < 0) continue;
        check_position(pos, cell_rows.size());
        std::int64_t& cell = cell_rows[static_cast<std::size_t>(pos)];
        if (cell >= 0) return k;
        cell = static_cast<std::int64_t>(k);
    }
    return std::nullopt;
}

void fill_dense_rows(std::span<const PlacedColumns> tables, std::size_t instruments,
                     std::size_t width, std::size_t first, std::size_t last, std::span<double> x) {
    if (last < first || x.size() != (last - first) * instruments * width)
        throw std::invalid_argument("fill_dense_rows: buffer does not match the dates");
    std::fill(x.begin(), x.end(), std::numeric_limits<double>::quiet_NaN());
    for (const PlacedColumns& t : tables) {
        if (t.offset + t.q > width)
            throw std::invalid_argument("fill_dense_rows: column range outside the rows");
        // The table row block of each date (a day block for intraday grids), -1 = none.
        std::vector<std::int64_t> bases;
        bases.reserve(last - first);
        for (std::size_t d = first; d < last; ++d) {
            std::int64_t block = static_cast<std::int64_t>(d);
            if (!t.day_of.empty()) {
                if (d >= t.day_of.size())
                    throw std::out_of_range("fill_dense_rows: date outside the day map");
                block = t.day_of[d];
            }
            if (block >= 0 &&
                static_cast<std::size_t>(block) * instruments + instruments > t.cell_rows.size())
                throw std::out_of_range("fill_dense_rows: date outside the placed table");
            bases.push_back(block < 0 ? -1 : block * static_cast<std::int64_t>(instruments));
        }
        // Instrument by instrument across the dates: a long table keeps an instrument's
        // neighbouring dates side by side, so their values share cache lines.
        const std::size_t row_width = instruments * width;
        for (std::size_t i = 0; i < instruments; ++i) {
            double* out = x.data() + i * width + t.offset;
            for (std::size_t k = 0; k < bases.size(); ++k, out += row_width) {
                if (bases[k] < 0) continue;
                const std::int64_t row = t.cell_rows[static_cast<std::size_t>(bases[k]) + i];
                if (row < 0) continue;
                const double* source = t.values + row * t.row_stride;
                for (std::size_t j = 0; j < t.q; ++j)
                    out[j] = source[static_cast<std::ptrdiff_t>(j) * t.column_stride];
            }
        }
    }
}

void copy_day_blocks(std::span<const double> days, std::size_t q,
                     std::span<const std::int64_t> day_of, std::size_t instruments,
                     std::span<double> table, std::size_t width, std::size_t offset) {
    const std::size_t block = instruments * q;
    if (offset + q > width || table.size() != day_of.size() * instruments * width)
        throw std::invalid_argument("copy_day_blocks: table does not match the grid");
    if (block > 0 && days.size() % block != 0)
        throw std::invalid_argument("copy_day_blocks: day table is not whole blocks");
    const std::size_t n_days = block > 0 ? days.size() / block : 0;
    for (std::size_t d = 0; d < day_of.size(); ++d) {
        const std::int64_t src = day_of[d];
        if (src < 0) continue;
        if (static_cast<std::uint64_t>(src) >= n_days)
            throw std::out_of_range("copy_day_blocks: day " + std::to_string(src) +
                                    " out of range");
        const double* from = days.data() + static_cast<std::size_t>(src) * block;
        for (std::size_t i = 0; i < instruments; ++i) {
            double* to = table.data() + (d * instruments + i) * width + offset;
            for (std::size_t j = 0; j < q; ++j) to[j] = from[i * q + j];
        }
    }
}

}  // namespace alvora::ols
