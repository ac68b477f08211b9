#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include "platform/imobiledevice/ImobiledeviceBackendRecords.h"
#include "platform/imobiledevice/ImobiledeviceStatus.h"
#include "platform/SystemLog.h"

#include <usbmuxd.h>

namespace keldo {

using namespace imobiledevice;
using Status = ImobiledeviceStatus;

// Device ----------------------------------------------------------------------------------------

template <typename Call>
auto ImobiledeviceBackend::onLockdown(Device& device, Call call, bool* timedOut) {
    std::chrono::milliseconds timeout;
    {
        std::lock_guard lock(mutex_);
        timeout = timeouts_.lockdown;
    }
    SigpipeHeld held;
    auto deadline = deadlines_.arm(socketOf(device.lockdown.get()), timeout);
    auto result = call(device.lockdown.get());
    const bool expired = deadline.expired();
    deadline = {};
    if (expired) {
        logLine("lockdownd of {} did not answer within {} ms; its connection was cut", device.udid, timeout.count());
        device.lockdown.reset();  // on a cut socket: fails at once
        device.inSession = false;
        device.sessionId.clear();
    }
    // A reply that came whole just as the deadline passed is the device's answer, not a time-out;
    // only the connection, shut down meanwhile, is gone.
    if (timedOut) *timedOut = expired && result != LOCKDOWN_E_SUCCESS;
    return result;
}

void ImobiledeviceBackend::closeLockdown(Device& device) {
    if (!device.lockdown) return;
    // Freeing stops an open session: a request and its reply.
    std::chrono::milliseconds timeout;
    {
        std::lock_guard lock(mutex_);
        timeout = timeouts_.lockdown;
    }
    auto deadline = deadlines_.arm(socketOf(device.lockdown.get()), timeout);
    device.lockdown.reset();
    device.inSession = false;
    device.sessionId.clear();
}

std::int32_t ImobiledeviceBackend::connect(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return Status::backend(Status::kNoSuchDevice);
    }
    if (d->lockdown) return 0;
    // Both calls wait only on bounded steps: usbmuxd's replies (5 s each, libusbmuxd's own) and,
    // for a network device, the TCP connect (5 s, libimobiledevice's own). The client sends nothing.
    if (!d->idevice) {
        idevice_t idevice = nullptr;
        const auto lookup = d->network() ? IDEVICE_LOOKUP_NETWORK : IDEVICE_LOOKUP_USBMUX;
        const idevice_error_t status = idevice_new_with_options(&idevice, d->udid.c_str(), lookup);
        if (status != IDEVICE_E_SUCCESS) return Status::fromIdevice(status);
        d->idevice = std::shared_ptr<idevice_private>(idevice, IdeviceFree());
    }
    lockdownd_client_t client = nullptr;
    // Not the handshake variant: that one pairs on its own when no pair record is there.
    const lockdownd_error_t status = lockdownd_client_new(d->idevice.get(), &client, kLabel);
    if (status != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(status);
    d->lockdown.reset(client);
    if (!d->versionKnown) {
        // What the library's own handshake reads first: without it, TLS 1.0 would be the most
        // that a session or a service offered, whatever the device. Public, so no session needed.
        plist_t value = nullptr;
        const lockdownd_error_t read = onLockdown(*d, [&](lockdownd_client_t c) {
            return lockdownd_get_value(c, nullptr, "ProductVersion", &value);
        });
        PlistPtr owned(value);
        char* text = nullptr;
        if (read == LOCKDOWN_E_SUCCESS && value && plist_get_node_type(value) == PLIST_STRING) plist_get_string_val(value, &text);
        std::unique_ptr<char, decltype(&std::free)> ownedText(text, std::free);
        d->versionKnown = text && setProductVersion(d->idevice.get(), text);
        if (!d->lockdown) return Status::backend(Status::kTimedOut);  // cut by its deadline
    }
    return 0;
}

std::int32_t ImobiledeviceBackend::disconnect(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    closeLockdown(*d);  // stops a session that is still open
    return 0;
}

std::int32_t ImobiledeviceBackend::startSession(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    return openSession(*d);
}

std::int32_t ImobiledeviceBackend::openSession(Device& d) {
    const auto hostId = hostIdOf(d.udid);
    if (!hostId) return Status::backend(Status::kNotPaired);
    char* sessionId = nullptr;
    int ssl = 0;
    bool timedOut = false;
    const lockdownd_error_t status = onLockdown(d, [&](lockdownd_client_t client) {
        BlockingSocket blocking(socketOf(client));
        return lockdownd_start_session(client, hostId->c_str(), &sessionId, &ssl);
    }, &timedOut);
    std::unique_ptr<char, decltype(&std::free)> owned(sessionId, std::free);
    // A session started on a connection that was cut meanwhile is gone with it.
    if (timedOut || !d.lockdown) return Status::backend(Status::kTimedOut);
    // A paired device always encrypts its sessions. One that says it won't (or a relay between,
    // such as one behind USBMUXD_SOCKET_ADDRESS=host:port, that says so for it) would get every
    // value and service start in plain text: the session is ended at once and refused.
    const bool cleartext = status == LOCKDOWN_E_SUCCESS && !ssl;
    if (cleartext) logLine("lockdownd of {} started a session without TLS; it was ended", d.udid);
    if (status == LOCKDOWN_E_SSL_ERROR || cleartext) {
        // The device answered in plain text and waits for TLS that never came (the record's keys
        // were refused, or the handshake failed), or it runs the session in plain text: the
        // connection is of no further use. A fresh one lets the caller read on outside a
        // session, as it does after any refused session.
        closeLockdown(d);
        lockdownd_client_t fresh = nullptr;
        if (lockdownd_client_new(d.idevice.get(), &fresh, kLabel) == LOCKDOWN_E_SUCCESS) d.lockdown.reset(fresh);
    }
    if (cleartext) return Status::backend(Status::kNotEncrypted);
    if (status != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(status);
    d.sessionId = sessionId ? sessionId : "";
    d.inSession = true;
    return 0;
}

std::int32_t ImobiledeviceBackend::stopSession(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    if (!d->inSession) return Status::backend(Status::kNoSession);
    bool timedOut = false;
    const lockdownd_error_t status = onLockdown(*d, [&](lockdownd_client_t client) {
        return lockdownd_stop_session(client, d->sessionId.c_str());
    }, &timedOut);
    if (timedOut) return Status::backend(Status::kTimedOut);
    if (status != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(status);
    d->inSession = false;
    d->sessionId.clear();
    return 0;
}

std::int32_t ImobiledeviceBackend::requestService(Device& d, const char* name,
                                                 lockdownd_service_descriptor** descriptor) {
    bool timedOut = false;
    const lockdownd_error_t started = onLockdown(d, [&](lockdownd_client_t client) {
        return lockdownd_start_service(client, name, descriptor);
    }, &timedOut);
    if (timedOut) return Status::backend(Status::kTimedOut);
    if (started != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(started);
    if (!*descriptor) return Status::fromLockdown(LOCKDOWN_E_UNKNOWN_ERROR);
    return 0;
}

PlistRef ImobiledeviceBackend::copyValue(am_device device, const char* domain, const char* key) {
    auto d = find(device);
    if (!d) return nullptr;
    std::lock_guard io(d->io);
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return nullptr;
    }
    if (!d->lockdown) return nullptr;
    plist_t value = nullptr;
    const lockdownd_error_t status = onLockdown(*d, [&](lockdownd_client_t client) {
        return lockdownd_get_value(client, domain, key, &value);
    });
    PlistPtr owned(value);
    // Success without a value is how the library says "not found".
    if (status != LOCKDOWN_E_SUCCESS) return nullptr;
    return fromLibplist(value);
}

// Pairing --------------------------------------------------------------------------------------

namespace {

// The refusals that callers tell apart, in the framework's terms.
std::int32_t pairingStatus(lockdownd_error_t status) {
    switch (status) {
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING: return kAMDPairingDialogResponsePendingError;
    case LOCKDOWN_E_USER_DENIED_PAIRING: return kAMDUserDeniedPairingError;
    case LOCKDOWN_E_PASSWORD_PROTECTED: return kAMDPasswordProtectedError;
    default: return Status::fromLockdown(status);
    }
}

} // namespace

template <typename Call>
std::int32_t ImobiledeviceBackend::onConnected(am_device device, Call call) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return Status::backend(Status::kNoSuchDevice);
    }
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    return call(*d);
}

std::int32_t ImobiledeviceBackend::pair(am_device device) {
    return onConnected(device, [&](Device& d) {
        bool timedOut = false;
        // The library makes the host's certificates, asks the device, and has usbmuxd keep the
        // record of a yes (usbmuxd then tells its listeners that the device is paired).
        const lockdownd_error_t status =
            onLockdown(d, [](lockdownd_client_t client) { return lockdownd_pair(client, nullptr); }, &timedOut);
        return timedOut ? Status::backend(Status::kTimedOut) : pairingStatus(status);
    });
}

std::int32_t ImobiledeviceBackend::unpair(am_device device) {
    return onConnected(device, [&](Device& d) {
        if (!hostIdOf(d.udid)) return Status::backend(Status::kNotPaired);
        bool timedOut = false;
        const lockdownd_error_t status =
            onLockdown(d, [](lockdownd_client_t client) { return lockdownd_unpair(client, nullptr); }, &timedOut);
        if (timedOut) return Status::backend(Status::kTimedOut);
        // A device that no longer knows this computer is unpaired already; the record that the
        // library leaves then would keep saying otherwise.
        if (status == LOCKDOWN_E_INVALID_HOST_ID) {
            (void)usbmuxd_delete_pair_record(d.udid.c_str());
            return 0;
        }
        return pairingStatus(status);
    });
}

std::int32_t ImobiledeviceBackend::validatePairing(am_device device) {
    return onConnected(device, [&](Device& d) -> std::int32_t {
        // An open session has proved it already.
        if (d.inSession) return 0;
        const std::int32_t started = openSession(d);
        if (started != 0) return started;
        bool timedOut = false;
        const lockdownd_error_t stopped = onLockdown(d, [&](lockdownd_client_t client) {
            return lockdownd_stop_session(client, d.sessionId.c_str());
        }, &timedOut);
        if (!timedOut && stopped == LOCKDOWN_E_SUCCESS) {
            d.inSession = false;
            d.sessionId.clear();
        }
        return 0;
    });
}

std::int32_t ImobiledeviceBackend::isPaired(am_device device) {
    auto d = find(device);
    return d && hostIdOf(d->udid) ? 1 : 0;
}

} // namespace keldo
