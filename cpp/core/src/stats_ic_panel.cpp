// The panel IC and its decay: the rank correlation goes to rank_panel_ic
// (stats_ic_rank_panel.cpp); the linear one selects each date's pairs here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "alvora/stats/ic_panel.hpp"
#include "alvora/stats/ranks.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One date's values of every column (0 = factor, 1.. = returns) by instrument.
struct DateSlice {
    std::int64_t date = -1;
    std::vector<std::vector<double>> values;
};

// The slices of the last few dates, recomputed as the walk over dates moves on.
class DateWindow {
  public:
    DateWindow(std::span<const double> factor, std::span<const std::span<const double>> returns,
               const RowGrid& grid, std::size_t span_of_dates)
        : factor_(factor),
          returns_(returns),
          grid_(grid),
          slices_(std::max<std::size_t>(1, span_of_dates)) {}

    const DateSlice& get(std::size_t date) {
        DateSlice& s = slices_[date % slices_.size()];
        if (s.date != static_cast<std::int64_t>(date)) load(s, date);
        return s;
    }

  private:
    std::span<const double> column(std::size_t c) const {
        return c == 0 ? factor_ : returns_[c - 1];
    }

    void load(DateSlice& s, std::size_t date) {
        const std::size_t n_columns = returns_.size() + 1;
        const std::size_t n = grid_.n_instruments;
        s.values.resize(n_columns);
        for (std::size_t c = 0; c < n_columns; ++c) {
            const std::span<const double> source = column(c);
            std::vector<double>& v = s.values[c];
            v.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::int64_t row = grid_.row(date, i);
                v[i] = row < 0 ? kNaN : source[static_cast<std::size_t>(row)];
            }
        }
        s.date = static_cast<std::int64_t>(date);
    }

    std::span<const double> factor_;
    std::span<const std::span<const double>> returns_;
    const RowGrid& grid_;
    std::vector<DateSlice> slices_;
};

// Scratch shared by the correlations of one walk.
struct Scratch {
    std::vector<std::uint32_t> ids;
    CorrelationWorkspace ws;
};

Correlation pearson_selected(Scratch& s, const std::vector<double>& x,
                             const std::vector<double>& y) {
    s.ws.x.clear();
    s.ws.y.clear();
    for (std::uint32_t id : s.ids) {
        s.ws.x.push_back(x[id]);
        s.ws.y.push_back(y[id]);
    }
    return pearson(s.ws.x, s.ws.y);
}

}  // namespace

namespace {

// The per-date IC of date t (one row of `result`).
void ic_of_date(DateWindow& window, const RowGrid& grid, std::size_t n_columns, std::size_t t,
                Scratch& s, std::vector<std::uint32_t>& chosen, GroupedIC& result) {
    const DateSlice& slice = window.get(t);
    const std::vector<double>& f = slice.values[0];
    for (std::size_t k = 0; k < n_columns; ++k) {
        const std::vector<double>& r = slice.values[k + 1];
        chosen.clear();
        for (std::uint32_t i = 0; i < grid.n_instruments; ++i)
            if (!std::isnan(f[i]) && !std::isnan(r[i])) chosen.push_back(i);
        if (chosen.size() < 2) continue;  // (0, 0)
        s.ids = chosen;
        const Correlation c = pearson_selected(s, r, f);
        result.notes.add(c.note);
        result.coefficient[t * n_columns + k] = c.coefficient;
        result.p_value[t * n_columns + k] = c.p_value;
    }
}

// The decay coefficients of date t at every lag 1 .. n_lags - 1.
void decay_of_date(DateWindow& window, const RowGrid& grid, std::size_t n_columns,
                   std::size_t n_lags, std::size_t t, Scratch& s,
                   std::vector<std::uint32_t>& chosen, std::vector<DecayLag>& lags) {
    for (std::size_t d = 1; d < n_lags && t + d < grid.n_dates; ++d) {
        const DateSlice& ahead = window.get(t + d);
        const DateSlice& now = window.get(t);
        const std::vector<double>& f = now.values[0];
        chosen.clear();
        for (std::uint32_t i = 0; i < grid.n_instruments; ++i) {
            if (std::isnan(f[i])) continue;
            bool complete = true;
            for (std::size_t k = 0; k < n_columns && complete; ++k)
                complete = !std::isnan(ahead.values[k + 1][i]);
            if (complete) chosen.push_back(i);
        }
        if (chosen.empty()) continue;
        DecayLag& lag = lags[d - 1];
        lag.dates.push_back(static_cast<std::int64_t>(t));
        if (chosen.size() < 2) {
            lag.coefficient.insert(lag.coefficient.end(), n_columns, 0.0);
            continue;
        }
        s.ids = chosen;
        for (std::size_t k = 0; k < n_columns; ++k) {
            const Correlation c = pearson_selected(s, ahead.values[k + 1], f);
            lag.notes.add(c.note);
            lag.coefficient.push_back(c.coefficient);
        }
    }
}

GroupedIC empty_ic(const RowGrid& grid, std::size_t n_columns) {
    GroupedIC result;
    result.coefficient.assign(grid.n_dates * n_columns, 0.0);
    result.p_value.assign(grid.n_dates * n_columns, 0.0);
    return result;
}

}  // namespace

