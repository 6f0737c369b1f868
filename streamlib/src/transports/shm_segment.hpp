// SPDX-License-Identifier: MIT
// The shared-memory segment behind "Local (Memory)": one per sender, named
// "/kivvs2-<uid>-<stream>-<16 random hex digits>" so that no other user can
// take the name first (/dev/shm is world-writable). Receivers find it by that
// prefix. The sender holds a write lock (OFD) on it for its whole life: an
// unlocked segment is a dead sender's (its lock covers the bytes below
// kReaderLockBase; the file is far smaller).
//
// Layout (native byte order; both ends run on one machine), 4096-byte header page:
//    0 magic u32 "KIVM"       4 layout version u16   6 header bytes u16 (4096)
//    8 signal u32 (futex)    12 state u32            16 owner pid u64
//   24 generation u64        32 latest u64: publish number << 8 | slot index, 0 = none
//   40 slot count u32        44 flags u32 (kFlagHolds; 0 from older senders)
//   48 slot descriptors, 32 bytes each: seq u64 (odd while written), offset u64,
//      capacity u64, publish number u64
//  512 holds, u64 per slot: bit i set while reader i holds the slot
// A slot holds a 48-byte wire header followed by the payload.
//
// With kFlagHolds a reader may read a slot in place instead of copying it:
// it becomes reader i (of kMaxReaders) by holding an OFD read lock on byte
// kReaderLockBase + i that no one else holds, then sets its bit in a slot's
// hold mask and checks that the slot's sequence did not move. The sender makes a slot's
// sequence odd before it checks the mask, so one of the two always sees the
// other; it skips a held slot and never waits. Bits of a reader whose lock
// is gone are a dead reader's, and the sender clears them.
//
// Every value read from a segment was written by another process and is checked
// before use: the functions below take the mapping as plain bytes, so the
// checks can be fuzzed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../util/unique_fd.hpp"
#include "../wire.hpp"

namespace kiv::shm {

inline constexpr uint32_t kMagic = 0x4d56494b; // "KIVM" in memory
inline constexpr uint16_t kLayoutVersion = 1;
inline constexpr uint64_t kHeaderBytes = 4096;
inline constexpr uint32_t kMaxSlots = 8;
inline constexpr uint32_t kSlotCount = 4; // what a sender lays out: readers get 3 frames of slack
inline constexpr uint64_t kMaxSlotBytes = kWireHeaderSize + KIV_MAX_FRAME_BYTES + 4096;
inline constexpr uint64_t kMaxSegmentBytes = kHeaderBytes + kMaxSlots * kMaxSlotBytes;
inline constexpr uint32_t kFlagHolds = 1; // the sender skips held slots
inline constexpr uint32_t kMaxReaders = 64; // one bit each in a hold mask
inline constexpr off_t kReaderLockBase = off_t(1) << 40;

namespace off {
inline constexpr size_t magic = 0, version = 4, headerBytes = 6, signal = 8, state = 12, ownerPid = 16,
                        generation = 24, latest = 32, slotCount = 40, flags = 44, slots = 48, slotStride = 32,
                        holds = 512;
inline constexpr size_t slotSeq = 0, slotOffset = 8, slotCapacity = 16, slotPublish = 24;
} // namespace off
static_assert(off::slots + kMaxSlots * off::slotStride <= off::holds);
static_assert(off::holds + kMaxSlots * 8 <= kHeaderBytes);

enum class State : uint32_t { Initialising = 0, Open = 1, Closed = 2 };

inline uint64_t packLatest(uint64_t publish, uint32_t slot) { return (publish << 8) | slot; }
inline uint64_t latestPublish(uint64_t latest) { return latest >> 8; }
inline uint32_t latestSlot(uint64_t latest) { return uint32_t(latest & 0xff); }

inline constexpr const char *kDir = "/dev/shm";

// "kivvs2-<uid>-<stream>-": built from numbers only; the start of the name of
// every segment of that stream, as it appears in kDir.
std::string segmentPrefix(uid_t uid, int stream);

// A file under a stream's prefix that belongs to the effective user, opened
// read-only; another user's files, directories and the like are left out.
struct SegmentFile {
    std::string name; // without the directory
    UniqueFd fd;
    struct stat st;
};
// In name order.
std::vector<SegmentFile> listSegments(const std::string &prefix);

// Whether a sender still holds the segment open as `fd` (any open mode).
bool writerAlive(int fd);

enum class HeaderCheck {
    Ok,
    NotReady,    // all zero or shorter than a header page: a sender is still setting it up
    BadMagic,
    BadVersion,
    BadHeaderSize,
    BadSlotCount,
};

struct HeaderSnapshot {
    uint32_t signal = 0;
    State state = State::Initialising;
    uint64_t latest = 0;
    uint32_t slotCount = 0;
    uint32_t flags = 0;
};

// Reads and checks the fixed part of the header. `map` must be 8-byte aligned.
HeaderCheck checkHeader(std::span<const uint8_t> map, HeaderSnapshot &out);

enum class SlotCopy {
    Ok,
    Busy,       // being written, or rewritten while we copied: try the newest again
    OutOfMap,   // the slot lies beyond our mapping: the segment grew, map it again
    Malformed,  // a stable slot with bytes that do not form a valid frame
};

// Copies slot `index` under its sequence lock: on Ok, `header` passed
// decodeHeader(), `payload` holds exactly header.payloadSize bytes and
// `publish` is the slot's publish number. `slotCount` comes from checkHeader().
SlotCopy copySlot(std::span<const uint8_t> map, uint32_t slotCount, uint32_t index, WireHeader &header,
                  std::vector<uint8_t> &payload, uint64_t &publish);

// Holds slot `index` for reader `reader` (see the top), so that it can be read
// in place: on Ok `payload` points into `map` at exactly header.payloadSize
// bytes, which the sender leaves alone until releaseSlot(). `control` is the
// header page mapped writable, `map` the same segment mapped for reading.
// Anything but Ok leaves the slot unheld.
SlotCopy holdSlot(std::span<const uint8_t> map, uint8_t *control, uint32_t slotCount, uint32_t index, uint32_t reader,
                  WireHeader &header, std::span<const uint8_t> &payload, uint64_t &publish);
void releaseSlot(uint8_t *control, uint32_t index, uint32_t reader);

// The stable slot with the lowest publish number in [from, latest), where a
// reader that is behind goes on; false (nothing changed) when there is none.
bool findSlot(std::span<const uint8_t> map, uint32_t slotCount, uint64_t from, uint32_t &index, uint64_t &publish);

// Move-only owner of a mapping.
class Mapping {
public:
    Mapping() = default;
    Mapping(void *base, size_t size) : base_(base), size_(size) {}
    Mapping(Mapping &&other) noexcept;
    Mapping &operator=(Mapping other) noexcept;
    Mapping(const Mapping &) = delete;
    ~Mapping() { reset(); }

