// Industry classification history, per-date industry lookup and listing masks.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "study_bench/quantile_panels.hpp"
#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_groups.hpp"
#include "study_bench/study_inputs.hpp"

namespace alvora::study_bench {

namespace {

py::object global(const char* name) {
    return module_globals()[name];
}

const char* const kCacheDoc =
    R"doc(下载一个行业分类来源的全部一级行业历史（由模块的 ttl_cache 缓存 3600 秒）。

申万分类同时含三个版本：起始日在 2014-01-01（含）之前取版本 1，2014-01-01 之后至 2021-07-31（含）取版本 2，
之后取版本 3。

:param source: "citics_2019"（中信 2019）或 "sws"（申万）
:return: 行业名称 Series，index 为 ("order_book_id", "start_date")，已排序
:raises ValueError: 未知的来源

Example::

    history = _cache_industry_data(source="sws")
)doc";

const char* const kLoadDoc = R"doc(查询每个（日期, 股票）上的一级行业名称。

每个股票在某日的行业取起始日不晚于该日的最后一条分类记录；该日之前没有任何记录时为缺失值（NaN），
因此调用方分组（groupby）或生成哑变量（get_dummies）时会自动忽略这些样本。
取值为 category 类型（类别只含实际出现的行业名称，升序），以节省内存。
只保留股票在该日处于上市状态的样本（按标签对齐上市掩码）。

:param order_book_ids: 股票代码序列
:param dates: 日期序列
:param source: "citics_2019" 或 "sws"
:return: 行业名称 Series（category 类型），index 为 ("datetime", "order_book_id")，按日期、股票代码升序

Example::

    industry = _load_industry_data(["000001.XSHE"], pd.to_datetime(["2020-01-02"]), source="citics_2019")
)doc";

const char* const kListedDoc =
    R"doc(每个股票在每个日期是否处于上市状态（上市日当天起，至退市日前一天）。

:param order_book_ids: 股票代码序列（重复的只保留一次）
:param trading_dates: 日期序列
:return: 布尔 Series，index 为（日期, 股票代码）的 MultiIndex，按给定顺序
:raises KeyError: 股票不在普通股列表中

Example::

    mask = _get_listed_date_mask_series(["000001.XSHE"], pd.to_datetime(["2020-01-02"]))
)doc";

// ---- industry history --------------------------------------------------------------------

py::object cache_industry_data(py::object source) {
    py::object pd = global("pd");
    py::object client = global("tessal").attr("client").attr("get_client")();
    py::object table;
    std::string field;
    if (source.equal(py::str("citics_2019"))) {
        field = "first_industry_name";
        table = pd.attr("DataFrame")(
            client.attr("execute")("__internal__zx2019_industry"),
            py::arg("columns") = py::make_tuple(field, "order_book_id", "start_date"));
    } else if (source.equal(py::str("sws"))) {
        field = "index_name";
        table = pd.attr("DataFrame")(
            client.attr("execute")("__internal__shenwan_industry"),
            py::arg("columns") = py::make_tuple(field, "order_book_id", "start_date", "version"));
    } else {
        raise_py(
            PyExc_ValueError,
            py::str("source: invalid source={}, expect one of [sws, citics_2019]").format(source));
    }
    // Start dates as timestamps, so that the lookups compare them with requested dates.
    table.attr("__setitem__")("start_date", pd.attr("to_datetime")(table["start_date"]));
    if (field == "index_name") {
        // Three editions side by side: keep the one valid at each record's start date.
        py::object start = table["start_date"];
        py::object np = global("np");
        py::object select = np.attr("where")(
            start.attr("__gt__")(pd.attr("Timestamp")("2021-07-31")), 3,
            np.attr("where")(start.attr("__gt__")(pd.attr("Timestamp")("2014-01-01")), 2, 1));
        table = table[table["version"].attr("__eq__")(select)];
    }
    py::list keys;
    keys.append("order_book_id");
    keys.append("start_date");
    return table.attr("set_index")(keys)[py::str(field)].attr("sort_index")();
}

// ---- listing mask ------------------------------------------------------------------------

std::string date_text(const py::object& value, const py::object& to_date_str) {
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    return py::str(to_date_str(value)).cast<std::string>();
}

