// SPDX-License-Identifier: MIT
#include "shm_segment.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fcntl.h>
#include <linux/futex.h>
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <climits>
#include <cstring>
#include <utility>
#include <ctime>

#include "../errors.hpp"

namespace kiv::shm {
namespace {

// Shared words are read and written with the compiler's atomics: the bytes live
// in a mapping, not in C++ objects.
template <class T> T load(const uint8_t *base, size_t at, int order = __ATOMIC_RELAXED) {
    return __atomic_load_n(reinterpret_cast<const T *>(base + at), order);
}
template <class T> void store(uint8_t *base, size_t at, T value, int order = __ATOMIC_RELAXED) {
    __atomic_store_n(reinterpret_cast<T *>(base + at), value, order);
}
size_t slotAt(uint32_t index, size_t field) { return off::slots + size_t(index) * off::slotStride + field; }
uint64_t *holdsOf(uint8_t *control, uint32_t index) { return reinterpret_cast<uint64_t *>(control + off::holds + 8 * index); }

// An OFD lock of `type` on [start, start + length); length 0 reaches to any end.
struct flock rangeLock(short type, off_t start, off_t length) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = start;
    l.l_len = length;
    return l;
}

bool lockRange(int fd, short type, off_t start, off_t length) {
    struct flock l = rangeLock(type, start, length);
    return ::fcntl(fd, F_OFD_SETLK, &l) == 0;
}

// Whether another open of the file holds a lock that `type` on the range would meet.
bool lockedElsewhere(int fd, short type, off_t start, off_t length) {
    struct flock l = rangeLock(type, start, length);
    return ::fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK;
}

// A running sender's one: any open of the file sees its write lock. Readers'
// rows lie above it.
bool lockWriter(int fd) { return lockRange(fd, F_WRLCK, 0, kReaderLockBase); }

std::string randomHex() {
    std::random_device device;
    const uint64_t r = std::uniform_int_distribution<uint64_t>()(device);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(r));
    return hex;
}

struct Rival {
    std::string name;
    State state;
    uint64_t pid;
};

// The other live senders of a stream at one moment. Dead senders' segments
// are removed on the way.
std::vector<Rival> rivals(const std::string &prefix, const std::string &own) {
    std::vector<Rival> live;
    for (const SegmentFile &f : listSegments(prefix)) {
        if (f.name == own) continue;
        if (!writerAlive(f.fd.get())) {
            ::shm_unlink(("/" + f.name).c_str());
            continue;
        }
        static_assert(off::generation == off::ownerPid + sizeof(uint64_t));
        uint8_t head[off::generation] = {}; // up to the owner's pid, which ends where the generation starts
        // Senders link their segments in with the header written: without one it is no sender's.
        if (::pread(f.fd.get(), head, sizeof head, 0) != ssize_t(sizeof head)) continue;
        if (load<uint32_t>(head, off::magic) != kMagic) continue;
        const uint32_t state = load<uint32_t>(head, off::state);
        if (state == uint32_t(State::Closed)) continue; // on its way out
        live.push_back({f.name, state == uint32_t(State::Open) ? State::Open : State::Initialising,
                        load<uint64_t>(head, off::ownerPid)});
    }
    return live;
}

} // namespace

std::string segmentPrefix(uid_t uid, int stream) {
    return "kivvs2-" + std::to_string(uint64_t(uid)) + "-" + std::to_string(stream) + "-";
}

