#include "platform/simulated/SimulatedMessageService.h"

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
            for (const auto& message : answer(PlistXml::fromXml(input.data() + 4, *length))) output += frame(message);
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

std::string SimulatedMessageService::frame(const PlistValue& message) {
    const std::string body = PlistXml::toXmlString(message);
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
