// Elementwise steps: every instruction-set level gives the baseline's values bit
// for bit, and programs run block by block give what running each step over
// whole series gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "alvora/engine/elementwise.hpp"
#include "alvora/engine/power.hpp"
#include "alvora/engine/program.hpp"
#include "alvora/isa.hpp"

namespace {

namespace en = alvora::engine;
using en::Kind;
using en::Op;
using en::Operand;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Odd lengths reach the loops' tails; zeros of both signs, infinities, NaN,
// tiny and huge values reach every special case.
std::vector<double> values(unsigned seed, std::size_t n = 203) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 3.0);
    const double special[] = {0.0, -0.0, kInf, -kInf, kNaN, 1e-310, -1e300, 1.0, -1.0, 2.0};
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = i % 7 == 3 ? special[(i / 7) % std::size(special)] : noise(gen);
    return x;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& want,
                      const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(same_bits(got[i], want[i]))
            << what << " i=" << i << " got " << got[i] << " baseline " << want[i];
}

// The values of `kernel` at every level the machine runs, checked against the baseline's.
template <class F>
void expect_levels_agree(const std::string& what, std::size_t n, F kernel) {
    std::vector<double> base(n);
    {
        const alvora::ScopedIsa at(alvora::Isa::baseline);
        kernel(base.data());
    }
    for (alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        std::vector<double> out(n);
        kernel(out.data());
        expect_same_bits(out, base, what + " at " + alvora::isa_name(level));
    }
}

const Op kBinary[] = {Op::Add,      Op::Subtract,  Op::Multiply, Op::Divide,       Op::Power,
                      Op::Less,     Op::LessEqual, Op::Greater,  Op::GreaterEqual, Op::Equal,
                      Op::NotEqual, Op::And,       Op::Or,       Op::SignedPower,  Op::FloatDivide,
                      Op::Minimum,  Op::Maximum,   Op::BoolTimes};

TEST(EngineElementwise, EveryLevelGivesTheBaselinesValues) {
    const std::vector<double> a = values(1), b = values(2), c = values(3);
    const std::size_t n = a.size();
    for (Op op : kBinary) {
        const std::string name = "binary op " + std::to_string(static_cast<int>(op));
        expect_levels_agree(name, n, [&](double* out) {
            en::elementwise::binary(op)(a.data(), b.data(), 0, 0, out, n);
        });
        expect_levels_agree(name + " by a number", n, [&](double* out) {
            en::elementwise::binary(op)(a.data(), nullptr, 0, -3.0, out, n);
        });
        expect_levels_agree(name + " of a number", n, [&](double* out) {
            en::elementwise::binary(op)(nullptr, b.data(), 0.5, 0, out, n);
        });
    }
    for (Op op : {Op::Negate, Op::Absolute, Op::Not, Op::FloatAbs, Op::Sign, Op::Log})
        expect_levels_agree("unary op " + std::to_string(static_cast<int>(op)), n,
                            [&](double* out) { en::elementwise::unary(op)(a.data(), out, n); });
    for (double y : {0.5, 2.0, 5.0, -3.0, 16.0, 17.0, 1.7, 0.0, -0.0})
        for (bool signed_power : {false, true})
            expect_levels_agree("power " + std::to_string(y), n, [&](double* out) {
                en::power_by_constant(a.data(), y, out, n, signed_power);
            });
    expect_levels_agree("if_else", n, [&](double* out) {
        en::elementwise::if_else()(c.data(), a.data(), nullptr, 0, 4.0, out, n);
    });
    expect_levels_agree("returns", n - 1,
                        [&](double* out) { en::elementwise::returns()(a.data(), out, n - 1); });
}

TEST(EngineElementwise, BooleanTimesAWholeNumberIsNeverNegativeZero) {
    const std::vector<double> flags{1, 0, 1, 0};
    std::vector<double> out(4);
    en::elementwise::binary(Op::BoolTimes)(flags.data(), nullptr, 0, -1.0, out.data(), 4);
    EXPECT_EQ(out[0], -1.0);
    EXPECT_FALSE(std::signbit(out[1]));  // the integer 0, not -0.0
}

