// Cross-sectional ranks and quantile labels: average ranks, and a row's
// cross-sectional rank at the case's instruction-set level, against counting
// (1 + smaller + (equal - 1) / 2), the radix order against a stable sort, and
// the labels of a row against ranking by hand and binning with group_of_rank,
// whose bins must be monotone, cover 0 .. groups - 1 and be balanced.
#include <cstdint>
#include <numeric>

#include "alvora/portfolio/quantile_labels.hpp"
#include "alvora/stats/cross_section.hpp"
#include "alvora/stats/ranks.hpp"
#include "fuzz_support.hpp"

namespace st = alvora::stats;
namespace pf = alvora::portfolio;

namespace {

[[noreturn]] void fail(const char* what, std::size_t i) {
    std::fprintf(stderr, "%s: wrong at entry %zu\n", what, i);
    std::abort();
}

void check_ranks(const std::vector<double>& v) {
    std::vector<double> finite;
    for (double x : v)
        if (!std::isnan(x)) finite.push_back(x);
    std::vector<double> ranks(finite.size());
    std::vector<std::uint32_t> order;
    st::average_ranks(finite, ranks, order);
    for (std::size_t i = 0; i < finite.size(); ++i) {
        double less = 0, equal = 0;
        for (double y : finite) less += y < finite[i], equal += y == finite[i];
        if (ranks[i] != 1.0 + less + (equal - 1.0) / 2.0) fail("average_ranks", i);
    }
    // radix order: the non-NaN indices by value, ties by index
    std::vector<std::uint64_t> keys;
    st::sorted_order(v, order, keys);
    std::vector<std::uint32_t> want;
    for (std::uint32_t i = 0; i < v.size(); ++i)
        if (!std::isnan(v[i])) want.push_back(i);
    // equal values, -0.0 and +0.0 included, keep their index order
    std::stable_sort(want.begin(), want.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return v[a] < v[b]; });
    if (order.size() != want.size()) fail("sorted_order size", order.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        if (order[i] != want[i]) {
            std::fprintf(stderr, "sorted_order gave index %u (%.17g), expected %u (%.17g)\n",
                         order[i], v[order[i]], want[i], v[want[i]]);
            fail("sorted_order", i);
        }
}

// The row as a panel of one date; the rank is over the non-NaN entries, / their number.
void check_cross_section(const std::vector<double>& v) {
    std::vector<double> out(v.size());
    st::cross_section(st::CrossSection::Rank, {v.data(), 1, v.size(), 1, 1},
                      {out.data(), 1, v.size(), 1, 1});
    double count = 0;
    for (double x : v) count += !std::isnan(x);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (std::isnan(v[i])) {
            if (!std::isnan(out[i])) fail("cross-section rank of NaN", i);
            continue;
        }
        double less = 0, equal = 0;
        for (double y : v) less += y < v[i], equal += y == v[i];
        if (out[i] != 0.5 * (2.0 * less + 1.0 + equal) / count) fail("cross-section rank", i);
    }
}

void check_bins(std::size_t count, int groups) {
    const auto g = pf::group_of_rank(count, groups);
    if (g.size() != count) fail("group_of_rank size", count);
    if (count == 0) return;
    if (g.front() != 0) fail("group_of_rank first", count);
    if (count >= static_cast<std::size_t>(groups) && g.back() != groups - 1)
        fail("group_of_rank last", count);
    std::vector<std::size_t> sizes(groups);
    for (std::size_t r = 0; r < count; ++r) {
        if (g[r] < 0 || g[r] >= groups) fail("group_of_rank range", r);
        if (r > 0 && g[r] < g[r - 1]) fail("group_of_rank monotone", r);
        ++sizes[g[r]];
    }
    // Bins are cut at interpolated rank quantiles, right-closed: the first bin
    // also holds its left edge, and edges that fall on whole ranks shift one
    // rank over, so a group may be up to two ranks away from an even share
    // (7 ranks in 6 groups give 1 1 2 0 2 1).
    if (count >= static_cast<std::size_t>(groups)) {
        const double even = double(count) / groups;
        for (int k = 0; k < groups; ++k)
            if (std::fabs(double(sizes[k]) - even) >= 2.0) fail("group_of_rank balance", k);
    }
}

void check_labels(const std::vector<double>& v, int groups, bool ascending) {
    std::vector<std::int32_t> out(v.size());
    pf::label_row(v, groups, ascending, out);
    std::vector<std::uint32_t> idx;
    for (std::uint32_t i = 0; i < v.size(); ++i)
        if (!std::isnan(v[i])) idx.push_back(i);
    std::stable_sort(idx.begin(), idx.end(), [&](std::uint32_t a, std::uint32_t b) {
        return ascending ? v[a] < v[b] : v[a] > v[b];
    });
    std::vector<std::int32_t> want(v.size(), pf::kNoLabel);
    if (!idx.empty()) {
        const auto g = pf::group_of_rank(idx.size(), groups);
        for (std::size_t r = 0; r < idx.size(); ++r) want[idx[r]] = g[r];
    }
    for (std::size_t i = 0; i < v.size(); ++i)
        if (out[i] != want[i]) fail("label_row", i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int groups = in.ConsumeIntegralInRange<int>(1, 40);
    const bool ascending = in.ConsumeBool();
    fuzz::Case c;
    fuzz::read_case(in, false, c);
    check_cross_section(c.a);  // fine values: buckets of one or two
    // Coarse values make ties; a zero of either sign now and then.
    for (std::size_t i = 0; i < c.a.size(); ++i) {
        double& x = c.a[i];
        if (!std::isfinite(x)) continue;
        x = std::round(x / 8.0);
        if (x == 0.0 && (i & 1)) x = -0.0;
    }
    check_ranks(c.a);
    check_cross_section(c.a);
    check_bins(c.a.size(), groups);
    check_labels(c.a, groups, ascending);
    return 0;
}
