// Rank IC over a dates x instruments grid. Each correlation ranks two sorted runs through
// masks instead of selecting its instruments first: the factor's run of date t masked by
// the returns present, the return column's run masked by the factor present; the centred
// products are then summed over all instruments, weighted 0 or 1. Rank sums are sums of
// multiples of 1/4, exact in any order, so the result equals a per-selection computation.
#include <cmath>
#include <cstring>
#include <limits>

#include "alvora/stats/ic_panel.hpp"
#include "alvora/stats/ic_shared.hpp"
#include "alvora/stats/ranks.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The factor on one date: which instruments hold a value, and its sorted run.
struct FactorDate {
    std::vector<double> values;
    std::vector<std::uint8_t> present;
    SortedRun run;
};

void load_factor(std::span<const double> factor, const RowGrid& grid, std::size_t t, FactorDate& f,
                 RunScratch& scratch) {
    const std::size_t n = grid.n_instruments;
    f.values.resize(n);
    f.present.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t row = grid.row(t, i);
        f.values[i] = row < 0 ? kNaN : factor[static_cast<std::size_t>(row)];
        f.present[i] = std::isnan(f.values[i]) ? 0 : 1;
    }
    sort_run(f.values, f.run, scratch);
}

// Average ranks (1-based) among the entries of `run` with usable[id], written to
// ranks[id]; other entries of the run may get any finite rank. Returns how many were
// ranked; `distinct` counts their distinct values.
std::size_t rank_usable(const SortedRun& run, const std::uint8_t* usable, double* ranks,
                        std::size_t& distinct) {
    std::size_t placed = 0;
    std::size_t tied_away = 0;  // usable entries sharing a value with an earlier one
    std::size_t j = 0;
    auto untied_up_to = [&](std::size_t end) {
        for (; j < end; ++j) {
            const std::uint32_t id = run.order[j];
            placed += usable[id];
            ranks[id] = static_cast<double>(placed);
        }
    };
    for (std::size_t g = 0; g < run.ties.size(); g += 2) {
        untied_up_to(run.ties[g]);
        const std::size_t end = run.ties[g + 1];
        std::size_t count = 0;
        for (std::size_t p = j; p < end; ++p) count += usable[run.order[p]];
        const std::size_t first = placed;
        placed += count;
        const double rank = 0.5 * static_cast<double>(first + 1 + placed);
        for (; j < end; ++j) ranks[run.order[j]] = rank;
        if (count > 1) tied_away += count - 1;
    }
    untied_up_to(run.order.size());
    distinct = placed - tied_away;
    return placed;
}

// Centred sums over the instruments with weight 1 (weights are 0 or 1; ranks finite):
// four interleaved sums, exact (multiples of 1/4), so their order does not matter.
struct RankSums {
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
};

RankSums centred_sums(const double* x, const double* y, const double* weight, std::size_t n,
                      double mean) {
    constexpr std::size_t kLanes = 4;
    double sxy[kLanes] = {}, sxx[kLanes] = {}, syy[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            const double dx = (x[i + l] - mean) * weight[i + l];
            const double dy = (y[i + l] - mean) * weight[i + l];
            sxy[l] += dx * dy;
            sxx[l] += dx * dx;
            syy[l] += dy * dy;
        }
    }
    for (; i < n; ++i) {
        const double dx = (x[i] - mean) * weight[i];
        const double dy = (y[i] - mean) * weight[i];
        sxy[0] += dx * dy;
        sxx[0] += dx * dx;
        syy[0] += dy * dy;
    }
    RankSums s;
    for (std::size_t l = 0; l < kLanes; ++l) {
        s.sxy += sxy[l];
        s.sxx += sxx[l];
        s.syy += syy[l];
    }
    return s;
}

// The return columns' orders of the dates in reach: the shared ones, or those of the
// last few dates, built as the walk moves on.
class ReturnDates {
  public:
    ReturnDates(std::span<const std::span<const double>> returns, const RowGrid& grid,
                std::size_t span_of_dates, std::span<const DateOrders> shared)
        : returns_(returns),
          grid_(grid),
          shared_(shared),
          slots_(shared.empty() ? std::max<std::size_t>(1, span_of_dates) : 0),
          dates_(slots_.size(), -1) {}

    const DateOrders& get(std::size_t date) {
        if (!shared_.empty()) return shared_[date];
        const std::size_t slot = date % slots_.size();
        if (dates_[slot] != static_cast<std::int64_t>(date)) {
            fill_date_orders(returns_, grid_, date, slots_[slot], scratch_);
            dates_[slot] = static_cast<std::int64_t>(date);
        }
        return slots_[slot];
    }

  private:
    std::span<const std::span<const double>> returns_;
    const RowGrid& grid_;
    std::span<const DateOrders> shared_;
    std::vector<DateOrders> slots_;
    std::vector<std::int64_t> dates_;
    RunScratch scratch_;
};

