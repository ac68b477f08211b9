#include "tools/devsim/DeviceSimulator.h"

#include "platform/plist/PlistBinary.h"
#include "platform/plist/PlistFile.h"
#include "platform/plist/PlistXml.h"
#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/HostIdentity.h"
#include "tools/devsim/AfcPacket.h"
#include "tools/devsim/LockdownSession.h"
#include "tools/devsim/PairRecordStore.h"
#include "tools/devsim/TlsTestClient.h"
#include "tools/devsim/UsbmuxPacket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace keldo {
namespace {

namespace fs = std::filesystem;

std::int64_t numberIn(const PlistRef& reply, const char* key) {
    const PlistValue* value = reply ? reply->find(key) : nullptr;
    return value && value->signedInteger() ? *value->signedInteger() : -1;
}

// A client of the simulator's usbmuxd socket, as libusbmuxd and libimobiledevice are: whole
// requests out, whole replies in. No read or send waits more than ten seconds: a hang fails.
class Client {
public:
    explicit Client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        connected_ = reach(reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    // A network device's port at its address.
    Client(const std::string& address, std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        connected_ = ::inet_pton(AF_INET, address.c_str(), &where.sin_addr) == 1 &&
                     reach(reinterpret_cast<sockaddr*>(&where), sizeof(where));
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool send(const std::string& bytes) {
        return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool read(void* buffer, std::size_t size) {
        return ::recv(fd_, buffer, size, MSG_WAITALL) == static_cast<ssize_t>(size);
    }
    void ask(PlistValue::Dictionary request) { send(UsbmuxPacket::encode(++tag_, request)); }
    // The next usbmuxd message, or none when the connection ended first.
    PlistRef usbmuxReply() {
        std::uint8_t header[UsbmuxPacket::kHeaderSize];
        if (!read(header, sizeof(header))) return nullptr;
        std::string body(UsbmuxPacket::parseHeader(header).value().bodySize(), '\0');
        return read(body.data(), body.size()) ? PlistXml::fromXml(body.data(), body.size()) : nullptr;
    }
    PlistRef request(PlistValue::Dictionary request) {
        ask(std::move(request));
        return usbmuxReply();
    }
    PlistValue::Dictionary connectRequest(std::uint32_t deviceId, std::uint16_t port) const {
        const auto swapped = static_cast<std::int64_t>(((port & 0xFF) << 8) | (port >> 8));
        return {{"MessageType", "Connect"}, {"DeviceID", std::int64_t{deviceId}}, {"PortNumber", swapped}};
    }
    // Makes this connection the stream to a port of the device.
    bool connectTo(std::uint32_t deviceId, std::uint16_t port = LockdownSession::kPort) {
        return numberIn(request(connectRequest(deviceId, port)), "Number") == 0;
    }
    // A lockdownd reply, read in TLS while a session is open; binaryReply() tells its form.
    PlistRef lockdownReply() {
        std::uint8_t header[4];
        std::optional<std::string> body;
        if (tls_) {
            auto prefix = tls_->read(4);
            if (!prefix) return nullptr;
            std::memcpy(header, prefix->data(), 4);
            body = tls_->read(LockdownSession::messageLength(header).value_or(0));
        } else if (read(header, sizeof(header))) {
            body.emplace(LockdownSession::messageLength(header).value_or(0), '\0');
            if (!read(body->data(), body->size())) body.reset();
        }
        if (!body) return nullptr;
        binaryReply_ = PlistBinary::isBinary(body->data(), body->size());
        return PlistFile::fromBytes(body->data(), body->size());
    }
    bool binaryReply() const { return binaryReply_; }
    PlistRef lockdown(PlistValue::Dictionary request, bool binary = false) {
        const std::string framed = LockdownSession::frame(request, binary);
        if (!(tls_ ? tls_->send(framed) : send(framed))) return nullptr;
        return lockdownReply();
    }
    // Starts a session as the host of `record` and its TLS, as libimobiledevice does.
    bool startSession(const PlistValue& record, int maxVersion = 0) {
        const PlistValue* hostId = record.find("HostID");
        PlistRef reply = lockdown({{"Request", "StartSession"}, {"HostID", hostId ? *hostId : PlistValue("")}});
        const PlistValue* ssl = reply ? reply->find("EnableSessionSSL") : nullptr;
        if (!ssl || !ssl->boolean() || !*ssl->boolean()) return false;
        sessionId_ = *reply->find("SessionID");
        tls_ = std::make_unique<testing::TlsTestClient>(fd_, record, maxVersion);
        return tls_->handshake();
    }
    // Stops it, and sends close_notify with `plainText` behind it in one send, as a host that
    // goes back to plain text at once does.
    PlistRef stopSession(const std::string& plainText = {}) {
        PlistRef reply = lockdown({{"Request", "StopSession"}, {"SessionID", sessionId_}});
        tls_->closeNotify();
        tls_.reset();
        if (!plainText.empty()) send(plainText);
        return reply;
    }
    testing::TlsTestClient* tls() { return tls_.get(); }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    // The operation of the next AFC reply (its payload is dropped).
    std::uint64_t afcReply() {
        std::uint8_t header[AfcPacket::kHeaderSize];
        if (!read(header, sizeof(header))) return 0;
        auto packet = AfcPacket::parseHeader(header);
        std::string rest(packet ? packet->bodySize() : 0, '\0');
        return packet && read(rest.data(), rest.size()) ? packet->operation : 0;
    }
    bool quietFor(int milliseconds) {
        pollfd fd{fd_, POLLIN, 0};
        return ::poll(&fd, 1, milliseconds) == 0;
    }
    // Whether the simulator closed the connection (what it had sent before is skipped).
    bool closed() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof(buffer), 0)) > 0) {}
        return n == 0 || errno == ECONNRESET;
    }

private:
    bool reach(const sockaddr* address, socklen_t size) {
        timeval limit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        return ::connect(fd_, address, size) == 0;
    }

