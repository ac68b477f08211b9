#include "tools/devsim/LockdownSession.h"

#include "platform/plist/PlistXml.h"

#include <fmt/format.h>

namespace keldo {

namespace {

std::optional<std::string> textField(const PlistValue& dictionary, const char* key) {
    const PlistValue* value = dictionary.find(key);
    if (!value || !value->text()) return std::nullopt;
    return *value->text();
}

PlistValue::Dictionary failure(const std::string& request, const char* error) {
    return {{"Request", request}, {"Error", error}};
}

} // namespace

LockdownSession::LockdownSession(SimulatedDeviceInfo device, ServiceStarter startService)
    : device_(std::move(device)), startService_(std::move(startService)) {}

PlistValue::Dictionary LockdownSession::reply(const PlistRef& request) {
    if (!request || !request->isDictionary()) return {{"Error", "InvalidRequest"}};
    const auto name = textField(*request, "Request");
    if (!name) return {{"Error", "InvalidRequest"}};
    const bool paired = device_.pairedAnswer == 1;

    if (*name == "QueryType") return {{"Request", *name}, {"Type", "com.apple.mobile.lockdown"}};
    if (*name == "GetValue") return getValue(*request);
    if (*name == "ValidatePair") return paired ? PlistValue::Dictionary{{"Request", *name}} : failure(*name, "InvalidHostID");
    if (*name == "StartSession") {
        if (!paired || textField(*request, "HostID") != std::string(kHostId)) return failure(*name, "InvalidHostID");
        session_ = fmt::format("SIM-SESSION-{}", ++sessions_);
        return {{"Request", *name}, {"SessionID", *session_}, {"EnableSessionSSL", false}};
    }
    if (*name == "StopSession") {
        if (!session_) return failure(*name, "SessionInactive");
        session_.reset();
        return {{"Request", *name}};
    }
    if (*name == "StartService") {
        const auto service = textField(*request, "Service");
        if (!service) return failure(*name, "MissingService");
        if (!session_) return failure(*name, "SessionInactive");
        const auto port = startService_ ? startService_(*service) : std::nullopt;
        if (!port) return failure(*name, "InvalidService");
        return {{"Request", *name}, {"Service", *service}, {"Port", static_cast<std::int64_t>(*port)},
                {"EnableServiceSSL", false}};
    }
    if (*name == "Goodbye") {
        finished_ = true;
        return {{"Request", *name}, {"Result", "Success"}};
    }
    return failure(*name, "InvalidRequest");
}

PlistValue::Dictionary LockdownSession::getValue(const PlistValue& request) {
    const auto domain = textField(request, "Domain");
    const auto key = textField(request, "Key");
    auto found = device_.domains.find(domain.value_or(""));
    PlistValue::Dictionary reply{{"Request", "GetValue"}};
    if (domain) reply["Domain"] = *domain;
    if (key) reply["Key"] = *key;
    if (found == device_.domains.end()) {
        reply["Error"] = "MissingValue";
        return reply;
    }
    if (!key) {
        reply["Value"] = found->second;
        return reply;
    }
    auto value = found->second.find(*key);
    if (value == found->second.end()) {
        reply["Error"] = "MissingValue";
    } else {
        reply["Value"] = value->second;
    }
    return reply;
}

std::optional<std::uint32_t> LockdownSession::messageLength(const std::uint8_t header[4]) {
    const std::uint32_t length = static_cast<std::uint32_t>(header[0]) << 24 | static_cast<std::uint32_t>(header[1]) << 16 |
                                 static_cast<std::uint32_t>(header[2]) << 8 | header[3];
    if (length == 0 || length > kMaxMessage) return std::nullopt;
    return length;
}

std::string LockdownSession::frame(const PlistValue& message) {
    const std::string xml = PlistXml::toXmlString(message);
    const auto length = static_cast<std::uint32_t>(xml.size());
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((length >> shift) & 0xFF));
    return out + xml;
}

} // namespace keldo
