// SPDX-License-Identifier: MIT
#include "metrics.hpp"

#include "common.hpp"

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <QHostAddress>

#include <cmath>
#include <exception>

namespace kivstream {
namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;
using prometheus::Counter;

// Latency buckets from 100 us to 10 s, three a decade.
prometheus::Histogram::BucketBoundaries latencyBuckets() {
    prometheus::Histogram::BucketBoundaries b;
    for (double decade = 1e-4; decade < 10; decade *= 10)
        for (const double step : {1.0, 2.5, 5.0}) b.push_back(decade * step);
    b.push_back(10);
    return b;
}

// A Prometheus counter that follows one of the library's cumulative counters.
struct Follower {
    Counter *counter = nullptr;
    uint64_t seen = 0;
    void follow(uint64_t now) {
        if (now > seen) counter->Increment(double(now - seen));
        seen = now;
    }
};

class Endpoint final : public MetricsEndpoint {
public:
    Endpoint(std::vector<std::string> options, const std::map<std::string, std::string> &labels, bool sender)
        : exposer_(std::move(options)), registry_(std::make_shared<prometheus::Registry>()) {
        const auto counter = [&](const char *name, const char *help) {
            return &BuildCounter().Name(name).Help(help).Register(*registry_).Add(labels);
        };
        const auto gauge = [&](const char *name, const char *help) {
            return &BuildGauge().Name(name).Help(help).Register(*registry_).Add(labels);
        };
        if (sender) {
            encoded_.counter = counter("kivstream_frames_encoded_total", "Frames handed to kivEncode()");
            sent_.counter = counter("kivstream_frames_sent_total", "Frames handed completely to the transport");
            dropped_.counter = counter("kivstream_frames_dropped_total", "Frames replaced before they were sent, or that failed to compress");
            bytesSent_.counter = counter("kivstream_sent_bytes_total", "Payload bytes of the frames sent (compressed size for JPEG)");
            resent_.counter = counter("kivstream_datagrams_resent_total", "UDP datagrams sent again on request");
            link_ = gauge("kivstream_link_state", "0 idle, 1 connecting, 2 up, 3 down (retrying)");
            parity_ = gauge("kivstream_parity_ratio", "UDP parity in use, per datagram of data");
            pace_ = gauge("kivstream_pace_bytes_per_second", "UDP: the rate the newest frame left at");
            exposer_.RegisterCollectable(registry_);
            port_ = exposer_.GetListeningPorts().empty() ? 0 : exposer_.GetListeningPorts().front();
            return;
        }
        framesReceived_ = counter("kivstream_frames_received_total", "Frames handed to the reader");
        framesCorrupt_ = counter("kivstream_frames_corrupt_total", "Frames that failed the check pattern (receive --pattern check)");
        imageBytes_ = counter("kivstream_image_bytes_total", "Uncompressed bytes of the frames received");
        transferBytes_ = counter("kivstream_transfer_bytes_total", "Bytes of the frames received as carried (JPEG compressed)");
        dropped_.counter = counter("kivstream_frames_dropped_total", "Frames overwritten or pushed out before they were read");
        malformed_.counter = counter("kivstream_frames_malformed_total", "Input rejected: bad headers, sizes, JPEG data");
        incomplete_.counter = counter("kivstream_frames_incomplete_total", "Frames given up because parts never arrived");
        lost_.counter = counter("kivstream_datagrams_lost_total", "UDP data datagrams of finished frames that never arrived");
        recovered_.counter = counter("kivstream_datagrams_recovered_total", "Of those, rebuilt from parity or sent again");
        repaired_.counter = counter("kivstream_datagrams_repaired_total", "UDP datagrams sent again on request that filled a gap");
        latency_ = &BuildHistogram()
                        .Name("kivstream_frame_latency_seconds")
                        .Help("From the sender's kivEncode() to the reader, by the sender's clock")
                        .Register(*registry_)
                        .Add(labels, latencyBuckets());
        exposer_.RegisterCollectable(registry_);
        const auto ports = exposer_.GetListeningPorts();
        port_ = ports.empty() ? 0 : ports.front();
    }

    QString address() const override { return host_ + QLatin1Char(':') + QString::number(port_); }
    void setHost(const QString &h) { host_ = h; }

