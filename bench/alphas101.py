"""Alphas of "101 Formulaic Alphas" (Kakushadze, 2016), written once over an
operator namespace and run two ways:

- ``AlvoraOps``: the namespace builds alvora factor nodes (executed by
  ``alvora.evaluate.execute_factors``);
- ``PandasOps``: the namespace computes on pandas wide frames (dates x
  instruments) with the usual rolling/rank idioms.

Each alpha is the paper's formula transcribed with the paper's conventions:
``rank`` is the cross-sectional percentile rank, ``ts_rank`` the rank of
today's value in its window, ``decay_linear`` the linearly weighted mean,
``scale`` rescales to a unit absolute sum, ``indneutralize`` demeans within the
industry, ``adv{d}`` is the d-day mean volume; fractional windows are floored.

All alphas of the paper but one are here. Left out, and why:
- 56: its ``cap`` term needs the market capitalisation of the paper's universe,
  and the market's stored ``market_cap`` factor is synthetic (not consistent
  with its prices), so the formula would rank noise.

Industry neutralisation: the paper neutralises by sector, industry or
sub-industry; the market data has one level (the first-level industry of a
source), so ``indneutralize`` demeans within that one level of "citics_2019"
for every ``IndClass`` (48, 58, 59, 63, 67, 69, 70, 76, 79, 80, 82, 87, 89, 90,
91, 93, 97, 100). With several levels they would take the level as a second
argument; the values here are the one-level version of the formula.

Where the two sides may part (values are compared where both are finite):
- a window without dispersion has no correlation: NaN on both sides (pandas'
  rolling ``corr`` would give +-inf there, so the pandas side maps it to NaN);
- ``ts_rank``, ``ts_argmax`` and ``ts_argmin`` over a window that holds a NaN
  (an undefined correlation upstream) have a value in alvora's rolling module
  and are NaN in pandas' rolling windows: alphas whose short windows meet such
  NaN often (96, 97) agree on a smaller support;
- a cross-sectional rank of a row that differs in those NaN, or in values
  that tie on one side and not on the other (a two-day correlation is +-1 up
  to rounding: 45; ranks of positions: 98), differs across the row.
"""
import numpy as np
import pandas as pd

MISSING = [56]


def _w(d):
    return max(1, int(np.floor(d)))


# -- the alphas ----------------------------------------------------------------

def a1(o):
    inner = o.where(o.returns < 0, o.stddev(o.returns, 20), o.close)
    return o.rank(o.ts_argmax(o.signedpower(inner, 2.0), 5)) - 0.5


def a2(o):
    return -1 * o.correlation(o.rank(o.delta(o.log(o.volume), 2)),
                              o.rank((o.close - o.open) / o.open), 6)


def a3(o):
    return -1 * o.correlation(o.rank(o.open), o.rank(o.volume), 10)


def a4(o):
    return -1 * o.ts_rank(o.rank(o.low), 9)


def a5(o):
    return o.rank(o.open - o.sum(o.vwap, 10) / 10) * (-1 * o.abs(o.rank(o.close - o.vwap)))


def a6(o):
    return -1 * o.correlation(o.open, o.volume, 10)


def a7(o):
    d7 = o.delta(o.close, 7)
    return o.where(o.adv(20) < o.volume,
                   (-1 * o.ts_rank(o.abs(d7), 60)) * o.sign(d7), -1.0)


def a8(o):
    x = o.sum(o.open, 5) * o.sum(o.returns, 5)
    return -1 * o.rank(x - o.delay(x, 10))


def _a9_body(o, n):
    d1 = o.delta(o.close, 1)
    return o.where(0 < o.ts_min(d1, n), d1,
                   o.where(o.ts_max(d1, n) < 0, d1, -1 * d1))


def a9(o):
    return _a9_body(o, 5)


def a10(o):
    return o.rank(_a9_body(o, 4))


def a11(o):
    return ((o.rank(o.ts_max(o.vwap - o.close, 3)) + o.rank(o.ts_min(o.vwap - o.close, 3)))
            * o.rank(o.delta(o.volume, 3)))


def a12(o):
    return o.sign(o.delta(o.volume, 1)) * (-1 * o.delta(o.close, 1))


def a13(o):
    return -1 * o.rank(o.covariance(o.rank(o.close), o.rank(o.volume), 5))


