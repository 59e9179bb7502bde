// Gathering style exposures, industry labels and user factor tables onto the
// dates × instruments grid of a factor frame.
#include "study_bench/preprocess_exposure.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "alvora/ols/exposure.hpp"
#include "study_bench/preprocess_parts.hpp"
#include "study_bench/study_inputs.hpp"

namespace alvora::study_bench::preprocess {

namespace {

using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using F64 = py::array_t<double, py::array::c_style | py::array::forcecast>;

I64 as_i64(const py::object& obj) {
    return global("np").attr("asarray")(obj, py::arg("dtype") = "int64").cast<I64>();
}

// A table's values as float64, read in place when pandas hands out a view (its
// blocks are stored column by column, so no row-major copy is made).
struct FloatValues {
    py::array array;
    std::ptrdiff_t row_stride = 0;     // in elements
    std::ptrdiff_t column_stride = 0;  // in elements
};

FloatValues float_values(const py::object& table) {
    py::object np = global("np");
    py::object raw =
        table.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = np.attr("nan"));
    py::array a = py::array::ensure(raw);
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    if (!a || a.ndim() != 2 || !a.dtype().is(py::dtype::of<double>()) || a.strides(0) % item != 0 ||
        a.strides(1) % item != 0)
        a = np.attr("ascontiguousarray")(raw, py::arg("dtype") = "float64").cast<F64>();
    return {a, a.strides(0) / item, a.strides(1) / item};
}

template <typename T>
std::span<const T> view(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

std::optional<int> level_named(const py::object& index, const char* name) {
    py::list names(index.attr("names"));
    for (std::size_t k = 0; k < names.size(); ++k)
        if (py::str(name).equal(names[k])) return static_cast<int>(k);
    return std::nullopt;
}

bool is_pair_index(const py::object& index) {
    return py::isinstance(index, global("pd").attr("MultiIndex")) &&
           index.attr("nlevels").cast<int>() == 2;
}

// A long table: one row per pair of a two-level index, `q` value columns.
struct LongTable {
    I64 positions;       // grid row of each table row, -1 when off the grid
    FloatValues values;  // rows × q
    std::size_t q = 0;
    py::list names;
};

// Grid row (date * instruments + instrument) of every pair of a two-level index.
I64 grid_positions(const py::object& index, int date_level, int inst_level, const py::object& dates,
                   const py::object& instruments) {
    py::object levels = index.attr("levels");
    py::object codes = index.attr("codes");
    I64 date_map = as_i64(dates.attr("get_indexer")(levels[py::int_(date_level)]));
    I64 inst_map = as_i64(instruments.attr("get_indexer")(levels[py::int_(inst_level)]));
    py::object all_dates = codes[py::int_(date_level)];
    py::object all_insts = codes[py::int_(inst_level)];
    const auto n_rows = static_cast<py::ssize_t>(py::len(all_dates));
    I64 out(n_rows);
    const auto n_dates = static_cast<std::size_t>(py::len(dates));
    const auto n_inst = static_cast<std::size_t>(py::len(instruments));
    // The level codes (often int8/int16) widened a slice at a time, not whole.
    constexpr py::ssize_t kChunk = py::ssize_t{1} << 20;
    for (py::ssize_t start = 0; start < n_rows; start += kChunk) {
        const py::ssize_t stop = std::min(n_rows, start + kChunk);
        py::slice part(start, stop, 1);
        I64 date_codes = as_i64(all_dates[part]);
        I64 inst_codes = as_i64(all_insts[part]);
        ols::pair_positions(view(date_codes), view(inst_codes), view(date_map), view(inst_map),
                            n_dates, n_inst,
                            std::span<std::int64_t>(out.mutable_data() + start,
                                                    static_cast<std::size_t>(stop - start)));
    }
    return out;
}

[[noreturn]] void duplicate_pair(const char* what, const py::object& index, std::size_t k) {
    throw py::value_error(
        py::str("{}: duplicate (date, order_book_id) pair {}").format(what, index[py::int_(k)]));
}

// The table kept in place, with the row of every cell of a grid of `cells` cells. The
// table's positions are released once inverted.
PlacedTable place(LongTable& t, std::size_t cells, std::size_t offset, const char* what,
                  const py::object& index) {
    const FloatValues& v = t.values;
    if (static_cast<std::size_t>(v.array.shape(0)) !=
            static_cast<std::size_t>(t.positions.size()) ||
        static_cast<std::size_t>(v.array.shape(1)) != t.q)
        throw std::invalid_argument("exposure table: values do not match its index");
    PlacedTable p;
    p.values = v.array;
    p.cell_rows = py::array_t<std::int64_t>(static_cast<py::ssize_t>(cells));
    std::optional<std::size_t> dup;
    {
        py::gil_scoped_release release;
        dup = ols::rows_of_cells(view(t.positions),
                                 std::span<std::int64_t>(p.cell_rows.mutable_data(), cells));
    }
    if (dup) duplicate_pair(what, index, *dup);
    t.positions = I64();
    p.columns.cell_rows = {p.cell_rows.data(), cells};
    p.columns.values = static_cast<const double*>(v.array.data());
    p.columns.row_stride = v.row_stride;
    p.columns.column_stride = v.column_stride;
    p.columns.q = t.q;
    p.columns.offset = offset;
    return p;
}

// Style exposures: fetched once for the whole range. Daily frames take the
// exposures of their date; intraday frames those of each timestamp's day.
struct StyleBlock {
    LongTable table;
    py::object index;  // the exposure table's index, for messages
    bool daily = true;
    I64 day_of;  // intraday: day-table block of each timestamp
    std::size_t days = 0;
};

py::object fetch_style_table(const ExposureRequest& r) {
    py::object index = r.index;
    return global("tessal").attr("get_style_factor_exposure")(
        py::arg("order_book_ids") = py::list(r.columns), py::arg("start_date") = index[py::int_(0)],
        py::arg("end_date") = index[py::int_(-1)], py::arg("factors") = r.style_factors);
}

StyleBlock style_block(const ExposureRequest& r, const py::object& table) {
    py::object index = r.index;
    if (table.is_none())
        throw py::value_error(
            py::str("style factor exposure: no data for {} instruments from {} "
                    "to {}")
                .format(py::len(r.columns), index[py::int_(0)], index[py::int_(-1)]));
    if (!py::isinstance(table, global("pd").attr("DataFrame")))
        throw py::value_error(py::str("style factor exposure: expect pd.DataFrame, got {}")
                                  .format(py::type::of(table)));
    py::object tindex = table.attr("index");
    auto date_level = level_named(tindex, "date");
    auto inst_level = level_named(tindex, "order_book_id");
    if (!is_pair_index(tindex) || !date_level || !inst_level)
        throw py::value_error(py::str("style factor exposure: expect an index with the levels "
                                      "'date' and 'order_book_id', got {}")
                                  .format(py::list(tindex.attr("names"))));

    StyleBlock s;
    s.index = tindex;
    s.daily = py::bool_(global("_is_date_frequency_index")(index));
    py::object day_targets = index;
    if (!s.daily) {
        py::object days = index.attr("normalize")();
        day_targets = days.attr("unique")();
        s.day_of = as_i64(day_targets.attr("get_indexer")(days));
        s.days = py::len(day_targets);
    }
    s.table.positions = grid_positions(tindex, *date_level, *inst_level, day_targets, r.columns);
    s.table.values = float_values(table);
    s.table.names = py::list(table.attr("columns"));
    s.table.q = s.table.names.size();
    return s;
}

py::object fetch_industry_series(const ExposureRequest& r) {
    return global("_load_industry_data")(py::list(r.columns), py::list(r.index),
                                         py::arg("source") = r.industry);
}

// Industry labels of every listed pair; pairs without an industry keep -1.
void industry_labels(const ExposureRequest& r, const py::object& series, ExposureGrid& g) {
    py::object pd = global("pd");
    if (!py::isinstance(series, pd.attr("Series")) || !is_pair_index(series.attr("index")))
        throw py::value_error(py::str("industry data: expect a pd.Series indexed by (datetime, "
                                      "order_book_id), got {}")
                                  .format(py::type::of(series)));
    py::object sindex = series.attr("index");
    auto inst_level = level_named(sindex, "order_book_id").value_or(1);
    int date_level = 1 - inst_level;
    py::tuple factorized = pd.attr("factorize")(series, py::arg("sort") = true);
    I64 labels = as_i64(factorized[0]);
    I64 positions = grid_positions(sindex, date_level, inst_level, r.index, r.columns);

    g.has_industry = true;
    g.industry_names = py::list(factorized[1]);
    g.industry = py::array_t<std::int64_t>(static_cast<py::ssize_t>(g.dates * g.instruments));
    std::span<std::int64_t> grid(g.industry.mutable_data(), g.industry.size());
    std::fill(grid.begin(), grid.end(), -1);
    std::optional<std::size_t> dup;
    {
        py::gil_scoped_release release;
        dup = ols::scatter_labels(view(positions), view(labels), grid);
    }
    if (dup) duplicate_pair("industry data", sindex, *dup);
}

// A user factor table (DataFrame or Series) indexed by (date, order_book_id).
LongTable user_table(const ExposureRequest& r, py::handle item, std::size_t k, py::object& index) {
    py::object pd = global("pd");
    py::object table = py::reinterpret_borrow<py::object>(item);
    if (py::isinstance(table, pd.attr("Series"))) table = table.attr("to_frame")();
    if (!py::isinstance(table, pd.attr("DataFrame")) || !is_pair_index(table.attr("index")))
        throw py::value_error(py::str("other_factors[{}]: expect a pd.DataFrame or pd.Series "
                                      "indexed by (datetime, order_book_id), got {}")
                                  .format(k, py::type::of(item)));
    index = table.attr("index");
    // Dates first unless the levels say otherwise.
    auto inst_level = level_named(index, "order_book_id").value_or(1);
    LongTable t;
    t.positions = grid_positions(index, 1 - inst_level, inst_level, r.index, r.columns);
    try {
        t.values = float_values(table);
    } catch (py::error_already_set& e) {
        throw py::value_error(
            py::str("other_factors[{}]: expect numeric columns ({})").format(k, e.value()));
    }
    t.names = py::list(table.attr("columns"));
    t.q = t.names.size();
    const auto pos = view(t.positions);
    if (!pos.empty() && std::all_of(pos.begin(), pos.end(), [](std::int64_t p) { return p < 0; }))
        warn(py::str("other_factors[{}]: no (datetime, order_book_id) pair matches the factor "
                     "data; its columns are all missing")
                 .format(k));
    return t;
}

// The last grid built while a study of many factors serves its inputs from memory
// (its client says so). The same fetched tables over the same dates and instruments
// give the same grid, so the next factor reuses it. Dropped when that client goes.
struct GridMemo {
    bool valid = false;
    py::object client, style, industry, index, columns;
    std::vector<py::object> others;
    ExposureGrid grid;

    void clear() {
        valid = false;
        client = style = industry = index = columns = py::object();
        others.clear();
        ExposureGrid none;
        grid = std::move(none);
    }
};
// On the heap and never destroyed: Python objects must not be released after the
// interpreter has gone.
GridMemo& g_memo = *new GridMemo();

bool memo_matches(const ExposureRequest& r, const py::object& style, const py::object& industry) {
    const GridMemo& m = g_memo;
    if (!m.valid || !m.style.is(style) || !m.industry.is(industry) ||
        m.others.size() != r.other.size())
        return false;
    for (std::size_t k = 0; k < m.others.size(); ++k)
        if (!m.others[k].is(r.other[k])) return false;
    return (m.index.is(r.index) || py::bool_(m.index.attr("equals")(r.index))) &&
           (m.columns.is(r.columns) || py::bool_(m.columns.attr("equals")(r.columns)));
}

void remember(const py::object& client, const ExposureRequest& r, const py::object& style,
              const py::object& industry, const ExposureGrid& g) {
    g_memo.clear();
    // Forget the grid (and the tables it holds) as soon as the study's client is gone.
    py::cpp_function forget([](py::handle) { g_memo.clear(); });
    py::weakref watch(client, forget);
    g_memo.client = py::reinterpret_borrow<py::object>(watch);  // the weakref keeps the callback
    g_memo.valid = true;
    g_memo.style = style;
    g_memo.industry = industry;
    g_memo.index = r.index;
    g_memo.columns = r.columns;
    for (auto item : r.other) g_memo.others.push_back(py::reinterpret_borrow<py::object>(item));
    g_memo.grid = g;
}

}  // namespace

void ExposureGrid::fill(std::size_t first, std::size_t last, std::span<double> x) const {
    if (dense) {
        const std::size_t row = instruments * width;
        std::copy(dense->begin() + static_cast<std::ptrdiff_t>(first * row),
                  dense->begin() + static_cast<std::ptrdiff_t>(last * row), x.begin());
        return;
    }
    std::vector<ols::PlacedColumns> columns;
    columns.reserve(tables.size());
    for (const PlacedTable& t : tables) columns.push_back(t.columns);
    ols::fill_dense_rows(columns, instruments, width, first, last, x);
}

ExposureGrid build_exposures(const ExposureRequest& r) {
    py::object client = global("tessal");
    py::object style_table = r.style ? fetch_style_table(r) : py::object(py::none());
    py::object industry_series =
        r.industry.is_none() ? py::object(py::none()) : fetch_industry_series(r);
    const bool shared = in_shared_study(client);
    if (shared && g_memo.valid) {
        py::object watched = g_memo.client();  // the weakref's referent
        if (watched.is(client) && memo_matches(r, style_table, industry_series)) return g_memo.grid;
    }

    ExposureGrid g;
    g.dates = py::len(r.index);
    g.instruments = py::len(r.columns);
    const std::size_t cells = g.dates * g.instruments;

    // Industry first: its temporaries are gone before the style positions are made.
    if (!r.industry.is_none()) industry_labels(r, industry_series, g);
    std::optional<StyleBlock> style;
    if (r.style) style = style_block(r, style_table);
    std::vector<LongTable> others;
    std::vector<py::object> other_index;
    for (std::size_t k = 0; k < r.other.size(); ++k) {
        py::object index;
        others.push_back(user_table(r, r.other[k], k, index));
        other_index.push_back(index);
    }

    g.style_width = style ? style->table.q : 0;
    g.width = g.style_width;
    for (const auto& t : others) g.width += t.q;

    if (style) {
        g.style_names = style->table.names;
        if (style->daily) {
            g.tables.push_back(
                place(style->table, cells, 0, "style factor exposure", style->index));
        } else {
            PlacedTable p = place(style->table, style->days * g.instruments, 0,
                                  "style factor exposure", style->index);
            p.day_of = style->day_of;
            p.columns.day_of = {static_cast<const std::int64_t*>(p.day_of.data()),
                                static_cast<std::size_t>(p.day_of.size())};
            g.tables.push_back(std::move(p));
        }
    }
    std::size_t offset = g.style_width;
    for (std::size_t k = 0; k < others.size(); ++k) {
        g.tables.push_back(place(others[k], cells, offset, "other_factors", other_index[k]));
        for (auto name : others[k].names) g.other_names.append(name);
        offset += others[k].q;
    }
    if (shared) {
        // The factors of a study share this grid: its dense rows are gathered once for all
        // of them, when they fit in a modest share of memory.
        constexpr std::size_t kDenseLimit = std::size_t{256} << 20;  // bytes
        if (cells * g.width <= kDenseLimit / sizeof(double) && g.width > 0) {
            auto dense = std::make_shared<std::vector<double>>(cells * g.width);
            {
                py::gil_scoped_release release;
                g.fill(0, g.dates, *dense);
            }
            g.dense = std::move(dense);
        }
        g.moments = std::make_shared<std::vector<ols::DesignMoments>>(g.dates);
        try {
            remember(client, r, style_table, industry_series, g);
        } catch (py::error_already_set&) {  // a client that cannot be watched: no reuse
            g_memo.clear();
        }
    }
    return g;
}

}  // namespace alvora::study_bench::preprocess
