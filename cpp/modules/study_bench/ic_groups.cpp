// Group codes of index levels and label series, and the dates x instruments grid of a
// long factor table.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <optional>

#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_groups.hpp"

namespace alvora::study_bench {

namespace {

py::object global(const char* name) {
    return module_globals()[name];
}

template <typename T>
bool copy_codes(const py::array& arr, std::vector<std::int32_t>& out) {
    if (!arr.dtype().is(py::dtype::of<T>()) || !(arr.flags() & py::array::c_style)) return false;
    const T* data = static_cast<const T*>(arr.data());
    out.assign(data, data + arr.size());
    return true;
}

}  // namespace

// Codes as int32 with a single copy (pandas keeps them as int8/16/32/64 arrays).
std::vector<std::int32_t> int32_codes(const py::object& codes) {
    py::array arr = py::array::ensure(global("np").attr("asarray")(codes));
    std::vector<std::int32_t> out;
    if (arr && arr.ndim() == 1 &&
        (copy_codes<std::int8_t>(arr, out) || copy_codes<std::int16_t>(arr, out) ||
         copy_codes<std::int32_t>(arr, out) || copy_codes<std::int64_t>(arr, out)))
        return out;
    auto converted = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(
        global("np").attr("asarray")(codes, "int32"));
    return {converted.data(), converted.data() + converted.size()};
}

CodeView code_view(const py::object& codes) {
    CodeView view;
    py::array arr = py::array::ensure(global("np").attr("asarray")(codes));
    const bool usable =
        arr && arr.ndim() == 1 && (arr.flags() & py::array::c_style) && arr.dtype().kind() == 'i';
    if (!usable)
        arr = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
            global("np").attr("asarray")(codes, "int64"));
    view.keep = arr;
    view.data = arr.data();
    view.bytes = static_cast<int>(arr.itemsize());
    view.size = static_cast<std::size_t>(arr.size());
    return view;
}

namespace {

// Renumbers codes that index into `labels` so that they count the labels actually used,
// in ascending label order; the returned labels are those used, ascending.
RowGroups ranked(std::vector<std::int32_t> codes, const py::object& labels,
                 const CodeView* view = nullptr) {
    // With a view, `codes` is empty and the level codes are read from the view instead.
    const bool codes_only_for_use = view != nullptr;
    const std::size_t n_labels = py::len(labels);
    std::vector<char> used(n_labels, 0);
    auto mark = [&](std::int64_t code) {
        if (code >= 0 && static_cast<std::size_t>(code) < n_labels) used[code] = 1;
    };
    if (view) {
        view->each([&](std::size_t, std::int64_t code) {
            mark(code);
            return true;
        });
    } else {
        for (std::int32_t code : codes) mark(code);
    }
    auto order = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        global("np").attr("asarray")(labels.attr("argsort")(), "int64"));
    std::vector<std::int32_t> rank_of(n_labels, -1);
    py::list kept;
    std::int32_t next = 0;
    for (py::ssize_t k = 0; k < order.size(); ++k) {
        const std::int64_t position = order.data()[k];
        if (!used[static_cast<std::size_t>(position)]) continue;
        rank_of[static_cast<std::size_t>(position)] = next++;
        kept.append(position);
    }
    if (!codes_only_for_use) {
        for (std::int32_t& code : codes)
            code = (code >= 0 && static_cast<std::size_t>(code) < n_labels) ? rank_of[code] : -1;
    }
    py::object taken = global("pd").attr("Index")(
        labels.attr("take")(global("np").attr("asarray")(kept, "int64")));
    // Group labels carry no frequency, as pandas grouping results do not.
    if (!py::getattr(taken, "freq", py::none()).is_none()) {
        taken = taken.attr("copy")();
        taken.attr("freq") = py::none();
    }
    return {std::move(codes), taken, std::move(rank_of)};
}

RowGroups factorized(const py::object& values) {
    py::tuple pair = global("pd").attr("factorize")(values, py::arg("sort") = true);
    return {int32_codes(pair[0]), global("pd").attr("Index")(pair[1]), {}};
}

