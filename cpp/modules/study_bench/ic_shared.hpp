// While a study of many factors runs (its market-data client says so), the forward-return
// columns' sorted orders made for one factor serve the next one whose table holds the
// same return values over the same rows; outside such a study nothing is kept.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <alvora/stats/ic.hpp>
#include <alvora/stats/ic_shared.hpp>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "study_bench/study_groups.hpp"

namespace alvora::study_bench {

namespace py = pybind11;

// The return columns of one table: the arrays (kept alive) and views of them.
struct ReturnColumns {
    std::vector<py::array_t<double>> arrays;
    std::vector<std::span<const double>> spans;
};

// The market-data client of the study of many factors now running, or None outside one.
py::object study_client();

// The dates x instruments grid of a long table's index (None when a pair occurs twice);
// inside a study of many factors, the grid of the previous factor's table when this one
// holds the same pairs in the same order (the same labels, the same level codes).
std::shared_ptr<const TableGrid> study_grid_of_table(const py::object& index);

// make(), the labels `key` derived from a table's index alone; inside a study, kept with
// the grid of study_grid_of_table and served again (as a shallow copy) for every table
// with the same pairs.
py::object study_index_labels(const py::object& index, const std::string& key,
                              const std::function<py::object()>& make);

// The per-date orders of `returns` over `grid`, or nothing outside a study of many
// factors (or when they would take too much memory). `owner`, when given, is the grid
// `grid` views (from study_grid_of_table). Called with the GIL held; valid until the next
// call.
std::span<const stats::DateOrders> study_date_orders(
    const ReturnColumns& returns, const stats::RowGrid& grid,
    const std::shared_ptr<const TableGrid>& owner = nullptr);

// The orders per group of rows, or nullptr.
const stats::ReturnOrders* study_group_orders(const ReturnColumns& returns,
                                              const stats::GroupedRows& groups);

}  // namespace alvora::study_bench
