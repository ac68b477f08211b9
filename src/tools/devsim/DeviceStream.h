#pragma once

#include <cstddef>

namespace keldo {

// One client's byte stream to a simulated device, as lockdownd and the services read and write
// it: a plain connection, or TLS over one. A read or write that fails ends the conversation.
class DeviceStream {
public:
    virtual ~DeviceStream() = default;

    // The next `size` bytes; false when the stream ends or fails first.
    [[nodiscard]] virtual bool readExactly(void* buffer, std::size_t size) = 0;
    // Waits for at least one byte and gives what has come, up to `size`; 0 when the stream has
    // ended or failed.
    [[nodiscard]] virtual std::size_t readSome(void* buffer, std::size_t size) = 0;
    [[nodiscard]] virtual bool writeAll(const void* buffer, std::size_t size) = 0;
    // Returns at once unless the device is frozen; else once it is thawed. False when the
    // connection ended meanwhile.
    [[nodiscard]] virtual bool awaitThaw() = 0;

    // While one lives, no wait of the stream's reads may outlast the stall time: a message whose
    // length has come is read to its end without a pause, however the layer above reads it.
    class MessageUnderway {
    public:
        explicit MessageUnderway(DeviceStream& stream) : stream_(stream) { stream.markUnderway(true); }
        ~MessageUnderway() { stream_.markUnderway(false); }
        MessageUnderway(const MessageUnderway&) = delete;
        MessageUnderway& operator=(const MessageUnderway&) = delete;

    private:
        DeviceStream& stream_;
    };
    // What MessageUnderway sets and clears.
    virtual void markUnderway(bool) {}
};

} // namespace keldo
