#include "tools/devsim/AfcSession.h"

#include "tools/devsim/ClientConnection.h"

#include <algorithm>
#include <vector>

namespace keldo {

namespace {

// The model's own open modes.
constexpr std::uint64_t kModelRead = 1;
constexpr std::uint64_t kModelWrite = 2;      // creates, empties
constexpr std::uint64_t kModelReadWrite = 3;  // creates, keeps the contents

// Lock operations: LOCK_SH 1, LOCK_EX 2 and LOCK_UN 8, each possibly with LOCK_NB 4.
constexpr std::uint64_t kLockShared = 1;
constexpr std::uint64_t kLockExclusive = 2;
constexpr std::uint64_t kLockNonBlocking = 4;
constexpr std::uint64_t kUnlock = 8;

// Read in pieces and dropped: what follows a refused payload stays readable.
bool discard(DeviceStream& connection, std::uint64_t size) {
    char buffer[64 * 1024];
    while (size > 0) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof(buffer)));
        if (!connection.readExactly(buffer, piece)) return false;
        size -= piece;
    }
    return true;
}

} // namespace

AfcSession::AfcSession(std::shared_ptr<SimulatedFileSystem> files) : files_(std::move(files)) {}

AfcSession::~AfcSession() {
    for (const auto& [handle, file] : open_) files_->dropHandle(handle);
}

void AfcSession::serve(int fd) {
    ClientConnection connection(fd);
    serve(connection);
}

void AfcSession::serve(DeviceStream& connection) {
    for (;;) {
        std::uint8_t header[AfcPacket::kHeaderSize];
        if (!connection.readExactly(header, sizeof(header))) return;
        auto request = AfcPacket::parseHeader(header);
        if (!request) return;
        const bool tooLarge = request->payloadSize() > AfcPacket::kMaxPayload;
        if (DeviceStream::MessageUnderway underway(connection); tooLarge) {
            if (!discard(connection, request->bodySize())) return;
        } else {
            const auto size = static_cast<std::size_t>(request->bodySize());
            char* body = body_.room(size);
            if (size > 0 && !connection.readExactly(body, size)) return;
            request->useBody(std::string_view(body, size));
        }
        // Nothing is done, and nothing answered, while the device is frozen.
        if (!connection.awaitThaw()) return;
        if (tooLarge) reply_ = status(*request, static_cast<std::int32_t>(kTooMuchData));
        const std::string_view sent = tooLarge ? std::string_view(reply_) : answer(*request);
        // One send for each reply: libimobiledevice reads the header and the short replies at once.
        if (!connection.writeAll(sent.data(), sent.size())) return;
    }
}

char* AfcSession::Scratch::room(std::size_t size) {
    if (size > capacity_ || !bytes_) {
        // Never less than a typical packet, so that small ones never reallocate.
        const std::size_t capacity = std::max<std::size_t>(size, 64 * 1024);
        bytes_ = std::make_unique_for_overwrite<char[]>(capacity);
        capacity_ = capacity;
    }
    return bytes_.get();
}

std::string AfcSession::reply(const AfcPacket& request) { return std::string(answer(request)); }

std::string_view AfcSession::answer(const AfcPacket& request) {
    // A read's reply is the largest, and is made in place in memory of its own.
    if (request.operation == AfcPacket::FileRead) {
        const auto handle = request.number(0);
        if (handle && open_.count(*handle)) return read(request, *handle);
    }
    reply_ = replyTo(request);
    return reply_;
}

std::string AfcSession::status(const AfcPacket& request, std::int32_t code) const {
    return number(request, AfcPacket::Status, static_cast<std::uint64_t>(static_cast<std::uint32_t>(code)));
}

std::string AfcSession::number(const AfcPacket& request, std::uint64_t operation, std::uint64_t value) const {
    std::string argument;
    AfcPacket::appendNumber(argument, value);
    return AfcPacket::encode(request.packetNumber, operation, argument);
}