    void reset();
    uint8_t *data() const { return static_cast<uint8_t *>(base_); }
    size_t size() const { return size_; }
    explicit operator bool() const { return base_ != nullptr; }

private:
    void swap(Mapping &other) noexcept;

    void *base_ = nullptr;
    size_t size_ = 0;
};

// memcpy for a frame going into a slot: one bigger than kStreamingCopyBytes
// bypasses the cache on its way, since a reader on another core reads it from
// memory anyway, and the slots and the caller's frames together outgrow the
// cache. Either pointer may be NULL when `bytes` is 0.
inline constexpr size_t kStreamingCopyBytes = 2 << 20;
void copyIntoSlot(uint8_t *slot, const uint8_t *frame, size_t bytes);

// Maps `size` bytes of `fd` shared; empty on failure.
Mapping mapShared(int fd, size_t size, bool writable);

// A reader's number in a segment (its row of lock bytes): taken on
// construction if one is free or its reader dead, given up on destruction.
// Holds left over then are cleared by the sender.
class ReaderSeat {
public:
    ReaderSeat() = default;
    // `fd`: the segment opened read-write; the row's lock is taken on it.
    explicit ReaderSeat(UniqueFd fd);

    explicit operator bool() const { return bool(control_); }
    uint8_t *control() const { return control_.data(); }
    uint32_t row() const { return row_; }

private:
    UniqueFd fd_;
    Mapping control_;
    uint32_t row_ = 0;
};

// Whether reader row `row` of the segment open as `fd` has a live reader.
bool readerAlive(int fd, uint32_t row);

// Wakes every process waiting on a segment's signal word.
void wakeAll(const uint8_t *map);
// Sleeps while the signal word still holds `seen`, at most `timeoutUs` (under a second).
void waitSignal(const uint8_t *map, uint32_t seen, int64_t timeoutUs);

// A waiter's own word, which wakeWaiter() bumps from another thread of the process.
// Sleeps while the signal word holds `seen` and `wake` holds `wakeSeen`, at
// most `timeoutUs`. False where the kernel cannot wait on both: then it
// sleeps at most kUnwakeableWaitUs and does not see `wake`.
inline constexpr int64_t kUnwakeableWaitUs = 50'000;
bool waitSignalOrWake(const uint8_t *map, uint32_t seen, const std::atomic<uint32_t> &wake, uint32_t wakeSeen,
                      int64_t timeoutUs);
void wakeWaiter(std::atomic<uint32_t> &wake);
// Sleeps while `wake` holds `wakeSeen`, at most `timeoutUs`.
void sleepOnWake(const std::atomic<uint32_t> &wake, uint32_t wakeSeen, int64_t timeoutUs);

// The sending end: creates its own segment and holds its lock for as long as
// it lives. Of the live senders of a stream one goes on: an open one beats one
// still starting, and of two starting at once the lower name wins.
class SegmentOwner {
public:
    // KIV_OK, KIV_ERROR_BUSY (a live sender holds the stream), KIV_ERROR_NO_MEMORY
    // or KIV_ERROR_IO; details via fail(). Removes dead senders' segments.
    int open(int stream);
    // Marks the segment closed, wakes readers and removes the name.
    void close();
    ~SegmentOwner() { close(); }

    bool isOpen() const { return bool(map_); }

    // A slot for `bytes` bytes (wire header + payload), marked as being written.
    // Grows the segment first when the slot is too small; a held slot is
    // skipped, and a layout change waits (frames fail) until no slot is held.
    // KIV_ERROR_BUSY, with no detail recorded, when every slot is held (or a
    // held one keeps the layout); other failures via fail().
    int beginFrame(uint64_t bytes, std::span<uint8_t> &slot);
    // Publishes the frame begun last and wakes readers.
    void commitFrame();

private:
    int create(const std::string &prefix);
    int elect(const std::string &prefix, int stream);
    int grow(uint64_t slotCapacity);
    bool claimSlot(uint32_t index);
    bool unheld(uint32_t index);

    UniqueFd fd_;
    Mapping map_;
    std::string name_;
    uint64_t capacity_ = 0;  // per slot
    uint32_t nextSlot_ = 0;  // after a layout change any slot may come first: all are empty
    uint32_t writing_ = 0;
    uint64_t publish_ = 0;   // last publish number used
};

} // namespace kiv::shm
