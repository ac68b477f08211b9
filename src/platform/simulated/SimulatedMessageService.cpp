#include "platform/simulated/SimulatedMessageService.h"

#include "platform/plist/PlistBinary.h"
#include "platform/plist/PlistFile.h"
#include "platform/plist/PlistXml.h"

namespace keldo {

bool SimulatedMessageService::receive(std::string& input, std::string& output) {
    while (!handedOver() && input.size() >= 4) {
        unsigned char header[4];
        for (int i = 0; i < 4; ++i) header[i] = static_cast<unsigned char>(input[static_cast<std::size_t>(i)]);
        const auto length = messageLength(header);
        if (!length) return false;
        if (input.size() - 4 < *length) break;
        // An empty message asks nothing.
        if (*length > 0) {
            const char* body = input.data() + 4;
            const bool binary = PlistBinary::isBinary(body, *length);
            for (const auto& message : answer(PlistFile::fromBytes(body, *length))) output += frame(message, binary);
        }
        input.erase(0, 4 + std::size_t{*length});
    }
    return true;
}

std::optional<std::uint32_t> SimulatedMessageService::messageLength(const unsigned char (&header)[4]) {
    const std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                                 (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
    if (length > kMaxMessage) return std::nullopt;
    return length;
}

std::string SimulatedMessageService::frame(const PlistValue& message, bool binary) {
    // A message without a binary form has no XML form either: it goes out empty, as in XML.
    const std::string body = binary ? PlistBinary::toBinary(message).value_or("") : PlistXml::toXmlString(message);
    const auto n = static_cast<std::uint32_t>(body.size());
    std::string framed{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
    return framed + body;
}

std::optional<std::string> SimulatedMessageService::textIn(const PlistRef& request, const char* key) {
    const PlistValue* value = request ? request->find(key) : nullptr;
    if (!value || !value->text()) return std::nullopt;
    return *value->text();
}

} // namespace keldo