    int fd_;
    bool connected_ = false;
    std::uint32_t tag_ = 0;
    std::unique_ptr<testing::TlsTestClient> tls_;
    PlistValue sessionId_;
    bool binaryReply_ = false;
};

// The record with its host certificate and key where the root's are: what a client that shows
// the host certificate in TLS uses.
PlistValue showingHostCertificate(PlistValue record) {
    (*record.dictionary())["RootCertificate"] = *record.find("HostCertificate");
    (*record.dictionary())["RootPrivateKey"] = *record.find("HostPrivateKey");
    return record;
}

// Opens `file` for writing over the AFC connection; its handle, or nothing.
std::string openForWriting(Client& afc, const std::string& file) {
    std::string arguments;
    AfcPacket::appendNumber(arguments, 3);
    arguments += file + '\0';
    std::uint8_t header[AfcPacket::kHeaderSize];
    std::string handle(8, '\0');
    if (!afc.send(AfcPacket::encode(1, AfcPacket::FileOpen, arguments)) || !afc.read(header, sizeof(header)) ||
        !afc.read(handle.data(), handle.size()))
        return {};
    return handle;
}

// 10 ms each way, 2 MB/s.
DeviceSimulator::Options overASlowLink() {
    using namespace std::chrono_literals;
    DeviceSimulator::Options options;
    options.link = LinkModel::Figures{{10ms, 2e6}, {10ms, 2e6}};
    return options;
}

std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

