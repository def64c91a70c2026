#pragma once

#include <algorithm>
#include <vector>

// The value below which a fraction `p` of `values` lies (reorders them); 0 when empty.
inline double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    size_t k = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return values[k];
}
