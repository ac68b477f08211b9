#pragma once

#include "platform/mobiledevice/MobileDevice.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace keldo {

// An open file on a device's AFC file system. It borrows the connection it was opened on: the
// connection's owner keeps it open while the file is used. Every operation reports success (reads
// a byte count) and leaves the text of its failure in lasterror; a failure never closes the file.
// Used from one thread at a time, like its connection.
class AFCFileReference {
public:
    // Open when the reference is not 0. The path is not kept.
    [[nodiscard]] static std::shared_ptr<AFCFileReference> initWithPathReferenceAfc(const std::optional<std::string>& path,
                                                                      afc_file_ref reference, afc_connection afc);
    // The form a connection uses: the file shares the connection's cell and sees it close, after
    // which every operation fails with "Connection is not open" and makes no platform call.
    [[nodiscard]] static std::shared_ptr<AFCFileReference> initWithPathReferenceAfc(const std::optional<std::string>& path,
                                                                      afc_file_ref reference,
                                                                      std::shared_ptr<afc_connection> afc);
    // Closes the file when it is still open; the result is not examined.
    ~AFCFileReference();
    AFCFileReference(const AFCFileReference&) = delete;
    AFCFileReference& operator=(const AFCFileReference&) = delete;

    // On success the file is closed for good; on failure it stays open and may be closed again.
    [[nodiscard]] bool closeFile();
    [[nodiscard]] bool seekMode(std::int64_t offset, std::int32_t mode);
    // From the start of the file.
    [[nodiscard]] bool seek(std::int64_t offset);
    // `position` is set only on success.
    [[nodiscard]] bool tell(std::uint64_t& position);
    // The number of bytes read into `buffer`: 0 both at the end of the file (lasterror null) and on
    // a failure (lasterror set).
    [[nodiscard]] std::uint64_t readNBytes(std::uint64_t count, void* buffer);
    // Writing nothing succeeds at once, with no platform call and lasterror left as it was.
    [[nodiscard]] bool writeNBytes(std::uint64_t count, const void* bytes);
    [[nodiscard]] bool writeNSData(std::span<const std::uint8_t> data);
    [[nodiscard]] bool setFileSize(std::uint64_t size);
    [[nodiscard]] bool lockFile();
    [[nodiscard]] bool unLockFile();

    std::optional<std::string> lasterror() const { return _lasterror; }
    // The platform's reference as an opaque value; 0 once closed.
    void* pointer() const { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(_ref)); }

    void clearLastError() { _lasterror.reset(); }
    void setLastError(std::string text);
    // Clears lasterror on status 0; otherwise sets "<operation> failed: %d" with the signed status.
    [[nodiscard]] bool checkStatusFrom(std::uint32_t status, const char* operation);
    // True while the file is open; otherwise lasterror becomes "File is not open".
    [[nodiscard]] bool ensureFileIsOpen();

private:
    AFCFileReference(afc_file_ref reference, std::shared_ptr<afc_connection> afc);
    // The open file's connection, or null with lasterror set when the file or its connection is closed.
    afc_connection usable();

    afc_file_ref _ref = 0;
    std::shared_ptr<afc_connection> _afc;
    std::optional<std::string> _lasterror;
};

} // namespace keldo
