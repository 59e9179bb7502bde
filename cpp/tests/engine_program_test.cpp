#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "alvora/engine/program.hpp"

namespace {

using alvora::engine::Input;
using alvora::engine::Kind;
using alvora::engine::Op;
using alvora::engine::Operand;
using alvora::engine::Program;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// 6 dates x 2 instruments, column-major; instrument 1 is suspended on rows 1 and 2.
const std::vector<double> kPrices{1, 2, 3, 4, 5, 6, 10, kNaN, kNaN, 13, 14, 15};
const std::vector<std::int64_t> kAll{0, 1, 2, 3, 4, 5};
const std::vector<std::int64_t> kGapped{0, 3, 4, 5};

struct PanelRun {
    std::vector<double> grid = std::vector<double>(12, kNaN);
    void operator()(const Program& p, int result, std::size_t skip,
                    std::vector<std::int64_t> a = kAll, std::vector<std::int64_t> b = kGapped) {
        Input in{kPrices.data(), 6, 2, {0, 1}};
        std::vector<std::span<const std::int64_t>> pos{a, b};
        p.run(result, std::span<const Input>(&in, 1), pos, skip, grid, 6);
    }
};

void expect_grid(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << "cell " << i << " = " << got[i];
        else
            EXPECT_DOUBLE_EQ(got[i], want[i]) << "cell " << i;
    }
}

TEST(EngineProgram, WindowsRunOverValidRowsAndLandRightAligned) {
    // ma(x, 3) * -1 + 0.5
    Program p;
    int x = *p.load(0);
    int ma = *p.window(Op::Mean, 3, x);
    int neg =
        *p.elementwise(Op::Multiply, Operand::of_constant(-1, Kind::Int), Operand::of_step(ma));
    int out =
        *p.elementwise(Op::Add, Operand::of_step(neg), Operand::of_constant(0.5, Kind::Float));
    EXPECT_EQ(p.shift(out), 2u);
    PanelRun run;
    run(p, out, 2);
    // instrument 1's windows skip its suspension: {10, 13, 14} and {13, 14, 15}
    expect_grid(run.grid, {kNaN, kNaN, -1.5, -2.5, -3.5, -4.5,  //
                           kNaN, kNaN, kNaN, kNaN, 0.5 - 37.0 / 3, -13.5});
}

TEST(EngineProgram, AlignedOperandsAndTooShortInstruments) {
    // x[2:] - ts_min(x, 3) with instrument 1 skipped as too short (skip 3)
    Program p;
    int x = *p.load(0);
    int lo = *p.window(Op::Min, 3, x);
    int aligned = *p.drop_oldest(x, 2);
    int out = *p.elementwise(Op::Subtract, Operand::of_step(aligned), Operand::of_step(lo));
    PanelRun run;
    run(p, out, 4);
    expect_grid(run.grid, {kNaN, kNaN, 2, 2, 2, 2, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN});
}

TEST(EngineProgram, RefusesWhatTheArrayLibraryComputesOtherwise) {
    Program p;
    int x = *p.load(0);
    int flag = *p.elementwise(Op::Greater, Operand::of_step(x), Operand::of_constant(2, Kind::Int));
    EXPECT_EQ(p.kind(flag), Kind::Bool);
    EXPECT_FALSE(p.elementwise(Op::Subtract, Operand::of_step(flag), Operand::of_step(flag)));
    EXPECT_FALSE(p.elementwise(Op::Negate, Operand::of_step(flag)));
    EXPECT_FALSE(
        p.elementwise(Op::Add, Operand::of_step(flag), Operand::of_constant(1.5, Kind::Float)));
    int counted = *p.window(Op::Count, 2, flag);
    EXPECT_EQ(p.kind(counted), Kind::Int);
    EXPECT_TRUE(
        p.elementwise(Op::Equal, Operand::of_step(counted), Operand::of_constant(2, Kind::Int)));
    EXPECT_FALSE(p.window(Op::Product, 2, counted));
    int ma = *p.window(Op::Mean, 2, x);
    EXPECT_FALSE(
        p.elementwise(Op::Add, Operand::of_step(x), Operand::of_step(ma)));  // lengths differ
    EXPECT_FALSE(p.window(Op::Mean, 0, x));
}

