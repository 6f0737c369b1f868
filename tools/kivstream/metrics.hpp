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

class MetricsEndpoint {
public:
    // Serves on "[ADDR:]PORT", loopback unless ADDR is given; nullptr with
    // `why` set when it cannot (a port in use, a bad address). `role` is
    // "receiver" or "sender": each has metrics of its own.
    static std::unique_ptr<MetricsEndpoint> start(const QString &where, const QString &transport, int stream,
                                                  const QString &role, QString &why);
    virtual ~MetricsEndpoint() = default;
    // Where it listens, as "ADDR:PORT".
    virtual QString address() const = 0;

    // A frame handed to the reader: counted and its latency observed (us, when known).
    virtual void frameReceived(uint64_t imageBytes, uint64_t transferBytes, std::optional<int64_t> latencyUs) = 0;
    virtual void frameCorrupt() = 0;
    // The library's cumulative counters, as they stand.
    virtual void decoderCounters(const kivDecoderStats &d, const std::optional<kivLossStats> &loss,
                                 const std::optional<kivRepairStats> &repair) = 0;
    // A sender's: its counters, its link state (KIV_LINK_*) and, over UDP, its pace.
    virtual void encoderCounters(const kivEncoderStats &e, int link, const std::optional<kivUdpSenderStats> &udp) = 0;
};

// The endpoint --metrics asks for, started before the stream so that a port in
// use stops the run first; says where it listens on stderr. Empty without
// --metrics; false when it cannot start (and says why).
bool startMetrics(const Options &o, const QString &role, std::unique_ptr<MetricsEndpoint> &out);

} // namespace kivstream
