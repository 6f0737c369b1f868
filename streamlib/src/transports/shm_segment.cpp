#include "shm_segment.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
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
size_t slotAt(uint32_t index) { return off::slots + size_t(index) * off::slotStride; }

bool sameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether `name` still names the file open as `fd`: a lock taken on a file
// that was unlinked or replaced meanwhile protects nothing.
bool nameRefersTo(const std::string &name, int fd) {
    UniqueFd again(::shm_open(name.c_str(), O_RDONLY, 0));
    struct stat a {}, b {};
    return again && ::fstat(fd, &a) == 0 && ::fstat(again.get(), &b) == 0 && sameFile(a, b);
}

} // namespace

std::string segmentName(uid_t uid, int stream) {
    return "/kivvs2-" + std::to_string(uint64_t(uid)) + "-" + std::to_string(stream);
}

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
    s.generation = load<uint64_t>(p, off::generation);
    s.slotCount = load<uint32_t>(p, off::slotCount);
    if (s.slotCount > kMaxSlots) return HeaderCheck::BadSlotCount;
    out = s;
    return HeaderCheck::Ok;
}

SlotCopy copySlot(std::span<const uint8_t> map, uint32_t slotCount, uint32_t index, WireHeader &header,
                  std::vector<uint8_t> &payload, uint64_t &publish) {
    if (map.size() < kHeaderBytes || index >= slotCount || index >= kMaxSlots) return SlotCopy::Malformed;
    const uint8_t *p = map.data();
    const size_t d = slotAt(index);
    const uint64_t seq = load<uint64_t>(p, d + off::slotSeq, __ATOMIC_ACQUIRE);
    if (seq & 1) return SlotCopy::Busy;
    const uint64_t at = load<uint64_t>(p, d + off::slotOffset);
    const uint64_t capacity = load<uint64_t>(p, d + off::slotCapacity);
    const uint64_t number = load<uint64_t>(p, d + off::slotPublish);
    auto unchanged = [&] {
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        return load<uint64_t>(p, d + off::slotSeq) == seq;
    };
    if (at < kHeaderBytes || at % 8 != 0 || capacity < kWireHeaderSize || capacity > kMaxSlotBytes)
        return unchanged() ? SlotCopy::Malformed : SlotCopy::Busy;
    if (at > map.size() || capacity > map.size() - at) return unchanged() ? SlotCopy::OutOfMap : SlotCopy::Busy;

    // The copies may race with the sender; the sequence check after each one
    // throws away whatever it overlapped.
    uint8_t raw[kWireHeaderSize];
    std::memcpy(raw, p + at, sizeof raw);
    if (!unchanged()) return SlotCopy::Busy;
    WireHeader h;
    if (decodeHeader(raw, h) != WireError::None || h.payloadSize > capacity - kWireHeaderSize)
        return SlotCopy::Malformed;
    payload.resize(h.payloadSize);
    if (h.payloadSize) std::memcpy(payload.data(), p + at + kWireHeaderSize, h.payloadSize);
    if (!unchanged()) return SlotCopy::Busy;
    header = h;
    publish = number;
    return SlotCopy::Ok;
}

Mapping::Mapping(Mapping &&other) noexcept : base_(other.base_), size_(other.size_) {
    other.base_ = nullptr;
    other.size_ = 0;
}

Mapping &Mapping::operator=(Mapping &&other) noexcept {
    if (this != &other) {
        reset();
        base_ = other.base_;
        size_ = other.size_;
        other.base_ = nullptr;
        other.size_ = 0;
    }
    return *this;
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
    const timespec ts{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000};
    ::syscall(SYS_futex, map + off::signal, FUTEX_WAIT, seen, &ts, nullptr, 0);
}

int SegmentOwner::open(int stream) {
    close();
    name_ = segmentName(::geteuid(), stream);
    for (int attempt = 0; attempt < 8; ++attempt) {
        bool retry = false;
        const int rc = openOnce(stream, retry);
        if (!retry) return rc;
    }
    return fail(KIV_ERROR_BUSY, "shared memory " + name_ + " keeps changing hands; try again");
}

int SegmentOwner::openOnce(int stream, bool &retry) {
    UniqueFd fd(::shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600));
    if (!fd) {
        if (errno == EACCES) return failErrno(KIV_ERROR_PERMISSION, "shared memory " + name_);
        return failErrno(KIV_ERROR_IO, "shm_open " + name_);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failErrno(KIV_ERROR_IO, "fstat " + name_);
    if (st.st_uid != ::geteuid())
        return fail(KIV_ERROR_PERMISSION, "shared memory " + name_ + " belongs to uid " + std::to_string(st.st_uid));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return failErrno(KIV_ERROR_IO, "flock " + name_);
        std::string who;
        uint8_t head[off::ownerPid + 8] = {};
        if (::pread(fd.get(), head, sizeof head, 0) == ssize_t(sizeof head) && load<uint32_t>(head, off::magic) == kMagic)
            who = " (pid " + std::to_string(load<uint64_t>(head, off::ownerPid)) + ")";
        return fail(KIV_ERROR_BUSY, "stream " + std::to_string(stream) + " is already sent by another live encoder" + who);
    }
    if (!nameRefersTo(name_, fd.get())) {
        retry = true; // its sender closed it between our open and our lock
        return KIV_ERROR_BUSY;
    }
    if (uint64_t(st.st_size) > kMaxSegmentBytes) {
        // Stale and larger than any reader maps: nobody reads it, start afresh.
        ::shm_unlink(name_.c_str());
        retry = true;
        return KIV_ERROR_BUSY;
    }
    if ((st.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0)
        return failErrno(KIV_ERROR_PERMISSION, "fchmod " + name_);
    uint64_t size = uint64_t(st.st_size);
    if (size < kHeaderBytes) {
        if (const int err = ::posix_fallocate(fd.get(), 0, off_t(kHeaderBytes)); err != 0) {
            errno = err;
            return failErrno(KIV_ERROR_NO_MEMORY, "allocate " + name_);
        }
        size = kHeaderBytes;
    }
    Mapping map = mapShared(fd.get(), size_t(size), true);
    if (!map) return failErrno(KIV_ERROR_IO, "mmap " + name_);
    fd_ = std::move(fd);
    map_ = std::move(map);
    takeOver();
    return KIV_OK;
}

