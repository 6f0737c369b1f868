// SPDX-License-Identifier: MIT
// Prometheus metrics of a kivstream end, served on /metrics (docs/metrics.md).
// Lives beside kivstream: the library itself knows nothing of HTTP.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

#include "kivVidStreamLib2.h"
#include "options.hpp"

namespace kivstream {

// One stream end's metrics, under its labels. Ends that share labels share
// the series: what they count adds up. Each end follows its own decoder's or
// encoder's cumulative counters, so call it from one thread at a time.
class StreamMetrics {
public:
    virtual ~StreamMetrics() = default;
    // A frame handed to the reader at `receivedUs` (wall clock): counted, and
    // its latency observed when the sender stamped its send time.
    virtual void frameReceived(const kivFrameInfo &info, int64_t receivedUs) = 0;
    virtual void frameCorrupt() = 0;
    // The library's cumulative counters, as they stand.
    virtual void decoderCounters(const kivDecoderStats &d, const std::optional<kivLossStats> &loss,
                                 const std::optional<kivRepairStats> &repair) = 0;
    // A sender's: its counters, its link state (KIV_LINK_*) and, over UDP, its pace.
    virtual void encoderCounters(const kivEncoderStats &e, int link, const std::optional<kivUdpSenderStats> &udp) = 0;
};

class MetricsEndpoint {
public:
    // Serves on "[ADDR:]PORT", loopback unless ADDR is given; nullptr with
    // `why` set when it cannot (a port in use, a bad address).
    static std::unique_ptr<MetricsEndpoint> start(const QString &where, QString &why);
    virtual ~MetricsEndpoint() = default;
    // Where it listens, as "ADDR:PORT".
    virtual QString address() const = 0;
    // The metrics of one end, labelled transport, stream and role ("receiver"
    // or "sender": each has metrics of its own). It counts in
    // kivstream_streams_open while it lives. Thread-safe; the endpoint must
    // outlive it.
    virtual std::unique_ptr<StreamMetrics> stream(const QString &transport, const QString &stream, const QString &role) = 0;
};

// The endpoint --metrics asks for, started before any stream so that a port in
// use stops the run first; says where it listens on stderr. Empty without
// --metrics; false when it cannot start (and says why).
bool startMetrics(const QString &where, std::unique_ptr<MetricsEndpoint> &out);

// The library's counters of a decoder or an encoder, read and handed on.
void publishDecoder(StreamMetrics &m, kivDecoder *dec);
void publishEncoder(StreamMetrics &m, kivEncoder *enc);

} // namespace kivstream