class DeviceSimulatorTest : public ::testing::Test {
protected:
    DeviceSimulatorTest() {
        char pattern[] = "/tmp/keldo-devsim-test-XXXXXX";
        dir = ::mkdtemp(pattern);
        path = dir + "/usbmuxd";
    }
    ~DeviceSimulatorTest() override {
        simulator.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    void start(DeviceSimulator::Options options = {}) {
        simulator = std::make_unique<DeviceSimulator>(path, ServiceRegistry{}, std::move(options));
        ASSERT_TRUE(simulator->start()) << simulator->lastError();
    }
    std::uint32_t attach(const std::string& udid, bool paired = true, std::int32_t interfaceType = 1) {
        auto info = SimulatedDeviceInfo::iPhone(udid, "Phone " + udid, "9.3", interfaceType);
        info.pairedAnswer = paired ? 1 : 0;
        return simulator->attach(info);
    }
    // The host's pair record of the device, as usbmuxd hands it out.
    PlistValue record(const std::string& udid) {
        auto data = simulator->pairRecord(udid);
        PlistRef parsed = data ? PairRecordStore::parse(*data) : nullptr;
        return parsed ? *parsed : PlistValue();
    }
    // Starts a service through a lockdownd session of its own and gives its reply.
    PlistRef startService(const std::string& udid, std::uint32_t deviceId, const std::string& name) {
        Client client(path);
        if (!client.connectTo(deviceId) || !client.startSession(record(udid))) return nullptr;
        return client.lockdown({{"Request", "StartService"}, {"Service", name}});
    }
    std::uint16_t servicePort(const std::string& udid, std::uint32_t deviceId, const std::string& name) {
        return static_cast<std::uint16_t>(numberIn(startService(udid, deviceId, name), "Port"));
    }
    void attachAndDetach(int times) {
        for (int i = 0; i < times; ++i) {
            ASSERT_NE(attach("cycle"), 0u);
            ASSERT_TRUE(simulator->detach("cycle"));
        }
    }
    std::size_t listedDevices() {
        PlistRef reply = Client(path).request({{"MessageType", "ListDevices"}});
        const PlistValue* list = reply ? reply->find("DeviceList") : nullptr;
        return list && list->array() ? list->array()->size() : 0;
    }

    std::string dir;
    std::string path;
    std::unique_ptr<DeviceSimulator> simulator;
};

// What a host meets over the wire: sessions in TLS with the pair record's root, pair records
// kept by usbmuxd, services in TLS where the registry says so.
using DeviceSimulatorTrust = DeviceSimulatorTest;

TEST_F(DeviceSimulatorTrust, ASessionRunsInTlsAndPlainTextResumesRightBehindCloseNotify) {
    start();
    const auto id = attach("tls-1");
    Client client(path);
    ASSERT_TRUE(client.connectTo(id));
    EXPECT_EQ(*client.lockdown({{"Request", "GetValue"}, {"Key", "SerialNumber"}})->find("Error"), PlistValue("MissingValue"));
    // TLS 1.0 first, as a host offers when it has not asked for the device's version.
    ASSERT_TRUE(client.startSession(record("tls-1"), TLS1_VERSION));
    EXPECT_EQ(client.tls()->version(), "TLSv1");
    EXPECT_EQ(*client.lockdown({{"Request", "GetValue"}, {"Key", "SerialNumber"}})->find("Value"), PlistValue("SIMtls-1"));
    // The next request comes in the same send as the close_notify; the device answers it in plain text.
    PlistRef stopped = client.stopSession(LockdownSession::frame(PlistValue::Dictionary{{"Request", "QueryType"}}));
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(stopped->find("Error"));
    PlistRef plain = client.lockdownReply();
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain->find("Type"), PlistValue("com.apple.mobile.lockdown"));
    ASSERT_TRUE(client.startSession(record("tls-1")));
    EXPECT_EQ(client.tls()->version(), "TLSv1.3");
    EXPECT_TRUE(client.lockdown({{"Request", "GetValue"}, {"Key", "DeviceName"}}));

    // A host may show its host certificate instead; one that shows a certificate of another
    // pairing gets no further.
    Client asHost(path);
    ASSERT_TRUE(asHost.connectTo(id));
    ASSERT_TRUE(asHost.startSession(showingHostCertificate(record("tls-1"))));
    EXPECT_TRUE(asHost.lockdown({{"Request", "GetValue"}, {"Key", "SerialNumber"}}));
    std::string error;
    const auto otherKey = DeviceKey::generate(error);
    const auto otherHost = HostIdentity::generate(error);
    ASSERT_TRUE(otherKey && otherHost) << error;
    PlistValue stranger = record("tls-1");
    const auto foreign = otherHost->pairRecord(*otherKey, "H", "B", "W").value();
    (*stranger.dictionary())["RootCertificate"] = foreign.at("RootCertificate");
    (*stranger.dictionary())["RootPrivateKey"] = foreign.at("RootPrivateKey");
    Client impostor(path);
    ASSERT_TRUE(impostor.connectTo(id));
    (void)impostor.startSession(stranger);
    EXPECT_FALSE(impostor.lockdown({{"Request", "GetValue"}, {"Key", "SerialNumber"}}));
}