std::vector<SegmentFile> listSegments(const std::string &prefix) {
    std::vector<SegmentFile> found;
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(kDir), ::closedir);
    if (!dir) return found;
    while (const dirent *e = ::readdir(dir.get())) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        struct stat st {};
        // O_NONBLOCK: a FIFO that another user placed here cannot hold up the open.
        UniqueFd fd(::openat(::dirfd(dir.get()), e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
        found.push_back({e->d_name, std::move(fd), st});
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    return found;
}

bool writerAlive(int fd) { return lockedElsewhere(fd, F_RDLCK, 0, 0); }

HeaderCheck checkHeader(std::span<const uint8_t> map, HeaderSnapshot &out) {
    if (map.size() < kHeaderBytes) return HeaderCheck::NotReady;
    const uint8_t *p = map.data();
    const uint32_t magic = load<uint32_t>(p, off::magic, __ATOMIC_ACQUIRE);
    if (magic == 0) return HeaderCheck::NotReady;
    if (magic != kMagic) return HeaderCheck::BadMagic;
    if (load<uint16_t>(p, off::version) != kLayoutVersion) return HeaderCheck::BadVersion;
    if (load<uint16_t>(p, off::headerBytes) != kHeaderBytes) return HeaderCheck::BadHeaderSize;
    HeaderSnapshot s;
    // The signal word first: a frame published after this read changes it, so a
    // wait on this value cannot miss that frame.
    s.signal = load<uint32_t>(p, off::signal, __ATOMIC_ACQUIRE);
    s.latest = load<uint64_t>(p, off::latest, __ATOMIC_ACQUIRE);
    const uint32_t state = load<uint32_t>(p, off::state);
    s.state = state <= uint32_t(State::Closed) ? State(state) : State::Closed;
    s.slotCount = load<uint32_t>(p, off::slotCount);
    s.flags = load<uint32_t>(p, off::flags);
    if (s.slotCount > kMaxSlots) return HeaderCheck::BadSlotCount;
    out = s;
    return HeaderCheck::Ok;
}

namespace {

struct SlotPlace {
    uint64_t at = 0;      // of the slot's wire header
    uint64_t number = 0;  // publish number
};

// Reads slot `index`'s descriptor and wire header and checks them against the
// map; `unchanged` tells whether the sender left the slot alone meanwhile.
template <class Unchanged>
SlotCopy readSlot(std::span<const uint8_t> map, uint32_t slotCount, uint32_t index, WireHeader &header, SlotPlace &place,
                  Unchanged unchanged) {
    if (map.size() < kHeaderBytes || index >= slotCount || index >= kMaxSlots) return SlotCopy::Malformed;
    const uint8_t *p = map.data();
    const uint64_t at = load<uint64_t>(p, slotAt(index, off::slotOffset));
    const uint64_t capacity = load<uint64_t>(p, slotAt(index, off::slotCapacity));
    const uint64_t number = load<uint64_t>(p, slotAt(index, off::slotPublish));
    if (at < kHeaderBytes || at % 8 != 0 || capacity < kWireHeaderSize || capacity > kMaxSlotBytes)
        return unchanged() ? SlotCopy::Malformed : SlotCopy::Busy;
    if (at > map.size() || capacity > map.size() - at) return unchanged() ? SlotCopy::OutOfMap : SlotCopy::Busy;
    uint8_t raw[kWireHeaderSize];
    std::memcpy(raw, p + at, sizeof raw);
    if (!unchanged()) return SlotCopy::Busy;
    if (decodeHeader(raw, header) != WireError::None || header.payloadSize > capacity - kWireHeaderSize)
        return SlotCopy::Malformed;
    place = {at, number};
    return SlotCopy::Ok;
}

} // namespace

SlotCopy copySlot(std::span<const uint8_t> map, uint32_t slotCount, uint32_t index, WireHeader &header,
                  std::vector<uint8_t> &payload, uint64_t &publish) {
    if (map.size() < kHeaderBytes || index >= kMaxSlots) return SlotCopy::Malformed;
    const uint8_t *p = map.data();
    const uint64_t seq = load<uint64_t>(p, slotAt(index, off::slotSeq), __ATOMIC_ACQUIRE);
    if (seq & 1) return SlotCopy::Busy;
    // The copies may race with the sender; the sequence check after each one
    // throws away whatever it overlapped.
    auto unchanged = [&] {
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        return load<uint64_t>(p, slotAt(index, off::slotSeq)) == seq;
    };
    WireHeader h;
    SlotPlace place;
    if (const SlotCopy r = readSlot(map, slotCount, index, h, place, unchanged); r != SlotCopy::Ok) return r;
    payload.resize(h.payloadSize);
    if (h.payloadSize) std::memcpy(payload.data(), p + place.at + kWireHeaderSize, h.payloadSize);
    if (!unchanged()) return SlotCopy::Busy;
    header = h;
    publish = place.number;
    return SlotCopy::Ok;
}

SlotCopy holdSlot(std::span<const uint8_t> map, uint8_t *control, uint32_t slotCount, uint32_t index, uint32_t reader,
                  WireHeader &header, std::span<const uint8_t> &payload, uint64_t &publish) {
    if (map.size() < kHeaderBytes || index >= kMaxSlots || reader >= kMaxReaders) return SlotCopy::Malformed;
    const uint8_t *p = map.data();
    const uint64_t seq = load<uint64_t>(p, slotAt(index, off::slotSeq), __ATOMIC_ACQUIRE);
    if (seq & 1) return SlotCopy::Busy;
    // The bit first, then the sequence again: a sender that made the slot odd
    // before seeing the bit is seen here (both sides order through a full fence).
    __atomic_fetch_or(holdsOf(control, index), uint64_t{1} << reader, __ATOMIC_SEQ_CST);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    const auto unchanged = [&] { return load<uint64_t>(p, slotAt(index, off::slotSeq), __ATOMIC_ACQUIRE) == seq; };
    WireHeader h;
    SlotPlace place;
    const SlotCopy r = unchanged() ? readSlot(map, slotCount, index, h, place, unchanged) : SlotCopy::Busy;
    if (r != SlotCopy::Ok) {
        releaseSlot(control, index, reader);
        return r;
    }
    header = h;
    payload = {p + place.at + kWireHeaderSize, h.payloadSize};
    publish = place.number;
    return SlotCopy::Ok;
}

void releaseSlot(uint8_t *control, uint32_t index, uint32_t reader) {
    if (index < kMaxSlots && reader < kMaxReaders)
        __atomic_fetch_and(holdsOf(control, index), ~(uint64_t{1} << reader), __ATOMIC_RELEASE);
}

void copyIntoSlot(uint8_t *slot, const uint8_t *frame, size_t bytes) {
    if (bytes == 0) return;
#if defined(__SSE2__)
    if (bytes >= kStreamingCopyBytes) {
        const size_t head = (16 - (reinterpret_cast<uintptr_t>(slot) & 15)) & 15; // streaming stores want 16-byte alignment
        std::memcpy(slot, frame, head);
        size_t at = head;
        for (; at + 64 <= bytes; at += 64) {
            const auto *from = reinterpret_cast<const __m128i *>(frame + at);
            auto *to = reinterpret_cast<__m128i *>(slot + at);
            const __m128i a = _mm_loadu_si128(from), b = _mm_loadu_si128(from + 1), c = _mm_loadu_si128(from + 2),
                          d = _mm_loadu_si128(from + 3);
            _mm_stream_si128(to, a);
            _mm_stream_si128(to + 1, b);
            _mm_stream_si128(to + 2, c);
            _mm_stream_si128(to + 3, d);
        }
        _mm_sfence(); // streaming stores are weakly ordered: all in before the frame is published
        std::memcpy(slot + at, frame + at, bytes - at);
        return;
    }
#endif
    std::memcpy(slot, frame, bytes);
}

bool readerAlive(int fd, uint32_t row) { return lockedElsewhere(fd, F_WRLCK, kReaderLockBase + off_t(row), 1); }

// A row is free, or a dead reader's, when no one else locks it. Two readers
// after one row both lock it before they look, so at most one takes it.
ReaderSeat::ReaderSeat(UniqueFd fd) {
    Mapping control = mapShared(fd.get(), size_t(kHeaderBytes), true);
    if (!control) return;
    for (uint32_t row = 0; row < kMaxReaders; ++row) {
        const off_t at = kReaderLockBase + off_t(row);
        if (!lockRange(fd.get(), F_RDLCK, at, 1)) continue;
        if (readerAlive(fd.get(), row)) {
            lockRange(fd.get(), F_UNLCK, at, 1);
            continue;
        }
        for (uint32_t i = 0; i < kMaxSlots; ++i) releaseSlot(control.data(), i, row); // a dead reader's holds
        fd_ = std::move(fd);
        control_ = std::move(control);
        row_ = row;
        return;
    }
}

bool findSlot(std::span<const uint8_t> map, uint32_t slotCount, uint64_t from, uint32_t &index, uint64_t &publish) {
    if (map.size() < kHeaderBytes) return false;
    const uint64_t latest = latestPublish(load<uint64_t>(map.data(), off::latest, __ATOMIC_ACQUIRE));
    bool found = false;
    for (uint32_t i = 0; i < std::min(slotCount, kMaxSlots); ++i) {
        if (load<uint64_t>(map.data(), slotAt(i, off::slotSeq), __ATOMIC_ACQUIRE) & 1) continue;
        const uint64_t p = load<uint64_t>(map.data(), slotAt(i, off::slotPublish));
        if (p >= from && p < latest && (!found || p < publish)) {
            found = true;
            index = i;
            publish = p;
        }
    }
    return found;
}

Mapping::Mapping(Mapping &&other) noexcept { swap(other); }

// The old mapping goes with `other`.
Mapping &Mapping::operator=(Mapping other) noexcept {
    swap(other);
    return *this;
}

void Mapping::swap(Mapping &other) noexcept {
    std::swap(base_, other.base_);
    std::swap(size_, other.size_);
}

void Mapping::reset() {
    if (base_) ::munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
}

Mapping mapShared(int fd, size_t size, bool writable) {
    void *p = ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? Mapping() : Mapping(p, size);
}

void wakeAll(const uint8_t *map) {
    ::syscall(SYS_futex, map + off::signal, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void waitSignal(const uint8_t *map, uint32_t seen, int64_t timeoutUs) {
    const timespec ts{0, long(std::chrono::nanoseconds(std::chrono::microseconds(timeoutUs)).count())};
    ::syscall(SYS_futex, map + off::signal, FUTEX_WAIT, seen, &ts, nullptr, 0);
}

bool waitSignalOrWake(const uint8_t *map, uint32_t seen, const std::atomic<uint32_t> &wake, uint32_t wakeSeen,
                      int64_t timeoutUs) {
#ifdef SYS_futex_waitv
    static std::atomic<bool> unavailable{false};
    if (!unavailable.load(std::memory_order_relaxed)) {
        static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
        futex_waitv waiters[2]{};
        waiters[0] = {seen, uint64_t(uintptr_t(map + off::signal)), FUTEX_32, 0};
        waiters[1] = {wakeSeen, uint64_t(uintptr_t(&wake)), FUTEX_32 | FUTEX_PRIVATE_FLAG, 0};
        timespec until{};
        ::clock_gettime(CLOCK_MONOTONIC, &until);
        const int64_t ns = until.tv_nsec + timeoutUs * 1000;
        until.tv_sec += ns / 1'000'000'000;
        until.tv_nsec = ns % 1'000'000'000;
        if (::syscall(SYS_futex_waitv, waiters, 2, 0, &until, CLOCK_MONOTONIC) >= 0 || errno != ENOSYS) return true;
        unavailable = true;
    }
#endif
    // Older kernels: a wake may go unseen for a short while.
    waitSignal(map, seen, std::min<int64_t>(timeoutUs, kUnwakeableWaitUs));
    return false;
}

void wakeWaiter(std::atomic<uint32_t> &wake) {
    wake.fetch_add(1);
    ::syscall(SYS_futex, &wake, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void sleepOnWake(const std::atomic<uint32_t> &wake, uint32_t wakeSeen, int64_t timeoutUs) {
    const timespec ts{timeoutUs / 1'000'000, long(timeoutUs % 1'000'000) * 1000};
    ::syscall(SYS_futex, &wake, FUTEX_WAIT_PRIVATE, wakeSeen, &ts, nullptr, 0);
}

int SegmentOwner::open(int stream) {
    close();
    const std::string prefix = segmentPrefix(::geteuid(), stream);
    int rc = create(prefix);
    if (rc == KIV_OK && (rc = elect(prefix, stream)) != KIV_OK) close();
    return rc;
}

// A segment under a fresh random name, locked, its header in place and
// marked as starting. It is set up unnamed and then linked in, so no one ever
// sees it unlocked: an unlocked segment is a dead sender's.
int SegmentOwner::create(const std::string &prefix) {
    UniqueFd fd(::open(kDir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd) return failErrno(KIV_ERROR_IO, std::string("create a file in ") + kDir);
    // The mode must not depend on the caller's umask.
    if (::fchmod(fd.get(), 0600) != 0) return failErrno(KIV_ERROR_IO, "fchmod");
    if (!lockWriter(fd.get())) return failErrno(KIV_ERROR_IO, "lock");
    if (const int err = ::posix_fallocate(fd.get(), 0, off_t(kHeaderBytes)); err != 0) {
        errno = err;
        return failErrno(KIV_ERROR_NO_MEMORY, std::string("allocate in ") + kDir);
    }
    Mapping map = mapShared(fd.get(), size_t(kHeaderBytes), true);
    if (!map) return failErrno(KIV_ERROR_IO, "mmap");
    uint8_t *p = map.data();
    store<uint16_t>(p, off::version, kLayoutVersion);
    store<uint16_t>(p, off::headerBytes, uint16_t(kHeaderBytes));
    store<uint64_t>(p, off::ownerPid, uint64_t(::getpid()));
    store<uint64_t>(p, off::generation, 1);
    store<uint32_t>(p, off::flags, kFlagHolds);
    store<uint32_t>(p, off::magic, kMagic, __ATOMIC_RELEASE);
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    name_ = "/" + prefix + randomHex(); // 64 random bits: no other sender's name
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, (kDir + name_).c_str(), AT_SYMLINK_FOLLOW) != 0)
        return failErrno(KIV_ERROR_IO, std::string("link ") + kDir + name_);
    fd_ = std::move(fd);
    map_ = std::move(map);
    capacity_ = 0;
    publish_ = 0;
    return KIV_OK;
}

// One live sender per stream: an open segment beats one still starting, and of
// two starting at once the lower name wins.
int SegmentOwner::elect(const std::string &prefix, int stream) {
    const std::string own = name_.substr(1);
    auto busy = [&](const Rival &r) {
        return fail(KIV_ERROR_BUSY, "stream " + std::to_string(stream) +
                                        " is already sent by another live encoder (pid " + std::to_string(r.pid) + ")");
    };
    for (const Rival &r : rivals(prefix, own))
        if (r.state == State::Open || r.name < own) return busy(r);
    store<uint32_t>(map_.data(), off::state, uint32_t(State::Open), __ATOMIC_RELEASE);
    // A lower-named sender that looked before we were open may be opening too:
    // wait for it to decide (it is between two looks).
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);;) {
        bool pending = false;
        for (const Rival &r : rivals(prefix, own)) {
            if (r.name > own) continue;
            if (r.state == State::Open) return busy(r);
            pending = true;
        }
        if (!pending) return KIV_OK;
        if (std::chrono::steady_clock::now() >= end) return fail(KIV_ERROR_BUSY, "stream " + std::to_string(stream) + " is being taken by another encoder");
        ::usleep(1000);
    }
}

// A new layout with bigger slots. The file only grows: a reader may still map
// any part of it.
int SegmentOwner::grow(uint64_t slotBytes) {
    const uint64_t capacity = (slotBytes + 4095) & ~uint64_t{4095};
    const uint64_t size = kHeaderBytes + kSlotCount * capacity;
    if (capacity > kMaxSlotBytes || size > kMaxSegmentBytes) return fail(KIV_ERROR_TOO_LARGE, "frame too large");
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return failErrno(KIV_ERROR_IO, "fstat " + name_);
    const uint64_t fileSize = std::max<uint64_t>(uint64_t(st.st_size), size);
    if (uint64_t(st.st_size) < size) {
        // Reserved up front: a full /dev/shm is an error here, not a SIGBUS later.
        if (const int err = ::posix_fallocate(fd_.get(), 0, off_t(size)); err != 0) {
            errno = err;
            return failErrno(KIV_ERROR_NO_MEMORY, "grow " + name_ + " to " + std::to_string(size) + " bytes");
        }
    }
    if (fileSize > map_.size()) {
        Mapping bigger = mapShared(fd_.get(), size_t(fileSize), true);
        if (!bigger) return failErrno(KIV_ERROR_NO_MEMORY, "mmap " + name_);
        map_ = std::move(bigger);
    }
    uint8_t *p = map_.data();
    for (uint32_t i = 0; i != kMaxSlots; ++i) {
        store<uint64_t>(p, slotAt(i, off::slotSeq), load<uint64_t>(p, slotAt(i, off::slotSeq)) | 1);
    }
    // Every slot is odd now, so no new hold comes; the new layout may overlap
    // the old slots, so it waits until the last held one is let go.
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    for (uint32_t i = 0; i != kMaxSlots; ++i)
        if (!unheld(i)) return KIV_ERROR_BUSY; // not a failure: the frame is dropped, as when every slot is held
    store<uint64_t>(p, off::latest, 0);
    for (uint32_t i = 0; i != kSlotCount; ++i) {
        store<uint64_t>(p, slotAt(i, off::slotOffset), kHeaderBytes + i * capacity);
        store<uint64_t>(p, slotAt(i, off::slotCapacity), capacity);
        store<uint64_t>(p, slotAt(i, off::slotPublish), 0);
    }
    store<uint32_t>(p, off::slotCount, kSlotCount);
    store<uint64_t>(p, off::generation, load<uint64_t>(p, off::generation) + 1, __ATOMIC_RELEASE);
    capacity_ = capacity;
    return KIV_OK;
}

// Odd before the holds are read: a reader that sets its bit after that read
// finds the sequence moved and lets go (see holdSlot()).
bool SegmentOwner::claimSlot(uint32_t index) {
    uint8_t *p = map_.data();
    const uint64_t seq = load<uint64_t>(p, slotAt(index, off::slotSeq));
    if (!(seq & 1)) store<uint64_t>(p, slotAt(index, off::slotSeq), seq + 1);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (unheld(index)) return true;
    // Untouched: the old number tells readers that began before that nothing changed.
    if (!(seq & 1)) store<uint64_t>(p, slotAt(index, off::slotSeq), seq, __ATOMIC_RELEASE);
    return false;
}

// Clears the holds of dead readers on slot `index`; true if none is left.
bool SegmentOwner::unheld(uint32_t index) {
    uint64_t *holds = holdsOf(map_.data(), index);
    for (uint64_t m = __atomic_load_n(holds, __ATOMIC_ACQUIRE); m; m &= m - 1) {
        const uint32_t row = uint32_t(__builtin_ctzll(m));
        if (!readerAlive(fd_.get(), row)) __atomic_fetch_and(holds, ~(uint64_t{1} << row), __ATOMIC_RELAXED);
    }
    return __atomic_load_n(holds, __ATOMIC_ACQUIRE) == 0;
}

int SegmentOwner::beginFrame(uint64_t bytes, std::span<uint8_t> &slot) {
    if (!map_) return fail(KIV_ERROR_STATE, "no destination set");
    if (bytes > capacity_) {
        if (const int rc = grow(bytes); rc != KIV_OK) return rc;
    }
    for (uint32_t n = 0; n < kSlotCount; ++n) {
        const uint32_t index = (nextSlot_ + n) % kSlotCount;
        if (!claimSlot(index)) continue;
        writing_ = index;
        slot = {map_.data() + kHeaderBytes + index * capacity_, size_t(bytes)};
        return KIV_OK;
    }
    return KIV_ERROR_BUSY;
}

void SegmentOwner::commitFrame() {
    uint8_t *p = map_.data();
    store<uint64_t>(p, slotAt(writing_, off::slotPublish), ++publish_);
    store<uint64_t>(p, slotAt(writing_, off::slotSeq), load<uint64_t>(p, slotAt(writing_, off::slotSeq)) + 1, __ATOMIC_RELEASE);
    store<uint64_t>(p, off::latest, packLatest(publish_, writing_), __ATOMIC_RELEASE);
    __atomic_add_fetch(reinterpret_cast<uint32_t *>(p + off::signal), 1, __ATOMIC_RELEASE);
    wakeAll(p);
    nextSlot_ = (writing_ + 1) % kSlotCount;
}

void SegmentOwner::close() {
    if (!map_) return;
    ::shm_unlink(name_.c_str());
    store<uint32_t>(map_.data(), off::state, uint32_t(State::Closed), __ATOMIC_RELEASE);
    __atomic_add_fetch(reinterpret_cast<uint32_t *>(map_.data() + off::signal), 1, __ATOMIC_RELEASE);
    wakeAll(map_.data());
    map_.reset();
    fd_.reset(); // drops the lock
}

} // namespace kiv::shm
