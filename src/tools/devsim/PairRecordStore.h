#pragma once

#include "platform/plist/PlistValue.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace keldo {

// The pair records that the simulator's usbmuxd keeps for the host, by udid: whatever a client
// saved, as it saved it (a binary or an XML property list). They outlive detaching and restarts
// of the simulator's socket, as the daemon's files do. Thread-safe.
class PairRecordStore {
public:
    std::optional<PlistValue::Data> read(const std::string& udid) const;
    // Keeps `data` as the udid's record; false, keeping nothing, when it is no property list whose
    // top is a dictionary (the daemon refuses those too).
    [[nodiscard]] bool save(const std::string& udid, PlistValue::Data data);
    // False when there was none.
    bool remove(const std::string& udid);
    // The HostID that the udid's record holds.
    std::optional<std::string> hostIdOf(const std::string& udid) const;

    // The dictionary of a record's bytes; none when they hold none.
    static PlistRef parse(const PlistValue::Data& data);

private:
    mutable std::mutex mutex_;
    std::map<std::string, PlistValue::Data> records_;
};

} // namespace keldo