TEST(EngineProgram, RejectsPositionsOutsideTheGrid) {
    Program p;
    int x = *p.load(0);
    PanelRun run;
    EXPECT_THROW(run(p, x, 0, {0, 6}), std::invalid_argument);
    EXPECT_THROW(run(p, x, 0, {3, 1}), std::invalid_argument);
    EXPECT_THROW(run(p, x, 0, {-1, 0}), std::invalid_argument);
    EXPECT_THROW(run(p, x, 0, kAll, {0, 4, 3, 5}), std::invalid_argument);
    EXPECT_THROW(run(p, x, 0, kAll, {0, 2, 2, 5}), std::invalid_argument);
    EXPECT_THROW(run(p, x, 0, {0, 5, 2}), std::invalid_argument);
    EXPECT_THROW(run(p, *p.window(Op::Sum, 2, x), 0), std::invalid_argument);  // look-back > skip
}

}  // namespace

namespace {

TEST(EngineProgram, ElementwiseProgramsLeaveSuspendedRowsEmpty) {
    // Values on the suspended rows 1 and 2 of instrument 1 must not reach the result.
    const std::vector<double> prices{1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 14, 15};
    Program p;
    int x = *p.load(0);
    int out = *p.elementwise(Op::Multiply, Operand::of_step(x), Operand::of_constant(2, Kind::Int));
    std::vector<double> grid(12, 7.0);  // uninitialised stand-in
    Input in{prices.data(), 6, 2, {0, 1}};
    std::vector<std::span<const std::int64_t>> pos{kAll, kGapped};
    p.run(out, std::span<const Input>(&in, 1), pos, 0, grid, 6, /*fill_rest=*/true);
    expect_grid(grid, {2, 4, 6, 8, 10, 12, 20, kNaN, kNaN, 26, 28, 30});
}

}  // namespace

namespace {

// Several results in one pass equal each result run alone: shared and repeated
// results, different skips (instrument 1 has 4 valid rows: skip 4 leaves it out
// of the third result), an input read with a column stride (the later rows of a
// larger panel) and inputs read both directly and gathered.
TEST(EngineProgram, ManyResultsInOnePassEqualEachRunAlone) {
    Program p;
    int x = *p.load(0);
    int ma = *p.window(Op::Mean, 2, x);
    EXPECT_EQ(*p.window(Op::Mean, 2, x), ma);  // identical steps are merged
    int max = *p.window(Op::Max, 3, x);
    // a sum of series of one length: x without its oldest value beside the window mean
    const auto x_aligned = p.drop_oldest(x, 1);
    ASSERT_TRUE(x_aligned);
    const auto summed = p.elementwise(Op::Add, Operand::of_step(ma), Operand::of_step(*x_aligned));
    ASSERT_TRUE(summed);
    int sum = *summed;
    // a panel of 8 rows whose last 6 are the prices: stride 8, starting at row 2
    std::vector<double> larger(16, -1.0);
    for (std::size_t c = 0; c < 2; ++c)
        for (std::size_t r = 0; r < 6; ++r) larger[c * 8 + 2 + r] = kPrices[c * 6 + r];
    Input in{larger.data() + 2, 6, 2, {0, 1}, 8};
    std::vector<std::span<const std::int64_t>> pos{kAll, kGapped};
    const std::vector<std::pair<int, std::size_t>> wanted{
        {ma, 1}, {sum, 1}, {max, 4}, {x, 0}, {ma, 2}};
    std::vector<std::vector<double>> grids(wanted.size(), std::vector<double>(12, 7.0));
    std::vector<alvora::engine::Target> targets;
    for (std::size_t t = 0; t < wanted.size(); ++t)
        targets.push_back({wanted[t].first, wanted[t].second, grids[t]});
    p.run_many(targets, std::span<const Input>(&in, 1), pos, 6, /*fill_rest=*/true);
    for (std::size_t t = 0; t < wanted.size(); ++t) {
        PanelRun alone;
        alone(p, wanted[t].first, wanted[t].second);
        expect_grid(grids[t], alone.grid);
    }
    expect_grid(grids[2], {kNaN, kNaN, 3, 4, 5, 6, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN});
}

}  // namespace

