// One receiving end: a transport feeding a FrameStore, JPEG decoded on the way.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

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
    void setAdaptive(bool adaptive) { store_.setAdaptive(adaptive); }

    const void *lock(int timeoutMs);
    int unlock();

    // Format of the frame locked now or last; zeros before the first.
    const kivStreamFormat &lastFormat() const { return lastFormat_; }
    uint32_t lastTransferBytes() const { return lastTransferBytes_.load(std::memory_order_relaxed); }
    int frameInfo(kivFrameInfo &info) const;
    kivDecoderStats stats() const;

    // FrameSink, called from the transport's thread.
    std::vector<uint8_t> takeBuffer() override { return store_.takeBuffer(); }
    void deliver(const WireHeader &header, std::vector<uint8_t> &&payload) override;
    void countMalformed(uint64_t n = 1) override { malformed_ += n; }
    void countIncomplete(uint64_t n = 1) override { incomplete_ += n; }

private:
    const std::function<std::unique_ptr<ReceiverTransport>(FrameSink &)> makeTransport_;
    FrameStore store_;
    std::mutex decompressMutex_; // a transport may deliver from more than one thread over its life
    jpeg::Decompressor decompressor_;
    std::atomic<uint64_t> malformed_{0};
    std::atomic<uint64_t> incomplete_{0};
    const StoredFrame *locked_ = nullptr;
    kivStreamFormat lastFormat_{};
    std::atomic<uint32_t> lastTransferBytes_{0};
    std::atomic<bool> started_{false};
    // Declared last so that it is destroyed first: its threads stop calling the sink.
    std::unique_ptr<ReceiverTransport> transport_;
};

} // namespace kiv