int level_position(const py::object& index, const char* level) {
    py::list names(index.attr("names"));
    for (std::size_t k = 0; k < names.size(); ++k)
        if (py::object(names[k]).equal(py::str(level))) return static_cast<int>(k);
    raise_py(PyExc_ValueError,
             py::str("long factor table: index has no level named '{}'").format(level));
}

}  // namespace

RowGroups groups_of_level(const py::object& index, const char* level) {
    if (py::isinstance(index, global("pd").attr("MultiIndex"))) {
        const int position = level_position(index, level);
        return ranked(int32_codes(index.attr("codes")[py::int_(position)]),
                      index.attr("levels")[py::int_(position)]);
    }
    if (!py::object(index.attr("name")).equal(py::str(level))) level_position(index, level);
    return factorized(index);
}

RowGroups groups_of_codes(const CodeView& codes, const py::object& labels) {
    return ranked({}, labels, &codes);
}

RowGroups groups_of_values(const py::object& values) {
    py::object pd = global("pd");
    if (py::isinstance(values.attr("dtype"), pd.attr("CategoricalDtype"))) {
        // The codes are used as they are: no per-row names are materialised.
        py::object categorical = py::isinstance(values, pd.attr("Series"))
                                     ? py::object(values.attr("array"))
                                     : pd.attr("Categorical")(values);
        return ranked(int32_codes(categorical.attr("codes")), categorical.attr("categories"));
    }
    return factorized(values);
}

TableGrid grid_of_table(const py::object& index) {
    std::optional<TableGrid> grid = try_grid_of_table(index);
    if (!grid)
        raise_py(PyExc_ValueError, py::str("Index contains duplicate entries, cannot reshape"));
    return std::move(*grid);
}

std::optional<TableGrid> try_grid_of_table(const py::object& index) {
    if (!py::isinstance(index, global("pd").attr("MultiIndex"))) {
        level_position(index, "datetime");
        return std::nullopt;  // a single-level index is no (date, instrument) grid
    }
    const int date_level = level_position(index, "datetime");
    const int id_level = level_position(index, "order_book_id");
    const CodeView dates = code_view(index.attr("codes")[py::int_(date_level)]);
    const CodeView ids = code_view(index.attr("codes")[py::int_(id_level)]);
    TableGrid grid{ranked({}, index.attr("levels")[py::int_(date_level)], &dates),
                   ranked({}, index.attr("levels")[py::int_(id_level)], &ids),
                   {}};
    const std::vector<std::int32_t>& date_rank = grid.dates.rank_of;
    const std::vector<std::int32_t>& id_rank = grid.instruments.rank_of;
    auto rank = [](const std::vector<std::int32_t>& of, std::int64_t code) {
        return code >= 0 && static_cast<std::size_t>(code) < of.size() ? of[code] : -1;
    };
    const std::size_t n_dates = grid.dates.size();
    const std::size_t n_instruments = grid.instruments.size();
    const std::size_t n_rows = dates.size;
    bool full_product = n_rows == n_dates * n_instruments && n_instruments > 0;
    // Row r of the product in date-major order: date r / n_instruments, instrument
    // r % n_instruments; each level checked in its own walk, counting instead of dividing.
    if (full_product) {
        std::size_t d = 0, i = 0;
        full_product = dates.each([&](std::size_t, std::int64_t code) {
            const bool fits = rank(date_rank, code) == static_cast<std::int32_t>(d);
            if (++i == n_instruments) i = 0, ++d;
            return fits;
        });
    }
    if (full_product) {
        std::size_t i = 0;
        full_product = ids.each([&](std::size_t, std::int64_t code) {
            const bool fits = rank(id_rank, code) == static_cast<std::int32_t>(i);
            if (++i == n_instruments) i = 0;
            return fits;
        });
    }
    if (full_product) return grid;
    grid.rows.assign(n_dates * n_instruments, -1);
    for (std::size_t r = 0; r < n_rows; ++r) {
        const std::int32_t d = rank(date_rank, dates[r]);
        const std::int32_t i = rank(id_rank, ids[r]);
        if (d < 0 || i < 0) continue;
        std::int64_t& cell = grid.rows[static_cast<std::size_t>(d) * n_instruments + i];
        if (cell >= 0) return std::nullopt;
        cell = static_cast<std::int64_t>(r);
    }
    return grid;
}

