// Boundary helpers shared by QuantileReturnAnalysis and FactorReturnAnalysis: horizons, numeric
// panels and cumulative levels taken from pandas tables (defined in quantile_panels.cpp).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <span>
#include <vector>

#include "alvora/portfolio/panel.hpp"
#include "common/arrays.hpp"

namespace alvora::study_bench::portfolio_io {

namespace py = pybind11;

// One holding horizon: the caller's object (for messages) and its value in rows.
struct Horizon {
    py::object original;
    std::size_t value;
};

// A C-contiguous float64 copy or view of a table, rows = dates.
struct Panel {
    arrays::F64Array array;
    std::size_t rows = 0;
    std::size_t cols = 0;
    portfolio::PanelView view() const { return {arrays::span_of(array), rows, cols}; }
};

// ValueError with "<name>: expect pd.DataFrame, got <type>" unless `df` is a DataFrame.
void require_frame(const py::object& df, const char* name);

// The horizons of a tuple or list; anything but positive whole numbers is a ValueError.
std::vector<Horizon> parse_horizons(const py::object& periods);

// First occurrence of each horizon value, in order (a repeated horizon gives one column).
std::vector<Horizon> distinct(const std::vector<Horizon>& horizons);

// "P_" followed by the horizon as the caller gave it.
py::str column_name(const Horizon& h);

Panel panel_of(const py::object& frame);

// Cumulative growth levels of the daily return table (a missing return counts as zero, NaN
// before an instrument's first return), on the factor's dates and instruments.
//
// The quantile and factor-return steps of one analysis ask for the same levels, and so do the
// factors of a study run through a shared client (same return table, same axes): the last
// levels made are kept while a StudyScope is open, or while that client lives, and served
// again for the same table object on equal axes. The steps only read them.
Panel levels_on(const py::object& returns, const py::object& index, const py::object& columns);

// Drops levels kept for the scope that just closed (kept-for-a-study levels stay).
void forget_scope_levels();

}  // namespace alvora::study_bench::portfolio_io
