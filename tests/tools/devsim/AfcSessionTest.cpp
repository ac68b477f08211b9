#include "tools/devsim/AfcSession.h"

#include <gmock/gmock.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace keldo {
namespace {

std::string numbers(std::initializer_list<std::uint64_t> values) {
    std::string out;
    for (auto v : values) AfcPacket::appendNumber(out, v);
    return out;
}

AfcPacket parsed(const std::string& bytes) {
    auto packet = AfcPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    EXPECT_TRUE(packet);
    if (!packet) return {};
    packet->setBody(bytes.substr(AfcPacket::kHeaderSize));
    return *packet;
}

// A reply as the client sees it: its operation, its first number and its data.
struct Reply {
    std::uint64_t operation = 0;
    std::uint64_t packetNumber = 0;
    std::string data;
    std::uint64_t value() const {
        AfcPacket p;
        p.thisLength = AfcPacket::kHeaderSize + data.size();
        p.setBody(data);
        return p.number(0).value_or(~0ull);
    }
};

Reply decode(const std::string& bytes) {
    AfcPacket p = parsed(bytes);
    EXPECT_EQ(p.entireLength, bytes.size());
    return {p.operation, p.packetNumber, bytes.substr(AfcPacket::kHeaderSize)};
}

class AfcSessionTest : public ::testing::Test {
protected:
    Reply ask(std::uint64_t operation, const std::string& arguments, const std::string& payload = {}) {
        return decode(session.reply(parsed(AfcPacket::encode(++number, operation, arguments, payload))));
    }
    std::uint64_t open(const std::string& path, std::uint64_t mode) {
        const Reply r = ask(AfcPacket::FileOpen, numbers({mode}) + path + '\0');
        EXPECT_EQ(r.operation, AfcPacket::FileOpenResult) << path << " mode " << mode;
        return r.value();
    }
    std::uint64_t status(const Reply& r) {
        EXPECT_EQ(r.operation, AfcPacket::Status);
        return r.value();
    }
    std::string readAll(std::uint64_t handle) {
        ask(AfcPacket::FileSeek, numbers({handle, 0, 0}));
        return ask(AfcPacket::FileRead, numbers({handle, 1000})).data;
    }