TEST_F(DeviceSimulatorTrust, UsbmuxdKeepsPairRecordsAcrossDetachAndRestartAndAnnouncesASave) {
    start();
    const auto id = attach("rec-1", false);
    const auto readRecord = [&] {
        return Client(path).request({{"MessageType", "ReadPairRecord"}, {"PairRecordID", "rec-1"}});
    };
    EXPECT_EQ(numberIn(readRecord(), "Number"), 2);  // none: never success without the data
    EXPECT_FALSE(readRecord()->find("PairRecordData"));
    Client listener(path);
    ASSERT_EQ(numberIn(listener.request({{"MessageType", "Listen"}}), "Number"), 0);
    ASSERT_EQ(*listener.usbmuxReply()->find("MessageType"), PlistValue("Attached"));

    const auto save = [&](PlistValue::Data data, std::int64_t deviceId) {
        return numberIn(Client(path).request({{"MessageType", "SavePairRecord"}, {"PairRecordID", "rec-1"},
                                              {"PairRecordData", std::move(data)}, {"DeviceID", deviceId}}),
                        "Number");
    };
    EXPECT_EQ(save({'n', 'o', 'p', 'e'}, id), 22);
    const std::string xml = PlistXml::toXmlString(PlistValue::Dictionary{{"HostID", "H"}, {"SystemBUID", "B"}});
    const PlistValue::Data saved(xml.begin(), xml.end());
    EXPECT_EQ(save(saved, 99), 0);  // no such device: saved, announced to no one
    EXPECT_EQ(save(saved, id), 0);
    PlistRef paired = listener.usbmuxReply();
    ASSERT_TRUE(paired);
    EXPECT_EQ(*paired, PlistValue(PlistValue::Dictionary{{"MessageType", "Paired"}, {"DeviceID", std::int64_t{id}}}));

    ASSERT_TRUE(simulator->detach("rec-1"));
    simulator->stop();
    ASSERT_TRUE(simulator->start());
    EXPECT_EQ(*readRecord()->find("PairRecordData"), PlistValue(saved));
    EXPECT_EQ(numberIn(Client(path).request({{"MessageType", "DeletePairRecord"}, {"PairRecordID", "rec-1"}}), "Number"), 0);
    EXPECT_EQ(numberIn(readRecord(), "Number"), 2);

    // Attached as paired, the device comes with a record of its own that starts sessions.
    const auto again = attach("rec-1");
    EXPECT_EQ(*PlistValue::make(record("rec-1"))->find("HostID"), PlistValue(LockdownSession::kHostId));
    Client client(path);
    ASSERT_TRUE(client.connectTo(again));
    EXPECT_TRUE(client.startSession(record("rec-1")));
}

// A client that speaks binary property lists is answered in them, one that speaks XML in XML,
// request by request, in plain text and in TLS.
TEST_F(DeviceSimulatorTrust, LockdownAnswersEachRequestInTheFormItCameIn) {
    start();
    const auto id = attach("form-1");
    Client client(path);
    ASSERT_TRUE(client.connectTo(id));
    for (const bool binary : {true, false, true}) {
        PlistRef reply = client.lockdown({{"Request", "QueryType"}}, binary);
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply->find("Type"), PlistValue("com.apple.mobile.lockdown"));
        EXPECT_EQ(client.binaryReply(), binary);
    }
    ASSERT_TRUE(client.startSession(record("form-1")));
    PlistRef serial = client.lockdown({{"Request", "GetValue"}, {"Key", "SerialNumber"}}, true);
    ASSERT_TRUE(serial);
    EXPECT_TRUE(client.binaryReply());
    EXPECT_EQ(*serial->find("Value"), PlistValue("SIMform-1"));
}

