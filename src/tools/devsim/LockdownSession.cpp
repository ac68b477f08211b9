#include "tools/devsim/LockdownSession.h"

#include "platform/simulated/SimulatedMessageService.h"
#include "tools/devsim/DeviceKey.h"

#include <fmt/format.h>

namespace keldo {

namespace {

std::optional<std::string> textField(const PlistValue& dictionary, const char* key) {
    const PlistValue* value = dictionary.find(key);
    if (!value || !value->text()) return std::nullopt;
    return *value->text();
}

// A certificate of a pair record: data holding PEM text (a text is taken too).
std::optional<std::string> pemField(const PlistValue& record, const char* key) {
    const PlistValue* value = record.find(key);
    if (!value) return std::nullopt;
    if (value->text()) return *value->text();
    if (value->data()) return std::string(value->data()->begin(), value->data()->end());
    return std::nullopt;
}

PlistValue::Dictionary failure(const std::string& request, const char* error) {
    return {{"Request", request}, {"Error", error}};
}

// The pair record that a pairing request carries, when it is a dictionary.
const PlistValue* pairRecordOf(const PlistValue& request) {
    const PlistValue* record = request.find("PairRecord");
    return record && record->isDictionary() ? record : nullptr;
}

// The root and host certificates (DER) of a pair record; none when either is missing or garbled.
std::optional<DeviceState::Certificates> certificatesIn(const PlistValue* record) {
    DeviceState::Certificates certificates;
    for (const char* key : {"RootCertificate", "HostCertificate"}) {
        const auto pem = record ? pemField(*record, key) : std::nullopt;
        auto der = pem ? DeviceKey::certificateDer(*pem) : std::nullopt;
        if (!der) return std::nullopt;
        certificates.push_back(std::move(*der));
    }
    return certificates;
}

} // namespace

LockdownSession::LockdownSession(std::shared_ptr<DeviceState> device, ServiceStarter startService)
    : device_(std::move(device)), startService_(std::move(startService)) {}

PlistValue::Dictionary LockdownSession::reply(const PlistRef& request) {
    next_ = Next::Continue;
    if (!request || !request->isDictionary()) return {{"Error", "InvalidRequest"}};
    const auto name = textField(*request, "Request");
    if (!name) return {{"Error", "InvalidRequest"}};

    if (*name == "QueryType") return {{"Request", *name}, {"Type", "com.apple.mobile.lockdown"}};
    if (*name == "GetValue") return getValue(*request);
    if (*name == "SetValue") return setValue(*request);
    if (*name == "Pair") return pair(*request);
    if (*name == "ValidatePair") return validatePair(*request);
    if (*name == "Unpair") return unpair(*request);
    if (*name == "StartSession") return startSession(*request);
    if (*name == "StopSession") return stopSession(*request);
    if (*name == "StartService") return startService(*request);
    if (*name == "Goodbye") {
        next_ = Next::Finish;
        return {{"Request", *name}, {"Result", "Success"}};
    }
    return failure(*name, "InvalidRequest");
}

PlistValue::Dictionary LockdownSession::getValue(const PlistValue& request) const {
    const auto domain = textField(request, "Domain");
    const auto key = textField(request, "Key");
    PlistValue::Dictionary reply{{"Request", "GetValue"}};
    if (domain) reply["Domain"] = *domain;
    if (key) reply["Key"] = *key;
    if (auto value = device_->value(domain, key, session_.has_value())) {
        reply["Value"] = std::move(*value);
    } else {
        reply["Error"] = "MissingValue";
    }
    return reply;
}

PlistValue::Dictionary LockdownSession::setValue(const PlistValue& request) {
    const auto key = textField(request, "Key");
    const PlistValue* value = request.find("Value");
    if (!key || !value) return failure("SetValue", "MissingValue");
    if (!session_) return failure("SetValue", "SessionInactive");
    const auto domain = textField(request, "Domain");
    if (!device_->setValue(domain, *key, *value)) return failure("SetValue", "SetProhibited");
    PlistValue::Dictionary reply{{"Request", "SetValue"}, {"Key", *key}};
    if (domain) reply["Domain"] = *domain;
    return reply;
}

PlistValue::Dictionary LockdownSession::pair(const PlistValue& request) {
    const PlistValue* record = pairRecordOf(request);
    if (!record) return failure("Pair", "InvalidPairRecord");
    const auto hostId = textField(*record, "HostID");
    if (!hostId || hostId->empty()) return failure("Pair", "MissingHostID");
    // The host's root or host certificate is what its TLS handshakes will show; the device
    // certificate must be of this device's own key.
    auto certificates = certificatesIn(record);
    const auto deviceCertificate = pemField(*record, "DeviceCertificate");
    if (!certificates || !deviceCertificate || !device_->key().isKeyOf(*deviceCertificate)) {
        return failure("Pair", "InvalidPairRecord");
    }
    const std::string systemBuid = textField(*record, "SystemBUID").value_or("");
    if (auto refusal = device_->pairingRefusal(*hostId, systemBuid, *certificates)) return failure("Pair", refusal->c_str());
    return {{"Request", "Pair"}, {"EscrowBag", device_->trust(*hostId, std::move(*certificates), systemBuid)}};
}

PlistValue::Dictionary LockdownSession::validatePair(const PlistValue& request) const {
    const PlistValue* record = pairRecordOf(request);
    const auto hostId = record ? textField(*record, "HostID") : std::nullopt;
    const auto known = hostId ? device_->certificatesOf(*hostId) : std::nullopt;
    if (!known || known != certificatesIn(record)) return failure("ValidatePair", "InvalidHostID");
    return {{"Request", "ValidatePair"}};
}

PlistValue::Dictionary LockdownSession::unpair(const PlistValue& request) {
    const PlistValue* record = pairRecordOf(request);
    auto hostId = record ? textField(*record, "HostID") : std::nullopt;
    if (!hostId) hostId = textField(request, "HostID");
    if (!hostId) return failure("Unpair", "MissingHostID");
    // Anyone may name a HostID (a host's record is no secret to other programs of its user):
    // only the host itself, in its own session or with its certificates, is forgotten.
    const auto known = device_->certificatesOf(*hostId);
    const bool itsSession = session_ && sessionHostId_ == *hostId;
    if (!known || (!itsSession && known != certificatesIn(record)) || !device_->forget(*hostId)) {
        return failure("Unpair", "InvalidHostID");
    }
    return {{"Request", "Unpair"}};
}

PlistValue::Dictionary LockdownSession::startSession(const PlistValue& request) {
    const auto hostId = textField(request, "HostID");
    if (!hostId) return failure("StartSession", "MissingHostID");
    if (session_) return failure("StartSession", "SessionActive");
    auto certificates = device_->certificatesOf(*hostId);
    if (!certificates) return failure("StartSession", "InvalidHostID");
    hostCertificates_ = std::move(*certificates);
    sessionHostId_ = *hostId;
    session_ = fmt::format("SIM-SESSION-{}", ++sessions_);
    const bool tls = !device_->cleartextSessions();
    if (tls) next_ = Next::StartTls;
    return {{"Request", "StartSession"}, {"SessionID", *session_}, {"EnableSessionSSL", tls}};
}

PlistValue::Dictionary LockdownSession::stopSession(const PlistValue& request) {
    if (!session_) return failure("StopSession", "SessionInactive");
    if (textField(request, "SessionID") != session_) return failure("StopSession", "InvalidSessionID");
    session_.reset();
    if (!device_->cleartextSessions()) next_ = Next::EndTls;
    return {{"Request", "StopSession"}};
}

PlistValue::Dictionary LockdownSession::startService(const PlistValue& request) {
    const auto service = textField(request, "Service");
    if (!service) return failure("StartService", "MissingService");
    if (!session_) return failure("StartService", "SessionInactive");
    const auto started = startService_ ? startService_(*service, hostCertificates_) : std::nullopt;
    if (!started) return failure("StartService", "InvalidService");
    return {{"Request", "StartService"}, {"Service", *service}, {"Port", static_cast<std::int64_t>(started->port)},
            {"EnableServiceSSL", started->tls}};
}

std::optional<std::uint32_t> LockdownSession::messageLength(const std::uint8_t header[4]) {
    const std::uint32_t length = static_cast<std::uint32_t>(header[0]) << 24 | static_cast<std::uint32_t>(header[1]) << 16 |
                                 static_cast<std::uint32_t>(header[2]) << 8 | header[3];
    if (length == 0 || length > kMaxMessage) return std::nullopt;
    return length;
}

std::string LockdownSession::frame(const PlistValue& message, bool binary) {
    return SimulatedMessageService::frame(message, binary);
}

} // namespace keldo
