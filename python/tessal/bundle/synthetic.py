"""A deterministic synthetic equity market, written as a bundle.

Daily stock returns follow a factor model:

    r[t, i] = beta[i] * market[t] + industry[t, ind(i)] + sum_k expo[t-1, k, i] * style[t, k]
              + 0.0004 * quality[i] - 0.06 * shock[t-1, i] + shock[t, i]

clipped to the +-10 % daily limit.  The market return moves through regimes
(calm and trending advances, choppy sideways markets, short stress spells
with a falling, volatile market) whose lengths are random; its daily moves and
the stock shocks have fat tails (Student t), so limit moves happen, mostly in
stress.  Each calendar year of the market return is kept between -20 % and
+25 % by shifting that year's drift, which keeps the index years realistic.

Style exposures drift slowly (AR(1));
size, earnings yield and book-to-price are derived from the stored
fundamentals so that exposures, prices and stored factors agree.  The quality
term is a persistent alpha that the stored factor "return_on_equity" reveals,
and the shock term gives short-term reversal, so that simple factors show
non-trivial information coefficients.

Conventions of the generated data:

- Before a stock's listing date and from its de-listing date on there is no
  data: every field is NaN.
- A suspended day keeps the row: volume and total_turnover are 0 and the four
  prices repeat the last close, so its change rate is 0 and the move made
  during the suspension shows on the day trading resumes.
- Two indexes ("000300.XSHG", "000905.XSHG", type "INDX") are cap-weighted over
  the largest stocks and the next tier; their volume is their members' volume.
"""
import os
import shutil

import numpy as np
import pandas as pd

from ..trading_calendar import make_calendar
from ..utils import to_timestamp
from .format import PRICE_FIELDS, BundleWriter, NOT_DELISTED
from .industries import CITICS_INDUSTRIES, build_records

__all__ = ["STYLE_FACTORS", "STORED_FACTORS", "INDEXES", "generate_market"]

STYLE_FACTORS = ("beta", "momentum", "size", "earnings_yield", "residual_volatility", "growth",
                 "book_to_price", "leverage", "liquidity", "non_linear_size")
STORED_FACTORS = ("market_cap", "pe_ratio", "book_to_market", "return_on_equity")
# (order_book_id, symbol, listed date, members, base level)
INDEXES = (("000300.XSHG", "大盘300指数", "2005-04-08", 300, 3500.0),
           ("000905.XSHG", "中盘500指数", "2007-01-15", 500, 5500.0))

# Mean and volatility of the daily style factor returns.
_STYLE_RETURN = {
    "beta": (0.0, 0.0015), "momentum": (0.0002, 0.002), "size": (-0.00005, 0.0015),
    "earnings_yield": (0.0002, 0.0015), "residual_volatility": (-0.0001, 0.002),
    "growth": (0.0001, 0.0012), "book_to_price": (0.0001, 0.0015), "leverage": (0.0, 0.001),
    "liquidity": (-0.0002, 0.002), "non_linear_size": (0.0, 0.0008),
}
# Exposures that drift on their own; the others are derived from fundamentals.
_LATENT = ("beta", "momentum", "residual_volatility", "growth", "book_to_price", "leverage",
           "liquidity")
_PERSISTENCE = 0.996

# Market regimes: daily drift, daily volatility, mean length in trading days,
# scale of the stock shocks, and the odds of the regime that follows.
_REGIMES = {
    "calm": (0.0006, 0.008, 120, 0.9, {"trend": 0.4, "choppy": 0.45, "stress": 0.15}),
    "trend": (0.0012, 0.012, 70, 1.0, {"calm": 0.3, "choppy": 0.4, "stress": 0.3}),
    "choppy": (0.0, 0.013, 60, 1.0, {"calm": 0.45, "trend": 0.35, "stress": 0.2}),
    "stress": (-0.0035, 0.024, 25, 1.4, {"calm": 0.3, "choppy": 0.7}),
}
# Bounds of the market return over a calendar year (log-scaled for part years).
_YEAR_BAND = (-0.20, 0.25)
_TAIL_DF = 4.0  # degrees of freedom of the fat-tailed daily moves
_QUALITY_PERSISTENCE = 0.998

