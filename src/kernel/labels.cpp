#include "kernel/labels.h"

#include "base/sat.h"

namespace tw {

bool BoundedLabelSet::insert(std::string_view label) {
    const std::uint64_t len = label.size();
    const std::uint64_t total = sat_add(total_bytes_, len);
    if (len > kMaxBytes || labels_.size() >= kMaxLabels || total > kMaxBytes) {
        dropped_ = sat_add(dropped_, std::uint64_t{1});
        return false;
    }
    labels_.emplace_back(label);
    total_bytes_ = total;
    return true;
}

}  // namespace tw