// Listing flags of every (date, instrument) pair, dates-major: flags[d * ids + i].
struct Listing {
    py::list ids;  // the requested instruments, each once, in order
    py::list date_texts;
    std::vector<std::uint8_t> flags;
};

Listing listing_of(py::object order_book_ids, py::object trading_dates) {
    py::object tessal = global("tessal");
    py::object to_date_str = tessal.attr("utils").attr("to_date_str");
    py::object table = tessal.attr("all_instruments")("CS").attr("set_index")("order_book_id");
    py::object de_listed_column =
        table["de_listed_date"].attr("replace")("0000-00-00", "2999-12-31");
    py::dict listed_dates = table["listed_date"].attr("to_dict")();
    py::dict de_listed_dates = de_listed_column.attr("to_dict")();

    Listing listing;
    std::vector<std::string> dates;
    for (py::handle date : trading_dates) {
        py::str text = to_date_str(date);
        listing.date_texts.append(text);
        dates.push_back(text.cast<std::string>());
    }
    std::vector<std::string> starts;
    std::vector<std::string> ends;
    py::set seen;
    py::object isna = global("pd").attr("isna");
    for (py::handle id : order_book_ids) {
        if (seen.contains(id)) continue;
        seen.add(id);
        listing.ids.append(id);
        if (!listed_dates.contains(id)) {
            PyErr_SetObject(PyExc_KeyError, id.ptr());
            throw py::error_already_set();
        }
        py::object start = listed_dates[id];
        py::object end = de_listed_dates[id];
        // A missing listing date never lists; a missing de-listing date never de-lists.
        starts.push_back(py::bool_(isna(start)) ? std::string("9999-99-99")
                                                : date_text(start, to_date_str));
        ends.push_back(py::bool_(isna(end)) ? std::string("2999-12-31")
                                            : date_text(end, to_date_str));
    }
    const std::size_t n_ids = starts.size();
    listing.flags.resize(dates.size() * n_ids);
    for (std::size_t d = 0; d < dates.size(); ++d)
        for (std::size_t i = 0; i < n_ids; ++i)
            listing.flags[d * n_ids + i] = starts[i] <= dates[d] && dates[d] < ends[i];
    return listing;
}

