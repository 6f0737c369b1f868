// SPDX-License-Identifier: MIT
// "Local (Memory)": frames go through a shared-memory segment per sender (see
// shm_segment.hpp). The sender writes a slot in the caller's thread
// and never waits; each reader holds the slot it reads, on its own thread, and
// hands it out in place: a frame is copied once, by the sender.
#include "memory.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "../errors.hpp"
#include "../util/clock.hpp"
#include "../util/event_fd.hpp"
#include "shm_segment.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;

class MemorySender final : public InlineSenderTransport {
public:
    ~MemorySender() override { stopSending(); }

    int open(const std::string &, int stream) override {
        stopSending();
        return owner_.open(stream);
    }

private:
    bool isOpen() const override { return owner_.isOpen(); }

    int write(const WireHeader &header, std::span<const uint8_t> payload) override {
        std::span<uint8_t> slot;
        // KIV_ERROR_BUSY: readers hold every slot, and the frame is dropped as one a slow reader missed.
        if (const int rc = owner_.beginFrame(kWireHeaderSize + payload.size(), slot); rc != KIV_OK) return rc;
        WireHeader h = header;
        h.payloadSize = uint32_t(payload.size());
        encodeHeader(h, slot.first<kWireHeaderSize>());
        shm::copyIntoSlot(slot.data() + kWireHeaderSize, payload.data(), payload.size());
        owner_.commitFrame();
        return KIV_OK;
    }

    shm::SegmentOwner owner_;
};

// Reads the segment on the reader's own thread: no receiving thread, and each
// frame wakes only the reader (through the segment's futex). The segment's
// slots are the queue, and the frame handed out is the slot itself, held
// until release(). A reader that waits on a ready fd instead gets a relay
// thread, since only a thread can turn the segment's futex into an fd; that
// thread copies frames out, as readers of older senders' segments do.
class MemoryReceiver final : public ReceiverTransport {
public:
    ~MemoryReceiver() override {
        if (relay_.joinable()) {
            relay_.request_stop();
            wakePull();
            relay_.join();
        }
    }

    // Attaches at once when a sender is there, so that frames it sends before
    // the first read are counted.
    int start(int stream) override {
        prefix_ = shm::segmentPrefix(::geteuid(), stream);
        attach();
        if (readyFd_ >= 0) startRelay();
        return KIV_OK;
    }

    void setDepth(size_t depth) override {
        depth_.store(std::max<size_t>(depth, 1));
        relayed_.setDepth(depth);
    }

    Next next(ReceivedFrame &frame, Clock::time_point deadline) override {
        if (!relaying_) return pull(frame, deadline);
        if (relayed_.take(frame, deadline)) return Next::Frame;
        return relayed_.takeInterrupt() ? Next::Interrupted : Next::Timeout;
    }

    void interrupt() override {
        if (relaying_) relayed_.interrupt();
        else wakePull();
    }

    // A frame held now stays where it is: the relay starts once it is let go.
    void setReadyFd(int fd) override {
        readyFd_ = fd;
        relayed_.setReadyFd(fd);
        if (!prefix_.empty() && !held_) startRelay();
    }

    void release() override {
        if (relaying_) return;
        releaseHeld();
        if (readyFd_ >= 0 && !prefix_.empty()) startRelay();
    }

    // A held slot goes out as it is, still held; the seat and the mapping stay
    // until it comes back, whatever this receiver does meanwhile.
    std::shared_ptr<const void> lend(ReceivedFrame &frame) override {
        if (!frame.held || !held_) return ReceiverTransport::lend(frame);
        frame.held = nullptr;
        return std::make_shared<const LentSlot>(map_, seat_, *std::exchange(held_, std::nullopt));
    }

private:
    struct LentSlot {
        LentSlot(std::shared_ptr<shm::Mapping> m, std::shared_ptr<shm::ReaderSeat> s, uint32_t i)
            : map(std::move(m)), seat(std::move(s)), slot(i) {}
        LentSlot(const LentSlot &) = delete;
        LentSlot &operator=(const LentSlot &) = delete;
        ~LentSlot() { shm::releaseSlot(seat->control(), slot, seat->row()); }
        std::shared_ptr<shm::Mapping> map;
        std::shared_ptr<shm::ReaderSeat> seat;
        uint32_t slot;
    };

    void startRelay() {
        if (relaying_) return;
        seat_.reset(); // the relay copies
        relaying_ = true;
        relay_ = std::jthread([this](std::stop_token stop) {
            ReceivedFrame frame;
            while (!stop.stop_requested())
                if (pull(frame, Clock::time_point::max()) == Next::Frame) {
                    relayed_.put(std::move(frame));
                    frame = relayed_.spare();
                }
        });
    }

    void wakePull() {
        wakePending_ = true;
        shm::wakeWaiter(wakeWord_);
        raiseEvent(wakeFd_.get());
    }