TEST_F(DeviceSimulatorTrust, ATlsServiceHandshakesBeforeItsFirstMessage) {
    start();
    const auto id = attach("svc-1");
    PlistRef started = startService("svc-1", id, "com.apple.mobile.diagnostics_relay");
    ASSERT_TRUE(started);
    EXPECT_EQ(*started->find("EnableServiceSSL"), PlistValue(true));
    EXPECT_EQ(*startService("svc-1", id, DeviceSimulator::kMediaService)->find("EnableServiceSSL"), PlistValue(false));

    Client relay(path);
    ASSERT_TRUE(relay.connectTo(id, static_cast<std::uint16_t>(numberIn(started, "Port"))));
    // Shown the host certificate, and asked in a binary property list, as some clients do.
    testing::TlsTestClient tls(relay.fd(), showingHostCertificate(record("svc-1")));
    ASSERT_TRUE(tls.handshake());
    const PlistValue::Array keys{PlistValue("DeviceName")};
    ASSERT_TRUE(tls.send(LockdownSession::frame(PlistValue::Dictionary{{"Request", "MobileGestalt"}, {"MobileGestaltKeys", keys}}, true)));
    auto prefix = tls.read(4);
    ASSERT_TRUE(prefix);
    auto body = tls.read(LockdownSession::messageLength(reinterpret_cast<const std::uint8_t*>(prefix->data())).value_or(0));
    ASSERT_TRUE(body);
    EXPECT_TRUE(PlistBinary::isBinary(body->data(), body->size()));
    PlistRef reply = PlistFile::fromBytes(body->data(), body->size());
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply->find("Diagnostics"),
              PlistValue(PlistValue::Dictionary{{"MobileGestalt", PlistValue::Dictionary{{"DeviceName", "Phone svc-1"}}}}));
}

// Many clients at once, each on a thread of the simulator's (so run under ThreadSanitizer too).
using DeviceSimulatorConcurrency = DeviceSimulatorTest;

TEST_F(DeviceSimulatorConcurrency, AFrozenDeviceReadsButAnswersNothingUntilThawedWhileOthersAreServed) {
    start();
    const auto frozen = attach("frozen-1");
    const auto other = attach("other-2");
    Client lockdown(path);
    ASSERT_TRUE(lockdown.connectTo(frozen));
    Client afc(path);
    ASSERT_TRUE(afc.connectTo(frozen, servicePort("frozen-1", frozen, DeviceSimulator::kMediaService)));

    ASSERT_TRUE(simulator->freeze("frozen-1"));
    // Far more than a socket holds: the sends go through only while the device reads them.
    constexpr int kRequests = 4000;
    std::string queries;
    for (int i = 0; i < kRequests; ++i) queries += LockdownSession::frame(PlistValue::Dictionary{{"Request", "QueryType"}});
    ASSERT_TRUE(lockdown.send(queries));
    ASSERT_TRUE(afc.send(AfcPacket::encode(1, AfcPacket::GetDeviceInfo, "")));
    Client connecting(path);
    connecting.ask(connecting.connectRequest(frozen, LockdownSession::kPort));

    // Everyone else is served meanwhile.
    EXPECT_EQ(listedDevices(), 2u);
    Client toOther(path);
    ASSERT_TRUE(toOther.connectTo(other));
    EXPECT_TRUE(toOther.lockdown({{"Request", "QueryType"}}));
    EXPECT_TRUE(lockdown.quietFor(100));
    EXPECT_TRUE(afc.quietFor(0));
    EXPECT_TRUE(connecting.quietFor(0));

    ASSERT_TRUE(simulator->thaw("frozen-1"));
    int answered = 0;
    for (PlistRef reply; answered < kRequests && (reply = lockdown.lockdownReply()); ++answered) {
        ASSERT_EQ(*reply, (PlistValue::Dictionary{{"Request", "QueryType"}, {"Type", "com.apple.mobile.lockdown"}}));
    }
    EXPECT_EQ(answered, kRequests);
    EXPECT_EQ(afc.afcReply(), AfcPacket::Data);
    EXPECT_EQ(numberIn(connecting.usbmuxReply(), "Number"), 0);

    // Detaching a frozen device ends its connections, as pulling the cable of a hung one does.
    ASSERT_TRUE(simulator->freeze("frozen-1", 1));
    ASSERT_TRUE(lockdown.send(LockdownSession::frame(PlistValue::Dictionary{{"Request", "QueryType"}})));
    ASSERT_TRUE(simulator->detach("frozen-1"));
    EXPECT_TRUE(lockdown.closed());
    EXPECT_FALSE(simulator->freeze("frozen-1"));
}