struct Scratch {
    std::vector<double> x_ranks, y_ranks, weight;  // zero-filled: always finite

    explicit Scratch(std::size_t n) : x_ranks(n, 0.0), y_ranks(n, 0.0), weight(n, 0.0) {}

    // weight[i] = 1 where both masks hold.
    void weigh(const std::uint8_t* a, const std::uint8_t* b) {
        for (std::size_t i = 0; i < weight.size(); ++i)
            weight[i] = static_cast<double>(a[i] & b[i]);
    }
};

// One correlation: the factor ranks in s.y_ranks (over `count` instruments, `y_distinct`
// values) against the x run ranked over the instruments where the factor is present.
Correlation rank_ic(const SortedRun& x, const FactorDate& f, std::size_t count,
                    std::size_t y_distinct, Scratch& s) {
    std::size_t x_distinct = 0;
    rank_usable(x, f.present.data(), s.x_ranks.data(), x_distinct);
    if (x_distinct <= 1 || y_distinct <= 1) return {kNaN, kNaN, CorrelationNote::constant_input};
    const double mean = 0.5 * (static_cast<double>(count) + 1.0);
    const RankSums sums =
        centred_sums(s.x_ranks.data(), s.y_ranks.data(), s.weight.data(), s.weight.size(), mean);
    return rank_correlation(sums.sxy, sums.sxx, sums.syy, count);
}

// Row t of the per-date IC: column k over the instruments where it and the factor are
// present.
void ic_of_date(const FactorDate& f, const DateOrders& now, std::size_t t, Scratch& s,
                GroupedIC& ic) {
    const std::size_t n = f.present.size();
    const std::size_t n_columns = now.full.size();
    const std::uint8_t* ranked_for = nullptr;  // the mask the factor ranks were made for
    std::size_t count = 0;
    std::size_t y_distinct = 0;
    for (std::size_t k = 0; k < n_columns; ++k) {
        const std::uint8_t* valid = now.valid.data() + k * n;
        if (ranked_for == nullptr || std::memcmp(ranked_for, valid, n) != 0) {
            count = rank_usable(f.run, valid, s.y_ranks.data(), y_distinct);
            s.weigh(f.present.data(), valid);
            ranked_for = valid;
        }
        if (count < 2) continue;  // (0, 0)
        const Correlation c = rank_ic(now.full[k], f, count, y_distinct, s);
        ic.notes.add(c.note);
        ic.coefficient[t * n_columns + k] = c.coefficient;
        ic.p_value[t * n_columns + k] = c.p_value;
    }
}

// Lag d of date t: the factor of t against the returns of t + d over the instruments
// where the factor and every return column are present.
void decay_of_date(const FactorDate& f, const DateOrders& ahead, std::size_t t, Scratch& s,
                   DecayLag& lag) {
    const std::size_t n_columns = ahead.complete_only.size();
    std::size_t y_distinct = 0;
    const std::size_t count =
        rank_usable(f.run, ahead.complete.data(), s.y_ranks.data(), y_distinct);
    if (count == 0) return;
    lag.dates.push_back(static_cast<std::int64_t>(t));
    if (count < 2) {
        lag.coefficient.insert(lag.coefficient.end(), n_columns, 0.0);
        return;
    }
    s.weigh(f.present.data(), ahead.complete.data());
    for (std::size_t k = 0; k < n_columns; ++k) {
        const Correlation c = rank_ic(ahead.complete_only[k], f, count, y_distinct, s);
        lag.notes.add(c.note);
        lag.coefficient.push_back(c.coefficient);
    }
}

}  // namespace

PanelICWithDecay rank_panel_ic(std::span<const double> factor,
                               std::span<const std::span<const double>> returns,
                               const RowGrid& grid, std::size_t n_lags, bool with_ic,
                               std::span<const DateOrders> shared) {
    const std::size_t n_columns = returns.size();
    PanelICWithDecay out;
    if (with_ic) {
        out.ic.coefficient.assign(grid.n_dates * n_columns, 0.0);
        out.ic.p_value.assign(grid.n_dates * n_columns, 0.0);
    }
    out.lags.resize(n_lags > 1 ? n_lags - 1 : 0);
    if (!with_ic && out.lags.empty()) return out;
    ReturnDates dates(returns, grid, std::max<std::size_t>(1, n_lags), shared);
    FactorDate f;
    Scratch s(grid.n_instruments);
    RunScratch scratch;
    for (std::size_t t = 0; t < grid.n_dates; ++t) {
        load_factor(factor, grid, t, f, scratch);
        if (with_ic) ic_of_date(f, dates.get(t), t, s, out.ic);
        for (std::size_t d = 1; d < n_lags && t + d < grid.n_dates; ++d)
            decay_of_date(f, dates.get(t + d), t, s, out.lags[d - 1]);
    }
    return out;
}

}  // namespace alvora::stats
