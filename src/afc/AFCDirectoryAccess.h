#pragma once

#include "device/AMService.h"
#include "platform/mobiledevice/MobileDevice.h"
#include "platform/plist/PlistValue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class AFCFileReference;

// Posted by an upload, with the copying AFCDirectoryAccess as sender and a user-info dictionary
// of "Source", "Target", "Size" and (from the first progress on) "Done", all integers 64-bit.
inline constexpr const char* kAFCFileCopyBegin = "AFCFileCopyBegin";
inline constexpr const char* kAFCFileCopyProgress = "AFCFileCopyProgress";
inline constexpr const char* kAFCFileCopyDone = "AFCFileCopyDone";

// A client of a device's AFC service, the device's remote file system: information, path
// operations, listings, open files and whole-file transfer. It opens its AFC connection on the
// service that its base class starts, and owns it until close or destruction.
//
// Every operation that fails leaves its text in lastError; those that succeed clear it, unless
// told otherwise. Paths go to the platform as NUL-terminated byte strings, and names from the
// device come back byte for byte: a name that is not valid UTF-8 stays usable as a path.
// One object, with its connection and its files, is used from one thread at a time.
class AFCDirectoryAccess : public AMService {
public:
    using Path = std::optional<std::string>;
    using Names = std::vector<std::string>;

    // Starts the named service on a device that the caller has connected and in a session, and
    // opens the AFC connection on it. None when either fails (an AFC failure is logged).
    [[nodiscard]] static std::shared_ptr<AFCDirectoryAccess> initWithNameOnDevice(const std::string& name,
                                                                    const std::shared_ptr<AMDevice>& device);
    // The same for a service that hands its connection over to AFC on request (house_arrest):
    // `request` goes out through the object's own messages, and only once `refusal` has found
    // nothing to refuse in the answer is the AFC connection opened on that same service. None
    // when the service can't be started, the answer is refused or can't be read, or the
    // connection can't be opened; `why` then says which, the refusal's own text included.
    using Refusal = std::function<std::optional<std::string>(const PlistValue& answer)>;
    [[nodiscard]] static std::shared_ptr<AFCDirectoryAccess> initWithNameOnDeviceAfterRequest(
        const std::string& name, const std::shared_ptr<AMDevice>& device, const PlistValue& request,
        const Refusal& refusal, std::string& why);
    ~AFCDirectoryAccess() override;

    // Closes the connection once; a failure is logged and the connection counts as closed all the
    // same. The service it was made on closes with it. Files opened on it, and every operation,
    // the inherited messages included, fail from then on with "Connection is not open".
    void close() override;
    // True while the connection is open; otherwise lastError becomes "Connection is not open".
    [[nodiscard]] bool ensureConnectionIsOpen();

    // Information. Values of decimal digits only become integers, the times of a file dates.
    [[nodiscard]] PlistRef deviceInfo();
    [[nodiscard]] PlistRef getFileInfo(const Path& path);
    // Whether the device answers a query of the path; a failure leaves lastError as it was.
    [[nodiscard]] bool fileExistsAtPath(const Path& path);

    // Listings: one directory in the device's order without "." and ".."; a whole tree sorted,
    // directories with a trailing "/". In a tree, an entry that can't be found once listed (a
    // link that leads nowhere) is listed like a file. A successful tree listing leaves lastError
    // alone.
    [[nodiscard]] std::optional<Names> directoryContents(const Path& path);
    [[nodiscard]] std::optional<Names> recursiveDirectoryContents(const Path& path);

    // Path operations. The link operations take the new link's path first, then its target.
    [[nodiscard]] bool mkdir(const Path& path);
    [[nodiscard]] bool unlink(const Path& path);
    [[nodiscard]] bool renameTo(const Path& oldPath, const Path& newPath);
    [[nodiscard]] bool linkTo(const Path& path, const Path& target);
    [[nodiscard]] bool symlinkTo(const Path& path, const Path& target);
    [[nodiscard]] bool setmodtimeTo(const Path& path, const std::optional<PlistDate>& date);
    // Carries out an operation made for this connection, and releases it on every path.
    [[nodiscard]] bool processOpFrom(PlatformObjectRef operation, const char* caller);

