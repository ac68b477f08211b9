#include "tools/devsim/DiagnosticsRelay.h"

#include "platform/plist/PlistBinary.h"
#include "platform/plist/PlistFile.h"
#include "tools/devsim/DeviceStream.h"
#include "tools/devsim/LockdownSession.h"

#include <vector>

namespace keldo {

void DiagnosticsRelay::serve(DeviceStream& stream, const SimulatedDeviceInfo& device) {
    for (bool finished = false; !finished;) {
        std::uint8_t header[4];
        if (!stream.readExactly(header, sizeof(header))) return;
        const auto length = LockdownSession::messageLength(header);
        if (!length) return;
        std::vector<char> body(*length);
        if (DeviceStream::MessageUnderway underway(stream); !stream.readExactly(body.data(), body.size())) return;
        if (!stream.awaitThaw()) return;
        const bool binary = PlistBinary::isBinary(body.data(), body.size());
        const std::string answer =
            LockdownSession::frame(reply(PlistFile::fromBytes(body.data(), body.size()), device, finished), binary);
        if (!stream.writeAll(answer.data(), answer.size())) return;
    }
}

PlistValue::Dictionary DiagnosticsRelay::reply(const PlistRef& request, const SimulatedDeviceInfo& device, bool& finished) {
    const PlistValue* name = request && request->isDictionary() ? request->find("Request") : nullptr;
    if (!name || !name->text()) return {{"Status", "UnknownRequest"}};
    if (*name->text() == "Goodbye") {
        finished = true;
        return {{"Status", "Success"}};
    }
    if (*name->text() != "MobileGestalt") return {{"Status", "UnknownRequest"}};
    const PlistValue* keys = request->find("MobileGestaltKeys");
    if (!keys || !keys->array()) return {{"Status", "Failure"}};
    PlistValue::Dictionary values;
    const auto domain = device.domains.find("");
    for (const auto& key : *keys->array()) {
        if (!key.text() || domain == device.domains.end()) continue;
        if (auto it = domain->second.find(*key.text()); it != domain->second.end()) values.insert(*it);
    }
    return {{"Status", "Success"}, {"Diagnostics", PlistValue::Dictionary{{"MobileGestalt", values}}}};
}

} // namespace keldo
