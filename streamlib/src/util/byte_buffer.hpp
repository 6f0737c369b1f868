// SPDX-License-Identifier: MIT
// Bytes whose growth leaves new room uninitialised: a buffer that a codec or a
// copy fills next would otherwise be zeroed first, which for a JPEG's
// worst-case room costs more than the JPEG.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace kiv {

template <class T> struct UninitAllocator : std::allocator<T> {
    template <class U> struct rebind {
        using other = UninitAllocator<U>;
    };
    template <class U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
    template <class U, class... Args> void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

using ByteBuffer = std::vector<uint8_t, UninitAllocator<uint8_t>>;

} // namespace kiv