TEST_F(DeviceSimulatorConcurrency, HostsHoldTlsSessionsWhileTheUserAnswersAndRecordsChange) {
    start();
    const auto id = attach("busy-1");
    const auto shy = attach("shy-2", false);
    ASSERT_NE(shy, 0u);
    const PlistValue paired = record("busy-1");
    std::atomic<int> served{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> hosts;
    for (int h = 0; h < 4; ++h) {
        hosts.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                Client client(path);
                if (!client.connectTo(id) || !client.startSession(paired)) return;
                PlistRef serial = client.lockdown({{"Request", "GetValue"}, {"Key", "SerialNumber"}});
                if (serial && serial->find("Value")) ++served;
                (void)client.stopSession();
            }
        });
    }
    // Meanwhile others save and delete records and ask the untrusted device for its name.
    hosts.emplace_back([&] {
        const std::string xml = PlistXml::toXmlString(PlistValue::Dictionary{{"HostID", "H"}});
        for (int i = 0; !stop; ++i) {
            Client(path).request({{"MessageType", "SavePairRecord"}, {"PairRecordID", "shy-2"},
                                  {"PairRecordData", PlistValue::Data(xml.begin(), xml.end())}});
            Client(path).request({{"MessageType", i % 2 ? "ReadPairRecord" : "DeletePairRecord"}, {"PairRecordID", "shy-2"}});
            Client client(path);
            if (client.connectTo(shy)) (void)client.lockdown({{"Request", "GetValue"}, {"Key", "DeviceName"}});
        }
    });
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(simulator->answerTrustPrompt("shy-2", i % 2));
        ASSERT_TRUE(simulator->setLocked("shy-2", i % 3 == 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::size_t h = 0; h + 1 < hosts.size(); ++h) hosts[h].join();
    stop = true;
    hosts.back().join();
    EXPECT_EQ(served, 20);
}

TEST_F(DeviceSimulatorConcurrency, AListenerThatDoesNotReadHoldsUpNoOneAndIsDroppedOnlyWhenFarBehind) {
    DeviceSimulator::Options options;
    options.listenerBacklog = 1024 * 1024;
    start(options);
    {
        Client slow(path);
        ASSERT_EQ(numberIn(slow.request({{"MessageType", "Listen"}}), "Number"), 0);
        // Far more than its socket holds, far less than its backlog.
        constexpr int kCycles = 300;
        attachAndDetach(kCycles);
        EXPECT_EQ(listedDevices(), 0u);
        for (int i = 0; i < 2 * kCycles; ++i) {
            PlistRef event = slow.usbmuxReply();
            ASSERT_TRUE(event) << "event " << i << " of " << 2 * kCycles;
            EXPECT_EQ(*event->find("MessageType"), PlistValue(i % 2 ? "Detached" : "Attached"));
        }
    }
    Client stuck(path);
    ASSERT_EQ(numberIn(stuck.request({{"MessageType", "Listen"}}), "Number"), 0);
    attachAndDetach(3000);
    EXPECT_TRUE(stuck.closed());
    EXPECT_EQ(listedDevices(), 0u);
}

// Over a modelled link (10 ms each way, 2 MB/s), in plain text and in TLS: a lower bound only, as
// a loaded machine may take any time longer.
TEST_F(DeviceSimulatorConcurrency, OverAModelledLinkEachExchangeTakesAtLeastWhatTheLinkNeedsAndLosesNoByte) {
    using namespace std::chrono;
    start(overASlowLink());
    const auto id = attach("linked-1");
    // usbmuxd's own answers don't cross the link; a device's do, and its TLS works over it.
    EXPECT_EQ(listedDevices(), 1u);
    Client lockdown(path);
    ASSERT_TRUE(lockdown.connectTo(id));
    ASSERT_TRUE(lockdown.startSession(record("linked-1")));
    auto start = steady_clock::now();
    EXPECT_TRUE(lockdown.lockdown({{"Request", "GetValue"}, {"Key", "DeviceName"}}));
    EXPECT_GE(steady_clock::now() - start, 20ms);

    Client afc(path);
    ASSERT_TRUE(afc.connectTo(id, servicePort("linked-1", id, DeviceSimulator::kMediaService)));
    const std::string handle = openForWriting(afc, "/linked");
    ASSERT_FALSE(handle.empty());
    const std::string bytes = patterned(512 * 1024);
    start = steady_clock::now();
    ASSERT_TRUE(afc.send(AfcPacket::encode(2, AfcPacket::FileWrite, handle, bytes)));
    EXPECT_EQ(afc.afcReply(), AfcPacket::Status);
    // Two latencies and 512 KiB at 2 MB/s.
    EXPECT_GE(steady_clock::now() - start, 20ms + 262ms);
    EXPECT_EQ(simulator->fileSystem("linked-1").contents("/linked"), bytes);

    // Detaching ends the device's connections across the link too.
    ASSERT_TRUE(simulator->detach("linked-1"));
    EXPECT_TRUE(afc.closed());
    EXPECT_TRUE(lockdown.closed());
}