def a14(o):
    return (-1 * o.rank(o.delta(o.returns, 3))) * o.correlation(o.open, o.volume, 10)


def a15(o):
    return -1 * o.sum(o.rank(o.correlation(o.rank(o.high), o.rank(o.volume), 3)), 3)


def a16(o):
    return -1 * o.rank(o.covariance(o.rank(o.high), o.rank(o.volume), 5))


def a17(o):
    return ((-1 * o.rank(o.ts_rank(o.close, 10))) * o.rank(o.delta(o.delta(o.close, 1), 1))
            * o.rank(o.ts_rank(o.volume / o.adv(20), 5)))


def a18(o):
    return -1 * o.rank(o.stddev(o.abs(o.close - o.open), 5) + (o.close - o.open)
                       + o.correlation(o.close, o.open, 10))


def a19(o):
    return ((-1 * o.sign((o.close - o.delay(o.close, 7)) + o.delta(o.close, 7)))
            * (1 + o.rank(1 + o.sum(o.returns, 250))))


def a20(o):
    return ((-1 * o.rank(o.open - o.delay(o.high, 1))) * o.rank(o.open - o.delay(o.close, 1))
            * o.rank(o.open - o.delay(o.low, 1)))


def a21(o):
    m8, s8, m2 = o.sum(o.close, 8) / 8, o.stddev(o.close, 8), o.sum(o.close, 2) / 2
    ratio = o.volume / o.adv(20)
    return o.where(m8 + s8 < m2, -1.0,
                   o.where(m2 < m8 - s8, 1.0,
                           o.where(o.or_(1 < ratio, o.eq(ratio, 1)),
                                   1.0, -1.0)))


def a22(o):
    return -1 * (o.delta(o.correlation(o.high, o.volume, 5), 5)
                 * o.rank(o.stddev(o.close, 20)))


def a23(o):
    return o.where(o.sum(o.high, 20) / 20 < o.high, -1 * o.delta(o.high, 2), 0.0)


def a24(o):
    x = o.delta(o.sum(o.close, 100) / 100, 100) / o.delay(o.close, 100)
    return o.where(o.or_(x < 0.05, o.eq(x, 0.05)), -1 * (o.close - o.ts_min(o.close, 100)),
                   -1 * o.delta(o.close, 3))


def a25(o):
    return o.rank((((-1 * o.returns) * o.adv(20)) * o.vwap) * (o.high - o.close))


def a26(o):
    return -1 * o.ts_max(o.correlation(o.ts_rank(o.volume, 5), o.ts_rank(o.high, 5), 5), 3)


def a27(o):
    x = o.rank(o.sum(o.correlation(o.rank(o.volume), o.rank(o.vwap), 6), 2) / 2.0)
    return o.where(0.5 < x, -1.0, 1.0)


def a28(o):
    return o.scale((o.correlation(o.adv(20), o.low, 5) + (o.high + o.low) / 2) - o.close)


def a29(o):
    inner = o.rank(o.rank(-1 * o.rank(o.delta(o.close - 1, 5))))
    nested = o.scale(o.log(o.sum(o.ts_min(inner, 2), 1)))
    return (o.ts_min(o.product(o.rank(o.rank(nested)), 1), 5)
            + o.ts_rank(o.delay(-1 * o.returns, 6), 5))


def a30(o):
    c1, c2, c3 = o.delay(o.close, 1), o.delay(o.close, 2), o.delay(o.close, 3)
    s = o.sign(o.close - c1) + o.sign(c1 - c2) + o.sign(c2 - c3)
    return ((1.0 - o.rank(s)) * o.sum(o.volume, 5)) / o.sum(o.volume, 20)


def a31(o):
    return (o.rank(o.rank(o.rank(o.decay_linear(-1 * o.rank(o.rank(o.delta(o.close, 10))), 10))))
            + o.rank(-1 * o.delta(o.close, 3))
            + o.sign(o.scale(o.correlation(o.adv(20), o.low, 12))))


def a32(o):
    return (o.scale(o.sum(o.close, 7) / 7 - o.close)
            + 20 * o.scale(o.correlation(o.vwap, o.delay(o.close, 5), 230)))


def a33(o):
    return o.rank(-1 * ((1 - (o.open / o.close)) ** 1))


