#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keldo {

// One packet of the AFC protocol: a 40-byte header (the magic "CFA6LPAA", then four little-endian
// 64-bit numbers: the entire length, this length, the packet number and the operation), the
// operation's arguments up to "this length", and a payload up to the entire length (the bytes of a
// write). Requests are read with parseHeader and setBody; replies are made with encode.
class AfcPacket {
public:
    static constexpr std::size_t kHeaderSize = 40;
    // Arguments are numbers and paths: a header that announces more is refused.
    static constexpr std::uint64_t kMaxArguments = 64 * 1024;
    // The most payload one packet may carry; a larger write is answered kTooMuchData.
    static constexpr std::uint64_t kMaxPayload = 4 * 1024 * 1024;

    // Operations, requests and replies alike.
    enum Operation : std::uint64_t {
        Status = 0x01,
        Data = 0x02,
        ReadDirectory = 0x03,
        RemovePath = 0x08,
        MakeDirectory = 0x09,
        GetFileInfo = 0x0A,
        GetDeviceInfo = 0x0B,
        FileOpen = 0x0D,
        FileOpenResult = 0x0E,
        FileRead = 0x0F,
        FileWrite = 0x10,
        FileSeek = 0x11,
        FileTell = 0x12,
        FileTellResult = 0x13,
        FileClose = 0x14,
        FileSetSize = 0x15,
        RenamePath = 0x18,
        FileLock = 0x1B,
        MakeLink = 0x1C,
        SetFileModTime = 0x1E,
        RemovePathAndContents = 0x22,
    };

    // The header, or none when it can't start a packet: another magic, lengths that contradict
    // each other, or more arguments than any request has.
    static std::optional<AfcPacket> parseHeader(const std::uint8_t* header);
    // Bytes that follow the header: arguments, then payload.
    std::uint64_t bodySize() const { return entireLength - kHeaderSize; }
    std::uint64_t argumentsSize() const { return thisLength - kHeaderSize; }
    std::uint64_t payloadSize() const { return entireLength - thisLength; }
    // Takes the body of a header-parsed packet (bodySize bytes).
    void setBody(std::string body) {
        owned_ = std::move(body);
        borrowed_.reset();
    }
    // The same without a copy: the bytes stay the caller's, and must outlive every use of the packet.
    void useBody(std::string_view body) {
        borrowed_ = body;
        owned_.clear();
    }

    std::string_view arguments() const;
    std::string_view payload() const;
    // A little-endian number of the arguments at a byte offset; none past their end.
    std::optional<std::uint64_t> number(std::size_t offset) const;
    // A text of the arguments from a byte offset, up to its NUL or else to the end of the arguments:
    // libimobiledevice ends every path with a NUL, other clients let the packet's length end the
    // last one, and a device takes both. None when the offset is past the end. `next` receives the
    // offset after the NUL, or past the end for an unterminated text: of two texts only the last
    // may go without its NUL.
    std::optional<std::string> text(std::size_t offset, std::size_t* next = nullptr) const;

    // A whole packet; its arguments end at "this length", the payload follows.
    static std::string encode(std::uint64_t packetNumber, std::uint64_t operation, std::string_view arguments,
                              std::string_view payload = {});
    // Writes a header at `out` (kHeaderSize bytes), for a reply built in place.
    static void writeHeader(char* out, std::uint64_t packetNumber, std::uint64_t operation, std::uint64_t thisLength,
                            std::uint64_t entireLength);
    static void appendNumber(std::string& out, std::uint64_t value);

    std::uint64_t entireLength = 0;
    std::uint64_t thisLength = 0;
    std::uint64_t packetNumber = 0;
    std::uint64_t operation = 0;

private:
    std::string_view body() const { return borrowed_ ? *borrowed_ : std::string_view(owned_); }

    std::string owned_;
    std::optional<std::string_view> borrowed_;
};

} // namespace keldo