    std::shared_ptr<SimulatedFileSystem> files = std::make_shared<SimulatedFileSystem>();
    AfcSession session{files};
    std::uint64_t number = 0;
};

TEST_F(AfcSessionTest, WireModesTruncateKeepOrAppendAsTheirLettersSay) {
    struct Case {
        std::uint64_t mode;
        bool readable;
        std::string after;  // "0123456789", then "ab" written at the start (or appended)
    };
    for (const Case& c : {Case{2, true, "ab23456789"}, Case{3, false, "ab"}, Case{4, true, "ab"},
                          Case{5, false, "0123456789ab"}, Case{6, true, "0123456789ab"}}) {
        files->addFile("/f", "0123456789");
        const auto handle = open("/f", c.mode);
        EXPECT_EQ(status(ask(AfcPacket::FileWrite, numbers({handle}), "ab")), 0u) << c.mode;
        EXPECT_EQ(files->contents("/f"), c.after) << c.mode;
        const Reply read = ask(AfcPacket::FileRead, numbers({handle, 4}));
        EXPECT_EQ(read.operation, c.readable ? AfcPacket::Data : AfcPacket::Status) << c.mode;
        EXPECT_EQ(status(ask(AfcPacket::FileClose, numbers({handle}))), 0u);
    }
    const auto handle = open("/f", 1);
    EXPECT_EQ(readAll(handle), "0123456789ab");
    EXPECT_EQ(status(ask(AfcPacket::FileWrite, numbers({handle}), "x")), static_cast<std::uint64_t>(SimulatedFileSystem::kPermissionDenied));
    EXPECT_EQ(status(ask(AfcPacket::FileOpen, numbers({7}) + "/f" + '\0')), AfcSession::kInvalidArgument);
}

TEST_F(AfcSessionTest, MalformedRequestsGetAnErrorStatusAndTheSessionGoesOn) {
    files->addFile("/f", "data");
    const Reply unknown = ask(0x7F, "");
    EXPECT_EQ(unknown.packetNumber, number);
    EXPECT_EQ(status(unknown), AfcSession::kUnknownPacketType);
    EXPECT_EQ(status(ask(AfcPacket::GetFileInfo, "/f")), AfcSession::kInvalidArgument);  // no NUL
    EXPECT_EQ(status(ask(AfcPacket::RenamePath, std::string("/f\0", 3))), AfcSession::kInvalidArgument);
    EXPECT_EQ(status(ask(AfcPacket::MakeLink, std::string("\2\0\0", 3))), AfcSession::kInvalidArgument);
    const auto handle = open("/f", 1);
    EXPECT_EQ(status(ask(AfcPacket::FileRead, numbers({handle}))), AfcSession::kInvalidArgument);  // no count
    EXPECT_EQ(status(ask(AfcPacket::FileSeek, numbers({handle, 0}))), AfcSession::kInvalidArgument);
    EXPECT_EQ(status(ask(AfcPacket::FileLock, numbers({handle, 3}))), AfcSession::kInvalidArgument);

    // A handle of another connection to the same file system is none here.
    AfcSession other(files);
    const Reply opened = decode(other.reply(parsed(AfcPacket::encode(1, AfcPacket::FileOpen, numbers({1}) + "/f" + '\0'))));
    EXPECT_EQ(status(ask(AfcPacket::FileRead, numbers({opened.value(), 4}))), AfcSession::kInvalidArgument);
    EXPECT_EQ(ask(AfcPacket::FileRead, numbers({handle, 100})).data, "data");
}

TEST_F(AfcSessionTest, FilesLeftOpenAreLetGoWithTheirLocksWhenTheSessionEnds) {
    files->addFile("/f", "data");
    {
        AfcSession client(files);
        const Reply opened = decode(client.reply(parsed(AfcPacket::encode(1, AfcPacket::FileOpen, numbers({2}) + "/f" + '\0'))));
        const Reply locked = decode(client.reply(parsed(AfcPacket::encode(2, AfcPacket::FileLock, numbers({opened.value(), 6})))));
        EXPECT_EQ(locked.value(), 0u);
        EXPECT_TRUE(files->isLocked("/f"));
    }
    EXPECT_FALSE(files->isLocked("/f"));
    EXPECT_EQ(files->openFiles(), 0u);
}

// serve() on one end of a socket pair; the test is the client on the other.
class AfcServeTest : public AfcSessionTest {
protected:
    AfcServeTest() {
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        server = std::thread([this] {
            session.serve(fds[1]);
            ::close(fds[1]);
        });
    }
    ~AfcServeTest() override {
        ::shutdown(fds[0], SHUT_RDWR);
        server.join();
        ::close(fds[0]);
    }
    void send(const std::string& bytes) { ASSERT_EQ(::send(fds[0], bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    // The next reply, or none when the server closed the connection.
    std::optional<Reply> receive() {
        std::string header(AfcPacket::kHeaderSize, '\0');
        if (::recv(fds[0], header.data(), header.size(), MSG_WAITALL) != static_cast<ssize_t>(header.size())) return std::nullopt;
        auto p = AfcPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(header.data()));
        if (!p) return std::nullopt;
        std::string body(p->bodySize(), '\0');
        if (::recv(fds[0], body.data(), body.size(), MSG_WAITALL) != static_cast<ssize_t>(body.size())) return std::nullopt;
        return decode(header + body);
    }

    int fds[2] = {-1, -1};
    std::thread server;
};

TEST_F(AfcServeTest, ATooLargeWriteIsRefusedAndTheNextRequestIsStillAnswered) {
    files->addFile("/f");
    send(AfcPacket::encode(1, AfcPacket::FileOpen, numbers({3}) + "/f" + '\0'));
    const auto handle = receive().value().value();
    std::thread writer([&] {
        send(AfcPacket::encode(2, AfcPacket::FileWrite, numbers({handle}), std::string(AfcPacket::kMaxPayload + 1, 'x')));
    });
    const auto refused = receive();
    writer.join();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->packetNumber, 2u);
    EXPECT_EQ(refused->value(), AfcSession::kTooMuchData);
    EXPECT_EQ(files->contents("/f"), "");

    send(AfcPacket::encode(3, AfcPacket::FileWrite, numbers({handle}), "fits"));
    EXPECT_EQ(receive().value().value(), 0u);
    EXPECT_EQ(files->contents("/f"), "fits");
}

TEST_F(AfcServeTest, AHeaderThatCantStartAPacketEndsTheConnection) {
    std::string bad = AfcPacket::encode(1, AfcPacket::GetDeviceInfo, "");
    bad[0] = 'X';
    send(bad);
    EXPECT_FALSE(receive());
}

} // namespace
} // namespace keldo
