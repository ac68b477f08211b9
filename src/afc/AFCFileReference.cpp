#include "afc/AFCFileReference.h"

#include <fmt/format.h>

namespace keldo {

AFCFileReference::AFCFileReference(afc_file_ref reference, std::shared_ptr<afc_connection> afc)
    : _ref(reference), _afc(std::move(afc)) {}

std::shared_ptr<AFCFileReference> AFCFileReference::initWithPathReferenceAfc(const std::optional<std::string>&,
                                                                             afc_file_ref reference,
                                                                             afc_connection afc) {
    return initWithPathReferenceAfc(std::nullopt, reference, std::make_shared<afc_connection>(afc));
}

std::shared_ptr<AFCFileReference> AFCFileReference::initWithPathReferenceAfc(const std::optional<std::string>&,
                                                                             afc_file_ref reference,
                                                                             std::shared_ptr<afc_connection> afc) {
    if (!afc) afc = std::make_shared<afc_connection>(nullptr);
    return std::shared_ptr<AFCFileReference>(new AFCFileReference(reference, std::move(afc)));
}

AFCFileReference::~AFCFileReference() { (void)closeFile(); }

void AFCFileReference::setLastError(std::string text) {
    clearLastError();
    _lasterror = std::move(text);
}

bool AFCFileReference::checkStatusFrom(std::uint32_t status, const char* operation) {
    if (status == 0) {
        clearLastError();
        return true;
    }
    setLastError(fmt::format("{} failed: {}", operation, static_cast<std::int32_t>(status)));
    return false;
}

bool AFCFileReference::ensureFileIsOpen() {
    if (_ref != 0) return true;
    setLastError("File is not open");
    return false;
}

afc_connection AFCFileReference::usable() {
    if (!ensureFileIsOpen()) return nullptr;
    // The connection's close ended the file on the device; its handle must not reach the platform.
    if (!*_afc) {
        setLastError("Connection is not open");
        return nullptr;
    }
    return *_afc;
}

bool AFCFileReference::closeFile() {
    afc_connection afc = usable();
    if (!afc) return false;
    if (!checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefClose(afc, _ref)), "AFCFileRefClose")) return false;
    _ref = 0;
    return true;
}

bool AFCFileReference::seekMode(std::int64_t offset, std::int32_t mode) {
    afc_connection afc = usable();
    if (!afc) return false;
    return checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefSeek(afc, _ref, offset, mode)), "AFCFileRefSeek");
}

bool AFCFileReference::seek(std::int64_t offset) { return seekMode(offset, 0); }

bool AFCFileReference::tell(std::uint64_t& position) {
    afc_connection afc = usable();
    if (!afc) return false;
    return checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefTell(afc, _ref, &position)), "AFCFileRefTell");
}

std::uint64_t AFCFileReference::readNBytes(std::uint64_t count, void* buffer) {
    afc_connection afc = usable();
    if (!afc) return 0;
    std::uint64_t read = count;
    if (!checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefRead(afc, _ref, buffer, &read)), "AFCFileRefRead"))
        return 0;
    // A platform that reports more than it was given room for would have the caller read past its buffer.
    return read <= count ? read : count;
}

bool AFCFileReference::writeNBytes(std::uint64_t count, const void* bytes) {
    afc_connection afc = usable();
    if (!afc) return false;
    if (count == 0) return true;
    return checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefWrite(afc, _ref, bytes, count)), "AFCFileRefWrite");
}

bool AFCFileReference::writeNSData(std::span<const std::uint8_t> data) { return writeNBytes(data.size(), data.data()); }

bool AFCFileReference::setFileSize(std::uint64_t size) {
    afc_connection afc = usable();
    if (!afc) return false;
    return checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefSetFileSize(afc, _ref, size)),
                           "AFCFileRefSetFileSize");
}

bool AFCFileReference::lockFile() {
    afc_connection afc = usable();
    if (!afc) return false;
    return checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefLock(afc, _ref)), "AFCFileRefLock");
}

bool AFCFileReference::unLockFile() {
    afc_connection afc = usable();
    if (!afc) return false;
    return checkStatusFrom(static_cast<std::uint32_t>(AFCFileRefUnlock(afc, _ref)), "AFCFileRefUnlock");
}

} // namespace keldo
