#pragma once

#include "platform/plist/PlistValue.h"
#include "platform/simulated/SimulatedFileSystem.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

// A device service that the simulator plays itself, speaking property-list messages: each is a
// 4-byte big-endian length and a property list, XML or binary; each answer comes in the form of
// the request it answers, as a device answers. Whoever carries the bytes (the in-process
// backend on a started service's socket, keldo-devsim on a client's connection) feeds in what the
// client sent and sends what comes out. One object serves one connection, on one thread at a time.
class SimulatedMessageService {
public:
    virtual ~SimulatedMessageService() = default;

    // Takes the whole messages at the front of `input` and appends the framed answers to them to
    // `output`, in order. It stops at a message that is not whole yet, and once the connection
    // has been handed over to AFC: what follows is AFC's. False when the stream can't be followed
    // any further (a message longer than kMaxMessage): the connection is to end.
    [[nodiscard]] bool receive(std::string& input, std::string& output);

    // The file system that the connection serves over AFC from now on, once a request has handed
    // it over; null until then.
    virtual std::shared_ptr<SimulatedFileSystem> handedOver() const { return nullptr; }

    // The length that a message's first four bytes announce; none when it is beyond kMaxMessage.
    static std::optional<std::uint32_t> messageLength(const unsigned char (&header)[4]);
    // A framed message, in the binary form or in XML.
    static std::string frame(const PlistValue& message, bool binary = false);
    static constexpr std::uint32_t kMaxMessage = 1024 * 1024;

protected:
    // The answers to one request, in order; a message that is no property list comes as null.
    virtual std::vector<PlistValue> answer(const PlistRef& request) = 0;
    // The text under `key` of a dictionary request, or none.
    static std::optional<std::string> textIn(const PlistRef& request, const char* key);
};

} // namespace keldo