// NUL-terminated items as the payload of a data reply: a client reads a payload in a loop,
// arguments in one go.
std::string AfcSession::list(const AfcPacket& request, const std::vector<std::string>& items) const {
    std::string payload;
    for (const auto& item : items) {
        payload += item;
        payload.push_back('\0');
    }
    return AfcPacket::encode(request.packetNumber, AfcPacket::Data, {}, payload);
}

std::string AfcSession::replyTo(const AfcPacket& request) {
    auto pairs = [&](const SimulatedFileSystem::KeyValues& keyValues) {
        std::vector<std::string> items;
        for (const auto& [key, value] : keyValues) {
            if (!key || !value) break;  // where the model's reader would stop
            items.push_back(*key);
            items.push_back(*value);
        }
        return list(request, items);
    };
    switch (request.operation) {
    case AfcPacket::FileOpen:
        return openFile(request);
    case AfcPacket::FileRead:
    case AfcPacket::FileWrite:
    case AfcPacket::FileSeek:
    case AfcPacket::FileTell:
    case AfcPacket::FileClose:
    case AfcPacket::FileSetSize:
    case AfcPacket::FileLock:
        return fileCall(request);
    default:
        break;
    }
    const auto path = request.text(0);
    switch (request.operation) {
    case AfcPacket::GetDeviceInfo: {
        SimulatedFileSystem::KeyValues info;
        if (const auto code = files_->deviceInfo(info)) return status(request, code);
        return pairs(info);
    }
    case AfcPacket::GetFileInfo: {
        if (!path) break;
        SimulatedFileSystem::KeyValues info;
        if (const auto code = files_->fileInfo(*path, info)) return status(request, code);
        return pairs(info);
    }
    case AfcPacket::ReadDirectory: {
        if (!path) break;
        std::vector<std::string> names;
        if (const auto code = files_->readDirectory(*path, names)) return status(request, code);
        return list(request, names);
    }
    case AfcPacket::MakeDirectory:
        if (!path) break;
        return status(request, files_->makeDirectory(*path));
    case AfcPacket::RemovePath:
        if (!path) break;
        return status(request, files_->removePath(*path));
    case AfcPacket::RemovePathAndContents:
        if (!path) break;
        return status(request, files_->removePathAndContents(*path));
    case AfcPacket::RenamePath: {
        std::size_t next = 0;
        const auto from = request.text(0, &next);
        const auto to = from ? request.text(next) : std::nullopt;
        if (!to) break;
        return status(request, files_->renamePath(*from, *to));
    }
    case AfcPacket::MakeLink: {
        std::size_t next = 0;
        const auto type = request.number(0);
        const auto target = request.text(8, &next);
        const auto link = target ? request.text(next) : std::nullopt;
        if (!type || !link) break;
        return status(request, files_->makeLink(static_cast<std::int64_t>(*type), *target, *link));
    }
    case AfcPacket::SetFileModTime: {
        const auto nanoseconds = request.number(0);
        const auto at = request.text(8);
        if (!nanoseconds || !at) break;
        return status(request, files_->setModificationTime(*at, *nanoseconds));
    }
    default:
        return status(request, static_cast<std::int32_t>(kUnknownPacketType));
    }
    return status(request, static_cast<std::int32_t>(kInvalidArgument));
}

std::string AfcSession::openFile(const AfcPacket& request) {
    const auto mode = request.number(0);
    const auto path = request.text(8);
    if (!mode || !path) return status(request, static_cast<std::int32_t>(kInvalidArgument));
    // Mapped by meaning: the model's 2 is the wire's 3, and the wire's 2 keeps the contents.
    std::uint64_t modelMode = 0;
    OpenFile file;
    switch (*mode) {
    case 1: modelMode = kModelRead; break;
    case 2: modelMode = kModelReadWrite; break;
    case 3: modelMode = kModelWrite; break;
    case 4: modelMode = kModelReadWrite; break;
    case 5: modelMode = kModelReadWrite; file = {false, true}; break;
    case 6: modelMode = kModelReadWrite; file = {true, true}; break;
    default: return status(request, static_cast<std::int32_t>(kInvalidArgument));
    }
    std::uint64_t handle = 0;
    if (const auto code = files_->openFile(*path, modelMode, handle)) return status(request, code);
    if (*mode == 4) {
        if (const auto code = files_->setFileSize(handle, 0)) {
            files_->dropHandle(handle);
            return status(request, code);
        }
    }
    open_[handle] = file;
    return number(request, AfcPacket::FileOpenResult, handle);
}

