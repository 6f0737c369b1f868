// "Local (Memory)": frames go through a shared-memory segment per sender (see
// shm_segment.hpp). The sender writes a slot in the caller's thread
// and never waits; each receiver copies the newest slot out on its own thread
// into the reader's queue.
#include "memory.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "../errors.hpp"
#include "../util/clock.hpp"
#include "shm_segment.hpp"

namespace kiv {
namespace {

using Clock = std::chrono::steady_clock;

class MemorySender final : public SenderTransport {
public:
    int open(const std::string &, int stream) override { return owner_.open(stream); }

    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override {
        if (!owner_.isOpen()) return fail(KIV_ERROR_STATE, "no destination set");
        const std::span<uint8_t> slot = owner_.beginFrame(kWireHeaderSize + payload.size());
        if (slot.empty()) {
            ++counters.dropped;
            return KIV_ERROR_NO_MEMORY; // detail recorded by beginFrame()
        }
        WireHeader h = header;
        h.payloadSize = uint32_t(payload.size());
        encodeHeader(h, slot.first<kWireHeaderSize>());
        if (!payload.empty()) std::memcpy(slot.data() + kWireHeaderSize, payload.data(), payload.size());
        owner_.commitFrame();
        ++counters.sent;
        counters.bytes += payload.size();
        return KIV_OK;
    }

private:
    shm::SegmentOwner owner_;
};

class MemoryReceiver final : public QueuedReceiverTransport {
public:
    MemoryReceiver() = default;

    ~MemoryReceiver() override {
        if (!thread_.joinable()) return;
        thread_.request_stop();
        stopping_.store(true);
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stopFd_.get(), &one, sizeof one);
        // A wake can slip in between the thread's last look at stopping_ and its
        // futex wait, so keep waking until it is out. A wake on an address the
        // thread has just unmapped fails harmlessly.
        while (!exited_.load()) {
            if (const uint8_t *waiting = waitingOn_.load()) shm::wakeAll(waiting);
            ::poll(nullptr, 0, 1);
        }
        thread_.join();
    }

    int start(int stream) override {
        prefix_ = shm::segmentPrefix(::geteuid(), stream);
        stopFd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!stopFd_) return failErrno(KIV_ERROR_IO, "eventfd");
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        return KIV_OK;
    }

private:
    static constexpr auto kIdleRecheck = std::chrono::milliseconds(100);
    static constexpr int64_t kFutexWaitUs = 50'000;
    static constexpr int kBusyRetries = 64;
    enum class Attach { Attached, Absent, NotReady };

    // What one look at the segment found.
    struct Look {
        enum Kind { Delivered, Again, Wait, Detached } kind;
        uint32_t signal = 0;                     // Wait: sleep while the signal word holds this
        std::shared_ptr<const shm::Mapping> map; // Wait: kept mapped while someone sleeps on it

        Look(Kind k, uint32_t s = 0, std::shared_ptr<const shm::Mapping> m = {}) : kind(k), signal(s), map(std::move(m)) {}
    };

    void run(std::stop_token stop) {
        int notReady = 0;
        while (!stop.stop_requested()) {
            std::unique_lock lock(mutex_);
            if (!map_) {
                const Attach attached = attach();
                lock.unlock();
                switch (attached) {
                case Attach::Attached: notReady = 0; continue;
                case Attach::NotReady:
                    // A sender is between creating its segment and opening it: microseconds.
                    waitForName(++notReady < 50 ? 1 : int(kIdleRecheck.count()));
                    continue;
                case Attach::Absent: waitForName(notifyFd_ ? 1000 : int(kIdleRecheck.count())); continue;
                }
            }
            const Look look = lookLocked();
            lock.unlock();
            if (look.kind != Look::Wait) continue;
            waitingOn_.store(look.map->data());
            if (!stopping_.load()) shm::waitSignal(look.map->data(), look.signal, kFutexWaitUs);
            waitingOn_.store(nullptr);
        }
        std::lock_guard lock(mutex_);
        detach();
        exited_.store(true);
    }

    // The lowest-named open segment of the stream with a live sender: the one
    // that won the election if two are racing.
    Attach attach() {
        Attach result = Attach::Absent;
        for (shm::SegmentFile &f : shm::listSegments(prefix_)) {
            // One others could write is not a channel of ours.
            if ((f.st.st_mode & 077) != 0 || uint64_t(f.st.st_size) > shm::kMaxSegmentBytes) {
                reject(f.st);
                continue;
            }
            if (!shm::writerAlive(f.fd.get())) continue; // a dead sender's, removed by the next one
            shm::Mapping map = shm::mapShared(f.fd.get(), size_t(f.st.st_size), false);
            if (!map) continue;
            shm::HeaderSnapshot h; // a sender links its segment in with the header written
            const shm::HeaderCheck check = shm::checkHeader({map.data(), map.size()}, h);
            if (check == shm::HeaderCheck::Ok && h.state == shm::State::Initialising) {
                result = Attach::NotReady;
                continue;
            }
            if (check != shm::HeaderCheck::Ok) {
                reject(f.st);
                continue;
            }
            if (h.state != shm::State::Open) continue; // its sender is leaving
            fd_ = std::move(f.fd);
            map_ = std::make_shared<const shm::Mapping>(std::move(map));
            lastPublish_ = ~uint64_t{0}; // the frame already there is news to us
            notifyFd_.reset();
            notifyTried_ = false;
            return Attach::Attached;
        }
        return result;
    }