// An int8/int16/int32 array chosen by the largest code it must hold (-1 = missing).
struct SmallCodes {
    py::array array;
    int bytes;
    SmallCodes(std::int64_t n, std::size_t n_values)
        : bytes(n_values < 127     ? 1
                : n_values < 32767 ? 2
                                   : 4) {
        const char* dtype = bytes == 1 ? "int8" : bytes == 2 ? "int16" : "int32";
        array = py::array(py::dtype(dtype), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
    }
    void set(std::int64_t k, std::int32_t value) {
        void* data = array.mutable_data();
        if (bytes == 1)
            static_cast<std::int8_t*>(data)[k] = static_cast<std::int8_t>(value);
        else if (bytes == 2)
            static_cast<std::int16_t*>(data)[k] = static_cast<std::int16_t>(value);
        else
            static_cast<std::int32_t*>(data)[k] = value;
    }
    std::int32_t get(std::int64_t k) const {
        const void* data = array.data();
        if (bytes == 1) return static_cast<const std::int8_t*>(data)[k];
        if (bytes == 2) return static_cast<const std::int16_t*>(data)[k];
        return static_cast<const std::int32_t*>(data)[k];
    }
};

py::object listed_date_mask_series(py::object order_book_ids, py::object trading_dates) {
    Listing listing = listing_of(order_book_ids, trading_dates);
    py::object pd = global("pd");
    // The (date, instrument) product built directly from narrow codes: the generic product
    // constructor widens them to 64 bits first, which costs gigabytes on large panels.
    py::tuple dates = pd.attr("factorize")(pd.attr("to_datetime")(listing.date_texts));
    const std::vector<std::int32_t> date_codes = int32_codes(dates[0]);
    const std::size_t n_ids = listing.ids.size();
    const auto n = static_cast<std::int64_t>(listing.flags.size());
    SmallCodes outer(n, py::len(dates[1])), inner(n, n_ids);
    py::array_t<bool> values(n);
    bool* flags = values.mutable_data();
    std::int64_t k = 0;
    for (std::size_t d = 0; d < date_codes.size(); ++d) {
        for (std::size_t i = 0; i < n_ids; ++i, ++k) {
            outer.set(k, date_codes[d]);
            inner.set(k, static_cast<std::int32_t>(i));
            flags[k] = listing.flags[k] != 0;
        }
    }
    py::object index =
        pd.attr("MultiIndex")(py::arg("levels") = py::make_tuple(pd.attr("DatetimeIndex")(dates[1]),
                                                                 pd.attr("Index")(listing.ids)),
                              py::arg("codes") = py::make_tuple(outer.array, inner.array),
                              py::arg("verify_integrity") = false);
    return pd.attr("Series")(values, py::arg("index") = index);
}

// ---- industry per (date, instrument) ------------------------------------------------------

std::vector<std::int64_t> nanoseconds(const py::object& dates) {
    py::object np = global("np");
    py::object converted =
        np.attr("asarray")(global("pd").attr("to_datetime")(dates), "datetime64[ns]")
            .attr("view")("int64");
    auto arr =
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(converted);
    return {arr.data(), arr.data() + arr.size()};
}

// Small integer codes (int8/int16/int32 by the largest one) in pages of their own, returned
// to the system when freed: codes kept across the steps of a study must not hold the heap
// above the steps' freed temporaries (it could not shrink below them).
class PageCodes {
  public:
    PageCodes(std::size_t n, std::size_t n_values)
        : bytes_(n_values < 127     ? 1
                 : n_values < 32767 ? 2
                                    : 4),
          size_(n * bytes_) {
        if (size_ == 0) return;
        data_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data_ == MAP_FAILED) {
            data_ = nullptr;
            throw std::bad_alloc();
        }
    }
    ~PageCodes() {
        if (data_ != nullptr) munmap(data_, size_);
    }
    PageCodes(const PageCodes&) = delete;
    PageCodes& operator=(const PageCodes&) = delete;
    PageCodes(PageCodes&& other) noexcept
        : bytes_(other.bytes_), size_(other.size_), data_(other.data_) {
        other.data_ = nullptr;
    }
    void set(std::size_t k, std::int32_t value) {
        if (bytes_ == 1)
            static_cast<std::int8_t*>(data_)[k] = static_cast<std::int8_t>(value);
        else if (bytes_ == 2)
            static_cast<std::int16_t*>(data_)[k] = static_cast<std::int16_t>(value);
        else
            static_cast<std::int32_t*>(data_)[k] = value;
    }
    std::int32_t get(std::size_t k) const {
        if (bytes_ == 1) return static_cast<const std::int8_t*>(data_)[k];
        if (bytes_ == 2) return static_cast<const std::int16_t*>(data_)[k];
        return static_cast<const std::int32_t*>(data_)[k];
    }

  private:
    int bytes_;
    std::size_t size_;
    void* data_ = nullptr;
};

// The industry of every (date, instrument) cell of a request, compact: the series is made
// from it on demand.
struct IndustryCells {
    static constexpr std::int32_t kNoPair = -2;
    py::object level_dates, level_ids, categories;
    std::vector<std::int64_t> date_count, id_count;  // requests of each level value
    PageCodes names;                                 // date level-major
    std::int64_t pairs = 0;                          // rows of the series
};

// Industry cells loaded while a study runs (see StudyScope), served again to its later
// steps: the neutralization and the IC breakdown ask for the same pairs. An entry stands for
// a request (instruments, dates, source) answered from the same history table through the
// same listing helper; it keeps the compact cells, not the series, and is served once.
struct IndustryMemo {
    struct Entry {
        py::list ids;
        std::vector<std::int64_t> date_ns;
        py::object date_dtype, source, history, listing;
        std::shared_ptr<IndustryCells> cells;
    };
    int depth = 0;  // open study scopes
    std::vector<Entry> entries;

    // The cells of an entry for the same request, taken out of the memo: the steps of a
    // study ask twice, and nothing is kept longer than needed.
    std::shared_ptr<IndustryCells> take(const Entry& key) {
        for (auto e = entries.begin(); e != entries.end(); ++e) {
            if (e->history.is(key.history) && e->listing.is(key.listing) &&
                e->date_ns == key.date_ns && e->source.equal(key.source) &&
                e->date_dtype.equal(key.date_dtype) && e->ids.equal(key.ids)) {
                std::shared_ptr<IndustryCells> cells = e->cells;
                entries.erase(e);
                return cells;
            }
        }
        return nullptr;
    }
};
// On the heap and never destroyed: Python objects must not be released after the
// interpreter has gone.
IndustryMemo& g_industry_memo = *new IndustryMemo();

