// Rank IC over a dates x instruments grid. Each correlation ranks two sorted runs through
// masks instead of selecting its instruments first: the factor's run of date t masked by
// the returns present, then the return column's run walked in order, masked by the factor
// present, each entry paired with its factor rank. Ranks are kept doubled (integers), so
// the centred sums are integer sums, exact in any order: the result equals a
// per-selection computation.
#include <cmath>
#include <cstring>
#include <limits>

#include "alvora/stats/ic_panel.hpp"
#include "alvora/stats/ic_shared.hpp"
#include "alvora/stats/rank_pairs.hpp"
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
    std::vector<std::int64_t> y_twice;  // the factor's doubled ranks
    std::vector<std::int64_t> packed;   // the same, packed for walk_pairs

    explicit Scratch(std::size_t n) : y_twice(n, 0), packed(n, 0) {}
};

// The factor's ranks of one date over one mask, made again only when the mask changes:
// the columns of a date, and the lags whose dates have the same instruments complete,
// share them.
template <typename Acc>
struct FactorRanks {
    const std::uint8_t* mask = nullptr;
    Ranked<Acc> ranked;
    double syy = 0.0;
};

template <typename Acc>
void rank_factor(const FactorDate& f, const std::uint8_t* mask, Scratch& s, FactorRanks<Acc>& out) {
    const std::size_t n = f.present.size();
    if (out.mask == mask || (out.mask != nullptr && std::memcmp(out.mask, mask, n) == 0)) {
        out.mask = mask;  // the same bytes: the ranks in s.y_twice still hold
        return;
    }
    out.mask = mask;
    out.ranked = rank_usable<Acc>(f.run.order, f.run.ties, mask, s.y_twice.data());
    out.syy = centred_squares(out.ranked.squares, out.ranked.count);
    // Paired in the walks with the instruments where the factor is present: the x runs
    // hold only instruments of the mask.
    pack_ranks(f.present.data(), s.y_twice.data(), n, out.ranked.count, s.packed.data());
}

// One correlation: the x run over the instruments where the factor is present, against the
// factor ranks made over the mask of x's instruments. The decay needs no p-value.
template <typename Acc, bool kWithPValue>
Correlation rank_ic(const SortedRun& x, const FactorDate& f, const FactorRanks<Acc>& y,
                    const Scratch& s) {
    const std::size_t count = y.ranked.count;
    const PairSums<Acc> sums = walk_pairs<Acc>(x.order, x.ties, s.packed.data(), count);
    if (sums.distinct <= 1 || y.ranked.distinct <= 1)
        return {kNaN, kNaN, CorrelationNote::constant_input};
    const double sxy = static_cast<double>(sums.xy) * 0.25;
    const double sxx = centred_squares(sums.xx_squares, count);
    if constexpr (kWithPValue) return rank_correlation(sxy, sxx, y.syy, count);
    return {rank_coefficient(sxy, sxx, y.syy, count), kNaN, CorrelationNote::none};
}

// Row t of the per-date IC: column k over the instruments where it and the factor are
// present.
template <typename Acc>
void ic_of_date(const FactorDate& f, const DateOrders& now, std::size_t t, Scratch& s,
                FactorRanks<Acc>& y, GroupedIC& ic) {
    const std::size_t n = f.present.size();
    const std::size_t n_columns = now.full.size();
    for (std::size_t k = 0; k < n_columns; ++k) {
        rank_factor(f, now.valid.data() + k * n, s, y);
        if (y.ranked.count < 2) continue;  // (0, 0)
        const Correlation c = rank_ic<Acc, true>(now.full[k], f, y, s);
        ic.notes.add(c.note);
        ic.coefficient[t * n_columns + k] = c.coefficient;
        ic.p_value[t * n_columns + k] = c.p_value;
    }
}

// Lag d of date t: the factor of t against the returns of t + d over the instruments
// where the factor and every return column are present.
template <typename Acc>
void decay_of_date(const FactorDate& f, const DateOrders& ahead, std::size_t t, Scratch& s,
                   FactorRanks<Acc>& y, DecayLag& lag) {
    const std::size_t n_columns = ahead.complete_only.size();
    rank_factor(f, ahead.complete.data(), s, y);
    if (y.ranked.count == 0) return;
    lag.dates.push_back(static_cast<std::int64_t>(t));
    if (y.ranked.count < 2) {
        lag.coefficient.insert(lag.coefficient.end(), n_columns, 0.0);
        return;
    }
    for (std::size_t k = 0; k < n_columns; ++k) {
        const Correlation c = rank_ic<Acc, false>(ahead.complete_only[k], f, y, s);
        lag.notes.add(c.note);
        lag.coefficient.push_back(c.coefficient);
    }
}

template <typename Acc>
void walk_dates(std::span<const double> factor, const RowGrid& grid, std::size_t n_lags,
                bool with_ic, ReturnDates& dates, PanelICWithDecay& out) {
    FactorDate f;
    Scratch s(grid.n_instruments);
    RunScratch scratch;
    for (std::size_t t = 0; t < grid.n_dates; ++t) {
        load_factor(factor, grid, t, f, scratch);
        // Masks of this date's walk stay in place until it ends (the return dates in
        // reach are held at once), so the ranks may follow them by address.
        FactorRanks<Acc> y;
        if (with_ic) ic_of_date<Acc>(f, dates.get(t), t, s, y, out.ic);
        for (std::size_t d = 1; d < n_lags && t + d < grid.n_dates; ++d)
            decay_of_date<Acc>(f, dates.get(t + d), t, s, y, out.lags[d - 1]);
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
    if (grid.n_instruments <= kMostExactRanks)
        walk_dates<std::int64_t>(factor, grid, n_lags, with_ic, dates, out);
    else
        walk_dates<double>(factor, grid, n_lags, with_ic, dates, out);
    return out;
}

}  // namespace alvora::stats
