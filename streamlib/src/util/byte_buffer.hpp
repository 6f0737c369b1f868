// SPDX-License-Identifier: MIT
// Bytes whose growth leaves the new room uninitialised, filled by one memcpy
// or by a codec: a std::vector would zero a JPEG's worst-case room first, which
// costs more than the JPEG, and with an allocator that skips that it copies
// byte by byte in unoptimised builds.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace kiv {

class ByteBuffer {
public:
    uint8_t *data() { return data_.get(); }
    const uint8_t *data() const { return data_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint8_t *begin() { return data(); }
    uint8_t *end() { return data() + size_; }
    const uint8_t *begin() const { return data(); }
    const uint8_t *end() const { return data() + size_; }
    uint8_t &operator[](size_t i) { return data_[i]; }

    // Keeps the first min(size(), n) bytes; throws std::bad_alloc.
    void resize(size_t n) {
        if (n > capacity_) {
            std::unique_ptr<uint8_t[]> bigger(new uint8_t[n]); // default-initialised: not zeroed
            if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
            data_ = std::move(bigger);
            capacity_ = n;
        }
        size_ = n;
    }
    void assign(std::span<const uint8_t> bytes) {
        size_ = 0;
        resize(bytes.size());
        if (!bytes.empty()) std::memcpy(data_.get(), bytes.data(), bytes.size());
    }

private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0, capacity_ = 0;
};

} // namespace kiv