    void frameReceived(uint64_t imageBytes, uint64_t transferBytes, std::optional<int64_t> latencyUs) override {
        framesReceived_->Increment();
        imageBytes_->Increment(double(imageBytes));
        transferBytes_->Increment(double(transferBytes));
        if (latencyUs) latency_->Observe(double(*latencyUs) / 1e6);
    }
    void frameCorrupt() override { framesCorrupt_->Increment(); }
    void encoderCounters(const kivEncoderStats &e, int link, const std::optional<kivUdpSenderStats> &udp) override {
        encoded_.follow(e.framesEncoded);
        sent_.follow(e.framesSent);
        dropped_.follow(e.framesDropped);
        bytesSent_.follow(e.bytesSent);
        link_->Set(link);
        if (udp) {
            resent_.follow(udp->datagramsResent);
            parity_->Set(udp->parityPercent / 100.0);
            pace_->Set(double(udp->paceBytesPerSecond));
        }
    }
    void decoderCounters(const kivDecoderStats &d, const std::optional<kivLossStats> &loss,
                         const std::optional<kivRepairStats> &repair) override {
        dropped_.follow(d.framesDropped);
        malformed_.follow(d.framesMalformed);
        incomplete_.follow(d.framesIncomplete);
        if (loss) lost_.follow(loss->datagramsLost), recovered_.follow(loss->datagramsRecovered);
        if (repair) repaired_.follow(repair->datagramsRepaired);
    }

private:
    prometheus::Exposer exposer_;
    std::shared_ptr<prometheus::Registry> registry_;
    Counter *framesReceived_ = nullptr, *framesCorrupt_ = nullptr, *imageBytes_ = nullptr, *transferBytes_ = nullptr;
    Follower dropped_, malformed_, incomplete_, lost_, recovered_, repaired_;
    Follower encoded_, sent_, bytesSent_, resent_;
    prometheus::Gauge *link_ = nullptr, *parity_ = nullptr, *pace_ = nullptr;
    prometheus::Histogram *latency_ = nullptr;
    QString host_;
    int port_ = 0;
};

} // namespace

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(const QString &where, const QString &transport, int stream,
                                                        const QString &role, QString &why) {
    QString host = QStringLiteral("127.0.0.1"), port = where;
    if (const qsizetype colon = where.lastIndexOf(':'); colon >= 0) {
        host = where.left(colon);
        port = where.mid(colon + 1);
        if (host.startsWith('[') && host.endsWith(']')) host = host.mid(1, host.size() - 2);
    }
    bool ok = false;
    const int p = port.toInt(&ok);
    if (!ok || p < 1 || p > 65535 || QHostAddress(host).isNull()) {
        why = QStringLiteral("--metrics must be [ADDR:]PORT with an IP address and a port 1..65535, not '%1'").arg(where);
        return nullptr;
    }
    const QString bind = QHostAddress(host).protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2").arg(host).arg(p)
                                                                                        : QStringLiteral("%1:%2").arg(host).arg(p);
    // Worker threads apart from the stream's, and a bound on how long a slow
    // or silent client holds one.
    std::vector<std::string> options{"listening_ports", bind.toStdString(), "num_threads", "4", "request_timeout_ms", "2000",
                                     "enable_keep_alive", "no"};
    const std::map<std::string, std::string> labels{
        {"transport", transport.toStdString()}, {"stream", std::to_string(stream)}, {"role", role.toStdString()}};
    try {
        auto e = std::make_unique<Endpoint>(std::move(options), labels, role == QLatin1String("sender"));
        e->setHost(host);
        return e;
    } catch (const std::exception &ex) {
        why = QStringLiteral("cannot serve metrics on %1: %2 (is the port in use?)").arg(bind, QString::fromLocal8Bit(ex.what()));
        return nullptr;
    }
}

bool startMetrics(const Options &o, const QString &role, std::unique_ptr<MetricsEndpoint> &out) {
    if (o.metrics.isEmpty()) return true;
    QString why;
    out = MetricsEndpoint::start(o.metrics, o.transport, o.stream, role, why);
    if (!out) {
        err(why);
        return false;
    }
    err(QStringLiteral("metrics on http://%1/metrics").arg(out->address()));
    return true;
}

} // namespace kivstream
