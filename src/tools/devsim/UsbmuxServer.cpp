#include "tools/devsim/UsbmuxServer.h"

#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/PairRecordStore.h"
#include "tools/devsim/UsbmuxPacket.h"

namespace keldo {

UsbmuxServer::UsbmuxServer(Devices& devices, PairRecordStore& records, std::string buid)
    : devices_(devices), records_(records), buid_(std::move(buid)) {}

PlistValue UsbmuxServer::result(std::int64_t number) {
    return PlistValue::Dictionary{{"MessageType", "Result"}, {"Number", number}};
}

bool UsbmuxServer::send(ClientConnection& connection, std::uint32_t tag, const PlistValue& payload) {
    const std::string packet = UsbmuxPacket::encode(tag, payload);
    return connection.writeAll(packet.data(), packet.size());
}

SocketServer::Protocol::Answer UsbmuxServer::consume(int client, std::string& input) {
    if (input.size() < UsbmuxPacket::kHeaderSize) return {};
    auto packet = UsbmuxPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(input.data()));
    if (!packet) {
        Answer end;  // no way to find the next packet: the connection ends
        end.end = true;
        return end;
    }
    if (input.size() < packet->length) return {};
    const auto* body = reinterpret_cast<const std::uint8_t*>(input.data()) + UsbmuxPacket::kHeaderSize;
    const bool parsed = packet->parseBody(body, packet->bodySize());
    input.erase(0, packet->length);
    if (!parsed) return Answer::replying(UsbmuxPacket::encode(packet->tag, result(kResultBadCommand)));
    return answer(client, *packet);
}

SocketServer::Protocol::Answer UsbmuxServer::answer(int client, const UsbmuxPacket& request) {
    const std::string type = request.messageType();
    const std::uint32_t tag = request.tag;
    if (type == "Listen") {
        Answer listening;
        listening.end = !devices_.listen(client, tag);
        return listening;
    }
    if (type == "ListDevices") {
        return Answer::replying(UsbmuxPacket::encode(tag, PlistValue::Dictionary{{"DeviceList", devices_.attachedMessages()}}));
    }
    if (type == "ReadBUID") return Answer::replying(UsbmuxPacket::encode(tag, PlistValue::Dictionary{{"BUID", buid_}}));
    if (type == "ReadPairRecord" || type == "SavePairRecord" || type == "DeletePairRecord") {
        return Answer::replying(answerPairRecord(request));
    }
    if (type == "Connect") {
        // The port comes in network byte order inside the integer.
        const auto raw = static_cast<std::uint16_t>(request.integer("PortNumber").value_or(0) & 0xFFFF);
        const auto port = static_cast<std::uint16_t>((raw >> 8) | ((raw & 0xFF) << 8));
        return devices_.connect(tag, request.integer("DeviceID").value_or(0), port);
    }
    return Answer::replying(UsbmuxPacket::encode(tag, result(kResultBadCommand)));
}

std::string UsbmuxServer::answerPairRecord(const UsbmuxPacket& request) {
    const std::string type = request.messageType();
    const auto reply = [&](const PlistValue& payload) { return UsbmuxPacket::encode(request.tag, payload); };
    const auto udid = request.text("PairRecordID");
    if (!udid || udid->empty()) return reply(result(kResultInvalidArgument));
    if (type == "ReadPairRecord") {
        // Never success without the data: a client takes that for a record and reads nothing.
        auto data = records_.read(*udid);
        if (!data) return reply(result(kResultBadDevice));
        return reply(PlistValue::Dictionary{{"PairRecordData", std::move(*data)}});
    }
    if (type == "DeletePairRecord") return reply(result(records_.remove(*udid) ? kResultOk : kResultBadDevice));
    const PlistValue* data = request.payload->find("PairRecordData");
    if (!data || !data->data() || !records_.save(*udid, *data->data())) return reply(result(kResultInvalidArgument));
    std::string answer = reply(result(kResultOk));
    devices_.paired(request.integer("DeviceID").value_or(0));
    return answer;
}

} // namespace keldo