    // Holds the slot in place when the segment lets readers hold and this is
    // the reader's own thread; copies it into spare_ otherwise.
    shm::SlotCopy takeSlot(std::span<const uint8_t> bytes, const shm::HeaderSnapshot &h, uint32_t slot,
                           WireHeader &header, const uint8_t *&held, uint64_t &publish) {
        held = nullptr;
        if (!relaying_ && (h.flags & shm::kFlagHolds) && seat()) {
            std::span<const uint8_t> payload;
            const shm::SlotCopy r = shm::holdSlot(bytes, seat_->control(), h.slotCount, slot, seat_->row(), header, payload, publish);
            if (r == shm::SlotCopy::Ok) {
                held_ = slot;
                held = payload.data();
            }
            return r;
        }
        return shm::copySlot(bytes, h.slotCount, slot, header, spare_, publish);
    }

    // A row in the segment's reader table, tried once per attachment: without
    // one (a full table) frames are copied.
    bool seat() {
        if (!seat_ && !seatTried_) {
            seatTried_ = true;
            const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
            if (UniqueFd rw(::open(self.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK)); rw) {
                auto seat = std::make_shared<shm::ReaderSeat>(std::move(rw));
                if (*seat) seat_ = std::move(seat);
            }
        }
        return bool(seat_);
    }

    void releaseHeld() {
        if (held_) shm::releaseSlot(seat_->control(), *std::exchange(held_, std::nullopt), seat_->row());
    }

    Next pull(ReceivedFrame &frame, Clock::time_point deadline) {
        if (!relaying_) releaseHeld();
        for (int notReady = 0, busy = 0;;) {
            // Read before the flag, so that a wake after the look ends the wait below.
            wakeSeen_ = wakeWord_.load();
            if (wakePending_.exchange(false)) {
                lowerEvent(wakeFd_.get());
                return Next::Interrupted;
            }
            if (!map_) {
                const Attach attached = attach();
                if (attached == Attach::Attached) continue;
                // NotReady: a sender between linking its segment in and opening it, microseconds.
                const bool waited = attached == Attach::NotReady
                                        ? sleepUntil(std::min(deadline, Clock::now() + (++notReady < 50 ? 1ms : kIdleRecheck)))
                                        : waitForName(deadline);
                if (!waited) return Next::Timeout;
                continue;
            }
            const std::span<const uint8_t> bytes{map_->data(), map_->size()};
            shm::HeaderSnapshot h;
            const shm::HeaderCheck check = shm::checkHeader(bytes, h);
            if (check != shm::HeaderCheck::Ok || h.state != shm::State::Open) {
                if (check != shm::HeaderCheck::Ok) ++counters.malformed;
                detach();
                continue;
            }
            const uint64_t newest = shm::latestPublish(h.latest);
            uint64_t wanted = newest;
            uint32_t slot = shm::latestSlot(h.latest);
            // Queued: in order from the oldest unread, at most `depth` behind the newest.
            if (const uint64_t depth = depth_.load(); depth > 1)
                shm::findSlot(bytes, h.slotCount, std::max(lastPublish_ + 1, newest >= depth ? newest - depth + 1 : 0),
                              slot, wanted);
            if (newest <= lastPublish_) { // also before any frame: newest is 0 then
                // Nothing new: sleep until the sender signals, looking at its lock now and then.
                if (!shm::writerAlive(fd_.get())) detach();
                else if (!sleepOnSignal(h.signal, deadline)) return Next::Timeout;
                continue;
            }
            WireHeader header;
            uint64_t copied = 0;
            const uint8_t *held = nullptr;
            switch (takeSlot(bytes, h, slot, header, held, copied)) {
            case shm::SlotCopy::Ok: {
                if (copied != wanted && wanted != newest) { // overwritten meanwhile: look again
                    releaseHeld();
                    continue;
                }
                // A dead sender's frame is no news, however new it looks.
                if (!shm::writerAlive(fd_.get())) {
                    detach();
                    continue;
                }
                // Publish numbers count every frame: a gap is frames overwritten or passed over unread.
                const uint64_t gap = copied - std::min(copied, lastPublish_ + 1);
                counters.received += gap;
                counters.dropped += gap;
                // A slot newer than wanted means the sender lapped us; an older one
                // only comes from a damaged segment and must not repeat forever.
                lastPublish_ = std::max(copied, wanted);
                ++counters.received;
                counters.bytes += header.payloadSize;
                frame.header = header;
                frame.receiveTimeUs = wallClockUs();
                frame.held = held;
                if (!held) std::swap(frame.payload, spare_);
                return Next::Frame;
            }
            case shm::SlotCopy::Busy:
                if (++busy < kBusyRetries) continue;
                busy = 0;
                if (!shm::writerAlive(fd_.get())) detach();
                else if (!sleepOnSignal(h.signal, deadline)) return Next::Timeout; // its commit wakes us
                continue;
            case shm::SlotCopy::OutOfMap:
                if (remap()) continue;
                [[fallthrough]];
            case shm::SlotCopy::Malformed:
                ++counters.malformed;
                lastPublish_ = wanted;
                continue;
            }
        }
    }