_SYMBOL_HEAD = "华东中南北西新金宏远恒天海安长正嘉瑞盛鼎"
_SYMBOL_MID = "兴达泰通信丰源科隆华康昌联明阳光力汇晨宇"
_SYMBOL_TAIL = ("股份", "科技", "电子", "实业", "医药", "能源", "控股", "材料", "制造", "传媒",
                "银行", "环境")


def _symbol(k):
    head = _SYMBOL_HEAD[k % len(_SYMBOL_HEAD)]
    mid = _SYMBOL_MID[(k // len(_SYMBOL_HEAD)) % len(_SYMBOL_MID)]
    tail = _SYMBOL_TAIL[(k // (len(_SYMBOL_HEAD) * len(_SYMBOL_MID))) % len(_SYMBOL_TAIL)]
    return head + mid + tail


def _order_book_ids(n):
    k = np.arange(n)
    return ["{:06d}.XSHG".format(600000 + j // 2) if j % 2 == 0 else
            "{:06d}.XSHE".format(1 + j // 2) for j in k]


class _Universe:
    """Stocks with their listing rows, industries and suspension days."""

    def __init__(self, rng, n, dates):
        T = len(dates)
        self.n = n
        self.ids = _order_book_ids(n)
        u = rng.random(n)
        u[0] = 1.0  # the first stock trades throughout
        self.listed_row = np.zeros(n, dtype=np.int64)
        self.end_row = np.full(n, T, dtype=np.int64)
        # Stocks listed before the data start were listed from 1993 on (or up to 25
        # years earlier for markets that start before 1994).
        oldest = np.datetime64("1993-01-04")
        if dates[0] < np.datetime64("1994-01-01"):
            oldest = dates[0] - np.timedelta64(25 * 365, "D")
        early = make_calendar(oldest, dates[0] - np.timedelta64(30, "D"))
        listed = early[rng.integers(0, max(1, early.size - 1), size=n)].astype(object)
        new = (u < 0.15) & (T > 70)
        self.listed_row[new] = rng.integers(5, T - 60, size=int(new.sum())) if new.any() else 0
        listed[new] = dates[self.listed_row[new]]
        gone = (u >= 0.15) & (u < 0.19) & (T > 130)
        if gone.any():
            self.end_row[gone] = rng.integers(120, T, size=int(gone.sum()))
        self.listed_date = [str(np.datetime64(d, "D")) for d in listed]
        self.de_listed_date = [str(dates[r]) if r < T else NOT_DELISTED for r in self.end_row]

        n_ind = len(CITICS_INDUSTRIES)
        weights = rng.dirichlet(np.full(n_ind, 3.0))
        self.ind_before = rng.choice(n_ind, size=n, p=weights)
        self.ind_after = (self.ind_before + rng.integers(1, n_ind, size=n)) % n_ind
        self.change_row = np.full(n, T, dtype=np.int64)
        movers = (rng.random(n) < 0.06) & (self.end_row - self.listed_row > 20)
        for i in np.flatnonzero(movers):
            self.change_row[i] = rng.integers(self.listed_row[i] + 10, self.end_row[i])

        self.suspended = np.zeros((T, n), dtype=bool)
        spells = rng.poisson(0.8 + 1.2 * T / 1700.0, size=n)
        for i in np.flatnonzero(spells):
            lo, hi = self.listed_row[i] + 1, self.end_row[i]
            if hi - lo < 2:
                continue
            for _ in range(spells[i]):
                s = rng.integers(lo, hi)
                length = rng.integers(5, 40) if rng.random() < 0.1 else rng.geometric(0.45)
                self.suspended[s:min(s + length, hi), i] = True

    def table(self):
        stocks = pd.DataFrame({
            "order_book_id": self.ids,
            "symbol": [_symbol(k) for k in range(self.n)],
            "type": "CS",
            "listed_date": self.listed_date,
            "de_listed_date": self.de_listed_date,
        })
        indexes = pd.DataFrame({
            "order_book_id": [x[0] for x in INDEXES],
            "symbol": [x[1] for x in INDEXES],
            "type": "INDX",
            "listed_date": [x[2] for x in INDEXES],
            "de_listed_date": NOT_DELISTED,
        })
        return pd.concat([stocks, indexes], ignore_index=True)

    def industry_records(self, dates):
        citics, sws = [], []
        for i, oid in enumerate(self.ids):
            segments = [(pd.Timestamp(self.listed_date[i]), CITICS_INDUSTRIES[self.ind_before[i]])]
            if self.change_row[i] < len(dates):
                segments.append((pd.Timestamp(dates[self.change_row[i]]),
                                 CITICS_INDUSTRIES[self.ind_after[i]]))
            c, s = build_records(oid, segments, i)
            citics.extend(c)
            sws.extend(s)
        return citics, sws


def _zscore(values, mask):
    """Cross-sectional z-score over `mask` (rows are factors); NaN outside the mask."""
    out = np.full(values.shape, np.nan)
    if mask.sum() < 2:
        return out
    sub = values[..., mask]
    mean = sub.mean(axis=-1, keepdims=True)
    std = sub.std(axis=-1, keepdims=True)
    std[std == 0] = 1.0
    out[..., mask] = (sub - mean) / std
    return out


def _fat_tailed(rng, size):
    """Student-t draws scaled to unit variance."""
    return rng.standard_t(_TAIL_DF, size=size) / np.sqrt(_TAIL_DF / (_TAIL_DF - 2.0))


def _market_path(rng, dates):
    """Daily market returns through random regimes, with each calendar year's
    total kept inside `_YEAR_BAND`; returns (returns, shock scale per day)."""
    T = dates.size
    names = list(_REGIMES)
    regime = np.empty(T, dtype=np.int64)
    t, current = 0, "calm"
    while t < T:
        length = int(rng.geometric(1.0 / _REGIMES[current][2]))
        regime[t:t + length] = names.index(current)
        t += length
        odds = _REGIMES[current][4]
        current = str(rng.choice(list(odds), p=list(odds.values())))
    drift = np.array([_REGIMES[k][0] for k in names])[regime]
    vol = np.array([_REGIMES[k][1] for k in names])[regime]
    log_ret = np.log1p(np.clip(drift + vol * _fat_tailed(rng, T), -0.09, 0.09))
    years = dates.astype("datetime64[Y]")
    for year in np.unique(years):
        rows = years == year
        share = rows.sum() / 244.0
        lo, hi = (share * np.log1p(b) for b in _YEAR_BAND)
        total = log_ret[rows].sum()
        if total < lo or total > hi:
            log_ret[rows] += (min(max(total, lo), hi) - total) / rows.sum()
    scale = np.array([_REGIMES[k][3] for k in names])[regime]
    return np.expm1(log_ret), scale


class _Simulation:
    """State of the market on one day; `step` moves it forward and writes one row."""

    def __init__(self, rng, uni, dates):
        n = uni.n
        self.rng = rng
        self.uni = uni
        self.market, self.shock_scale = _market_path(rng, dates)
        self.lat = rng.standard_normal((len(_LATENT), n))
        self.quality = rng.standard_normal(n)
        self.book_noise = 0.05 * rng.standard_normal(n)
        log_cap = 22.8 + rng.standard_normal(n)
        self.price = np.exp(2.4 + 0.6 * rng.standard_normal(n))
        self.shares = np.exp(log_cap) / self.price
        self.last_close = np.full(n, np.nan)
        self.prev_shock = np.zeros(n)
        self.style_mean = np.array([_STYLE_RETURN[k][0] for k in STYLE_FACTORS])
        self.style_vol = np.array([_STYLE_RETURN[k][1] for k in STYLE_FACTORS])
        self.index_level = np.array([x[4] for x in INDEXES])
        self.expo = self._exposures(self.price, np.ones(n, dtype=bool))[1]

    def _latent(self, name):
        return self.lat[_LATENT.index(name)]

    def _fundamentals(self, close):
        btm = np.exp(-0.9 + 0.45 * self._latent("book_to_price") + self.book_noise)
        roe = 0.08 + 0.06 * self.quality
        return {"market_cap": self.shares * close, "book_to_market": btm,
                "return_on_equity": roe, "pe_ratio": 1.0 / (roe * btm)}

    def _exposures(self, close, listed):
        fund = self._fundamentals(close)
        raw = np.empty((len(STYLE_FACTORS), self.uni.n))
        for k, name in enumerate(STYLE_FACTORS):
            if name in _LATENT:
                raw[k] = self._latent(name)
        size_k = STYLE_FACTORS.index("size")
        raw[size_k] = np.log(fund["market_cap"])
        earnings_yield = fund["return_on_equity"] * fund["book_to_market"]
        raw[STYLE_FACTORS.index("earnings_yield")] = earnings_yield
        raw[STYLE_FACTORS.index("book_to_price")] = np.log(fund["book_to_market"])
        expo = _zscore(raw, listed)
        size = expo[size_k]
        cube = size ** 3
        ok = listed & np.isfinite(size)
        slope = (cube[ok] @ size[ok]) / max(size[ok] @ size[ok], 1e-12) if ok.any() else 0.0
        expo[STYLE_FACTORS.index("non_linear_size")] = _zscore(cube - slope * size, listed)
        return fund, expo

    def step(self, t, n_dates, fields, factors, style):
        rng, uni, n = self.rng, self.uni, self.uni.n
        listed = (t >= uni.listed_row) & (t < uni.end_row)
        trading = listed & ~uni.suspended[t]
        expo = np.nan_to_num(self.expo)

        market = self.market[t]
        industry = 0.006 * rng.standard_normal(len(CITICS_INDUSTRIES))
        style_ret = self.style_mean + self.style_vol * rng.standard_normal(len(STYLE_FACTORS))
        ind = np.where(t >= uni.change_row, uni.ind_after, uni.ind_before)
        beta = np.clip(1.0 + 0.3 * self._latent("beta"), 0.2, 2.2)
        shock = (0.0145 * self.shock_scale[t] * np.exp(0.35 * self._latent("residual_volatility"))
                 * _fat_tailed(rng, n))
        ret = (beta * market + industry[ind] + style_ret @ expo
               + 0.0004 * self.quality - 0.06 * self.prev_shock + shock)
        ret = np.clip(ret, -0.1, 0.1)
        self.price = np.maximum(self.price * (1.0 + ret), 0.05)
        self.prev_shock = np.where(trading, shock, 0.0)

        z = rng.standard_normal((4, n))
        base = np.where(np.isnan(self.last_close), self.price / (1.0 + ret), self.last_close)
        close = np.where(trading, np.round(self.price, 2), self.last_close)
        opn = np.where(trading, np.round(base * (1.0 + 0.3 * ret + 0.004 * z[0]), 2), close)
        high = np.round(np.maximum(opn, close) * (1.0 + np.abs(0.006 * z[1])), 2)
        low = np.round(np.minimum(opn, close) * (1.0 - np.abs(0.006 * z[2])), 2)
        high = np.where(trading, np.maximum(high, np.maximum(opn, close)), close)
        low = np.where(trading, np.maximum(np.minimum(low, np.minimum(opn, close)), 0.01), close)
        close = np.maximum(close, 0.01)
        # Daily turnover of the free float: liquid stocks and big moves trade more.
        rate = 0.01 * np.exp(0.45 * self._latent("liquidity") + 0.3 * z[3])
        rate *= 1.0 + 6.0 * np.abs(ret)
        lots = np.maximum(np.round(0.6 * self.shares * rate / 100.0), 1)
        volume = np.where(trading, lots * 100, 0.0)
        turnover = volume * (high + low + 2.0 * close) / 4.0

        prev_close = self.last_close
        self.last_close = np.where(listed, close, np.nan)
        cs_rows = {"open": opn, "high": high, "low": low, "close": close, "volume": volume,
                   "total_turnover": turnover}
        for name in PRICE_FIELDS:
            fields[name][t, :n] = np.where(listed, cs_rows[name], np.nan)
        self._write_indexes(t, fields, prev_close, listed, volume, turnover, z[0])

        # Exposures drift, then fundamentals and exposures of today are recorded.
        rho = _PERSISTENCE
        self.lat = rho * self.lat + np.sqrt(1 - rho * rho) * rng.standard_normal(self.lat.shape)
        q = _QUALITY_PERSISTENCE
        self.quality = q * self.quality + np.sqrt(1 - q * q) * rng.standard_normal(n)
        fund, self.expo = self._exposures(np.where(listed, close, self.price), listed)
        for name in STORED_FACTORS:
            factors[name][t, :n] = np.where(listed, fund[name], np.nan)
        for k, name in enumerate(STYLE_FACTORS):
            style[name][t, :n] = self.expo[k]

    def _write_indexes(self, t, fields, prev_close, listed, volume, turnover, noise):
        n = self.uni.n
        cap = np.where(listed & np.isfinite(prev_close), self.shares * prev_close, -1.0)
        order = np.argsort(-cap, kind="stable")
        close = fields["close"][t, :n]
        ret = np.where(np.isfinite(prev_close), close / prev_close - 1.0, np.nan)
        first = min(INDEXES[0][3], max(1, n * 3 // 8))
        tiers = (order[:first], order[first:first + min(INDEXES[1][3], n - first)])
        for k, members in enumerate(tiers):
            members = members[cap[members] > 0]
            ok = members[np.isfinite(ret[members])]
            if ok.size and t > 0:
                step = float(np.average(ret[ok], weights=cap[ok]))
            else:
                step = 0.0
            prev = self.index_level[k]
            self.index_level[k] = prev * (1.0 + step)
            col = n + k
            level = self.index_level[k]
            opn = prev * (1.0 + 0.2 * step + 0.001 * noise[k % n])
            fields["close"][t, col] = level
            fields["open"][t, col] = opn
            fields["high"][t, col] = max(opn, level) * (1.0 + 0.002 * abs(noise[(k + 1) % n]))
            fields["low"][t, col] = min(opn, level) * (1.0 - 0.002 * abs(noise[(k + 2) % n]))
            fields["volume"][t, col] = float(volume[members].sum())
            fields["total_turnover"][t, col] = float(turnover[members].sum())


def _check_room(path, n_dates, n_columns):
    """Refuses a market that would not fit on the disk before writing any of it."""
    n_arrays = len(PRICE_FIELDS) + len(STORED_FACTORS) + len(STYLE_FACTORS)
    needed = n_dates * n_columns * 8 * n_arrays
    parent = os.path.dirname(os.path.abspath(os.fspath(path)))
    while parent and not os.path.isdir(parent):
        parent = os.path.dirname(parent)
    free = shutil.disk_usage(parent or ".").free
    if needed > 0.9 * free:
        raise ValueError("a market of {} dates x {} instruments needs {:.1f} GB, but only {:.1f} GB "
                         "are free under {}".format(n_dates, n_columns, needed / 1e9, free / 1e9,
                                                    parent))


def generate_market(path, n_instruments=800, start="2017-01-03", end="2023-12-29", seed=7,
                    overwrite=False, checksums=True):
    """Writes a synthetic market bundle to `path` (atomically) and returns the path.

    `n_instruments` common stocks plus two indexes, trading dates from `start`
    to `end`; the calendar runs from five years before `start` to the end of the
    year after `end`.  The same arguments always give the same data.
    """
    if isinstance(n_instruments, bool) or not isinstance(n_instruments, (int, np.integer)):
        raise ValueError("n_instruments must be an integer, got {!r}".format(n_instruments))
    if n_instruments < 1:
        raise ValueError("n_instruments must be at least 1, got {}".format(n_instruments))
    first, last = to_timestamp(start), to_timestamp(end)
    if last < first:
        raise ValueError("end {} is before start {}".format(last.date(), first.date()))
    calendar = make_calendar("{}-01-01".format(first.year - 5), "{}-12-31".format(last.year + 1))
    lo = np.datetime64(first.date(), "D")
    hi = np.datetime64(last.date(), "D")
    dates = calendar[(calendar >= lo) & (calendar <= hi)]
    if dates.size < 2:
        raise ValueError("the range {} to {} holds fewer than two trading dates".format(
            first.date(), last.date()))
    _check_room(path, dates.size, int(n_instruments) + len(INDEXES))
    rng = np.random.default_rng(seed)
    uni = _Universe(rng, int(n_instruments), dates)
    with BundleWriter(path, overwrite=overwrite, checksums=checksums) as writer:
        writer.set_calendar(calendar, dates[0], dates[-1])
        writer.set_instruments(uni.table())
        fields = {name: writer.open_array("fields", name) for name in PRICE_FIELDS}
        factors = {name: writer.open_array("factors", name) for name in STORED_FACTORS}
        style = {name: writer.open_array("style", name) for name in STYLE_FACTORS}
        sim = _Simulation(rng, uni, dates)
        for t in range(dates.size):
            sim.step(t, dates.size, fields, factors, style)
        citics, sws = uni.industry_records(dates)
        writer.set_industry("citics_2019", citics)
        writer.set_industry("sws", sws)
        writer.info = {"generator": "synthetic", "n_instruments": int(n_instruments),
                       "start": str(dates[0]), "end": str(dates[-1]), "seed": int(seed)}
    return writer.path
