// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to a serve end's reader and parsers, and to a probe's. A request that parses must encode to a
// line that parses to the same request: nothing in it was misread. Nothing may crash or read out of bounds.
#include <cstdint>
#include <cstdlib>

#include "probe_protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kivstream::probe;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    LineReader reader(kMaxRequestLine);
    // Two reads, split in the middle: a line may arrive in pieces.
    reader.append(bytes.left(bytes.size() / 2));
    reader.append(bytes.mid(bytes.size() / 2));
    QString error;
    while (const auto line = reader.next()) {
        const auto request = parseRequest(*line, error);
        if (!request) continue;
        const QByteArray again = encode(*request);
        const auto back = parseRequest(again.chopped(1), error);
        if (!back || back->index() != request->index() || encode(*back) != again) std::abort();
        if (const auto *start = std::get_if<Start>(&*request)) (void)checkAgainstLimits(start->cell, ServeLimits{});
        if (const auto *send = std::get_if<SendStream>(&*request)) (void)checkRate(send->cell, 1000, ServeLimits{});
    }
    (void)parseReply(bytes, error);
    return 0;
}
