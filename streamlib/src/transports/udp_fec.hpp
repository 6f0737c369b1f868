// SPDX-License-Identifier: MIT
// Loss protection for UDP frames: the data fragments of a frame are dealt into
// interleaved Reed-Solomon blocks (fragment i goes to block i % blocks), and
// every block gets `parityPerBlock` parity fragments of the same length. Any
// `k` of a block's k + parity fragments rebuild its data, so a burst of lost
// consecutive datagrams costs each block only a few.
//
// The Galois-field arithmetic is Intel ISA-L's (Cauchy matrix, SIMD encode).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kiv::udp {

// GF(2^8) bounds a block to 255 fragments, data and parity together.
inline constexpr unsigned kMaxBlockFragments = 255;
// Data fragments per block a sender aims for: large blocks ride out random loss,
// enough blocks spread a burst, and the encoding work grows with the block.
inline constexpr unsigned kTargetBlockData = 60;
inline constexpr int kDefaultFecPercent = 10;
// Smallest block a receiver takes, unless the frame itself is smaller.
inline constexpr uint32_t kMinBlockData = 16;

struct FecLayout {
    uint32_t dataCount = 0;     // data fragments of the frame
    uint32_t blocks = 0;        // 0 when the frame travels unprotected
    uint8_t maxBlockData = 0;   // data fragments of the largest block (on the wire)
    uint8_t parityPerBlock = 0; // on the wire

    bool protectedFrame() const { return blocks != 0; }
    uint32_t parityCount() const { return blocks * parityPerBlock; }
    uint32_t blockOfData(uint32_t index) const { return index % blocks; }
    uint32_t blockOfParity(uint32_t parity) const { return parity % blocks; }
    uint32_t dataInBlock(uint32_t block) const {
        return dataCount / blocks + (block < dataCount % blocks ? 1 : 0);
    }
};

// The parity a receiver's loss (a share of its datagrams, 0..1) asks for. With
// repair behind it, 1.5 times the loss plus 2 points leaves little to ask for; a
// receiver on parity alone needs 2.5 times plus 5 to lose few frames (60-fragment blocks).
inline int parityPercentForLoss(double loss, bool parityOnly) {
    return int(std::ceil(parityOnly ? loss * 250 + 5 : loss * 150 + 2));
}

// The layout a sender uses for `dataCount` fragments at `percent` redundancy
// (0 = unprotected, at most 100): at least one parity fragment per block.
FecLayout chooseLayout(uint32_t dataCount, int percent);

// The layout described by the wire fields; false when they are inconsistent
// (parity 0 with data > 0 means unprotected and is not an error).
bool layoutFromWire(uint32_t dataCount, uint8_t maxBlockData, uint8_t parityPerBlock, FecLayout &out);

// Reed-Solomon coding of interleaved blocks of `chunk`-byte fragments. The
// tables for each block size are built once and kept.
class BlockCoder {
public:
    // Fills parity fragment p of every block at `parity` + p * chunk, from the
    // frame's bytes (the short last fragment is padded with zeros). Returns the
    // frameChecksum() of `frame`. With `copyTo` (room for frame.size() bytes),
    // the frame is copied there too. All of it in one pass, fragment by
    // fragment: each further pass would read a big frame from memory again.
    uint32_t encode(const FecLayout &layout, size_t chunk, std::span<const uint8_t> frame, std::span<uint8_t> parity,
                    uint8_t *copyTo = nullptr);

    // Rebuilds the missing data rows of one block of k data and m parity rows.
    // rows[r] is the chunk-byte storage of row r (data rows first), present[r]
    // says whether it arrived; missing data rows are written. Needs at least k
    // present rows; false otherwise.
    bool rebuild(unsigned k, unsigned m, size_t chunk, std::span<uint8_t *const> rows, std::span<const bool> present);

private:
    struct Tables {
        unsigned k = 0, m = 0;
        std::vector<uint8_t> matrix; // (k + m) x k, identity on top
        std::vector<uint8_t> encodeTables;
    };
    const Tables &tablesFor(unsigned k, unsigned m);

    std::vector<Tables> tables_;
    std::vector<uint8_t> padded_, decodeMatrix_, inverse_, decodeTables_;
    std::vector<uint8_t *> sources_, targets_;
};

// CRC-32C of a frame's bytes, carried with protected frames so that a rebuilt
// frame is checked before it is delivered. `previous` chains it: the checksum
// of a + b is frameChecksum(b, frameChecksum(a)).
inline constexpr uint32_t kChecksumStart = 0xffffffffu;
uint32_t frameChecksum(std::span<const uint8_t> bytes, uint32_t previous = kChecksumStart);

} // namespace kiv::udp
