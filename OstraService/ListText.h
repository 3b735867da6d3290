// The text of one METRICS list, written through a raw pointer. Asking for
// the numbers of hundreds of protocols appends thousands of short pieces;
// std::string's bookkeeping per append cost more than the numbers
// themselves. Here an append is one room check and a few stores.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

// The most digits a count takes (2^64 - 1).
constexpr std::size_t kCountDigits = 20;

// Writes `value` in decimal at `at` (room for kCountDigits) and returns its end.
inline char* putCount(char* at, std::uint64_t value) {
    if (value < 10) {  // most counts of a quiet protocol
        *at = static_cast<char>('0' + value);
        return at + 1;
    }
    return std::to_chars(at, at + kCountDigits, value).ptr;
}

class ListText {
public:
    explicit ListText(std::size_t expected = 256) { grow(expected); }
    ListText(const ListText&) = delete;
    ListText& operator=(const ListText&) = delete;

    void put(char c) {
        room(1);
        *at_++ = c;
    }
    void putCount(std::uint64_t value) {
        room(kCountDigits);
        at_ = ::putCount(at_, value);
    }
    // A text inside a list: a backslash before every character that
    // separates items (',' ';' '/') and before a backslash.
    void putText(const std::string& text) {
        room(2 * text.size());
        for (char c : text) {
            if (c == '\\' || c == ',' || c == ';' || c == '/') *at_++ = '\\';
            *at_++ = c;
        }
    }

    // Terminated, valid until the next append.
    const char* c_str() {
        *at_ = '\0';  // grow() always leaves a byte beyond end_
        return text_.get();
    }

private:
    void room(std::size_t bytes) {
        if (static_cast<std::size_t>(end_ - at_) < bytes) grow(bytes);
    }
    void grow(std::size_t bytes) {
        const std::size_t used = static_cast<std::size_t>(at_ - text_.get());
        const std::size_t size = std::max(2 * capacity_, used + bytes);
        std::unique_ptr<char[]> larger(new char[size + 1]);
        if (used > 0) std::memcpy(larger.get(), text_.get(), used);
        text_ = std::move(larger);
        capacity_ = size;
        at_ = text_.get() + used;
        end_ = text_.get() + size;
    }

    std::unique_ptr<char[]> text_;
    std::size_t capacity_ = 0;
    char* at_ = nullptr;
    char* end_ = nullptr;
};
