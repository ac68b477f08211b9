#include "tools/devsim/UsbmuxServer.h"

#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/PairRecordStore.h"
#include "tools/devsim/UsbmuxPacket.h"

#include <vector>

namespace keldo {

UsbmuxServer::UsbmuxServer(Devices& devices, PairRecordStore& records, std::string buid)
    : devices_(devices), records_(records), buid_(std::move(buid)) {}

PlistValue UsbmuxServer::result(std::int64_t number) {
    return PlistValue::Dictionary{{"MessageType", "Result"}, {"Number", number}};
}

bool UsbmuxServer::send(ClientConnection& connection, std::uint32_t tag, const PlistValue& payload) {
    // Some answers on a connection come from more than one thread: a whole packet in one send.
    const std::string packet = UsbmuxPacket::encode(tag, payload);
    return connection.writeAll(packet.data(), packet.size());
}

void UsbmuxServer::serve(ClientConnection& connection) {
    for (;;) {
        std::uint8_t header[UsbmuxPacket::kHeaderSize];
        if (!connection.readExactly(header, sizeof(header))) return;
        auto packet = UsbmuxPacket::parseHeader(header);
        if (!packet) return;  // no way to find the next packet: end the connection
        std::vector<std::uint8_t> body(packet->bodySize());
        if (!body.empty() && !connection.readExactly(body.data(), body.size())) return;
        if (!packet->parseBody(body.data(), body.size())) {
            if (!send(connection, packet->tag, result(kResultBadCommand))) return;
            continue;
        }
        if (!answer(connection, *packet)) return;
    }
}

bool UsbmuxServer::answer(ClientConnection& connection, const UsbmuxPacket& request) {
    const std::string type = request.messageType();
    const std::uint32_t tag = request.tag;
    if (type == "Listen") {
        devices_.listen(connection, tag);
        return false;
    }
    if (type == "ListDevices") return send(connection, tag, PlistValue::Dictionary{{"DeviceList", devices_.attachedMessages()}});
    if (type == "ReadBUID") return send(connection, tag, PlistValue::Dictionary{{"BUID", buid_}});
    if (type == "ReadPairRecord" || type == "SavePairRecord" || type == "DeletePairRecord") {
        return answerPairRecord(connection, request);
    }
    if (type == "Connect") {
        // The port comes in network byte order inside the integer.
        const auto raw = static_cast<std::uint16_t>(request.integer("PortNumber").value_or(0) & 0xFFFF);
        const auto port = static_cast<std::uint16_t>((raw >> 8) | ((raw & 0xFF) << 8));
        return devices_.connect(connection, tag, request.integer("DeviceID").value_or(0), port);
    }
    return send(connection, tag, result(kResultBadCommand));
}

bool UsbmuxServer::answerPairRecord(ClientConnection& connection, const UsbmuxPacket& request) {
    const std::string type = request.messageType();
    const auto udid = request.text("PairRecordID");
    if (!udid || udid->empty()) return send(connection, request.tag, result(kResultInvalidArgument));
    if (type == "ReadPairRecord") {
        // Never success without the data: a client takes that for a record and reads nothing.
        auto data = records_.read(*udid);
        if (!data) return send(connection, request.tag, result(kResultBadDevice));
        return send(connection, request.tag, PlistValue::Dictionary{{"PairRecordData", std::move(*data)}});
    }
    if (type == "DeletePairRecord") {
        return send(connection, request.tag, result(records_.remove(*udid) ? kResultOk : kResultBadDevice));
    }
    const PlistValue* data = request.payload->find("PairRecordData");
    if (!data || !data->data() || !records_.save(*udid, *data->data())) {
        return send(connection, request.tag, result(kResultInvalidArgument));
    }
    if (!send(connection, request.tag, result(kResultOk))) return false;
    devices_.paired(request.integer("DeviceID").value_or(0));
    return true;
}

} // namespace keldo
