#include "alvora/engine/alignment.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace alvora::engine {

namespace {

void check_same_size(RowMask mask, std::span<double> column) {
    if (mask.size() != column.size()) {
        throw std::invalid_argument("row mask has " + std::to_string(mask.size()) +
                                    " entries but the column has " +
                                    std::to_string(column.size()) + " rows");
    }
}

}  // namespace

std::size_t count_valid(RowMask mask) {
    return static_cast<std::size_t>(
        std::count_if(mask.begin(), mask.end(), [](std::uint8_t m) { return m != 0; }));
}

std::vector<std::int64_t> valid_positions(RowMask mask) {
    std::vector<std::int64_t> positions;
    positions.reserve(count_valid(mask));
    for (std::size_t row = 0; row < mask.size(); ++row) {
        if (mask[row] != 0) positions.push_back(static_cast<std::int64_t>(row));
    }
    return positions;
}

void fill_valid(RowMask mask, double value, std::span<double> column) {
    check_same_size(mask, column);
    for (std::size_t row = 0; row < mask.size(); ++row) {
        if (mask[row] != 0) column[row] = value;
    }
}

void scatter_right_aligned(RowMask mask, std::span<const double> values,
                           std::span<double> column) {
    check_same_size(mask, column);
    const std::size_t valid = count_valid(mask);
    if (values.size() > valid) {
        throw std::invalid_argument(std::to_string(values.size()) +
                                    " values cannot be placed on " + std::to_string(valid) +
                                    " valid rows");
    }
    // Walk the grid backwards from the last row so that no position list is needed.
    std::size_t remaining = values.size();
    for (std::size_t row = mask.size(); row > 0 && remaining > 0; --row) {
        if (mask[row - 1] != 0) column[row - 1] = values[--remaining];
    }
}

}  // namespace alvora::engine
