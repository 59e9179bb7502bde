#include "study_bench/ic_shared.hpp"

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "study_bench/registry.hpp"
#include "study_bench/study_watch.hpp"

namespace alvora::study_bench {

namespace {

// Orders larger than this are not kept: each factor sorts its own, as outside a study.
constexpr std::size_t kMostBytes = std::size_t{512} << 20;

// The orders made in the running study, with what they were made from.
struct OrdersMemo {
    py::object watch;  // weakref to the study's client; the memo goes with it
    std::vector<py::array_t<double>> columns;
    std::optional<stats::RowGrid> grid;
    std::vector<std::int64_t> grid_rows;
    std::shared_ptr<const TableGrid> grid_owner;  // the grid they were made over, if known
    std::vector<stats::DateOrders> by_date;
    std::optional<stats::GroupedRows> groups;
    stats::ReturnOrders by_group;

    void clear() {
        watch = py::object();
        columns.clear();
        grid.reset();
        grid_rows.clear();
        grid_owner.reset();
        by_date = {};
        groups.reset();
        by_group = {};
    }
};
// On the heap and never destroyed: Python objects must not be released after the
// interpreter has gone.
OrdersMemo& g_memo = *new OrdersMemo();

// The grid made in the running study, with the index it was made from.
struct GridMemo {
    py::object watch;  // weakref to the study's client; the memo goes with it
    py::object index;
    std::shared_ptr<const TableGrid> grid;
    std::map<std::string, py::object> labels;  // of study_index_labels

    void clear() {
        watch = index = py::object();
        grid.reset();
        labels.clear();
    }
};
GridMemo& g_grid = *new GridMemo();

// Same pairs in the same order, and level labels of the same types (the grid's labels
// become the labels of results).
bool same_grid_index(const py::object& a, const py::object& b) {
    if (a.is(b)) return true;
    if (!same_pairs(a, b)) return false;
    py::list a_levels(a.attr("levels")), b_levels(b.attr("levels"));
    for (std::size_t k = 0; k < a_levels.size(); ++k)
        if (!py::object(a_levels[k].attr("dtype")).equal(b_levels[k].attr("dtype"))) return false;
    return true;
}

bool same_values(const py::array_t<double>& a, const py::array_t<double>& b) {
    if (a.size() != b.size()) return false;
    return a.data() == b.data() ||
           std::memcmp(a.data(), b.data(), static_cast<std::size_t>(a.size()) * sizeof(double)) ==
               0;
}

// Whether the memo belongs to the study now running and to these return values; when a
// study runs but the memo does not fit, it is reset for these values. False outside a
// study.
bool memo_for(const ReturnColumns& returns) {
    py::object client = study_client();
    if (client.is_none()) {
        g_memo.clear();
        return false;
    }
    bool same = watches(g_memo.watch, client) && g_memo.columns.size() == returns.arrays.size();
    for (std::size_t k = 0; same && k < returns.arrays.size(); ++k)
        same = same_values(g_memo.columns[k], returns.arrays[k]);
    if (same) {
        // Kept from now on: the next step of this factor reads the same buffers and is
        // recognised without comparing values, and the previous factor's table is let go.
        g_memo.columns = returns.arrays;
        return true;
    }
    g_memo.clear();
    if (!watch_client(g_memo.watch, client, [] { g_memo.clear(); })) return false;
    g_memo.columns = returns.arrays;
    return true;
}

bool same_grid(const stats::RowGrid& a, const std::vector<std::int64_t>& a_rows,
               const stats::RowGrid& b) {
    return a.n_dates == b.n_dates && a.n_instruments == b.n_instruments &&
           a_rows.size() == b.rows.size() &&
           std::equal(a_rows.begin(), a_rows.end(), b.rows.begin());
}

}  // namespace

py::object study_client() {
    py::object client = module_globals()["tessal"];
    if (!py::bool_(py::getattr(client, "_alvora_study_scope", py::bool_(false)))) return py::none();
    return client;
}

std::shared_ptr<const TableGrid> study_grid_of_table(const py::object& index) {
    auto make = [&]() -> std::shared_ptr<const TableGrid> {
        std::optional<TableGrid> grid = try_grid_of_table(index);
        if (!grid) return nullptr;
        return std::make_shared<const TableGrid>(std::move(*grid));
    };
    py::object client = study_client();
    if (client.is_none() || !py::isinstance(index, module_globals()["pd"].attr("MultiIndex"))) {
        g_grid.clear();
        return make();
    }
    if (g_grid.grid && watches(g_grid.watch, client) && same_grid_index(g_grid.index, index))
        return g_grid.grid;
    g_grid.clear();
    std::shared_ptr<const TableGrid> grid = make();
    if (!grid) return grid;
    if (!watch_client(g_grid.watch, client, [] { g_grid.clear(); })) return grid;
    g_grid.index = index;
    g_grid.grid = grid;
    return grid;
}

py::object study_index_labels(const py::object& index, const std::string& key,
                              const std::function<py::object()>& make) {
    py::object client = study_client();
    const bool kept = !client.is_none() && g_grid.grid && watches(g_grid.watch, client) &&
                      same_grid_index(g_grid.index, index);
    if (!kept) return make();
    auto found = g_grid.labels.find(key);
    if (found == g_grid.labels.end()) found = g_grid.labels.emplace(key, make()).first;
    return found->second.attr("copy")();  // a shallow copy: renaming it leaves ours be
}

std::span<const stats::DateOrders> study_date_orders(
    const ReturnColumns& returns, const stats::RowGrid& grid,
    const std::shared_ptr<const TableGrid>& owner) {
    if (stats::date_return_orders_bytes(returns.spans.size(), grid) > kMostBytes) return {};
    if (!memo_for(returns)) return {};
    // A grid served again by study_grid_of_table is the same grid: no need to compare.
    const bool same_owner = owner && owner == g_memo.grid_owner;
    if (!g_memo.grid || (!same_owner && !same_grid(*g_memo.grid, g_memo.grid_rows, grid))) {
        std::vector<stats::DateOrders> orders;
        {
            py::gil_scoped_release release;
            orders = stats::date_return_orders(returns.spans, grid);
        }
        g_memo.grid_rows.assign(grid.rows.begin(), grid.rows.end());
        g_memo.grid = stats::RowGrid{grid.n_dates, grid.n_instruments, g_memo.grid_rows};
        g_memo.by_date = std::move(orders);
    }
    g_memo.grid_owner = owner;
    return g_memo.by_date;
}

const stats::ReturnOrders* study_group_orders(const ReturnColumns& returns,
                                              const stats::GroupedRows& groups) {
    const std::size_t bytes = stats::group_return_orders_bytes(returns.spans.size(), groups);
    if (bytes > kMostBytes || !memo_for(returns)) return nullptr;
    if (!g_memo.groups || g_memo.groups->offsets != groups.offsets ||
        g_memo.groups->rows != groups.rows) {
        stats::ReturnOrders orders;
        {
            py::gil_scoped_release release;
            orders = stats::group_return_orders(returns.spans, groups);
        }
        g_memo.groups = groups;
        g_memo.by_group = std::move(orders);
    }
    return &g_memo.by_group;
}

}  // namespace alvora::study_bench