std::string AfcSession::fileCall(const AfcPacket& request) {
    const auto handle = request.number(0);
    // Another connection's handles are no handles here.
    if (!handle || !open_.count(*handle)) return status(request, static_cast<std::int32_t>(kInvalidArgument));
    switch (request.operation) {
    case AfcPacket::FileRead:
        return std::string(read(request, *handle));
    case AfcPacket::FileWrite:
        return write(request, *handle);
    case AfcPacket::FileTell: {
        std::uint64_t position = 0;
        if (const auto code = files_->tell(*handle, position)) return status(request, code);
        return number(request, AfcPacket::FileTellResult, position);
    }
    case AfcPacket::FileClose: {
        const auto code = files_->closeFile(*handle);
        if (code == 0) open_.erase(*handle);
        return status(request, code);
    }
    case AfcPacket::FileLock:
        return lock(request, *handle);
    default:
        break;
    }
    // The rest take two numbers after the handle's.
    const auto first = request.number(8);
    if (!first) return status(request, static_cast<std::int32_t>(kInvalidArgument));
    if (request.operation == AfcPacket::FileSetSize) return status(request, files_->setFileSize(*handle, *first));
    const auto offset = request.number(16);
    if (!offset) return status(request, static_cast<std::int32_t>(kInvalidArgument));
    return status(request, files_->seek(*handle, static_cast<std::int64_t>(*offset), static_cast<std::int64_t>(*first)));
}

std::string_view AfcSession::read(const AfcPacket& request, std::uint64_t handle) {
    const auto wanted = request.number(8);
    std::int32_t refusal = 0;
    if (!wanted) {
        refusal = static_cast<std::int32_t>(kInvalidArgument);
    } else if (!open_[handle].readable) {
        refusal = static_cast<std::int32_t>(kPermissionDenied);
    } else {
        // Read straight into the reply: the bytes are the payload after a bare header. A client may
        // ask for far more than the file holds; the reply is made no larger than what is there.
        std::uint64_t count = std::min({*wanted, kMaxRead, files_->remaining(handle)});
        char* answer = readReply_.room(AfcPacket::kHeaderSize + static_cast<std::size_t>(count));
        refusal = files_->read(handle, answer + AfcPacket::kHeaderSize, count);
        if (refusal == 0) {
            const std::uint64_t size = AfcPacket::kHeaderSize + count;
            AfcPacket::writeHeader(answer, request.packetNumber, AfcPacket::Data, AfcPacket::kHeaderSize, size);
            return std::string_view(answer, static_cast<std::size_t>(size));
        }
    }
    reply_ = status(request, refusal);
    return reply_;
}

std::string AfcSession::write(const AfcPacket& request, std::uint64_t handle) {
    if (open_[handle].append) {
        if (const auto code = files_->seek(handle, 0, 2)) return status(request, code);
    }
    const std::string_view bytes = request.payload();
    return status(request, files_->write(handle, bytes.data(), bytes.size()));
}

std::string AfcSession::lock(const AfcPacket& request, std::uint64_t handle) {
    const auto operation = request.number(8);
    if (!operation) return status(request, static_cast<std::int32_t>(kInvalidArgument));
    switch (*operation & ~kLockNonBlocking) {
    case kLockShared:
    case kLockExclusive:
        // The model knows one kind of lock; a shared one excludes as well.
        return status(request, files_->lock(handle));
    case kUnlock:
        return status(request, files_->unlock(handle));
    default:
        return status(request, static_cast<std::int32_t>(kInvalidArgument));
    }
}

} // namespace keldo