    // Counted once per file, not once per look.
    void reject(const struct stat &st) {
        if (st.st_dev != rejectedDev_ || st.st_ino != rejectedIno_) {
            rejectedDev_ = st.st_dev;
            rejectedIno_ = st.st_ino;
            ++counters.malformed;
        }
    }

    void detach() {
        map_.reset();
        fd_.reset();
    }

    bool remap() {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0 || uint64_t(st.st_size) <= map_->size() ||
            uint64_t(st.st_size) > shm::kMaxSegmentBytes)
            return false;
        shm::Mapping bigger = shm::mapShared(fd_.get(), size_t(st.st_size), false);
        if (!bigger) return false;
        map_ = std::make_shared<const shm::Mapping>(std::move(bigger));
        return true;
    }

    // One look at the attached segment, under mutex_: deliver the newest frame,
    // or say what to sleep on until the sender signals. A dead sender's frames
    // are never news: it is checked before each delivery and each sleep.
    Look lookLocked() {
        const std::span<const uint8_t> bytes{map_->data(), map_->size()};
        shm::HeaderSnapshot h;
        const shm::HeaderCheck check = shm::checkHeader(bytes, h);
        if (check != shm::HeaderCheck::Ok) {
            if (check != shm::HeaderCheck::NotReady) ++counters.malformed;
            detach();
            return Look::Detached;
        }
        if (h.state == shm::State::Closed) {
            detach();
            return Look::Detached;
        }
        const uint64_t publish = shm::latestPublish(h.latest);
        if (h.latest != 0 && publish != lastPublish_) {
            if (spare_.capacity() == 0) spare_ = queue_.takeBuffer();
            WireHeader header;
            uint64_t copied = 0;
            switch (shm::copySlot(bytes, h.slotCount, shm::latestSlot(h.latest), header, spare_, copied)) {
            case shm::SlotCopy::Ok:
                busy_ = 0;
                if (!shm::writerAlive(fd_.get())) {
                    detach();
                    return Look::Detached;
                }
                // Publish numbers count every frame: a gap is frames overwritten unread.
                if (lastPublish_ != ~uint64_t{0} && copied > lastPublish_ + 1) {
                    counters.received += copied - lastPublish_ - 1;
                    counters.dropped += copied - lastPublish_ - 1;
                }
                // A slot newer than `latest` means the sender lapped us; an older one
                // only comes from a damaged segment and must not repeat forever.
                lastPublish_ = std::max(copied, publish);
                queue_.put(header, std::move(spare_), wallClockUs());
                spare_ = {};
                return Look::Delivered;
            case shm::SlotCopy::Busy:
                if (++busy_ < kBusyRetries) return Look::Again;
                busy_ = 0;
                break; // the sender is rewriting it: the next commit wakes us
            case shm::SlotCopy::OutOfMap:
                if (remap()) return Look::Again;
                [[fallthrough]];
            case shm::SlotCopy::Malformed:
                ++counters.malformed;
                lastPublish_ = publish;
                return Look::Again;
            }
        }
        if (!shm::writerAlive(fd_.get())) {
            detach();
            return Look::Detached;
        }
        return {Look::Wait, h.signal, map_};
    }

    // Sleeps until a name of the stream appears in /dev/shm, at most
    // `timeoutMs`. Only new names wake it: other users' writes there must not
    // (inotify instances are limited per user; without one it just sleeps).
    void waitForName(int timeoutMs) {
        if (!notifyFd_ && !notifyTried_) {
            notifyTried_ = true;
            notifyFd_ = UniqueFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
            if (notifyFd_ && ::inotify_add_watch(notifyFd_.get(), shm::kDir, IN_CREATE | IN_MOVED_TO) < 0)
                notifyFd_.reset();
            if (notifyFd_) return; // look once more: the name may have come before the watch
        }
        for (const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd fds[2] = {{stopFd_.get(), POLLIN, 0}, {notifyFd_.get(), POLLIN, 0}};
            if (left <= 0 || ::poll(fds, notifyFd_ ? 2 : 1, int(left)) <= 0 || !(fds[1].revents & POLLIN)) return;
            alignas(inotify_event) char events[4096];
            for (ssize_t n; (n = ::read(notifyFd_.get(), events, sizeof events)) > 0;) {
                for (ssize_t at = 0; at < n;) {
                    const auto *e = reinterpret_cast<const inotify_event *>(events + at);
                    if ((e->mask & IN_Q_OVERFLOW) || (e->len && std::strncmp(e->name, prefix_.c_str(), prefix_.size()) == 0))
                        return;
                    at += ssize_t(sizeof(inotify_event) + e->len);
                }
            }
        }
    }

    std::string prefix_;
    UniqueFd stopFd_;
    // The receiving thread's alone.
    UniqueFd notifyFd_;
    bool notifyTried_ = false;
    dev_t rejectedDev_ = 0;
    ino_t rejectedIno_ = 0;
    // The attached segment, shared by the receiving thread and a fetching reader.
    std::mutex mutex_;
    UniqueFd fd_;
    std::shared_ptr<const shm::Mapping> map_;
    uint64_t lastPublish_ = 0;
    int busy_ = 0;
    std::vector<uint8_t> spare_;
    // How the destructor reaches the thread.
    std::atomic<bool> stopping_{false};
    std::atomic<bool> exited_{false};
    std::atomic<const uint8_t *> waitingOn_{nullptr};
    std::jthread thread_; // last: stopped before the members it uses go
};

} // namespace

std::unique_ptr<SenderTransport> makeMemorySender() { return std::make_unique<MemorySender>(); }
std::unique_ptr<ReceiverTransport> makeMemoryReceiver() { return std::make_unique<MemoryReceiver>(); }

} // namespace kiv