IndustryCells industry_cells(py::object order_book_ids, py::object dates, py::object source) {
    py::object pd = global("pd");
    py::object np = global("np");
    py::object history = global("_cache_industry_data")(py::arg("source") = source);
    py::list ids(order_book_ids);
    py::object date_index = pd.attr("to_datetime")(py::list(dates));
    const std::vector<std::int64_t> date_ns = nanoseconds(date_index);

    // Records of each requested instrument: a contiguous, date-sorted run of the history.
    py::object history_index = history.attr("index");
    py::object history_ids = history_index.attr("get_level_values")(0);
    const std::vector<std::int64_t> starts_ns =
        nanoseconds(history_index.attr("get_level_values")(1));
    auto run_begin = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        history_ids.attr("searchsorted")(ids, py::arg("side") = "left"));
    auto run_end = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        history_ids.attr("searchsorted")(ids, py::arg("side") = "right"));

    // Listing flags aligned by label: the mask series is looked up per (date, instrument).
    py::object mask = global("_get_listed_date_mask_series")(ids, date_index);
    py::object mask_index = mask.attr("index");
    if (!py::isinstance(mask_index, pd.attr("MultiIndex")) ||
        py::len(mask_index.attr("levels")) != 2) {
        raise_py(PyExc_ValueError,
                 py::str("listing mask: expect a boolean Series indexed by (date, instrument)"));
    }
    auto mask_values = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(
        np.attr("asarray")(mask, "bool"));
    auto level_map = [&](int level, const py::object& wanted) {
        auto arr = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
            np.attr("asarray")(
                mask_index.attr("levels")[py::int_(level)].attr("get_indexer")(wanted), "int64"));
        return std::vector<std::int64_t>(arr.data(), arr.data() + arr.size());
    };
    // Positions of the requested dates and ids among the mask's level values.
    py::object unique_dates = date_index.attr("unique")();
    py::object unique_ids = pd.attr("Index")(ids).attr("unique")();
    // Intraday timestamps take the listing of their calendar day.
    std::vector<std::int64_t> date_slot = level_map(0, unique_dates);
    const std::vector<std::int64_t> day_slot = level_map(0, unique_dates.attr("normalize")());
    for (std::size_t k = 0; k < date_slot.size(); ++k)
        if (date_slot[k] < 0) date_slot[k] = day_slot[k];
    const std::vector<std::int64_t> id_slot = level_map(1, unique_ids);
    auto to_unique = [&](const py::object& all, const py::object& unique) {
        auto arr = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
            np.attr("asarray")(unique.attr("get_indexer")(all), "int64"));
        return std::vector<std::int64_t>(arr.data(), arr.data() + arr.size());
    };
    const std::vector<std::int64_t> date_unique = to_unique(date_index, unique_dates);
    const std::vector<std::int64_t> id_unique = to_unique(pd.attr("Index")(ids), unique_ids);
    const std::size_t n_mask_dates = py::len(mask_index.attr("levels")[py::int_(0)]);
    const std::size_t n_mask_ids = py::len(mask_index.attr("levels")[py::int_(1)]);
    std::vector<std::uint8_t> listed(n_mask_dates * n_mask_ids, 0);
    {
        const CodeView mask_dates = code_view(mask_index.attr("codes")[py::int_(0)]);
        const CodeView mask_ids = code_view(mask_index.attr("codes")[py::int_(1)]);
        if (static_cast<py::ssize_t>(mask_dates.size) != mask_values.size() ||
            mask_ids.size != mask_dates.size) {
            raise_py(PyExc_ValueError, py::str("listing mask: index and values differ in length"));
        }
        const bool* flags = mask_values.data();
        for (std::size_t k = 0; k < mask_dates.size; ++k) {
            const std::int64_t d = mask_dates[k];
            const std::int64_t i = mask_ids[k];
            if (d >= 0 && i >= 0 && flags[k])
                listed[static_cast<std::size_t>(d) * n_mask_ids + i] = 1;
        }
    }
    // The flags are copied out; drop the mask before the output is built.
    mask_values = py::array_t<bool, py::array::c_style | py::array::forcecast>();
    mask_index = py::none();
    mask = py::none();
    auto is_listed = [&](std::size_t d, std::size_t i) {
        const std::int64_t ds = date_slot[date_unique[d]];
        const std::int64_t is = id_slot[id_unique[i]];
        return ds >= 0 && is >= 0 && listed[ds * n_mask_ids + is];
    };

    // Output levels: the distinct dates and ids, ascending; codes index into them.
    py::object level_dates = unique_dates.attr("sort_values")();
    py::object level_ids = unique_ids.attr("sort_values")();
    const std::vector<std::int64_t> date_code = to_unique(date_index, level_dates);
    const std::vector<std::int64_t> id_code = to_unique(pd.attr("Index")(ids), level_ids);

    // Pairs in index order (dates, then instruments, ascending); a pair requested k times
    // (repeated dates or instruments) appears k times in a row.
    const std::size_t n_level_dates = py::len(level_dates);
    const std::size_t n_level_ids = py::len(level_ids);
    std::vector<std::int64_t> a_date(n_level_dates, -1), a_id(n_level_ids, -1);
    std::vector<std::int64_t> date_count(n_level_dates, 0), id_count(n_level_ids, 0);
    for (std::size_t d = 0; d < date_code.size(); ++d) {
        if (date_code[d] < 0) continue;  // NaT
        if (a_date[date_code[d]] < 0) a_date[date_code[d]] = static_cast<std::int64_t>(d);
        ++date_count[date_code[d]];
    }
    for (std::size_t i = 0; i < id_code.size(); ++i) {
        if (id_code[i] < 0) continue;
        if (a_id[id_code[i]] < 0) a_id[id_code[i]] = static_cast<std::int64_t>(i);
        ++id_count[id_code[i]];
    }
    // Industry of every history record as a category code (names ascending).
    py::tuple factorized = pd.attr("factorize")(
        history.attr("to_numpy")(py::arg("dtype") = "object"), py::arg("sort") = true);
    auto record_codes =
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(factorized[0]);
    py::object names = factorized[1];

    // Industry code of every (date level, instrument level) cell: kNoPair where the pair is
    // not requested or not listed, -1 where no record starts on or before the date.
    IndustryCells cells{level_dates, level_ids,
                        py::none(),  date_count,
                        id_count,    PageCodes(n_level_dates * n_level_ids, py::len(names) + 1)};
    std::vector<std::uint8_t> name_used(py::len(names), 0);
    for (std::size_t dc = 0; dc < n_level_dates; ++dc) {
        const auto d = static_cast<std::size_t>(a_date[dc]);
        for (std::size_t ic = 0; ic < n_level_ids; ++ic) {
            const std::size_t cell = dc * n_level_ids + ic;
            const auto i = static_cast<std::size_t>(a_id[ic]);
            if (date_count[dc] == 0 || id_count[ic] == 0 || !is_listed(d, i)) {
                cells.names.set(cell, IndustryCells::kNoPair);
                continue;
            }
            cells.pairs += date_count[dc] * id_count[ic];
            // Last record of the instrument starting on or before the date; none yet: missing.
            const auto begin = starts_ns.begin() + run_begin.data()[i];
            const auto end = starts_ns.begin() + run_end.data()[i];
            const auto after = std::upper_bound(begin, end, date_ns[d]);
            std::int32_t name = -1;
            if (after != begin) {
                name =
                    static_cast<std::int32_t>(record_codes.data()[(after - starts_ns.begin()) - 1]);
                if (name >= 0) name_used[static_cast<std::size_t>(name)] = 1;
            }
            cells.names.set(cell, name);
        }
    }
    // Only the industries that occur become categories.
    std::vector<std::int32_t> renumber(name_used.size(), -1);
    py::list kept;
    std::int32_t next = 0;
    for (std::size_t c = 0; c < name_used.size(); ++c)
        if (name_used[c]) {
            renumber[c] = next++;
            kept.append(c);
        }
    for (std::size_t r = 0; r < n_level_dates * n_level_ids; ++r) {
        const std::int32_t name = cells.names.get(r);
        if (name >= 0) cells.names.set(r, renumber[static_cast<std::size_t>(name)]);
    }
    cells.categories = names.attr("take")(np.attr("asarray")(kept, "int64"));
    return cells;
}

