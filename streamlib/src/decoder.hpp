// One receiving end: a transport feeding a FrameStore, JPEG decoded on the way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "codec/jpeg.hpp"
#include "frame_store.hpp"
#include "transport.hpp"

namespace kiv {

class Decoder final : public FrameSink {
public:
    explicit Decoder(int protocol);
    // With a transport of the caller's, made for this sink; setSource() starts it
    // once (in-process pipelines in tests and benchmarks).
    explicit Decoder(std::function<std::unique_ptr<ReceiverTransport>(FrameSink &)> makeTransport);
    ~Decoder() override;

    bool hasTransport() const { return transport_ != nullptr; }
    int setSource(int stream);
    void setAdaptive(bool adaptive);

    const void *lock(int timeoutMs);
    int unlock();

    // Format of the frame locked now or last; zeros before the first.
    const kivStreamFormat &lastFormat() const { return lastFormat_; }
    uint32_t lastTransferBytes() const { return lastTransferBytes_.load(std::memory_order_relaxed); }
    int frameInfo(kivFrameInfo &info) const;
    kivDecoderStats stats() const;
    ReceiveBuffer receiveBuffer() const { return started_ ? transport_->receiveBuffer() : ReceiveBuffer{}; }
    kivLossStats lossStats() const { return {lost_.load(), recovered_.load(), rebuilt_.load()}; }

    // FrameSink, called from the transport's thread.
    std::vector<uint8_t> takeBuffer() override { return store_.takeBuffer(); }
    void deliver(const WireHeader &header, std::vector<uint8_t> &&payload) override;
    void countMalformed(uint64_t n = 1) override { malformed_ += n; }
    void countIncomplete(uint64_t n = 1) override { incomplete_ += n; }
    void countDropped(uint64_t n) override { store_.countDropped(n); }
    void countLoss(uint64_t lost, uint64_t recovered, uint64_t rebuiltFrames) override {
        lost_ += lost;
        recovered_ += recovered;
        rebuilt_ += rebuiltFrames;
    }

private:
    void queueJpeg(const WireHeader &header, std::vector<uint8_t> &&jpeg);
    void dropQueuedJpeg();
    void decodeLoop(std::stop_token stop);
    const StoredFrame *lockFetching(int timeoutMs);

    const std::function<std::unique_ptr<ReceiverTransport>(FrameSink &)> makeTransport_;
    FrameStore store_;

    // JPEG frames wait here for the decode thread, so that a slow decode never
    // holds up the transport's receiving thread (a UDP socket would overflow).
    struct PendingJpeg {
        WireHeader header;
        int64_t receiveTimeUs = 0;
        std::vector<uint8_t> jpeg;
    };
    std::mutex jpegMutex_;
    std::condition_variable_any jpegReady_;
    std::deque<PendingJpeg> jpegQueue_;
    uint64_t jpegEpoch_ = 0; // bumped by each raw frame: older JPEGs still decoding are stale
    // Newest frame only; then the reader may also fetch that frame itself.
    std::atomic<bool> adaptive_{true};
    std::atomic<uint64_t> jpegDropped_{0};
    std::atomic<int> jpegInFlight_{0}; // queued or decoding: not in the store yet
    std::atomic<bool> lastCompressed_{false}; // the stream sends JPEG: frames go through the decode thread
    jpeg::Decompressor decompressor_; // the decode thread's alone

    std::atomic<uint64_t> malformed_{0};
    std::atomic<uint64_t> incomplete_{0};
    std::atomic<uint64_t> lost_{0}, recovered_{0}, rebuilt_{0};
    const StoredFrame *locked_ = nullptr;
    kivStreamFormat lastFormat_{};
    std::atomic<uint32_t> lastTransferBytes_{0};
    std::atomic<bool> started_{false};
    // Stopped first (see the destructor): its threads stop calling the sink.
    std::unique_ptr<ReceiverTransport> transport_;
    std::jthread decodeThread_; // started by the first JPEG frame
};

} // namespace kiv
