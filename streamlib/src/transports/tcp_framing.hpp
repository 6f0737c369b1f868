// SPDX-License-Identifier: MIT
// Reading the TCP byte stream back into frames: a wire header, then exactly
// header.payloadSize bytes, again and again. Pure: no sockets, no clocks, so it
// can be driven byte by byte in tests and by the fuzzer.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "../wire.hpp"

namespace kiv {

class FrameParser {
public:
    enum class State {
        Header,  // waiting for the rest of a header
        Payload, // header accepted, waiting for the rest of its payload
        Ready,   // a whole frame is here: take it with takePayload()
        Failed,  // the stream broke the protocol; error() says how
    };

    // Where payload buffers come from. The receiver hands out the sink's
    // recycled buffers so that bytes go from the socket straight to their home.
    using BufferSource = std::function<std::vector<uint8_t>()>;

    explicit FrameParser(BufferSource source = {});

    // Room for the next bytes of the stream: the rest of the header, or of the
    // payload as far as its buffer has grown, so one read never runs into the
    // next frame. Empty in Ready and Failed. May throw std::bad_alloc.
    std::span<uint8_t> writable();

    // `n` bytes (at most writable().size()) have been written into writable().
    State commit(size_t n);

    // Copies bytes from `in` through writable()/commit() until a frame is Ready,
    // the stream Failed or `in` is used up. Returns how many bytes it used.
    size_t feed(std::span<const uint8_t> in);

    State state() const { return state_; }
    WireError error() const { return error_; }
    // The current frame's header; valid in Payload and Ready.
    const WireHeader &header() const { return header_; }
    // True when some but not all bytes of a frame have arrived.
    bool midFrame() const { return (state_ == State::Header && headerFill_ > 0) || state_ == State::Payload; }
    bool headerStarted() const { return state_ == State::Header && headerFill_ > 0; }

    // In Ready: hands over the payload and goes back to waiting for a header.
    std::vector<uint8_t> takePayload();

private:
    BufferSource source_;
    State state_ = State::Header;
    WireError error_ = WireError::None;
    uint8_t headerBytes_[kWireHeaderSize];
    size_t headerFill_ = 0;
    WireHeader header_;
    std::vector<uint8_t> payload_;
    size_t payloadFill_ = 0;
};

} // namespace kiv