// The industry series of a cell table: pairs in index order (dates, then instruments,
// ascending); a pair requested k times (repeated dates or instruments) appears k times in a
// row.
py::object industry_series(const IndustryCells& cells) {
    py::object pd = global("pd");
    const std::size_t n_level_dates = cells.date_count.size();
    const std::size_t n_level_ids = cells.id_count.size();
    // Codes in the narrowest integer type pandas would keep them in, to save memory.
    SmallCodes out_dates(cells.pairs, n_level_dates), out_ids(cells.pairs, n_level_ids);
    SmallCodes out_names(cells.pairs, py::len(cells.categories));
    std::int64_t at = 0;
    for (std::size_t dc = 0; dc < n_level_dates; ++dc) {
        for (std::size_t ic = 0; ic < n_level_ids; ++ic) {
            const std::int32_t name = cells.names.get(dc * n_level_ids + ic);
            if (name == IndustryCells::kNoPair) continue;
            const std::int64_t k = cells.date_count[dc] * cells.id_count[ic];
            for (std::int64_t r = 0; r < k; ++r, ++at) {
                out_dates.set(at, static_cast<std::int32_t>(dc));
                out_ids.set(at, static_cast<std::int32_t>(ic));
                out_names.set(at, name);
            }
        }
    }
    py::object index = pd.attr("MultiIndex")(
        py::arg("levels") = py::make_tuple(cells.level_dates, cells.level_ids),
        py::arg("codes") = py::make_tuple(out_dates.array, out_ids.array),
        py::arg("names") = py::make_tuple("datetime", "order_book_id"),
        py::arg("verify_integrity") = false);
    py::object values =
        pd.attr("Categorical")
            .attr("from_codes")(out_names.array, py::arg("categories") = cells.categories);
    return pd.attr("Series")(values, py::arg("index") = index);
}