def a34(o):
    return o.rank((1 - o.rank(o.stddev(o.returns, 2) / o.stddev(o.returns, 5)))
                  + (1 - o.rank(o.delta(o.close, 1))))


def a35(o):
    return ((o.ts_rank(o.volume, 32) * (1 - o.ts_rank((o.close + o.high) - o.low, 16)))
            * (1 - o.ts_rank(o.returns, 32)))


def a36(o):
    return ((((2.21 * o.rank(o.correlation(o.close - o.open, o.delay(o.volume, 1), 15)))
              + (0.7 * o.rank(o.open - o.close)))
             + (0.73 * o.rank(o.ts_rank(o.delay(-1 * o.returns, 6), 5))))
            + o.rank(o.abs(o.correlation(o.vwap, o.adv(20), 6)))
            + (0.6 * o.rank(((o.sum(o.close, 200) / 200) - o.open) * (o.close - o.open))))


def a37(o):
    return (o.rank(o.correlation(o.delay(o.open - o.close, 1), o.close, 200))
            + o.rank(o.open - o.close))


def a38(o):
    return (-1 * o.rank(o.ts_rank(o.close, 10))) * o.rank(o.close / o.open)


def a39(o):
    return ((-1 * o.rank(o.delta(o.close, 7)
                         * (1 - o.rank(o.decay_linear(o.volume / o.adv(20), 9)))))
            * (1 + o.rank(o.sum(o.returns, 250))))


def a40(o):
    return (-1 * o.rank(o.stddev(o.high, 10))) * o.correlation(o.high, o.volume, 10)


def a41(o):
    return ((o.high * o.low) ** 0.5) - o.vwap


def a42(o):
    return o.rank(o.vwap - o.close) / o.rank(o.vwap + o.close)


def a43(o):
    return o.ts_rank(o.volume / o.adv(20), 20) * o.ts_rank(-1 * o.delta(o.close, 7), 8)


def a44(o):
    return -1 * o.correlation(o.high, o.rank(o.volume), 5)


def a45(o):
    return -1 * ((o.rank(o.sum(o.delay(o.close, 5), 20) / 20)
                  * o.correlation(o.close, o.volume, 2))
                 * o.rank(o.correlation(o.sum(o.close, 5), o.sum(o.close, 20), 2)))


def _trend(o):
    return ((o.delay(o.close, 20) - o.delay(o.close, 10)) / 10
            - (o.delay(o.close, 10) - o.close) / 10)


def a46(o):
    t = _trend(o)
    return o.where(0.25 < t, -1.0,
                   o.where(t < 0, 1.0, (-1 * 1) * (o.close - o.delay(o.close, 1))))


def a47(o):
    return ((((o.rank(1 / o.close) * o.volume) / o.adv(20))
             * ((o.high * o.rank(o.high - o.close)) / (o.sum(o.high, 5) / 5)))
            - o.rank(o.vwap - o.delay(o.vwap, 5)))


def a48(o):
    d1 = o.delta(o.close, 1)
    return (o.indneutralize((o.correlation(d1, o.delta(o.delay(o.close, 1), 1), 250) * d1)
                            / o.close)
            / o.sum((d1 / o.delay(o.close, 1)) ** 2, 250))


def a49(o):
    return o.where(_trend(o) < -1 * 0.1, 1.0, (-1 * 1) * (o.close - o.delay(o.close, 1)))


def a50(o):
    return -1 * o.ts_max(o.rank(o.correlation(o.rank(o.volume), o.rank(o.vwap), 5)), 5)


def a51(o):
    return o.where(_trend(o) < -1 * 0.05, 1.0, (-1 * 1) * (o.close - o.delay(o.close, 1)))


def a52(o):
    return ((((-1 * o.ts_min(o.low, 5)) + o.delay(o.ts_min(o.low, 5), 5))
             * o.rank((o.sum(o.returns, 240) - o.sum(o.returns, 20)) / 220))
            * o.ts_rank(o.volume, 5))


def a53(o):
    return -1 * o.delta(((o.close - o.low) - (o.high - o.close)) / (o.close - o.low), 9)


def a54(o):
    return (-1 * ((o.low - o.close) * (o.open ** 5))) / ((o.low - o.high) * (o.close ** 5))