// All connections to a device share its link, as one cable carries them all: two that each write
// 512 KiB at once take as long as one that writes 1 MiB (a lower bound, as above).
TEST_F(DeviceSimulatorConcurrency, TheConnectionsToOneDeviceShareItsLinksRate) {
    using namespace std::chrono;
    start(overASlowLink());
    const auto id = attach("shared-1");
    std::array<std::unique_ptr<Client>, 2> afc;
    std::array<std::string, 2> handles;
    for (std::size_t i = 0; i < afc.size(); ++i) {
        afc[i] = std::make_unique<Client>(path);
        ASSERT_TRUE(afc[i]->connectTo(id, servicePort("shared-1", id, DeviceSimulator::kMediaService)));
        handles[i] = openForWriting(*afc[i], "/shared-" + std::to_string(i));
        ASSERT_FALSE(handles[i].empty());
    }
    const std::string bytes = patterned(512 * 1024);
    std::array<std::uint64_t, 2> replies{};
    const auto start = steady_clock::now();
    std::vector<std::thread> writers;
    for (std::size_t i = 0; i < afc.size(); ++i) {
        writers.emplace_back([&, i] {
            if (afc[i]->send(AfcPacket::encode(2, AfcPacket::FileWrite, handles[i], bytes))) replies[i] = afc[i]->afcReply();
        });
    }
    for (auto& writer : writers) writer.join();
    EXPECT_GE(steady_clock::now() - start, 20ms + 524ms);
    for (std::size_t i = 0; i < afc.size(); ++i) {
        EXPECT_EQ(replies[i], AfcPacket::Status);
        EXPECT_EQ(simulator->fileSystem("shared-1").contents("/shared-" + std::to_string(i)), bytes);
    }
}

// The usbmuxd side, served as the daemon serves it: no client, idle, stalled or silent, holds
// up another, and the simulator stops whatever its clients do.
using DeviceSimulatorConcurrentClients = DeviceSimulatorTest;

TEST_F(DeviceSimulatorConcurrentClients, IdleClientsPastTheBoundLockNoOneOutAndThoseStalledHalfWayAreDropped) {
    DeviceSimulator::Options options;
    options.patience.stalledRequest = std::chrono::milliseconds(200);
    start(options);
    const auto id = attach("idle-1");
    ASSERT_NE(id, 0u);
    Client stalled(path);
    const std::string request = UsbmuxPacket::encode(1, PlistValue::Dictionary{{"MessageType", "ListDevices"}});
    ASSERT_TRUE(stalled.send(request.substr(0, UsbmuxPacket::kHeaderSize + 3)));
    // And half a lockdownd message, on a connection to the device.
    Client halfway(path);
    ASSERT_TRUE(halfway.connectTo(id));
    ASSERT_TRUE(halfway.send(LockdownSession::frame(PlistValue::Dictionary{{"Request", "QueryType"}}).substr(0, 2)));
    // And a lockdownd message's length without its body.
    Client lengthOnly(path);
    ASSERT_TRUE(lengthOnly.connectTo(id));
    ASSERT_TRUE(lengthOnly.send(LockdownSession::frame(PlistValue::Dictionary{{"Request", "QueryType"}}).substr(0, 4)));
    EXPECT_TRUE(stalled.closed());
    EXPECT_TRUE(halfway.closed());
    EXPECT_TRUE(lengthOnly.closed());
    // And, in a session's TLS, part of a record: of its header, or of what it carries.
    for (const std::string& part : {std::string("\x17\x03", 2), std::string("\x17\x03\x03\x00\x40" "0123456789", 15)}) {
        Client encrypted(path);
        ASSERT_TRUE(encrypted.connectTo(id) && encrypted.startSession(record("idle-1")));
        ASSERT_TRUE(encrypted.send(part));
        EXPECT_TRUE(encrypted.closed()) << part.size() << " bytes of a record";
    }

    std::vector<std::unique_ptr<Client>> idle;
    for (std::size_t i = 0; i < DeviceSimulator::kDefaultMaxConnections + 72; ++i) {
        idle.push_back(std::make_unique<Client>(path));
        ASSERT_TRUE(idle.back()->connected());
    }
    EXPECT_EQ(listedDevices(), 1u);
    // Idle is no fault: the first of them is served as well, however long it waited.
    PlistRef late = idle.front()->request({{"MessageType", "ListDevices"}});
    EXPECT_TRUE(late && late->find("DeviceList"));
}

