// SPDX-License-Identifier: MIT
/*
 * C++ handles for kivVidStreamLib2: an encoder or decoder that is deleted, or
 * a lent frame that is given back, when its handle goes.
 * Header only; it adds nothing to the library's ABI. Every rule of
 * kivVidStreamLib2.h holds, thread rules included.
 */
#ifndef KIV_VID_STREAM_LIB2_HPP
#define KIV_VID_STREAM_LIB2_HPP

#include <memory>

#include "kivVidStreamLib2.h"

namespace kiv {

struct EncoderDeleter {
    void operator()(kivEncoder *encoder) const noexcept { kivDeleteEncoder(encoder); }
};
struct DecoderDeleter {
    void operator()(kivDecoder *decoder) const noexcept { kivDeleteDecoder(decoder); }
};
struct LentFrameReturner {
    void operator()(kivLentFrame *frame) const noexcept { kivReturnFrame(frame); }
};

/** Owns an encoder: kivDeleteEncoder() when it is reset or destroyed. Empty
 *  when kivGetEncoder() failed (kivLastError() says why). */
using EncoderHandle = std::unique_ptr<kivEncoder, EncoderDeleter>;
/** Owns a decoder: kivDeleteDecoder() when it is reset or destroyed. */
using DecoderHandle = std::unique_ptr<kivDecoder, DecoderDeleter>;
/** Owns a frame from kivLendFrame(): kivReturnFrame() when it is reset or
 *  destroyed. It may outlive the decoder. */
using LentFrameHandle = std::unique_ptr<kivLentFrame, LentFrameReturner>;

} // namespace kiv

#endif
