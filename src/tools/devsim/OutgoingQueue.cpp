#include "tools/devsim/OutgoingQueue.h"

#include <algorithm>
#include <utility>

namespace keldo {

bool OutgoingQueue::push(std::string message) {
    if (bytes_ > limit_ || message.size() > limit_ - bytes_) return false;
    bytes_ += message.size();
    messages_.push_back(std::move(message));
    return true;
}

std::string OutgoingQueue::take(std::size_t most) {
    std::string out;
    while (!messages_.empty() && out.size() < most) {
        std::string& front = messages_.front();
        const std::size_t piece = std::min(front.size(), most - out.size());
        if (piece < front.size()) {
            out.append(front, 0, piece);
            front.erase(0, piece);
        } else {
            if (out.empty()) {
                out = std::move(front);
            } else {
                out += front;
            }
            messages_.pop_front();
        }
    }
    bytes_ -= out.size();
    return out;
}

void OutgoingQueue::giveBack(std::string bytes) {
    if (bytes.empty()) return;
    bytes_ += bytes.size();
    messages_.push_front(std::move(bytes));
}

} // namespace keldo
