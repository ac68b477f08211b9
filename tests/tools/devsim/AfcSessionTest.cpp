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
    std::uint64_t operation;
    std::uint64_t value;
    std::string data;
};

Reply decode(const std::string& bytes) {
    AfcPacket p = parsed(bytes);
    AfcPacket asArguments = p;
    asArguments.thisLength = p.entireLength;
    return {p.operation, asArguments.number(0).value_or(~0ull), bytes.substr(AfcPacket::kHeaderSize)};
}

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
    const auto handle = open("/f", 3);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread server([&] { session.serve(fds[1]); });
    std::thread client([&] {
        for (const auto& packet : {AfcPacket::encode(8, AfcPacket::FileWrite, numbers({handle}), std::string(AfcPacket::kMaxPayload + 1, 'x')),
                                   AfcPacket::encode(9, AfcPacket::FileWrite, numbers({handle}), "fits")})
            ::send(fds[0], packet.data(), packet.size(), MSG_NOSIGNAL);
    });
    std::string replies(2 * (AfcPacket::kHeaderSize + 8), '\0');
    EXPECT_EQ(::recv(fds[0], replies.data(), replies.size(), MSG_WAITALL), static_cast<ssize_t>(replies.size()));
    client.join();
    ::shutdown(fds[0], SHUT_RDWR);
    server.join();
    ::close(fds[0]);
    ::close(fds[1]);
    const Reply refused = decode(replies.substr(0, replies.size() / 2));
    EXPECT_EQ(refused.value, AfcSession::kTooMuchData);
    EXPECT_EQ(decode(replies.substr(replies.size() / 2)).value, 0u);
    EXPECT_EQ(files->contents("/f"), "fits");
}

} // namespace
} // namespace keldo