    static constexpr Clock::duration kIdleRecheck = std::chrono::milliseconds(100);
    // How often a reader waiting on a quiet segment looks at its sender's lock:
    // rarely, so an idle reader hardly wakes; a sender that closes wakes it at once.
    static constexpr int64_t kFutexWaitUs = 500'000;
    static constexpr int kBusyRetries = 64;

    static int64_t usLeft(Clock::time_point deadline) {
        if (deadline == Clock::time_point::max()) return INT64_MAX;
        return std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    }

    bool sleepUntil(Clock::time_point until) {
        const int64_t left = usLeft(until);
        if (left <= 0) return false;
        shm::sleepOnWake(wakeWord_, wakeSeen_, left);
        return true;
    }

    bool sleepOnSignal(uint32_t seen, Clock::time_point deadline) {
        const int64_t left = usLeft(deadline);
        if (left <= 0) return false;
        shm::waitSignalOrWake(map_->data(), seen, wakeWord_, wakeSeen_, std::min<int64_t>(left, kFutexWaitUs));
        return true;
    }

    enum class Attach { Attached, Absent, NotReady };

    // The lowest-named open segment of the stream with a live sender: the one
    // that won if two were starting at once.
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
            // The frame already there is news to us.
            lastPublish_ = std::max<uint64_t>(shm::latestPublish(h.latest), 1) - 1;
            fd_ = std::move(f.fd);
            map_ = std::make_shared<shm::Mapping>(std::move(map));
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
        releaseHeld();
        seat_.reset();
        seatTried_ = false;
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
        map_ = std::make_shared<shm::Mapping>(std::move(bigger));
        return true;
    }

    // Sleeps until a name of the stream appears in /dev/shm, or the deadline;
    // false once it has passed. Only new names wake it: other users' writes
    // there must not. Without inotify (instances are limited per user) it
    // looks again every kIdleRecheck.
    bool waitForName(Clock::time_point deadline) {
        if (!notifyTried_) {
            notifyTried_ = true;
            notifyFd_ = UniqueFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
            if (notifyFd_ && ::inotify_add_watch(notifyFd_.get(), shm::kDir, IN_CREATE | IN_MOVED_TO) < 0)
                notifyFd_.reset();
            if (notifyFd_) return true; // look once more: the name may have come before the watch
        }
        if (!notifyFd_) return sleepUntil(std::min(deadline, Clock::now() + kIdleRecheck));
        for (;;) {
            const int64_t us = usLeft(deadline);
            pollfd fds[2]{{notifyFd_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
            // Rounded up without adding: a deadline far off is INT64_MAX us.
            const int64_t ms = us / 1000 + (us % 1000 > 0 ? 1 : 0);
            if (::poll(fds, wakeFd_ ? 2 : 1, int(std::clamp<int64_t>(ms, 0, INT32_MAX))) <= 0) return false;
            if (fds[1].revents) { // a wake: the caller's loop takes it
                lowerEvent(wakeFd_.get());
                return true;
            }
            alignas(inotify_event) char events[4096];
            for (ssize_t n; (n = ::read(notifyFd_.get(), events, sizeof events)) > 0;) {
                for (ssize_t at = 0; at < n;) {
                    const auto *e = reinterpret_cast<const inotify_event *>(events + at);
                    if ((e->mask & IN_Q_OVERFLOW) || (e->len && std::strncmp(e->name, prefix_.c_str(), prefix_.size()) == 0))
                        return true;
                    at += ssize_t(sizeof(inotify_event) + e->len);
                }
            }
        }
    }

    std::string prefix_;
    std::atomic<size_t> depth_{1};
    // Waking a pull: the flag says so, the word ends a futex wait, the fd a poll.
    std::atomic<bool> wakePending_{false};
    std::atomic<uint32_t> wakeWord_{0};
    uint32_t wakeSeen_ = 0; // the puller's
    const UniqueFd wakeFd_ = makeEventFd();
    int readyFd_ = -1;
    std::atomic<bool> relaying_{false};
    Mailbox<ReceivedFrame> relayed_{counters.dropped};
    // The reader's alone, like next().
    UniqueFd notifyFd_; // held only while no segment is attached
    bool notifyTried_ = false;
    dev_t rejectedDev_ = 0;
    ino_t rejectedIno_ = 0;
    UniqueFd fd_;
    std::shared_ptr<shm::Mapping> map_; // shared with the slots lent out
    uint64_t lastPublish_{}; // set on attach; publish numbers start at 1
    std::vector<uint8_t> spare_;
    std::shared_ptr<shm::ReaderSeat> seat_; // shared with the slots lent out
    bool seatTried_ = false;
    std::optional<uint32_t> held_; // the slot handed out last, until release()
    std::jthread relay_; // last: stops before what it uses goes
};

} // namespace

std::unique_ptr<SenderTransport> makeMemorySender() { return std::make_unique<MemorySender>(); }
std::unique_ptr<ReceiverTransport> makeMemoryReceiver() { return std::make_unique<MemoryReceiver>(); }

} // namespace kiv
