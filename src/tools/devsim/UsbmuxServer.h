#pragma once

#include "platform/plist/PlistValue.h"

#include <cstdint>
#include <string>

namespace keldo {

class ClientConnection;
class PairRecordStore;
class UsbmuxPacket;

// The usbmuxd protocol on one client's connection: ListDevices, Listen, Connect, ReadBUID and the
// host's pair records (ReadPairRecord, SavePairRecord, DeletePairRecord), each request answered
// with its tag. What depends on the attached devices is asked of `devices`. A record saved for a
// connected device is announced to listeners as Paired, as the daemon does.
class UsbmuxServer {
public:
    // The attached devices, as usbmuxd sees them.
    class Devices {
    public:
        virtual ~Devices() = default;
        // One Attached message of each device.
        virtual PlistValue::Array attachedMessages() const = 0;
        // Answers a Listen request on the connection and sends events until the client goes.
        virtual void listen(ClientConnection& connection, std::uint32_t tag) = 0;
        // Answers a Connect request; true while the connection still speaks usbmuxd (the
        // request was refused), false once it has become a device's stream and ended.
        virtual bool connect(ClientConnection& connection, std::uint32_t tag, std::int64_t deviceId,
                             std::uint16_t port) = 0;
        // A pair record was saved for the device with this usbmuxd id (0: none given).
        virtual void paired(std::int64_t deviceId) = 0;
    };

    UsbmuxServer(Devices& devices, PairRecordStore& records, std::string buid);

    // Serves requests until the client goes, sends a header that can't start a packet, or the
    // connection becomes a device's stream.
    void serve(ClientConnection& connection);

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
    // False once the connection is no longer usbmuxd's.
    bool answer(ClientConnection& connection, const UsbmuxPacket& request);
    bool answerPairRecord(ClientConnection& connection, const UsbmuxPacket& request);

    Devices& devices_;
    PairRecordStore& records_;
    const std::string buid_;
};

} // namespace keldo
