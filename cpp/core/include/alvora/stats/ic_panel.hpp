// Information coefficients over a dates x instruments grid, sorting each date's values
// once: the per-date IC and the IC decay share the per-date orders, and each correlation
// over a subset of instruments is then a linear walk instead of a new sort.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "alvora/stats/correlation.hpp"
#include "alvora/stats/ic.hpp"

namespace alvora::stats {

struct DateOrders;  // alvora/stats/ic_shared.hpp

// Each function below may be given `shared` = date_return_orders(returns, grid): the
// return columns' per-date orders, then not sorted again (rank correlation only).

// Per date of the grid (all grid.n_dates, ascending) and per return column, row-major:
// the correlation of the column with the factor over the instruments where both are
// present on that date; fewer than two give (0, 0).
GroupedIC panel_ic(CorrelationMethod method, std::span<const double> factor,
                   std::span<const std::span<const double>> returns, const RowGrid& grid,
                   std::span<const DateOrders> shared = {});

// Lags 1 .. n_lags - 1 (element d - 1 holds lag d), as ic_decay_lag computes each.
std::vector<DecayLag> panel_ic_decay(CorrelationMethod method, std::span<const double> factor,
                                     std::span<const std::span<const double>> returns,
                                     const RowGrid& grid, std::size_t n_lags,
                                     std::span<const DateOrders> shared = {});

// Both of the above from one walk over the dates, each date's values sorted once.
struct PanelICWithDecay {
    GroupedIC ic;
    std::vector<DecayLag> lags;
};
PanelICWithDecay panel_ic_with_decay(CorrelationMethod method, std::span<const double> factor,
                                     std::span<const std::span<const double>> returns,
                                     const RowGrid& grid, std::size_t n_lags,
                                     std::span<const DateOrders> shared = {});

// The rank-correlation path of the three above: lags 1 .. n_lags - 1, and the per-date
// IC when `with_ic` (else `ic` is left empty).
PanelICWithDecay rank_panel_ic(std::span<const double> factor,
                               std::span<const std::span<const double>> returns,
                               const RowGrid& grid, std::size_t n_lags, bool with_ic,
                               std::span<const DateOrders> shared = {});

}  // namespace alvora::stats
