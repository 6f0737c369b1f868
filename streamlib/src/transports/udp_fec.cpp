// SPDX-License-Identifier: MIT
#include "udp_fec.hpp"

#include <isa-l/crc.h>
#include <isa-l/erasure_code.h>

#include <algorithm>
#include <cstring>

namespace kiv::udp {
namespace {
uint32_t ceilDiv(uint32_t a, uint32_t b) { return a / b + (a % b ? 1 : 0); }
// Tables kept per coder: a hostile stream could otherwise make one for every block shape.
constexpr size_t kMaxTables = 8;
} // namespace

FecLayout chooseLayout(uint32_t dataCount, int percent) {
    FecLayout l;
    l.dataCount = dataCount;
    if (percent <= 0 || dataCount == 0) return l;
    l.blocks = ceilDiv(dataCount, kTargetBlockData);
    const uint32_t maxData = ceilDiv(dataCount, l.blocks);
    const uint32_t parity = std::clamp<uint32_t>(ceilDiv(uint32_t(percent) * maxData, 100), 1, maxData);
    l.maxBlockData = uint8_t(maxData);
    l.parityPerBlock = uint8_t(parity);
    return l;
}

bool layoutFromWire(uint32_t dataCount, uint8_t maxBlockData, uint8_t parityPerBlock, FecLayout &out) {
    out = {};
    out.dataCount = dataCount;
    if (parityPerBlock == 0) return maxBlockData == 0;
    if (dataCount == 0 || parityPerBlock > maxBlockData ||
        unsigned(maxBlockData) + parityPerBlock > kMaxBlockFragments)
        return false;
    // Blocks of at least kMinBlockData fragments (or the whole frame): per-block
    // state then costs less than the fragment bitmap.
    if (maxBlockData < std::min(dataCount, kMinBlockData)) return false;
    const uint32_t blocks = ceilDiv(dataCount, maxBlockData);
    // Only the form a sender writes: the largest block holds exactly maxBlockData.
    if (ceilDiv(dataCount, blocks) != maxBlockData) return false;
    out.blocks = blocks;
    out.maxBlockData = maxBlockData;
    out.parityPerBlock = parityPerBlock;
    return true;
}

const BlockCoder::Tables &BlockCoder::tablesFor(unsigned k, unsigned m) {
    for (const Tables &t : tables_)
        if (t.k == k && t.m == m) return t;
    if (tables_.size() >= kMaxTables) tables_.erase(tables_.begin());
    Tables t{k, m, std::vector<uint8_t>(size_t(k + m) * k), std::vector<uint8_t>(size_t(32) * k * m)};
    gf_gen_cauchy1_matrix(t.matrix.data(), int(k + m), int(k));
    ec_init_tables(int(k), int(m), t.matrix.data() + size_t(k) * k, t.encodeTables.data());
    tables_.push_back(std::move(t));
    return tables_.back();
}

uint32_t BlockCoder::encode(const FecLayout &layout, size_t chunk, std::span<const uint8_t> frame,
                            std::span<uint8_t> parity, uint8_t *copyTo) {
    const bool protect = layout.protectedFrame();
    const uint32_t blocks = layout.blocks, m = layout.parityPerBlock;
    // The last fragment is usually short; the code works on whole chunks.
    const uint32_t last = layout.dataCount - 1;
    const size_t lastOffset = size_t(last) * chunk;
    const size_t lastLength = frame.size() > lastOffset ? std::min(chunk, frame.size() - lastOffset) : 0;
    if (protect) {
        padded_.assign(chunk, 0);
        if (lastLength) std::memcpy(padded_.data(), frame.data() + lastOffset, lastLength);
        std::fill(parity.begin(), parity.begin() + std::ptrdiff_t(size_t(layout.parityCount()) * chunk), uint8_t(0));
    }

    // Fed one data fragment at a time in frame order: the frame is read once,
    // front to back, while the parity it builds stays in cache. Block by block,
    // each pass gathered fragments strewn over the whole frame and ran at the
    // speed of memory latency, a third of the sender's time on big frames.
    uint32_t checksum = kChecksumStart;
    for (uint32_t i = 0; i < layout.dataCount; ++i) {
        const size_t offset = size_t(i) * chunk;
        const size_t length = i == last ? lastLength : chunk;
        const uint8_t *bytes = frame.data() + offset;
        if (copyTo && length) bytes = static_cast<const uint8_t *>(std::memcpy(copyTo + offset, bytes, length));
        checksum = frameChecksum({bytes, length}, checksum);
        if (!protect) continue;
        const uint32_t b = layout.blockOfData(i);
        targets_.clear();
        for (unsigned j = 0; j < m; ++j) targets_.push_back(parity.data() + (size_t(j) * blocks + b) * chunk);
        const Tables &t = tablesFor(layout.dataInBlock(b), m);
        const uint8_t *source = i == last ? padded_.data() : bytes;
        ec_encode_data_update(int(chunk), int(t.k), int(m), int(i / blocks), const_cast<uint8_t *>(t.encodeTables.data()),
                              const_cast<uint8_t *>(source), targets_.data());
    }
    return checksum;
}

bool BlockCoder::rebuild(unsigned k, unsigned m, size_t chunk, std::span<uint8_t *const> rows,
                         std::span<const bool> present) {
    // No data (k 0) leaves nothing to rebuild, no parity (m 0) nothing to rebuild from: both fall out below.
    if (k + m > kMaxBlockFragments || rows.size() < k + m || present.size() < k + m) return false;
    std::vector<unsigned> missing, data, parity;
    for (unsigned r = 0; r < k; ++r) (present[r] ? data : missing).push_back(r);
    if (missing.empty()) return true;
    for (unsigned j = 0; j < m && parity.size() < missing.size(); ++j)
        if (present[k + j]) parity.push_back(j);
    const unsigned e = unsigned(missing.size());
    if (parity.size() < e) return false;

    // Parity row j is the sum over i of C[j][i] * data_i. Moving the known data
    // to one side leaves e equations in the e missing rows: invert only that
    // e x e part of C, not a k x k matrix.
    const Tables &t = tablesFor(k, m);
    auto coding = [&](unsigned j, unsigned i) { return t.matrix[size_t(k + j) * k + i]; };
    decodeMatrix_.resize(size_t(e) * e);
    for (unsigned a = 0; a < e; ++a)
        for (unsigned b = 0; b < e; ++b) decodeMatrix_[size_t(a) * e + b] = coding(parity[a], missing[b]);
    inverse_.resize(size_t(e) * e);
    if (gf_invert_matrix(decodeMatrix_.data(), inverse_.data(), int(e)) != 0) return false;

    // Sources: the data rows that came, then the parity rows used.
    std::vector<uint8_t> coefficients(size_t(e) * k, 0);
    for (unsigned out = 0; out < e; ++out) {
        uint8_t *row = coefficients.data() + size_t(out) * k;
        for (size_t s = 0; s < data.size(); ++s)
            for (unsigned a = 0; a < e; ++a) row[s] ^= gf_mul(inverse_[size_t(out) * e + a], coding(parity[a], data[s]));
        for (unsigned a = 0; a < e; ++a) row[data.size() + a] = inverse_[size_t(out) * e + a];
    }
    decodeTables_.resize(size_t(32) * k * e);
    ec_init_tables(int(k), int(e), coefficients.data(), decodeTables_.data());
    sources_.clear();
    targets_.clear();
    for (unsigned r : data) sources_.push_back(rows[r]);
    for (unsigned j : parity) sources_.push_back(rows[k + j]);
    for (unsigned r : missing) targets_.push_back(rows[r]);
    ec_encode_data(int(chunk), int(k), int(e), decodeTables_.data(), sources_.data(), targets_.data());
    return true;
}

uint32_t frameChecksum(std::span<const uint8_t> bytes, uint32_t previous) {
    return crc32_iscsi(const_cast<uint8_t *>(bytes.data()), int(bytes.size()), previous);
}

} // namespace kiv::udp