// Claims the segment for this sender, whether new, left by a dead sender, or
// garbage. Readers may still map it: every slot is made odd before its
// descriptor changes, and the publish numbers and sequences only move forward.
void SegmentOwner::takeOver() {
    uint8_t *p = map_.data();
    HeaderSnapshot old;
    const bool valid = checkHeader({p, map_.size()}, old) == HeaderCheck::Ok;
    publish_ = valid ? latestPublish(old.latest) : 0;
    for (uint32_t i = 0; i < kMaxSlots; ++i) {
        const size_t d = slotAt(i);
        if (valid) publish_ = std::max(publish_, load<uint64_t>(p, d + off::slotPublish));
        store<uint64_t>(p, d + off::slotSeq, (load<uint64_t>(p, d + off::slotSeq) + 2) | 1);
    }
    publish_ &= (uint64_t{1} << 55) - 1; // room for packLatest(); garbage can hold anything
    __atomic_thread_fence(__ATOMIC_RELEASE);
    for (uint32_t i = 0; i < kMaxSlots; ++i) {
        const size_t d = slotAt(i);
        store<uint64_t>(p, d + off::slotOffset, 0);
        store<uint64_t>(p, d + off::slotCapacity, 0);
        store<uint64_t>(p, d + off::slotPublish, 0);
    }
    store<uint64_t>(p, off::latest, 0);
    store<uint32_t>(p, off::slotCount, 0);
    store<uint16_t>(p, off::version, kLayoutVersion);
    store<uint16_t>(p, off::headerBytes, uint16_t(kHeaderBytes));
    store<uint64_t>(p, off::ownerPid, uint64_t(::getpid()));
    store<uint64_t>(p, off::generation, (valid ? old.generation : 0) + 1);
    store<uint32_t>(p, off::state, uint32_t(State::Open));
    store<uint32_t>(p, off::magic, kMagic, __ATOMIC_RELEASE);
    __atomic_add_fetch(reinterpret_cast<uint32_t *>(p + off::signal), 1, __ATOMIC_RELEASE);
    wakeAll(p);
    capacity_ = 0;
    nextSlot_ = 0;
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
    for (uint32_t i = 0; i < kMaxSlots; ++i) {
        const size_t d = slotAt(i);
        store<uint64_t>(p, d + off::slotSeq, load<uint64_t>(p, d + off::slotSeq) | 1);
    }
    __atomic_thread_fence(__ATOMIC_RELEASE);
    store<uint64_t>(p, off::latest, 0);
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        const size_t d = slotAt(i);
        store<uint64_t>(p, d + off::slotOffset, kHeaderBytes + i * capacity);
        store<uint64_t>(p, d + off::slotCapacity, capacity);
        store<uint64_t>(p, d + off::slotPublish, 0);
    }
    store<uint32_t>(p, off::slotCount, kSlotCount);
    store<uint64_t>(p, off::generation, load<uint64_t>(p, off::generation) + 1, __ATOMIC_RELEASE);
    capacity_ = capacity;
    nextSlot_ = 0;
    return KIV_OK;
}

std::span<uint8_t> SegmentOwner::beginFrame(uint64_t bytes) {
    if (!map_) return {};
    if (bytes > capacity_ && grow(bytes) != KIV_OK) return {};
    uint8_t *p = map_.data();
    writing_ = nextSlot_;
    const size_t d = slotAt(writing_);
    const uint64_t seq = load<uint64_t>(p, d + off::slotSeq);
    if (!(seq & 1)) {
        store<uint64_t>(p, d + off::slotSeq, seq + 1);
        __atomic_thread_fence(__ATOMIC_RELEASE);
    }
    return {p + kHeaderBytes + writing_ * capacity_, size_t(bytes)};
}

void SegmentOwner::commitFrame() {
    uint8_t *p = map_.data();
    const size_t d = slotAt(writing_);
    store<uint64_t>(p, d + off::slotPublish, ++publish_);
    store<uint64_t>(p, d + off::slotSeq, load<uint64_t>(p, d + off::slotSeq) + 1, __ATOMIC_RELEASE);
    store<uint64_t>(p, off::latest, packLatest(publish_, writing_), __ATOMIC_RELEASE);
    __atomic_add_fetch(reinterpret_cast<uint32_t *>(p + off::signal), 1, __ATOMIC_RELEASE);
    wakeAll(p);
    nextSlot_ = (writing_ + 1) % kSlotCount;
}

void SegmentOwner::close() {
    if (!map_) return;
    // Only the owner removes the name, and only while it still names our file.
    if (nameRefersTo(name_, fd_.get())) ::shm_unlink(name_.c_str());
    store<uint32_t>(map_.data(), off::state, uint32_t(State::Closed), __ATOMIC_RELEASE);
    __atomic_add_fetch(reinterpret_cast<uint32_t *>(map_.data() + off::signal), 1, __ATOMIC_RELEASE);
    wakeAll(map_.data());
    map_.reset();
    fd_.reset(); // drops the lock
}

} // namespace kiv::shm