std::vector<std::int64_t> align_rows(const TableGrid& grid, const py::object& other) {
    if (!py::isinstance(other, global("pd").attr("MultiIndex"))) {
        raise_py(PyExc_ValueError,
                 py::str("industry data: expect a (datetime, order_book_id) MultiIndex, got {}")
                     .format(py::type::of(other)));
    }
    const int date_level = level_position(other, "datetime");
    const int id_level = level_position(other, "order_book_id");
    auto level_map = [&](int level, const RowGroups& groups) {
        return int32_codes(
            groups.labels.attr("get_indexer")(other.attr("levels")[py::int_(level)]));
    };
    const std::vector<std::int32_t> date_map = level_map(date_level, grid.dates);
    const std::vector<std::int32_t> id_map = level_map(id_level, grid.instruments);
    const std::vector<std::int32_t> date_codes =
        int32_codes(other.attr("codes")[py::int_(date_level)]);
    const std::vector<std::int32_t> id_codes = int32_codes(other.attr("codes")[py::int_(id_level)]);
    const std::size_t n_instruments = grid.instruments.size();
    std::vector<std::int64_t> rows(date_codes.size(), -1);
    for (std::size_t j = 0; j < rows.size(); ++j) {
        if (date_codes[j] < 0 || id_codes[j] < 0) continue;
        const std::int32_t d = date_map[date_codes[j]];
        const std::int32_t i = id_map[id_codes[j]];
        if (d < 0 || i < 0) continue;
        const std::size_t cell = static_cast<std::size_t>(d) * n_instruments + i;
        rows[j] = grid.rows.empty() ? static_cast<std::int64_t>(cell) : grid.rows[cell];
    }
    return rows;
}

namespace {

// Two code arrays holding the same codes: byte for byte when they share a dtype and
// layout (pandas keeps the codes of equal levels in the same narrow dtype).
bool same_codes(const py::object& a, const py::object& b) {
    py::array x = py::array::ensure(a), y = py::array::ensure(b);
    if (x && y && x.ndim() == 1 && y.ndim() == 1 && x.dtype().is(y.dtype()) &&
        x.dtype().kind() == 'i' && (x.flags() & py::array::c_style) &&
        (y.flags() & py::array::c_style)) {
        return x.size() == y.size() &&
               (x.data() == y.data() ||  // a shallow copy's index shares its codes
                std::memcmp(x.data(), y.data(), static_cast<std::size_t>(x.nbytes())) == 0);
    }
    return py::bool_(global("np").attr("array_equal")(a, b));
}

}  // namespace

// Two MultiIndexes holding the same labels in the same order, compared through their
// levels and codes (comparing the labels row by row would materialise every one).
bool same_pairs(const py::object& a, const py::object& b) {
    py::object pd = global("pd");
    if (!py::isinstance(a, pd.attr("MultiIndex")) || !py::isinstance(b, pd.attr("MultiIndex")))
        return py::bool_(a.attr("equals")(b));
    if (py::len(a) != py::len(b) || !py::list(a.attr("names")).equal(py::list(b.attr("names"))))
        return false;
    py::list a_levels(a.attr("levels")), b_levels(b.attr("levels"));
    py::list a_codes(a.attr("codes")), b_codes(b.attr("codes"));
    if (a_levels.size() != b_levels.size()) return false;
    for (std::size_t k = 0; k < a_levels.size(); ++k) {
        if (!py::bool_(a_levels[k].attr("equals")(b_levels[k]))) return false;
        if (!same_codes(a_codes[k], b_codes[k])) return false;
    }
    return true;
}

py::array_t<double> numeric_column(const py::object& table, const py::object& column) {
    py::object series = table[column];
    const std::string kind = py::str(series.attr("dtype").attr("kind"));
    if (kind.size() != 1 || std::string("biuf").find(kind[0]) == std::string::npos) {
        raise_py(PyExc_ValueError, py::str("column {}: expect numeric values, got dtype={}")
                                       .format(column, series.attr("dtype")));
    }
    return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        global("np").attr("asarray")(series, "float64"));
}

}  // namespace alvora::study_bench
