// A read-only dates x instruments panel stored row by row (one row per date).
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>

namespace alvora::portfolio {

struct PanelView {
    std::span<const double> values;
    std::size_t rows = 0;
    std::size_t cols = 0;

    PanelView() = default;
    PanelView(std::span<const double> v, std::size_t r, std::size_t c) : values(v), rows(r), cols(c) {
        if (r * c != v.size()) throw std::invalid_argument("panel shape does not match its buffer");
    }
    const double* row(std::size_t r) const { return values.data() + r * cols; }
};

}  // namespace alvora::portfolio