def a55(o):
    lo, hi = o.ts_min(o.low, 12), o.ts_max(o.high, 12)
    return -1 * o.correlation(o.rank((o.close - lo) / (hi - lo)), o.rank(o.volume), 6)


def a57(o):
    return 0 - (1 * ((o.close - o.vwap)
                     / o.decay_linear(o.rank(o.ts_argmax(o.close, 30)), 2)))


def a58(o):
    return -1 * o.ts_rank(o.decay_linear(o.correlation(o.indneutralize(o.vwap), o.volume,
                                                       3.92795), 7.89291), 5.50322)


def a59(o):
    mix = (o.vwap * 0.728317) + (o.vwap * (1 - 0.728317))
    return -1 * o.ts_rank(o.decay_linear(o.correlation(o.indneutralize(mix), o.volume, 4.25197),
                                         16.2289), 8.19648)


def a60(o):
    x = (((o.close - o.low) - (o.high - o.close)) / (o.high - o.low)) * o.volume
    return 0 - (1 * ((2 * o.scale(o.rank(x))) - o.scale(o.rank(o.ts_argmax(o.close, 10)))))


def a61(o):
    return o.rank(o.vwap - o.ts_min(o.vwap, 16.1219)) < o.rank(o.correlation(o.vwap, o.adv(180),
                                                                             17.9282))


def a62(o):
    right = o.rank((o.rank(o.open) + o.rank(o.open))
                   < (o.rank((o.high + o.low) / 2) + o.rank(o.high)))
    return (o.rank(o.correlation(o.vwap, o.sum(o.adv(20), 22.4101), 9.91009)) < right) * -1


def a63(o):
    w = 0.318108
    return (o.rank(o.decay_linear(o.delta(o.indneutralize(o.close), 2.25164), 8.22237))
            - o.rank(o.decay_linear(o.correlation((o.vwap * w) + (o.open * (1 - w)),
                                                  o.sum(o.adv(180), 37.2467), 13.557),
                                    12.2883))) * -1


def a64(o):
    w = 0.178404
    left = o.correlation(o.sum((o.open * w) + (o.low * (1 - w)), 12.7054),
                         o.sum(o.adv(120), 12.7054), 16.6208)
    right = o.delta((((o.high + o.low) / 2) * w) + (o.vwap * (1 - w)), 3.69741)
    return (o.rank(left) < o.rank(right)) * -1


def a65(o):
    w = 0.00817205
    left = o.correlation((o.open * w) + (o.vwap * (1 - w)), o.sum(o.adv(60), 8.6911), 6.40374)
    return (o.rank(left) < o.rank(o.open - o.ts_min(o.open, 13.635))) * -1


def a66(o):
    x = (((o.low * 0.96633) + (o.low * (1 - 0.96633))) - o.vwap) / (o.open - (o.high + o.low) / 2)
    return (o.rank(o.decay_linear(o.delta(o.vwap, 3.51013), 7.23052))
            + o.ts_rank(o.decay_linear(x, 11.4157), 6.72611)) * -1


def a67(o):
    return (o.rank(o.high - o.ts_min(o.high, 2.14593))
            ** o.rank(o.correlation(o.indneutralize(o.vwap), o.indneutralize(o.adv(20)),
                                    6.02936))) * -1


def a68(o):
    return (o.ts_rank(o.correlation(o.rank(o.high), o.rank(o.adv(15)), 8.91644), 13.9333)
            < o.rank(o.delta((o.close * 0.518371) + (o.low * (1 - 0.518371)), 1.06157))) * -1


def a69(o):
    return (o.rank(o.ts_max(o.delta(o.indneutralize(o.vwap), 2.72412), 4.79344))
            ** o.ts_rank(o.correlation((o.close * 0.490655) + (o.vwap * (1 - 0.490655)),
                                       o.adv(20), 4.92416), 9.0615)) * -1


def a70(o):
    return (o.rank(o.delta(o.vwap, 1.29456))
            ** o.ts_rank(o.correlation(o.indneutralize(o.close), o.adv(50), 17.8256),
                         17.9171)) * -1


def a71(o):
    first = o.ts_rank(o.decay_linear(o.correlation(o.ts_rank(o.close, 3.43976),
                                                   o.ts_rank(o.adv(180), 12.0647), 18.0175),
                                     4.20501), 15.6948)
    second = o.ts_rank(o.decay_linear(o.rank((o.low + o.open) - (o.vwap + o.vwap)) ** 2,
                                      16.4662), 4.4388)
    return o.max(first, second)


