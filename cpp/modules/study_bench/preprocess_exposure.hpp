// The exposure panel of Neutralization: every regressor of every
// (date, instrument) pair of the factor frame, on a dense grid.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "alvora/ols/exposure.hpp"
#include "alvora/ols/moments.hpp"

namespace alvora::study_bench::preprocess {

namespace py = pybind11;

// What to gather, in this order: style exposures, industry, user factor tables.
struct ExposureRequest {
    py::object index;    // the factor frame's DatetimeIndex (unique)
    py::object columns;  // its instruments (unique)
    bool style = false;
    py::object style_factors;  // None = every style factor
    py::object industry;       // source name, or None when off
    py::list other;            // user tables, possibly empty
};

// A fetched long table kept as it is, with the table row of every grid cell.
struct PlacedTable {
    py::array values;                     // owns the buffer `columns` reads
    py::array_t<std::int64_t> cell_rows;  // owns columns.cell_rows
    py::array day_of;                     // owns columns.day_of (intraday style only)
    ols::PlacedColumns columns;
};

struct ExposureGrid {
    std::size_t dates = 0;
    std::size_t instruments = 0;
    // Dense regressors, style first then the user columns: width per (date, instrument)
    // row, NaN where a pair has no value; produced a few dates at a time by fill().
    std::size_t width = 0;
    std::size_t style_width = 0;
    std::vector<PlacedTable> tables;
    py::list style_names;
    py::list other_names;
    // Industry label of each pair (-1 = none), dates*instruments; empty when off.
    bool has_industry = false;
    py::array_t<std::int64_t> industry;
    py::list industry_names;  // label -> industry name, sorted

    // While a study of many factors reuses the grid: every date's dense rows, made once
    // (empty when not kept).
    std::shared_ptr<const std::vector<double>> dense;
    // ... and every date's design moments, made by the first factor's fit (empty when not
    // kept).
    std::shared_ptr<std::vector<ols::DesignMoments>> moments;

    // Dense rows of dates [first, last) into x ((last - first) * instruments * width).
    // Needs no GIL.
    void fill(std::size_t first, std::size_t last, std::span<double> x) const;
};

ExposureGrid build_exposures(const ExposureRequest& request);

}  // namespace alvora::study_bench::preprocess
