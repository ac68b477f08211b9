#pragma once

#include "platform/plist/PlistValue.h"
#include "tools/devsim/SocketServer.h"

#include <cstdint>
#include <string>

namespace keldo {

class ClientConnection;
class PairRecordStore;
class UsbmuxPacket;

// The usbmuxd protocol, one request at a time as the socket server's loop hands them over:
// ListDevices, Listen, Connect, ReadBUID and the host's pair records (ReadPairRecord,
// SavePairRecord, DeletePairRecord), each request answered with its tag. What depends on the
// attached devices is asked of `devices`. A record saved for a connected device is announced to
// listeners as Paired, as the daemon does.
class UsbmuxServer : public SocketServer::Protocol {
public:
    // The attached devices, as usbmuxd sees them.
    class Devices {
    public:
        virtual ~Devices() = default;
        // One Attached message of each device.
        virtual PlistValue::Array attachedMessages() const = 0;
        // Answers a Listen request of the loop's client: queues the answer and then every event
        // for it. False when that can't be done (the connection is to end).
        virtual bool listen(int client, std::uint32_t tag) = 0;
        // Answers a Connect request: a refusal (the connection stays usbmuxd's), or the takeover
        // that serves the device's stream.
        virtual Answer connect(std::uint32_t tag, std::int64_t deviceId, std::uint16_t port) = 0;
        // A pair record was saved for the device with this usbmuxd id (0: none given).
        virtual void paired(std::int64_t deviceId) = 0;
    };

    UsbmuxServer(Devices& devices, PairRecordStore& records, std::string buid);

    // Answers the request that `input` begins with, if it holds a whole one. A header that can't
    // start a packet ends the connection.
    Answer consume(int client, std::string& input) override;

    // usbmuxd's result numbers.
    static constexpr std::int64_t kResultOk = 0;
    static constexpr std::int64_t kResultBadCommand = 1;
    static constexpr std::int64_t kResultBadDevice = 2;  // also "no such record" (ENOENT)
    static constexpr std::int64_t kResultConnectionRefused = 3;
    static constexpr std::int64_t kResultInvalidArgument = 22;  // EINVAL

    static PlistValue result(std::int64_t number);
    // A whole packet for the connection, header and body in one send.
    [[nodiscard]] static bool send(ClientConnection& connection, std::uint32_t tag, const PlistValue& payload);

private:
    Answer answer(int client, const UsbmuxPacket& request);
    std::string answerPairRecord(const UsbmuxPacket& request);

    Devices& devices_;
    PairRecordStore& records_;
    const std::string buid_;
};

} // namespace keldo