def a72(o):
    return (o.rank(o.decay_linear(o.correlation((o.high + o.low) / 2, o.adv(40), 8.93345),
                                  10.1519))
            / o.rank(o.decay_linear(o.correlation(o.ts_rank(o.vwap, 3.72469),
                                                  o.ts_rank(o.volume, 18.5188), 6.86671),
                                    2.95011)))


def a73(o):
    w = 0.147155
    mix = (o.open * w) + (o.low * (1 - w))
    return o.max(o.rank(o.decay_linear(o.delta(o.vwap, 4.72775), 2.91864)),
                 o.ts_rank(o.decay_linear((o.delta(mix, 2.03608) / mix) * -1, 3.33829),
                           16.7411)) * -1


def a74(o):
    w = 0.0261661
    left = o.rank(o.correlation(o.close, o.sum(o.adv(30), 37.4843), 15.1365))
    right = o.rank(o.correlation(o.rank((o.high * w) + (o.vwap * (1 - w))), o.rank(o.volume),
                                 11.4791))
    return (left < right) * -1


def a75(o):
    return (o.rank(o.correlation(o.vwap, o.volume, 4.24304))
            < o.rank(o.correlation(o.rank(o.low), o.rank(o.adv(50)), 12.4413)))


def a76(o):
    return o.max(o.rank(o.decay_linear(o.delta(o.vwap, 1.24383), 11.8259)),
                 o.ts_rank(o.decay_linear(o.ts_rank(o.correlation(o.indneutralize(o.low),
                                                                  o.adv(81), 8.14941),
                                                    19.569), 17.1543), 19.383)) * -1


def a77(o):
    return o.min(o.rank(o.decay_linear((((o.high + o.low) / 2) + o.high) - (o.vwap + o.high),
                                       20.0451)),
                 o.rank(o.decay_linear(o.correlation((o.high + o.low) / 2, o.adv(40), 3.1614),
                                       5.64125)))


def a78(o):
    w = 0.352233
    base = o.rank(o.correlation(o.sum((o.low * w) + (o.vwap * (1 - w)), 19.7428),
                                o.sum(o.adv(40), 19.7428), 6.83313))
    return base ** o.rank(o.correlation(o.rank(o.vwap), o.rank(o.volume), 5.77492))


def a79(o):
    w = 0.60733
    return (o.rank(o.delta(o.indneutralize((o.close * w) + (o.open * (1 - w))), 1.23438))
            < o.rank(o.correlation(o.ts_rank(o.vwap, 3.60973), o.ts_rank(o.adv(150), 9.18637),
                                   14.6644)))


def a80(o):
    mix = (o.open * 0.868128) + (o.high * (1 - 0.868128))
    return (o.rank(o.sign(o.delta(o.indneutralize(mix), 4.04545)))
            ** o.ts_rank(o.correlation(o.high, o.adv(10), 5.11456), 5.53756)) * -1


def a81(o):
    inner = o.rank(o.rank(o.correlation(o.vwap, o.sum(o.adv(10), 49.6054), 8.47743)) ** 4)
    return (o.rank(o.log(o.product(inner, 14.9655)))
            < o.rank(o.correlation(o.rank(o.vwap), o.rank(o.volume), 5.07914))) * -1


def a82(o):
    return o.min(o.rank(o.decay_linear(o.delta(o.open, 1.46063), 14.8717)),
                 o.ts_rank(o.decay_linear(o.correlation(o.indneutralize(o.volume),
                                                        (o.open * 0.634196)
                                                        + (o.open * (1 - 0.634196)), 17.4842),
                                          6.92131), 13.4283)) * -1


def a83(o):
    spread = (o.high - o.low) / (o.sum(o.close, 5) / 5)
    return ((o.rank(o.delay(spread, 2)) * o.rank(o.rank(o.volume)))
            / (spread / (o.vwap - o.close)))


def a84(o):
    return o.signedpower(o.ts_rank(o.vwap - o.ts_max(o.vwap, 15.3217), 20.7127),
                         o.delta(o.close, 4.96796))


