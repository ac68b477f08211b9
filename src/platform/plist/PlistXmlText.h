#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace keldo {

// The XML form of a value, held in the buffer that the writer made (a malloc'd one), so that
// a message is sent from where it was written without a copy.
class PlistXmlText {
public:
    // Adopts `data`, which std::free releases.
    PlistXmlText(char* data, std::size_t size) : data_(data), size_(size) {}

    const char* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {data_.get(), size_}; }

private:
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> data_;
    std::size_t size_;
};

} // namespace keldo
