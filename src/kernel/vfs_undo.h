// A rollback log for a run of filesystem changes: each touched node is saved before its first
// change, so the run can be put back exactly (nodes, node counters, clock). It holds copies of
// the touched nodes only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel/vfs.h"

namespace tw {

class VfsUndoLog {
public:
    explicit VfsUndoLog(Vfs& vfs)
        : vfs_(vfs), next_node_id_(vfs.next_node_id()), peak_(vfs.peak()), now_ns_(vfs.now_ns()) {}

    // Saves the node at `canonical` (or its absence) unless it is saved already.
    void save_path(std::string_view canonical) {
        if (!seen_.emplace(canonical).second) return;
        const VfsNode* n = vfs_.node(canonical);
        saved_.emplace_back(std::string(canonical), n ? std::optional<VfsNode>(*n) : std::nullopt);
    }

    // Puts every saved node back, latest first, then the counters and the clock.
    void undo() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            vfs_.take_node(it->first);
            if (it->second) vfs_.store_node(it->first, std::move(*it->second));
        }
        vfs_.restore_counters(next_node_id_, peak_);
        vfs_.set_now_ns(now_ns_);
    }

private:
    Vfs& vfs_;
    std::uint64_t next_node_id_, peak_, now_ns_;
    std::vector<std::pair<std::string, std::optional<VfsNode>>> saved_;
    std::set<std::string, std::less<>> seen_;
};

}  // namespace tw