def a85(o):
    w = 0.876703
    base = o.rank(o.correlation((o.high * w) + (o.close * (1 - w)), o.adv(30), 9.61331))
    return base ** o.rank(o.correlation(o.ts_rank((o.high + o.low) / 2, 3.70596),
                                        o.ts_rank(o.volume, 10.1595), 7.11408))


def a86(o):
    return (o.ts_rank(o.correlation(o.close, o.sum(o.adv(20), 14.7444), 6.00049), 20.4195)
            < o.rank((o.open + o.close) - (o.vwap + o.open))) * -1


def a87(o):
    w = 0.369701
    first = o.rank(o.decay_linear(o.delta((o.close * w) + (o.vwap * (1 - w)), 1.91233),
                                  2.65461))
    second = o.ts_rank(o.decay_linear(o.abs(o.correlation(o.indneutralize(o.adv(81)), o.close,
                                                          13.4132)), 4.89768), 14.4535)
    return o.max(first, second) * -1


def a88(o):
    first = o.rank(o.decay_linear((o.rank(o.open) + o.rank(o.low))
                                  - (o.rank(o.high) + o.rank(o.close)), 8.06882))
    second = o.ts_rank(o.decay_linear(o.correlation(o.ts_rank(o.close, 8.44728),
                                                    o.ts_rank(o.adv(60), 20.6966), 8.01266),
                                      6.65053), 2.61957)
    return o.min(first, second)


def a89(o):
    w = 0.967285
    return (o.ts_rank(o.decay_linear(o.correlation((o.low * w) + (o.low * (1 - w)), o.adv(10),
                                                   6.94279), 5.51607), 3.79744)
            - o.ts_rank(o.decay_linear(o.delta(o.indneutralize(o.vwap), 3.48158), 10.1466),
                        15.3012))


def a90(o):
    return (o.rank(o.close - o.ts_max(o.close, 4.66719))
            ** o.ts_rank(o.correlation(o.indneutralize(o.adv(40)), o.low, 5.38375),
                         3.21856)) * -1


def a91(o):
    inner = o.decay_linear(o.correlation(o.indneutralize(o.close), o.volume, 9.74928), 16.398)
    return (o.ts_rank(o.decay_linear(inner, 3.83219), 4.8667)
            - o.rank(o.decay_linear(o.correlation(o.vwap, o.adv(30), 4.01303), 2.6809))) * -1


def a92(o):
    first = o.ts_rank(o.decay_linear((((o.high + o.low) / 2) + o.close) < (o.low + o.open),
                                     14.7221), 18.8683)
    second = o.ts_rank(o.decay_linear(o.correlation(o.rank(o.low), o.rank(o.adv(30)), 7.58555),
                                      6.94024), 6.80584)
    return o.min(first, second)


def a93(o):
    w = 0.524434
    return (o.ts_rank(o.decay_linear(o.correlation(o.indneutralize(o.vwap), o.adv(81), 17.4193),
                                     19.848), 7.54455)
            / o.rank(o.decay_linear(o.delta((o.close * w) + (o.vwap * (1 - w)), 2.77377),
                                    16.2664)))


def a94(o):
    return (o.rank(o.vwap - o.ts_min(o.vwap, 11.5783))
            ** o.ts_rank(o.correlation(o.ts_rank(o.vwap, 19.6462), o.ts_rank(o.adv(60), 4.02992),
                                       18.0926), 2.70756)) * -1


def a95(o):
    mid = (o.high + o.low) / 2
    corr = o.correlation(o.sum(mid, 19.1351), o.sum(o.adv(40), 19.1351), 12.8742)
    return o.rank(o.open - o.ts_min(o.open, 12.4105)) < o.ts_rank(o.rank(corr) ** 5, 11.7584)


def a96(o):
    first = o.ts_rank(o.decay_linear(o.correlation(o.rank(o.vwap), o.rank(o.volume), 3.83878),
                                     4.16783), 8.38151)
    corr = o.correlation(o.ts_rank(o.close, 7.45404), o.ts_rank(o.adv(60), 4.13242), 3.65459)
    second = o.ts_rank(o.decay_linear(o.ts_argmax(corr, 12.6556), 14.0365), 13.4143)
    return o.max(first, second) * -1