TEST_F(DeviceSimulatorConcurrentClients, AClientThatAsksMoreThanItsSocketHoldsAndEndsItsSideGetsEveryAnswer) {
    start();
    ASSERT_NE(attach("many-1"), 0u);
    constexpr int kRequests = 2000;  // far more answers than a socket holds
    std::string requests;
    for (int i = 0; i < kRequests; ++i) {
        requests += UsbmuxPacket::encode(i + 1, PlistValue::Dictionary{{"MessageType", "ListDevices"}});
    }
    Client client(path);
    ASSERT_TRUE(client.send(requests));
    ASSERT_EQ(::shutdown(client.fd(), SHUT_WR), 0);
    int answered = 0;
    for (PlistRef reply; (reply = client.usbmuxReply()); ++answered) ASSERT_TRUE(reply->find("DeviceList"));
    EXPECT_EQ(answered, kRequests);
}

TEST_F(DeviceSimulatorConcurrentClients, AHandshakeNeverFinishedAndAPortNoOneUsesFreeTheirPlaces) {
    DeviceSimulator::Options options;
    options.maxConnections = 2;
    options.patience.handshake = std::chrono::milliseconds(200);
    options.patience.unusedPort = std::chrono::milliseconds(200);
    start(options);
    const auto usb = attach("shake-1");
    const auto network = attach("net-2", true, 2);
    ASSERT_NE(network, 0u);

    // A TLS service's client that connects and never starts its handshake.
    Client silent(path);
    ASSERT_TRUE(silent.connectTo(usb, servicePort("shake-1", usb, "com.apple.mobile.diagnostics_relay")));
    EXPECT_TRUE(silent.closed());

    // A network device's service port that its client never comes to.
    std::string address;
    for (const auto& line : simulator->describeDevices()) {
        if (line.find("net-2") != std::string::npos) address = line.substr(line.rfind(' ') + 1);
    }
    std::uint16_t port = 0;
    {
        Client lockdown(address, LockdownSession::kPort);
        ASSERT_TRUE(lockdown.connected() && lockdown.startSession(record("net-2")));
        port = static_cast<std::uint16_t>(
            numberIn(lockdown.lockdown({{"Request", "StartService"}, {"Service", DeviceSimulator::kMediaService}}), "Port"));
        ASSERT_NE(port, 0);
    }
    bool portClosed = false;
    for (int i = 0; i < 100 && !portClosed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        portClosed = !Client(address, port).connected();
    }
    EXPECT_TRUE(portClosed);
    // A USB device's service port is closed too: usbmuxd refuses to connect to it.
    const std::uint16_t unused = servicePort("shake-1", usb, DeviceSimulator::kMediaService);
    ASSERT_NE(unused, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(Client(path).connectTo(usb, unused));
    // Both places are free again.
    Client first(path);
    Client second(path);
    EXPECT_TRUE(first.connectTo(usb) && second.connectTo(usb));
}

TEST_F(DeviceSimulatorConcurrentClients, TheSocketIsTheUsersAloneAndNothingButASocketIsReplacedOrRemoved) {
    { std::ofstream(path) << "someone's file"; }
    simulator = std::make_unique<DeviceSimulator>(path);
    EXPECT_FALSE(simulator->start());
    EXPECT_NE(simulator->lastError().find("not a socket"), std::string::npos) << simulator->lastError();
    std::stringstream kept;
    kept << std::ifstream(path).rdbuf();
    EXPECT_EQ(kept.str(), "someone's file");

    fs::remove(path);
    const mode_t before = ::umask(002);
    const bool started = simulator->start();
    ::umask(before);
    ASSERT_TRUE(started) << simulator->lastError();
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    // A stop removes its own socket, never what took its place meanwhile.
    simulator->stop();
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(simulator->start());
    fs::remove(path);
    { std::ofstream(path) << "another file"; }
    simulator->stop();
    EXPECT_TRUE(fs::exists(path));
}

} // namespace
} // namespace keldo
