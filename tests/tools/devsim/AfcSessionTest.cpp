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
    AfcPacket packet = AfcPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(bytes.data())).value();
    packet.setBody(bytes.substr(AfcPacket::kHeaderSize));
    return packet;
}

// A reply as a client reads it: the operation, and its first number (a status, a handle).
struct Reply {
    std::uint64_t operation = 0;
    std::uint64_t value = 0;
    std::string data;
};

Reply decode(const std::string& bytes) {
    AfcPacket p = parsed(bytes);
    AfcPacket asArguments = p;
    asArguments.thisLength = p.entireLength;
    return {p.operation, asArguments.number(0).value_or(~0ull), bytes.substr(AfcPacket::kHeaderSize)};
}

// A client's connection to a session of its own, served on a thread as keldo-devsim serves each
// connection: whole requests out, whole replies in. No reply is waited for more than ten seconds.
class Connection {
public:
    explicit Connection(std::shared_ptr<SimulatedFileSystem> files) : session_(std::move(files)) {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        timeval limit{10, 0};
        ::setsockopt(fds_[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        server_ = std::thread([this] { session_.serve(fds_[1]); });
    }
    ~Connection() {
        ::shutdown(fds_[0], SHUT_RDWR);
        server_.join();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void send(const std::string& packet) { ::send(fds_[0], packet.data(), packet.size(), MSG_NOSIGNAL); }
    // The next reply; an operation of 0 when none came.
    Reply reply() {
        std::string bytes(AfcPacket::kHeaderSize, '\0');
        if (!receive(bytes.data(), bytes.size())) return {};
        const auto header = AfcPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()));
        if (!header) return {};
        bytes.resize(AfcPacket::kHeaderSize + header->bodySize());
        return receive(bytes.data() + AfcPacket::kHeaderSize, header->bodySize()) ? decode(bytes) : Reply{};
    }
    Reply ask(std::uint64_t operation, const std::string& arguments, const std::string& payload = {}) {
        send(AfcPacket::encode(++number_, operation, arguments, payload));
        return reply();
    }
    std::uint64_t open(const std::string& path, std::uint64_t mode) {
        return ask(AfcPacket::FileOpen, numbers({mode}) + path).value;
    }

private:
    bool receive(char* to, std::size_t size) {
        return ::recv(fds_[0], to, size, MSG_WAITALL) == static_cast<ssize_t>(size);
    }

    AfcSession session_;
    int fds_[2] = {-1, -1};
    std::thread server_;
    std::uint64_t number_ = 0;
};

class AfcSessionTest : public ::testing::Test {
protected:
    Reply ask(std::uint64_t operation, const std::string& arguments, const std::string& payload = {}) {
        return decode(session.reply(parsed(AfcPacket::encode(++number, operation, arguments, payload))));
    }
    // The status of a request that gets one.
    std::uint64_t status(std::uint64_t operation, const std::string& arguments, const std::string& payload = {}) {
        const Reply r = ask(operation, arguments, payload);
        EXPECT_EQ(r.operation, AfcPacket::Status);
        return r.value;
    }
    std::uint64_t open(const std::string& path, std::uint64_t mode) {
        const Reply r = ask(AfcPacket::FileOpen, numbers({mode}) + path + '\0');
        EXPECT_EQ(r.operation, AfcPacket::FileOpenResult) << path << " mode " << mode;
        return r.value;
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
        EXPECT_EQ(status(AfcPacket::FileWrite, numbers({handle}), "ab"), 0u) << c.mode;
        EXPECT_EQ(files->contents("/f"), c.after) << c.mode;
        EXPECT_EQ(ask(AfcPacket::FileRead, numbers({handle, 4})).operation, c.readable ? AfcPacket::Data : AfcPacket::Status);
        EXPECT_EQ(status(AfcPacket::FileClose, numbers({handle})), 0u);
    }
    EXPECT_EQ(status(AfcPacket::FileOpen, numbers({7}) + "/f" + '\0'), AfcSession::kInvalidArgument);
}

// Clients other than libimobiledevice let the packet's length end a path (the last of two paths).
TEST_F(AfcSessionTest, PathsWithoutTheirNulAreTakenAsTheyComeWhereverAPathIsRead) {
    files->addFile("/d/f", "data");
    EXPECT_EQ(ask(AfcPacket::GetFileInfo, "/d/f").operation, AfcPacket::Data);
    EXPECT_EQ(ask(AfcPacket::ReadDirectory, "/d").data, std::string(".\0..\0f\0", 7));
    const Reply opened = ask(AfcPacket::FileOpen, numbers({1}) + "/d/f");
    ASSERT_EQ(opened.operation, AfcPacket::FileOpenResult);
    EXPECT_EQ(status(AfcPacket::FileClose, numbers({opened.value})), 0u);
    EXPECT_EQ(status(AfcPacket::MakeDirectory, "/e"), 0u);
    EXPECT_EQ(status(AfcPacket::RenamePath, std::string("/d/f\0/e/g", 10)), 0u);
    EXPECT_EQ(status(AfcPacket::MakeLink, numbers({2}) + std::string("/e/g\0/l", 8)), 0u);
    EXPECT_EQ(status(AfcPacket::SetFileModTime, numbers({7}) + "/e/g"), 0u);
    EXPECT_EQ(status(AfcPacket::RemovePath, "/l"), 0u);
    EXPECT_EQ(files->contents("/e/g"), "data");
    EXPECT_EQ(files->modificationTime("/e/g"), 7u);
    EXPECT_EQ(files->kind("/l"), std::nullopt);
}

TEST_F(AfcSessionTest, RemovingAPathAndItsContentsTakesTheWholeTree) {
    files->addFile("/d/e/f");
    EXPECT_EQ(status(AfcPacket::RemovePathAndContents, std::string("/d\0", 3)), 0u);
    EXPECT_EQ(files->kind("/d"), std::nullopt);
    EXPECT_EQ(status(AfcPacket::RemovePathAndContents, "/d"), static_cast<std::uint64_t>(SimulatedFileSystem::kNotFound));
}

TEST_F(AfcSessionTest, MalformedRequestsGetAnErrorStatusAndTheSessionGoesOn) {
    files->addFile("/f", "data");
    EXPECT_EQ(status(0x7F, ""), AfcSession::kUnknownPacketType);
    // The first of two paths needs its NUL: without it there is no second.
    EXPECT_EQ(status(AfcPacket::RenamePath, "/f"), AfcSession::kInvalidArgument);
    EXPECT_EQ(status(AfcPacket::MakeLink, numbers({2}) + "/f"), AfcSession::kInvalidArgument);
    const auto handle = open("/f", 1);
    EXPECT_EQ(status(AfcPacket::FileRead, numbers({handle})), AfcSession::kInvalidArgument);  // no count
    EXPECT_EQ(status(AfcPacket::FileLock, numbers({handle, 3})), AfcSession::kInvalidArgument);

    // A handle of another connection to the same file system is none here.
    AfcSession other(files);
    const auto theirs = decode(other.reply(parsed(AfcPacket::encode(1, AfcPacket::FileOpen, numbers({1}) + "/f" + '\0'))));
    EXPECT_EQ(status(AfcPacket::FileRead, numbers({theirs.value, 4})), AfcSession::kInvalidArgument);
    EXPECT_EQ(ask(AfcPacket::FileRead, numbers({handle, 100})).data, "data");
}

TEST_F(AfcSessionTest, ATooLargeWriteIsReadOffAndRefusedAndTheNextRequestIsAnswered) {
    files->addFile("/f");
    Connection client(files);
    const auto handle = client.open("/f", 3);
    std::thread sender([&] {
        client.send(AfcPacket::encode(8, AfcPacket::FileWrite, numbers({handle}), std::string(AfcPacket::kMaxPayload + 1, 'x')));
        client.send(AfcPacket::encode(9, AfcPacket::FileWrite, numbers({handle}), "fits"));
    });
    const Reply refused = client.reply();
    const Reply taken = client.reply();
    sender.join();
    EXPECT_EQ(refused.operation, AfcPacket::Status);
    EXPECT_EQ(refused.value, AfcSession::kTooMuchData);
    EXPECT_EQ(taken.operation, AfcPacket::Status);
    EXPECT_EQ(taken.value, 0u);
    EXPECT_EQ(files->contents("/f"), "fits");
}

// Several connections to one device's file system at once, each served on a thread of its own
// (so run under ThreadSanitizer too): each sees the others' changes as a device's clients do.
class AfcSessionConcurrency : public ::testing::Test {
protected:
    std::shared_ptr<SimulatedFileSystem> files = std::make_shared<SimulatedFileSystem>();
    Connection reader{files};
    Connection writer{files};
};

TEST_F(AfcSessionConcurrency, ARenameOverAFileAnotherConnectionHasOpenLeavesItTheFileItOpened) {
    files->addFile("/f", "old");
    const auto held = reader.open("/f", 1);
    EXPECT_EQ(reader.ask(AfcPacket::FileLock, numbers({held, 2 | 4})).value, 0u);
    const auto written = writer.open("/f.partial", 3);
    EXPECT_EQ(writer.ask(AfcPacket::FileWrite, numbers({written}), "new").value, 0u);
    EXPECT_EQ(writer.ask(AfcPacket::FileClose, numbers({written})).value, 0u);
    EXPECT_EQ(writer.ask(AfcPacket::RenamePath, std::string("/f.partial\0/f\0", 14)).value, 0u);

    EXPECT_EQ(reader.ask(AfcPacket::FileRead, numbers({held, 100})).data, "old");
    // The name leads to the new file, which the old one's lock does not hold.
    const auto fresh = writer.open("/f", 1);
    EXPECT_EQ(writer.ask(AfcPacket::FileRead, numbers({fresh, 100})).data, "new");
    EXPECT_EQ(writer.ask(AfcPacket::FileLock, numbers({fresh, 2 | 4})).value, 0u);
}

TEST_F(AfcSessionConcurrency, ADirectoryRemovedUnderAnotherConnectionsListingIsGoneForItToo) {
    files->addFile("/d/a", "first");
    files->addFile("/d/b", "second");
    const auto held = reader.open("/d/b", 1);
    EXPECT_EQ(reader.ask(AfcPacket::ReadDirectory, "/d").data, std::string(".\0..\0a\0b\0", 9));
    EXPECT_EQ(writer.ask(AfcPacket::RemovePathAndContents, "/d").value, 0u);

    // What the listing named is gone, and answered as gone, while an open file stays readable.
    const auto notFound = static_cast<std::uint64_t>(SimulatedFileSystem::kNotFound);
    EXPECT_EQ(reader.ask(AfcPacket::GetFileInfo, "/d/a").value, notFound);
    EXPECT_EQ(reader.ask(AfcPacket::FileOpen, numbers({1}) + "/d/a").value, notFound);
    EXPECT_EQ(reader.ask(AfcPacket::ReadDirectory, "/d").value, notFound);
    EXPECT_EQ(reader.ask(AfcPacket::MakeDirectory, "/d/a/c").value, notFound);
    EXPECT_EQ(reader.ask(AfcPacket::FileRead, numbers({held, 100})).data, "second");
}

} // namespace
} // namespace keldo