def a97(o):
    w = 0.721001
    first = o.rank(o.decay_linear(o.delta(o.indneutralize((o.low * w) + (o.vwap * (1 - w))),
                                          3.3705), 20.4523))
    corr = o.correlation(o.ts_rank(o.low, 7.87871), o.ts_rank(o.adv(60), 17.255), 4.97547)
    second = o.ts_rank(o.decay_linear(o.ts_rank(corr, 18.5925), 15.7152), 6.71659)
    return (first - second) * -1


def a98(o):
    first = o.rank(o.decay_linear(o.correlation(o.vwap, o.sum(o.adv(5), 26.4719), 4.58418),
                                  7.18088))
    corr = o.correlation(o.rank(o.open), o.rank(o.adv(15)), 20.8187)
    second = o.rank(o.decay_linear(o.ts_rank(o.ts_argmin(corr, 8.62571), 6.95668), 8.07206))
    return first - second


def a99(o):
    mid = (o.high + o.low) / 2
    return (o.rank(o.correlation(o.sum(mid, 19.8975), o.sum(o.adv(60), 19.8975), 8.8136))
            < o.rank(o.correlation(o.low, o.volume, 6.28259))) * -1


def a100(o):
    location = (((o.close - o.low) - (o.high - o.close)) / (o.high - o.low)) * o.volume
    first = 1.5 * o.scale(o.indneutralize(o.indneutralize(o.rank(location))))
    second = o.scale(o.indneutralize(o.correlation(o.close, o.rank(o.adv(20)), 5)
                                     - o.rank(o.ts_argmin(o.close, 30))))
    return 0 - (1 * ((first - second) * (o.volume / o.adv(20))))


def a101(o):
    return (o.close - o.open) / ((o.high - o.low) + 0.001)


ALPHAS = {name: fn for name, fn in sorted(globals().items(), key=lambda kv: (len(kv[0]), kv[0]))
          if name.startswith("a") and name[1:].isdigit()}


# -- the two namespaces --------------------------------------------------------

class AlvoraOps:
    """Builds alvora nodes."""

    def __init__(self, industry_source="citics_2019"):
        from alvora import cross_sectional as cs
        from alvora import operators as op
        from alvora import rolling as ro
        from alvora import leaf
        from alvora.interface import AbstractFactor

        self.cs, self.op, self.ro = cs, op, ro
        self.open, self.high, self.low = leaf.open, leaf.high, leaf.low
        self.close, self.volume = leaf.close, leaf.volume
        self.returns, self.vwap = op.RETURNS, op.VWAP
        self.source = industry_source
        self.AbstractFactor = AbstractFactor

    def adv(self, d): return self.ro.MA(self.volume, _w(d))
    def rank(self, x): return self.cs.CS_RANK(x)
    def scale(self, x): return self.cs.CS_SCALE(x)
    def indneutralize(self, x): return self.op.GROUP_DEMEAN(x, self.source)
    def ts_rank(self, x, d): return self.ro.TS_RANK(x, _w(d))
    def ts_argmax(self, x, d): return self.ro.TS_ARGMAX(x, _w(d))
    def ts_argmin(self, x, d): return self.ro.TS_ARGMIN(x, _w(d))
    def ts_min(self, x, d): return self.ro.TS_MIN(x, _w(d))
    def ts_max(self, x, d): return self.ro.TS_MAX(x, _w(d))
    def sum(self, x, d): return self.ro.SUM(x, _w(d))
    def product(self, x, d): return self.ro.PRODUCT(x, _w(d))
    def stddev(self, x, d): return self.ro.STD(x, _w(d))
    def correlation(self, x, y, d): return self.ro.CORRELATION(x, y, _w(d))
    def covariance(self, x, y, d): return self.ro.COVARIANCE(x, y, _w(d))
    def decay_linear(self, x, d): return self.op.DECAY_LINEAR(x, _w(d))
    def delay(self, x, d): return self.op.DELAY(x, int(np.floor(d)))
    def delta(self, x, d): return self.op.DELTA(x, int(np.floor(d)))
    def log(self, x): return self.op.LOG(x)
    def sign(self, x): return self.op.SIGN(x)
    def abs(self, x): return self.op.ABS(x)
    def signedpower(self, x, e):
        if isinstance(e, self.AbstractFactor):  # an exponent that varies: spelt out
            return self.sign(x) * self.abs(x) ** e
        return self.op.SIGNED_POWER(x, e)

    def where(self, c, a, b): return self.op.IF(c, a, b)
    def min(self, a, b): return self.op.MIN(a, b)
    def max(self, a, b): return self.op.MAX(a, b)
    def or_(self, a, b): return a | b
    def eq(self, a, b): return a.equal(b)


