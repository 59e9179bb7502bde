// Dollar-neutral portfolios weighted by demeaned factor values.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "alvora/portfolio/panel.hpp"

namespace alvora::portfolio {

// Weights for every row from the previous row's factor values: value minus the row mean, divided
// by the row's sum of absolute deviations (longs total +0.5, shorts -0.5), negated when
// `negate`.  Missing values, row 0 and rows whose deviations sum to 0 give NaN.
std::vector<double> previous_row_weights(PanelView factor, bool negate);

// Daily return of the weighted portfolio averaged over the `period` staggered schedules (NaN on
// rows where no schedule has a value).  Each schedule holds the weights row of its latest
// rebalance s buy-and-hold from the close before s; rows before its first rebalance count as a
// zero return.
std::vector<double> factor_portfolio_returns(PanelView weights, PanelView levels,
                                             std::size_t period);

// The same for several holding periods at once, one series per period, equal bit for bit to
// the calls above: one pass over the rows, the return since each rebalance row computed once
// per row for every schedule rebalanced there.
std::vector<std::vector<double>> factor_portfolio_returns(PanelView weights, PanelView levels,
                                                          std::span<const std::size_t> periods);

}  // namespace alvora::portfolio
