// Statistics across instruments, date by date, over a panel of dates x instruments.
//
// Every operation works row by row (one row = one date) and writes one value per
// entry. NaN entries stay NaN. The rank counts infinities as values; the other
// operations treat infinities as missing, like NaN.
#pragma once

#include <cstddef>
#include <cstdint>

namespace alvora::stats {

// A rows x cols panel addressed with element strides, so that both row-major and
// column-major arrays are read in place.
template <class T>
struct PanelView {
    T* data;
    std::size_t rows;
    std::size_t cols;
    std::size_t row_stride;
    std::size_t col_stride;

    T& at(std::size_t r, std::size_t c) const { return data[r * row_stride + c * col_stride]; }
};

enum class CrossSection {
    Rank,    // average rank among the non-NaN entries divided by their number: (0, 1]
    ZScore,  // (x - mean) / sample std (n - 1); fewer than two values or no dispersion: NaN
    Demean,  // x - mean
    Scale,   // x / sum |x|; a zero sum gives NaN
};

// Writes op(in) into `out`; both panels have the same shape (std::invalid_argument
// otherwise). `in` and `out` may not overlap.
void cross_section(CrossSection op, PanelView<const double> in, PanelView<double> out);

// Percentile ranks over fewer instruments, from ranks over more: `ranks` holds
// ranks (as cross_section's Rank gives them) of values whose instruments have
// valid rows `valid` (nonzero: valid). Rows before `first_row` come out NaN;
// from it on, an instrument keeps its cell once more than `consumed` of its
// valid rows since `first_row` are at or before the cell's row, and a row that
// loses a valued cell is ranked again over the cells kept. Ranks keep the order
// and ties of the values ranked, so this gives the ranks of the values over
// the cells kept. Returns the number of rows ranked again; the panels have
// the same shape (std::invalid_argument otherwise).
std::size_t rank_kept(PanelView<const double> ranks, PanelView<const std::uint8_t> valid,
                      std::size_t first_row, std::size_t consumed, PanelView<double> out);

}  // namespace alvora::stats
