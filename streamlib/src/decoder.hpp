// SPDX-License-Identifier: MIT
// One receiving end: pulls frames from its transport on the reader's thread
// and decodes JPEG frames there, so a frame is taken the moment it is asked for.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "codec/jpeg.hpp"
#include "util/unique_fd.hpp"
#include "transport.hpp"

namespace kiv {

// A frame lent out by Decoder::lend(): its pixels stay valid and unchanged
// while this lives, on any thread, also after the decoder is gone.
class LentFrame {
public:
    LentFrame(std::shared_ptr<const void> keep, std::shared_ptr<std::atomic<int>> out)
        : keep_(std::move(keep)), out_(std::move(out)) {
        ++*out_;
    }
    LentFrame(const LentFrame &) = delete;
    LentFrame &operator=(const LentFrame &) = delete;
    ~LentFrame() { --*out_; }

private:
    std::shared_ptr<const void> keep_; // whatever owns the pixels
    std::shared_ptr<std::atomic<int>> out_;
};

class Decoder final {
public:
    using MakeTransport = std::function<std::unique_ptr<ReceiverTransport>()>;

    // Frames queued in arrival order when adaptive delivery is off.
    static constexpr size_t kQueueDepth = 4;

    explicit Decoder(int protocol);
    // With transports of the caller's (in-process pipelines in tests and benchmarks).
    explicit Decoder(MakeTransport makeTransport);
    ~Decoder();

    bool hasTransport() const { return transport_ != nullptr; }
    int setSource(int stream);
    void setAdaptive(bool adaptive);

    // The reading thread's calls.
    const void *lock(int timeoutMs);
    int unlock();
    // Frames a decoder lends out at once: each may keep a shared-memory slot
    // from its sender, which must keep slots of its own to write.
    static constexpr int kMaxLent = 2;
    // lock(), then hands the frame over instead of keeping it locked; `info`
    // describes it. Null with the error recorded, KIV_ERROR_BUSY once
    // kMaxLent frames are out.
    std::unique_ptr<LentFrame> lend(int timeoutMs, const void *&pixels, kivFrameInfo &info);
    // Format of the frame locked now or last; zeros before the first.
    const kivStreamFormat &lastFormat() const { return lastFormat_; }
    int frameInfo(kivFrameInfo &info) const;
    // The fd that is readable while lock() would return at once; made on
    // first use and kept until the decoder goes.
    int readyFd();

    // Any thread: ends the lock() waiting now, or else the next one that finds no frame.
    void wake();

    // Any thread.
    uint32_t lastTransferBytes() const { return lastTransferBytes_.load(std::memory_order_relaxed); }
    kivDecoderStats stats() const;
    kivLossStats lossStats() const;
    ReceiveBuffer receiveBuffer() const;

private:
    struct Totals {
        uint64_t received = 0, bytes = 0, dropped = 0, malformed = 0, incomplete = 0, lost = 0, recovered = 0,
                 rebuilt = 0;
        void add(const ReceiverCounters &c);
    };
    Totals totals() const;
    void replaceTransport();

    const MakeTransport makeTransport_;
    UniqueFd readyFd_; // outlives every transport, which raise it
    // Guards transport_ against the any-thread readers of its counters while
    // setSource() replaces it; the reader's own calls need no lock.
    mutable std::mutex transportMutex_;
    std::unique_ptr<ReceiverTransport> transport_;
    Totals retired_; // counts of transports replaced by setSource()
    std::atomic<bool> started_{false};
    bool tried_ = false; // the transport has been started, or tried to start
    std::atomic<size_t> depth_{1};

    ReceivedFrame frame_;         // locked now or last; its buffers are reused
    std::vector<uint8_t> decoded_; // frame_ decoded when it travelled as JPEG
    jpeg::Decompressor decompressor_;
    bool locked_ = false;
    const std::shared_ptr<std::atomic<int>> lentOut_ = std::make_shared<std::atomic<int>>(0);
    kivStreamFormat lastFormat_{};
    std::atomic<uint32_t> lastTransferBytes_{0};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> rejected_{0}; // frames that came whole but did not check or decode
};

} // namespace kiv
