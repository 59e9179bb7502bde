#include "study_bench/ic_shared.hpp"

#include <cstring>
#include <optional>

#include "study_bench/registry.hpp"

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
    std::vector<stats::DateOrders> by_date;
    std::optional<stats::GroupedRows> groups;
    stats::ReturnOrders by_group;

    void clear() {
        watch = py::object();
        columns.clear();
        grid.reset();
        grid_rows.clear();
        by_date = {};
        groups.reset();
        by_group = {};
    }
};
// On the heap and never destroyed: Python objects must not be released after the
// interpreter has gone.
OrdersMemo& g_memo = *new OrdersMemo();

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
    bool same = g_memo.watch && py::object(g_memo.watch()).is(client) &&
                g_memo.columns.size() == returns.arrays.size();
    for (std::size_t k = 0; same && k < returns.arrays.size(); ++k)
        same = same_values(g_memo.columns[k], returns.arrays[k]);
    if (same) {
        // Kept from now on: the next step of this factor reads the same buffers and is
        // recognised without comparing values, and the previous factor's table is let go.
        g_memo.columns = returns.arrays;
        return true;
    }
    g_memo.clear();
    try {
        py::cpp_function forget([](py::handle) { g_memo.clear(); });
        g_memo.watch = py::weakref(client, forget);
    } catch (py::error_already_set&) {  // a client that cannot be watched: no reuse
        return false;
    }
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

std::span<const stats::DateOrders> study_date_orders(const ReturnColumns& returns,
                                                     const stats::RowGrid& grid) {
    if (stats::date_return_orders_bytes(returns.spans.size(), grid) > kMostBytes) return {};
    if (!memo_for(returns)) return {};
    if (!g_memo.grid || !same_grid(*g_memo.grid, g_memo.grid_rows, grid)) {
        std::vector<stats::DateOrders> orders;
        {
            py::gil_scoped_release release;
            orders = stats::date_return_orders(returns.spans, grid);
        }
        g_memo.grid_rows.assign(grid.rows.begin(), grid.rows.end());
        g_memo.grid = stats::RowGrid{grid.n_dates, grid.n_instruments, g_memo.grid_rows};
        g_memo.by_date = std::move(orders);
    }
    return g_memo.by_date;
}

const stats::ReturnOrders* study_group_orders(const ReturnColumns& returns,
                                              const stats::GroupedRows& groups) {
    // Per grouped row: a mask byte per column and two (index, value) entries at most.
    const std::size_t bytes = groups.rows.size() * returns.spans.size() * (1 + 2 * (4 + 8));
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
