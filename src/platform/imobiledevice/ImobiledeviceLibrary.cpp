#include "platform/imobiledevice/ImobiledeviceLibrary.h"

#include "platform/plist/PlistXml.h"

#include <usbmuxd.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace keldo::imobiledevice {

// The one place that reads libimobiledevice's private structures. Version 1.3.0 exports no getter
// for the connection under a client (seen with nm -D), and the backend needs that connection's
// socket: to cut a call that outlasts its deadline (the library waits forever for a TLS handshake
// and polls forever for a peer that does not read), and to hand a plain service's socket to its
// caller. There is no sound way round it: libimobiledevice makes the connection inside
// lockdownd_client_new and service_client_new and keeps it to itself, and a client can't be
// built on a connection made with idevice_connect. In 1.3.0 each client holds the one below it as
// its first field, down to the connection: lockdownd -> property-list service -> service ->
// connection. Checked: the build refuses any other version of the library until its layout has
// been read again, and only a descriptor that is a stream socket is given (-1 otherwise), so that
// nothing is ever shut down by mistake.
static_assert(std::string_view(KELDO_IMOBILEDEVICE_VERSION) == "1.3.0",
              "the layout of libimobiledevice's clients was read from 1.3.0: read it again for this version");

namespace {

int socketUnder(const void* client, int levels) {
    const void* next = client;
    for (int level = 0; next && level < levels; ++level) next = *static_cast<const void* const*>(next);
    int fd = -1;
    if (!next || idevice_connection_get_fd(static_cast<idevice_connection_t>(const_cast<void*>(next)), &fd) !=
                     IDEVICE_E_SUCCESS)
        return -1;
    struct stat info {};
    int type = 0;
    socklen_t size = sizeof type;
    const bool stream = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode) &&
                        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
    return stream ? fd : -1;
}

} // namespace

// In 1.3.0 a device is {char* udid; uint32_t mux_id; uint32_t conn_type; void* conn_data; int
// version}, made by a malloc of 32 bytes in idevice_new_with_options, which sets version 0 at
// offset 24; idevice_connection_enable_ssl compares that word with 10.0 and 5.0 to bound the TLS
// versions it offers. The version is (major << 16) | (minor << 8) | patch.
bool setProductVersion(idevice_t device, const std::string& productVersion) {
    int major = 0, minor = 0, patch = 0;
    if (!device || std::sscanf(productVersion.c_str(), "%d.%d.%d", &major, &minor, &patch) < 2 || major <= 0 ||
        major > 255 || minor < 0 || minor > 255 || patch < 0 || patch > 255)
        return false;
    struct Layout {
        char* udid;
        std::uint32_t muxId;
        std::uint32_t connectionType;
        void* connectionData;
        int version;
    };
    static_assert(offsetof(Layout, version) == 24 && sizeof(Layout) == 32);
    reinterpret_cast<Layout*>(device)->version = (major << 16) | (minor << 8) | patch;
    return true;
}

int socketOf(service_client_t client) { return socketUnder(client, 1); }
int socketOf(lockdownd_client_t client) { return socketUnder(client, 3); }

BlockingSocket::BlockingSocket(int fd) : fd_(fd) {
    if (fd_ < 0) return;
    flags_ = ::fcntl(fd_, F_GETFL);
    if (flags_ >= 0 && (flags_ & O_NONBLOCK)) (void)::fcntl(fd_, F_SETFL, flags_ & ~O_NONBLOCK);
}

BlockingSocket::~BlockingSocket() {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK)) (void)::fcntl(fd_, F_SETFL, flags_);
}

timeval toTimeval(std::chrono::milliseconds t) {
    return timeval{static_cast<time_t>(t.count() / 1000), static_cast<suseconds_t>((t.count() % 1000) * 1000)};
}

PlistRef fromLibplist(plist_t value) {
    if (!value) return nullptr;
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(value, &xml, &length);
    if (!xml) return nullptr;
    PlistRef result = PlistXml::fromXml(xml, length);
    plist_to_xml_free(xml);
    return result;
}

std::optional<std::string> hostIdOf(const std::string& udid) {
    char* data = nullptr;
    std::uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data) return std::nullopt;
    plist_t record = nullptr;
    plist_from_memory(data, size, &record);
    std::free(data);
    PlistPtr owned(record);
    plist_t node = record && plist_get_node_type(record) == PLIST_DICT ? plist_dict_get_item(record, "HostID") : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* text = nullptr;
    plist_get_string_val(node, &text);
    if (!text) return std::nullopt;
    std::string hostId(text);
    std::free(text);
    if (hostId.empty()) return std::nullopt;
    return hostId;
}

std::vector<std::string> copyList(char** list) {
    std::vector<std::string> items;
    for (char** p = list; p && *p; ++p) items.emplace_back(*p);
    return items;
}

} // namespace keldo::imobiledevice