class PandasOps:
    """Computes on wide frames (dates x instruments)."""

    def __init__(self, fields, industry=None):
        self.open, self.high, self.low = fields["open"], fields["high"], fields["low"]
        self.close, self.volume = fields["close"], fields["volume"]
        self.turnover = fields["total_turnover"]
        self.industry = industry
        self._adv = {}
        self._derived = {}

    # derived fields are computed by the alphas that use them, once per
    # instance, as the alvora side computes VWAP and RETURNS in the trees
    @property
    def vwap(self):
        if "vwap" not in self._derived:
            self._derived["vwap"] = self.turnover / self.volume
        return self._derived["vwap"]

    @property
    def returns(self):
        if "returns" not in self._derived:
            self._derived["returns"] = self.close / self.close.shift(1) - 1
        return self._derived["returns"]

    def _frame(self, values, like):
        return pd.DataFrame(values, index=like.index, columns=like.columns)

    def adv(self, d):
        d = _w(d)
        if d not in self._adv:
            self._adv[d] = self.volume.rolling(d).mean()
        return self._adv[d]

    def rank(self, x): return _numeric(x).rank(axis=1, pct=True)
    def scale(self, x): return x.div(x.abs().sum(axis=1), axis=0)

    def indneutralize(self, x):
        long = pd.DataFrame({"x": x.stack(), "g": self.industry.stack()}).dropna()
        keys = [long.index.get_level_values(0), long["g"]]
        out = (long["x"] - long.groupby(keys, observed=True)["x"].transform("mean")).unstack()
        return out.reindex(index=x.index, columns=x.columns)

    def ts_rank(self, x, d):
        d = _w(d)
        return (x.rolling(d).rank(method="max") - 1) / d

    def ts_argmax(self, x, d): return x.rolling(_w(d)).apply(np.argmax, raw=True)
    def ts_argmin(self, x, d): return x.rolling(_w(d)).apply(np.argmin, raw=True)
    def ts_min(self, x, d): return x.rolling(_w(d)).min()
    def ts_max(self, x, d): return x.rolling(_w(d)).max()
    def sum(self, x, d): return x.rolling(_w(d)).sum()
    def product(self, x, d): return x.rolling(_w(d)).apply(np.prod, raw=True)
    def stddev(self, x, d): return x.rolling(_w(d)).std(ddof=0)
    def correlation(self, x, y, d):
        # a window without dispersion has no correlation (pandas gives +-inf there)
        return x.rolling(_w(d)).corr(y).replace([np.inf, -np.inf], np.nan)

    def covariance(self, x, y, d): return x.rolling(_w(d)).cov(y, ddof=0)

    def decay_linear(self, x, d):
        d, x = _w(d), _numeric(x)
        weights = np.arange(1, d + 1, dtype=float) / (d * (d + 1) / 2)
        out = x * weights[-1]
        for j in range(1, d):
            out = out + x.shift(j) * weights[-1 - j]
        return out

    def delay(self, x, d): return x.shift(int(np.floor(d)))
    def delta(self, x, d): return x.diff(int(np.floor(d)))
    def log(self, x): return np.log(x)
    def sign(self, x): return np.sign(x)
    def abs(self, x): return x.abs()
    def signedpower(self, x, e): return np.sign(x) * x.abs() ** e

    def where(self, c, a, b):
        like = c
        values = np.where(c.to_numpy(dtype=bool), _values(a), _values(b))
        return self._frame(values.astype(float), like)

    def min(self, a, b): return np.minimum(a, b)
    def max(self, a, b): return np.maximum(a, b)
    def or_(self, a, b): return a | b
    def eq(self, a, b): return a == b


def _numeric(x):
    """A comparison's frame as 0.0 / 1.0 (shifting a boolean frame would make
    it an object frame)."""
    return x.astype(np.float64) if (x.dtypes == bool).any() else x


def _values(x):
    return x.to_numpy(dtype=float) if isinstance(x, pd.DataFrame) else x
