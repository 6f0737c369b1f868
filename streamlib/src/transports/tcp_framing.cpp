// SPDX-License-Identifier: MIT
#include "tcp_framing.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kiv {
namespace {
// The first piece of a payload buffer; it then doubles with the bytes that come.
constexpr size_t kFirstPiece = 64 << 10;
} // namespace

FrameParser::FrameParser(BufferSource source) : source_(std::move(source)) {}

std::span<uint8_t> FrameParser::writable() {
    switch (state_) {
    case State::Header: return {headerBytes_ + headerFill_, kWireHeaderSize - headerFill_};
    case State::Payload: {
        // The buffer grows with what really arrives, never at once to what a
        // header claims: a lie of 64 MiB in 48 bytes costs a piece, not 64 MiB.
        const size_t size = header_.payloadSize;
        if (payloadFill_ == payload_.size())
            payload_.resize(std::min(size, payloadFill_ + std::max(kFirstPiece, payloadFill_)));
        return {payload_.data() + payloadFill_, std::min(size, payload_.size()) - payloadFill_};
    }
    default: return {};
    }
}

FrameParser::State FrameParser::commit(size_t n) {
    if (state_ == State::Header) {
        headerFill_ += n;
        if (headerFill_ < kWireHeaderSize) return state_;
        // Every field is checked before the payload's size is trusted for anything.
        error_ = decodeHeader({headerBytes_, kWireHeaderSize}, header_);
        if (error_ != WireError::None) return state_ = State::Failed;
        headerFill_ = 0;
        payload_ = source_ ? source_() : std::vector<uint8_t>{}; // a recycled buffer keeps its size: no clearing
        payloadFill_ = 0;
        state_ = State::Payload;
    } else if (state_ == State::Payload) {
        payloadFill_ += n;
    }
    if (state_ == State::Payload && payloadFill_ == header_.payloadSize) {
        payload_.resize(payloadFill_);
        state_ = State::Ready;
    }
    return state_;
}

size_t FrameParser::feed(std::span<const uint8_t> in) {
    size_t used = 0;
    while (used < in.size() && (state_ == State::Header || state_ == State::Payload)) {
        const std::span<uint8_t> room = writable();
        const size_t n = std::min(room.size(), in.size() - used);
        std::memcpy(room.data(), in.data() + used, n);
        used += n;
        commit(n);
    }
    return used;
}

std::vector<uint8_t> FrameParser::takePayload() {
    if (state_ != State::Ready) return {};
    state_ = State::Header;
    return std::exchange(payload_, {});
}

} // namespace kiv