    // Open remote files (modes 1, 2 and 3); none on failure, with the open's text in lastError.
    [[nodiscard]] std::shared_ptr<AFCFileReference> openForRead(const Path& path);
    [[nodiscard]] std::shared_ptr<AFCFileReference> openForWrite(const Path& path);
    [[nodiscard]] std::shared_ptr<AFCFileReference> openForReadWrite(const Path& path);

    // Uploads a local file to a new remote file in chunks of uploadChunk() bytes, posting
    // "AFCFileCopyBegin", "AFCFileCopyProgress" before every chunk read and "AFCFileCopyDone" on
    // the default notification centre. Refuses to overwrite; a failure (a failed close included)
    // posts no "AFCFileCopyDone" and removes the partial remote file while the connection lives.
    [[nodiscard]] bool copyLocalFileToRemoteFile(const Path& localPath, const Path& remotePath);
    // The bytes an upload moves per remote write: kUploadChunk unless set. Each chunk is one
    // write and one "AFCFileCopyProgress", so a larger one makes fewer round trips and fewer
    // notifications. 0 sets the default again.
    void setUploadChunk(std::size_t bytes) { uploadChunk_ = bytes > 0 ? bytes : kUploadChunk; }
    std::size_t uploadChunk() const { return uploadChunk_; }
    // Uploads a file, a symbolic link (made again on the device with its text) or a whole
    // directory (recursed in listing order; a link to a directory becomes a real one) into a
    // remote directory. A failure logs one line per enclosing directory; what was copied stays.
    [[nodiscard]] bool copyLocalFileToRemoteDir(const Path& localPath, const Path& remoteDirectory);
    // Downloads a remote file. An existing local file is replaced only once the download is
    // complete, keeping its permission bits; until then nothing local changes, and a process
    // killed meanwhile leaves nothing behind (see ReplacementFile).
    [[nodiscard]] bool copyRemoteFileToLocalFile(const Path& remotePath, const Path& localPath);

    // The platform's key/value pairs as a dictionary; the reading ends at a failure or a null key
    // or value, and the iterator stays open for its opener to close.
    static PlistValue::Dictionary readAfcDictionary(afc_dictionary dictionary);
    // Turns a time in nanoseconds under `key` into a date of whole seconds, when there is one.
    static void fix_date_entryIn(const std::string& key, PlistValue::Dictionary& dictionary);
    // Clears lastError on status 0; otherwise sets "<operation> failed: Return code = 0x%04X".
    [[nodiscard]] bool checkStatusFrom(std::int32_t status, const char* operation);

    // The open connection, or null.
    afc_connection afc() const { return *_afc; }

    // A tree listing goes at most this many levels below its start; deeper entries fail it.
    static constexpr int kMaxTreeDepth = 512;
    static constexpr std::size_t kUploadChunk = 10240;
    static constexpr std::size_t kDownloadBuffer = 1024 * 1024;

protected:
    const char* notOpenText() const override { return "Connection is not open"; }

private:
    AFCDirectoryAccess();
    // Opens the AFC connection on the started service; the platform's status (0 on success).
    [[nodiscard]] std::int32_t openConnection(const std::string& name, const AMDevice& device);
    // True when the argument is there; otherwise lastError becomes `whenAbsent`.
    template <typename T>
    [[nodiscard]] bool given(const std::optional<T>& argument, const char* whenAbsent) {
        if (argument) return true;
        setLastError(whenAbsent);
        return false;
    }
    [[nodiscard]] std::shared_ptr<AFCFileReference> open(const Path& path, std::uint64_t mode);
    [[nodiscard]] bool makeLink(const Path& path, const Path& target, std::int64_t type);
    Names readNames(afc_directory directory);
    // The tree upload of one path; `enclosing` holds the identities of the local directories
    // being copied around it, so that a link back to one of them ends the copy.
    using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;
    [[nodiscard]] bool copyTree(const std::string& localPath, const std::string& remoteDirectory,
                  std::vector<FileIdentity>& enclosing);

    // The connection, shared with the files opened on it so that they see it close: the cell
    // holds null once the connection is closed.
    std::shared_ptr<afc_connection> _afc;
    std::size_t uploadChunk_ = kUploadChunk;
};

} // namespace keldo