namespace {

// Valid rows given as row masks run exactly as given as positions: runs that
// cross the eight-byte words the masks are read in, gaps of a word and more, a
// late start, an instrument never valid, and programs that gather valid rows
// (windows) or run over their whole span (elementwise).
TEST(EngineProgram, RowMasksRunAsTheirPositions) {
    const std::size_t rows = 29;
    const std::vector<std::string> patterns{
        "11111111111111111111111111111",  // consecutive
        "11011111111111000000000111101",  // gaps within and across words
        "00000000011111111111111111111",  // a late start on a word boundary
        "00000000000000000000000000000",  // never valid
        "10101010101010101010101010101",  // a run per row
    };
    std::vector<std::vector<std::uint8_t>> mask_bytes;
    std::vector<std::vector<std::int64_t>> position_lists;
    for (const std::string& s : patterns) {
        mask_bytes.emplace_back();
        position_lists.emplace_back();
        for (std::size_t r = 0; r < rows; ++r) {
            mask_bytes.back().push_back(s[r] == '1' ? 1 : 0);
            if (s[r] == '1') position_lists.back().push_back(static_cast<std::int64_t>(r));
        }
    }
    const std::size_t cols = patterns.size();
    std::vector<double> values(rows * cols);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = std::sin(0.7 * k) * 10.0;
    Input in{values.data(), rows, cols, {0, 1, 2, 3, 4}};
    std::vector<alvora::engine::RowMask> masks(mask_bytes.begin(), mask_bytes.end());
    std::vector<std::span<const std::int64_t>> positions(position_lists.begin(),
                                                         position_lists.end());
    Program p;
    int x = *p.load(0);
    int ma = *p.window(Op::Mean, 3, x);
    int doubled =
        *p.elementwise(Op::Multiply, Operand::of_step(x), Operand::of_constant(2, Kind::Int));
    for (const auto& [result, skip] :
         std::vector<std::pair<int, std::size_t>>{{ma, 2}, {ma, 12}, {doubled, 0}, {x, 3}}) {
        std::vector<double> by_mask(rows * cols, 7.0), by_position(rows * cols, 7.0);
        const alvora::engine::Target mt{result, skip, by_mask}, pt{result, skip, by_position};
        p.run_many(std::span(&mt, 1), std::span<const Input>(&in, 1), masks, rows, true);
        p.run_many(std::span(&pt, 1), std::span<const Input>(&in, 1), positions, rows, true);
        for (std::size_t k = 0; k < by_mask.size(); ++k)
            EXPECT_TRUE(by_mask[k] == by_position[k] ||
                        (std::isnan(by_mask[k]) && std::isnan(by_position[k])))
                << "step " << result << " cell " << k;
    }
    masks[1] = std::span(mask_bytes[1]).first(rows - 1);
    std::vector<double> grid(rows * cols);
    const alvora::engine::Target t{x, 0, grid};
    EXPECT_THROW(p.run_many(std::span(&t, 1), std::span<const Input>(&in, 1), masks, rows),
                 std::invalid_argument);
}

}  // namespace

