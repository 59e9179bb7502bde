// Order and logic kernels (ts_min, ts_max, ts_argmin, ts_argmax, ts_rank,
// count) over float64, int64 and bool series: exact agreement with the window
// definitions, NaN rules included.
#include <cstdint>

#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/rowwise.hpp"
#include "fuzz_support.hpp"

namespace rl = alvora::rolling;
namespace rw = alvora::rolling::rowwise;

namespace {

template <class T>
void check_all(const std::vector<T>& x, std::size_t n, int which) {
    const std::size_t m = x.size() - n + 1;
    std::vector<double> out(m);
    std::vector<T> same_type(m);
    std::vector<std::int64_t> counts(m);
    std::span<const T> xs(x);
    static const char* kNames[] = {"ts_min", "ts_max", "ts_argmin", "ts_argmax", "ts_rank", "count"};
    switch (which) {
        case 0: rl::ts_min(xs, n, std::span<T>(same_type)); break;
        case 1: rl::ts_max(xs, n, std::span<T>(same_type)); break;
        case 2: rl::ts_argmin(xs, n, std::span<double>(out)); break;
        case 3: rl::ts_argmax(xs, n, std::span<double>(out)); break;
        case 4:
            if constexpr (!std::is_same_v<T, rl::Bool>) rl::ts_rank(xs, n, std::span<double>(out));
            break;
        default: rl::count(xs, n, std::span<std::int64_t>(counts)); break;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const T* w = x.data() + i;
        double got = 0, want = 0;
        switch (which) {
            case 0: got = double(same_type[i]); want = double(rw::min(w, n)); break;
            case 1: got = double(same_type[i]); want = double(rw::max(w, n)); break;
            case 2: got = out[i]; want = rw::argmin(w, n); break;
            case 3: got = out[i]; want = rw::argmax(w, n); break;
            case 4:
                if constexpr (std::is_same_v<T, rl::Bool>) return;
                else { got = out[i]; want = rw::rank(w, n); }
                break;
            default: {
                std::vector<std::uint8_t> truth(n);
                for (std::size_t j = 0; j < n; ++j) truth[j] = w[j] != T(0);  // NaN counts as true
                got = double(counts[i]);
                want = double(rw::count(truth.data(), n));
            }
        }
        if (!(got == want || (std::isnan(got) && std::isnan(want))))
            fuzz::fail(kNames[which], i, n, got, want);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int which = in.ConsumeIntegralInRange<int>(0, 5);
    const int type = in.ConsumeIntegralInRange<int>(0, 2);
    fuzz::Case c;
    fuzz::read_case(in, false, c);
    if (type == 0) {
        check_all(c.a, c.n, which);
    } else if (type == 1) {
        // Small integers make ties; the largest magnitudes test comparisons beyond 2^53.
        std::vector<std::int64_t> x(c.a.size());
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = std::isfinite(c.a[i]) ? static_cast<std::int64_t>(c.a[i])
                                         : (std::isnan(c.a[i]) ? INT64_MIN : INT64_MAX - (i & 1));
        check_all(x, c.n, which);
    } else {
        std::vector<rl::Bool> x(c.a.size());
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = c.a[i] > 0 || std::isnan(c.a[i]);
        check_all(x, c.n, which);
    }
    return 0;
}
