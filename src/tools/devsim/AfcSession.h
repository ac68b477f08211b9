#pragma once

#include "platform/simulated/SimulatedFileSystem.h"
#include "tools/devsim/DeviceStream.h"
#include "tools/devsim/AfcPacket.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace keldo {

// One client's conversation with a simulated device's AFC service, over the device's file system
// model (the media, or the crash reports): every request packet gets one reply packet that echoes
// its number. Statuses are the model's own AFC codes. A file is usable only on the connection that
// opened it; files the client leaves open are let go, with their locks, when the session ends.
//
// The wire's open modes are its own: 1 r, 2 r+, 3 w (truncates), 4 w+, 5 a, 6 a+.
class AfcSession {
public:
    explicit AfcSession(std::shared_ptr<SimulatedFileSystem> files);
    ~AfcSession();
    AfcSession(const AfcSession&) = delete;
    AfcSession& operator=(const AfcSession&) = delete;

    // Serves a client's connection until the client closes it, a reply can't be sent, or a header
    // can't start a packet: after that the stream can't be followed. A frozen device answers
    // each request once it is thawed.
    void serve(DeviceStream& stream);
    // The same over a blocking socket of a device that is never frozen.
    void serve(int fd);
    // The reply to one request whose body is set.
    std::string reply(const AfcPacket& request);

    // The most a single read answers; a client asks again for the rest.
    static constexpr std::uint64_t kMaxRead = 4 * 1024 * 1024;
    // The AFC codes the session answers of its own.
    static constexpr std::uint64_t kUnknownPacketType = 6;
    static constexpr std::uint64_t kInvalidArgument = 7;
    static constexpr std::uint64_t kPermissionDenied = 10;
    static constexpr std::uint64_t kTooMuchData = 13;

private:
    struct OpenFile {
        bool readable = true;
        bool append = false;
    };
    // Memory that one request after another reuses: a transfer's packets are as large as the
    // client makes them, and allocating (and zero-filling) each one cost more than its bytes.
    class Scratch {
    public:
        // Room for `size` bytes, whatever it held before.
        char* room(std::size_t size);

    private:
        std::unique_ptr<char[]> bytes_;
        std::size_t capacity_ = 0;
    };

    // The reply to one request whose body is set, valid until the next one.
    std::string_view answer(const AfcPacket& request);
    std::string replyTo(const AfcPacket& request);
    std::string status(const AfcPacket& request, std::int32_t code) const;
    std::string list(const AfcPacket& request, const std::vector<std::string>& items) const;
    std::string number(const AfcPacket& request, std::uint64_t operation, std::uint64_t value) const;
    std::string openFile(const AfcPacket& request);
    std::string_view read(const AfcPacket& request, std::uint64_t handle);
    std::string write(const AfcPacket& request, std::uint64_t handle);
    std::string lock(const AfcPacket& request, std::uint64_t handle);
    std::string fileCall(const AfcPacket& request);

    std::shared_ptr<SimulatedFileSystem> files_;
    std::map<std::uint64_t, OpenFile> open_;
    Scratch body_;       // the request being served
    Scratch readReply_;  // the reply to a read: its header, then the file's bytes
    std::string reply_;  // any other reply
};

} // namespace keldo