py::object load_industry_data(py::object order_book_ids, py::object dates, py::object source) {
    if (g_industry_memo.depth == 0)
        return industry_series(industry_cells(order_book_ids, dates, source));
    IndustryMemo::Entry key;
    key.ids = py::list(order_book_ids);
    py::object date_index = global("pd").attr("to_datetime")(py::list(dates));
    key.date_ns = nanoseconds(date_index);
    key.date_dtype = py::str(date_index.attr("dtype"));
    key.source = source;
    key.history = global("_cache_industry_data")(py::arg("source") = source);
    key.listing = global("_get_listed_date_mask_series");
    if (std::shared_ptr<IndustryCells> cells = g_industry_memo.take(key))
        return industry_series(*cells);
    key.cells = std::make_shared<IndustryCells>(industry_cells(key.ids, date_index, source));
    g_industry_memo.entries.push_back(key);
    return industry_series(*key.cells);
}

}  // namespace

StudyScope::StudyScope() {
    ++g_industry_memo.depth;
}

StudyScope::~StudyScope() {
    if (--g_industry_memo.depth == 0) {
        g_industry_memo.entries.clear();
        portfolio_io::forget_scope_levels();
    }
}

bool StudyScope::open() {
    return g_industry_memo.depth > 0;
}

bool in_shared_study(const py::object& client) {
    return py::bool_(py::getattr(client, "_alvora_study_scope", py::bool_(false)));
}

void register_industry(py::module_& m) {
    py::cpp_function raw(&cache_industry_data, py::name("_cache_industry_data"), py::scope(m),
                         py::arg("source") = "citics_2019", py::doc(kCacheDoc));
    m.attr("_cache_industry_data") = m.attr("ttl_cache")(3600)(raw);
    m.def("_load_industry_data", &load_industry_data, py::arg("order_book_ids"), py::arg("dates"),
          py::arg("source") = "citics_2019", kLoadDoc);
    m.def("_get_listed_date_mask_series", &listed_date_mask_series, py::arg("order_book_ids"),
          py::arg("trading_dates"), kListedDoc);
}

}  // namespace alvora::study_bench