TEST(EngineElementwise, NarrowIntegersOnlyMeetWhatEveryVersionComputesAlike) {
    en::Program p;
    const int x = *p.load(0);
    const int flag =
        *p.elementwise(Op::Less, Operand::of_step(x), Operand::of_constant(3, Kind::Int));
    const int minus =
        *p.elementwise(Op::Multiply, Operand::of_step(flag), Operand::of_constant(-1, Kind::Int));
    EXPECT_EQ(p.kind(minus), Kind::NarrowInt);
    EXPECT_EQ(
        *p.elementwise(Op::Multiply, Operand::of_constant(-1, Kind::Int), Operand::of_step(flag)),
        minus);
    const Operand m = Operand::of_step(minus);
    EXPECT_EQ(p.kind(*p.elementwise(Op::Multiply, m, Operand::of_step(x))), Kind::Float);
    EXPECT_EQ(p.kind(*p.elementwise(Op::Less, m, Operand::of_step(x))), Kind::Bool);
    EXPECT_FALSE(p.elementwise(Op::Multiply, m, Operand::of_constant(0.5, Kind::Float)));
    EXPECT_FALSE(p.elementwise(Op::Add, m, Operand::of_constant(1, Kind::Int)));
    EXPECT_FALSE(p.elementwise(Op::Less, m, Operand::of_constant(0.5, Kind::Float)));
    EXPECT_FALSE(p.elementwise(Op::Add, m, Operand::of_step(flag)));
    EXPECT_FALSE(p.elementwise(Op::Absolute, m));
    EXPECT_FALSE(p.window(Op::Sum, 3, minus));
    EXPECT_FALSE(p.elementwise(Op::Multiply, Operand::of_step(flag),
                               Operand::of_constant(0.5, Kind::Float)));  // not whole
}

// A long gapped column and a full one: a program without window kernels runs
// block by block; the same steps next to a window result run step by step over
// whole series. Both must fill the grid alike.
TEST(EngineElementwise, BlocksGiveWhatWholeSeriesGive) {
    constexpr std::size_t rows = 1500;
    std::vector<double> panel = values(7, 2 * rows), other = values(8, 2 * rows);
    std::vector<std::uint8_t> full(rows, 1), gapped(rows, 1);
    for (std::size_t r = 0; r < rows; r += 97) gapped[r] = gapped[r + 1] = 0;
    en::Program p;
    const int x = *p.load(0), y = *p.load(1);
    const int lagged = *p.lagged(Op::Delta, x, 3);
    const int back = *p.lagged(Op::Delay, y, 3);
    const int ratio =
        *p.float_elementwise(Op::FloatDivide, Operand::of_step(lagged), Operand::of_step(back));
    const int up =
        *p.elementwise(Op::Greater, Operand::of_step(ratio), Operand::of_constant(0, Kind::Int));
    const int chosen = *p.if_else(Operand::of_step(up), Operand::of_step(ratio),
                                  Operand::of_constant(-1.0, Kind::Float));
    const int result =
        *p.lagged(Op::Returns, *p.float_elementwise(Op::FloatAbs, Operand::of_step(chosen)), 1);
    const int window = *p.window(Op::Mean, 5, x);
    std::vector<en::Input> inputs{{panel.data(), rows, 2, {0, 1}}, {other.data(), rows, 2, {0, 1}}};
    const std::vector<en::RowMask> masks{en::RowMask(full), en::RowMask(gapped)};
    const std::size_t skip = p.shift(result);
    std::vector<double> alone(2 * rows), beside(2 * rows), windowed(2 * rows);
    const en::Target one{result, skip, alone};
    p.run_many(std::span<const en::Target>(&one, 1), inputs, masks, rows, true);
    const en::Target two[] = {{result, skip, beside}, {window, skip, windowed}};
    p.run_many(two, inputs, masks, rows, true);
    expect_same_bits(alone, beside, "blocks against whole series");
}

}  // namespace