GroupedIC panel_ic(CorrelationMethod method, std::span<const double> factor,
                   std::span<const std::span<const double>> returns, const RowGrid& grid,
                   std::span<const DateOrders> shared) {
    if (method == CorrelationMethod::spearman)
        return rank_panel_ic(factor, returns, grid, 1, true, shared).ic;
    GroupedIC result = empty_ic(grid, returns.size());
    DateWindow window(factor, returns, grid, 1);
    Scratch s;
    std::vector<std::uint32_t> chosen;
    for (std::size_t t = 0; t < grid.n_dates; ++t)
        ic_of_date(window, grid, returns.size(), t, s, chosen, result);
    return result;
}

std::vector<DecayLag> panel_ic_decay(CorrelationMethod method, std::span<const double> factor,
                                     std::span<const std::span<const double>> returns,
                                     const RowGrid& grid, std::size_t n_lags,
                                     std::span<const DateOrders> shared) {
    if (method == CorrelationMethod::spearman)
        return rank_panel_ic(factor, returns, grid, n_lags, false, shared).lags;
    std::vector<DecayLag> lags(n_lags > 1 ? n_lags - 1 : 0);
    if (lags.empty()) return lags;
    DateWindow window(factor, returns, grid, n_lags);
    Scratch s;
    std::vector<std::uint32_t> chosen;
    for (std::size_t t = 0; t < grid.n_dates; ++t)
        decay_of_date(window, grid, returns.size(), n_lags, t, s, chosen, lags);
    return lags;
}

PanelICWithDecay panel_ic_with_decay(CorrelationMethod method, std::span<const double> factor,
                                     std::span<const std::span<const double>> returns,
                                     const RowGrid& grid, std::size_t n_lags,
                                     std::span<const DateOrders> shared) {
    if (method == CorrelationMethod::spearman)
        return rank_panel_ic(factor, returns, grid, n_lags, true, shared);
    PanelICWithDecay out{empty_ic(grid, returns.size()),
                         std::vector<DecayLag>(n_lags > 1 ? n_lags - 1 : 0)};
    DateWindow window(factor, returns, grid, std::max<std::size_t>(1, n_lags));
    Scratch ic_scratch, decay_scratch;
    std::vector<std::uint32_t> chosen;
    for (std::size_t t = 0; t < grid.n_dates; ++t) {
        ic_of_date(window, grid, returns.size(), t, ic_scratch, chosen, out.ic);
        if (!out.lags.empty())
            decay_of_date(window, grid, returns.size(), n_lags, t, decay_scratch, chosen, out.lags);
    }
    return out;
}

}  // namespace alvora::stats
