// A bounded, append-only list of label texts (command names seen, unsupported features met).
// Labels that would pass the count or byte bounds are not stored; they are only counted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

class BoundedLabelSet {
public:
    static constexpr std::uint64_t kMaxBytes = 1024 * 1024;  // per label and for all labels together
    static constexpr std::size_t kMaxLabels = 4096;

    // Appends a copy of `label` when it fits the bounds (duplicates are stored again); otherwise
    // counts it as dropped. Answers whether the label was stored.
    bool insert(std::string_view label);

    const std::vector<std::string>& labels() const { return labels_; }
    std::uint64_t total_bytes() const { return total_bytes_; }
    std::uint64_t dropped() const { return dropped_; }

    friend bool operator==(const BoundedLabelSet&, const BoundedLabelSet&) = default;

private:
    std::vector<std::string> labels_;
    std::uint64_t total_bytes_ = 0;  // saturating
    std::uint64_t dropped_ = 0;      // saturating
};

}  // namespace tw
