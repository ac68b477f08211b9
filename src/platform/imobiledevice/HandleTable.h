#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

namespace keldo {

// The one counter of every table's ids.
inline std::uint64_t nextHandleId() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

// The records behind the handles that a backend gives out, by id. An id is a number drawn from
// one process-wide counter: it is never 0, never given twice in the process's life and never the
// id of a record of another table, so a stale, forged or mixed-up handle finds nothing and can
// never reach freed or reused memory. Not locked: its owner guards it.
template <typename Record>
class HandleTable {
public:
    // Keeps the record under a new id.
    std::uint64_t add(std::shared_ptr<Record> record) {
        const std::uint64_t id = nextHandleId();
        records_.emplace(id, std::move(record));
        return id;
    }

    [[nodiscard]] std::shared_ptr<Record> find(std::uint64_t id) const {
        auto it = records_.find(id);
        return it == records_.end() ? nullptr : it->second;
    }

    // Removes the record and hands it over; null when there is none.
    std::shared_ptr<Record> take(std::uint64_t id) {
        auto it = records_.find(id);
        if (it == records_.end()) return nullptr;
        auto record = std::move(it->second);
        records_.erase(it);
        return record;
    }

    std::size_t size() const { return records_.size(); }
    // In the order the ids were given.
    auto begin() const { return records_.begin(); }
    auto end() const { return records_.end(); }

private:
    std::map<std::uint64_t, std::shared_ptr<Record>> records_;
};

} // namespace keldo
