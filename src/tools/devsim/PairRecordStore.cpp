#include "tools/devsim/PairRecordStore.h"

#include "platform/plist/PlistFile.h"

namespace keldo {

PlistRef PairRecordStore::parse(const PlistValue::Data& data) {
    PlistRef record = PlistFile::fromBytes(reinterpret_cast<const char*>(data.data()), data.size());
    return record && record->isDictionary() ? record : nullptr;
}

std::optional<PlistValue::Data> PairRecordStore::read(const std::string& udid) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(udid);
    if (it == records_.end()) return std::nullopt;
    return it->second;
}

bool PairRecordStore::save(const std::string& udid, PlistValue::Data data) {
    if (!parse(data)) return false;
    std::lock_guard lock(mutex_);
    records_[udid] = std::move(data);
    return true;
}

bool PairRecordStore::remove(const std::string& udid) {
    std::lock_guard lock(mutex_);
    return records_.erase(udid) > 0;
}

std::optional<std::string> PairRecordStore::hostIdOf(const std::string& udid) const {
    const auto data = read(udid);
    const PlistRef record = data ? parse(*data) : nullptr;
    const PlistValue* hostId = record ? record->find("HostID") : nullptr;
    if (!hostId || !hostId->text()) return std::nullopt;
    return *hostId->text();
}

} // namespace keldo