namespace {

// A panel large enough for results stored past the caches, run in one call,
// equals each instrument run alone, bit for bit: elementwise programs joining
// whole columns (full ones, a late start, gaps, not after a column read out of
// order) and programs that cannot (a late start of most rows, lagged steps),
// results shared between targets, read by another step, or skipped.
TEST(EngineProgram, LargePanelsEqualEachInstrumentAlone) {
    const std::size_t rows = 600, cols = 900;
    std::vector<std::vector<double>> panels(3, std::vector<double>(rows * cols));
    for (std::size_t p = 0; p < 3; ++p)
        for (std::size_t k = 0; k < rows * cols; ++k)
            panels[p][k] = k % 97 == p ? (k % 2 ? kNaN : 0.0) : 5.0 + std::sin(0.37 * k + p);
    std::vector<std::vector<std::uint8_t>> mask_bytes(cols, std::vector<std::uint8_t>(rows, 1));
    for (std::size_t i = 0; i < cols; ++i) {
        auto& m = mask_bytes[i];
        if (i % 7 == 3) std::fill(m.begin(), m.begin() + 40, 0);         // listed late
        if (i % 7 == 4) std::fill(m.begin() + 100, m.begin() + 111, 0);  // suspended
        if (i % 7 == 5) std::fill(m.begin(), m.begin() + 500, 0);        // listed very late
        if (i % 11 == 6) std::fill(m.begin() + 590, m.end(), 0);         // delisted
    }
    std::vector<alvora::engine::RowMask> masks(mask_bytes.begin(), mask_bytes.end());
    std::vector<Input> inputs;
    for (std::size_t p = 0; p < 3; ++p) {
        inputs.push_back({panels[p].data(), rows, cols, {}});
        for (std::size_t i = 0; i < cols; ++i) inputs[p].column_of.push_back(i);
    }
    std::swap(inputs[1].column_of[300], inputs[1].column_of[301]);  // out of order

    Program p;
    auto of = [](int step) { return Operand::of_step(step); };
    const int a = *p.load(0), b = *p.load(1), c = *p.load(2);
    const int diff = *p.elementwise(Op::Subtract, of(c), of(a));
    const int ratio = *p.elementwise(
        Op::Divide, of(*p.elementwise(Op::Subtract, of(a), of(b))),
        of(*p.elementwise(Op::Add, of(diff), Operand::of_constant(0.001, Kind::Float))));
    const int scaled = *p.elementwise(Op::Multiply, of(ratio), of(a));
    const int root =
        *p.elementwise(Op::Subtract,
                       of(*p.elementwise(Op::Power, of(*p.elementwise(Op::Multiply, of(a), of(c))),
                                         Operand::of_constant(0.5, Kind::Float))),
                       of(b));
    const int lagged = *p.elementwise(Op::Multiply, of(*p.lagged(Op::Delta, a, 3)),
                                      of(*p.lagged(Op::Delay, b, 3)));
    const int ret = *p.lagged(Op::Returns, c, 1);
    using Wanted = std::vector<std::pair<int, std::size_t>>;
    for (const Wanted& wanted : {Wanted{{ratio, 0}, {ratio, 3}, {scaled, 0}, {root, 0}},
                                 Wanted{{lagged, 3}, {ret, 1}, {ratio, 95}}}) {
        std::vector<std::vector<double>> grids(wanted.size(), std::vector<double>(rows * cols));
        std::vector<alvora::engine::Target> targets;
        for (std::size_t t = 0; t < wanted.size(); ++t)
            targets.push_back({wanted[t].first, wanted[t].second, grids[t]});
        p.run_many(targets, inputs, masks, rows, /*fill_rest=*/true);
        for (std::size_t i = 0; i < cols; ++i) {
            std::vector<Input> alone = inputs;
            for (Input& in : alone) in.column_of = {in.column_of[i]};
            std::vector<std::vector<double>> columns(wanted.size(), std::vector<double>(rows));
            std::vector<alvora::engine::Target> column_targets;
            for (std::size_t t = 0; t < wanted.size(); ++t)
                column_targets.push_back({wanted[t].first, wanted[t].second, columns[t]});
            p.run_many(column_targets, alone, std::span(&masks[i], 1), rows, true);
            for (std::size_t t = 0; t < wanted.size(); ++t)
                for (std::size_t r = 0; r < rows; ++r) {
                    const double got = grids[t][i * rows + r], want = columns[t][r];
                    ASSERT_TRUE(std::isnan(got) ? std::isnan(want)
                                                : std::memcmp(&got, &want, sizeof got) == 0)
                        << "target " << t << " instrument " << i << " row " << r;
                }
        }
    }
}

}  // namespace
