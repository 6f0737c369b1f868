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
#include <map>
#include <mutex>

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

prometheus::Family<Counter> &counterFamily(prometheus::Registry &r, const char *name, const char *help) {
    return BuildCounter().Name(name).Help(help).Register(r);
}
prometheus::Family<prometheus::Gauge> &gaugeFamily(prometheus::Registry &r, const char *name, const char *help) {
    return BuildGauge().Name(name).Help(help).Register(r);
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

// The families of one role, made when its first end comes, so that a
// receiver's page shows no sender's metrics.
struct ReceiverFamilies {
    explicit ReceiverFamilies(prometheus::Registry &r)
        : framesReceived(counterFamily(r, "kivstream_frames_received_total", "Frames handed to the reader")),
          framesCorrupt(counterFamily(r, "kivstream_frames_corrupt_total", "Frames that failed the check pattern (receive --pattern check)")),
          imageBytes(counterFamily(r, "kivstream_image_bytes_total", "Uncompressed bytes of the frames received")),
          transferBytes(counterFamily(r, "kivstream_transfer_bytes_total", "Bytes of the frames received as carried (JPEG compressed)")),
          dropped(counterFamily(r, "kivstream_frames_dropped_total", "Frames overwritten or pushed out before they were read")),
          malformed(counterFamily(r, "kivstream_frames_malformed_total", "Input rejected: bad headers, sizes, JPEG data")),
          incomplete(counterFamily(r, "kivstream_frames_incomplete_total", "Frames given up because parts never arrived")),
          lost(counterFamily(r, "kivstream_datagrams_lost_total", "UDP data datagrams of finished frames that never arrived")),
          recovered(counterFamily(r, "kivstream_datagrams_recovered_total", "Of those, rebuilt from parity or sent again")),
          repaired(counterFamily(r, "kivstream_datagrams_repaired_total", "UDP datagrams sent again on request that filled a gap")),
          latency(BuildHistogram()
                      .Name("kivstream_frame_latency_seconds")
                      .Help("From the sender's kivEncode() to the reader, by the sender's clock")
                      .Register(r)) {}
    prometheus::Family<Counter> &framesReceived, &framesCorrupt, &imageBytes, &transferBytes, &dropped, &malformed,
        &incomplete, &lost, &recovered, &repaired;
    prometheus::Family<prometheus::Histogram> &latency;
};

struct SenderFamilies {
    explicit SenderFamilies(prometheus::Registry &r)
        : encoded(counterFamily(r, "kivstream_frames_encoded_total", "Frames handed to kivEncode()")),
          sent(counterFamily(r, "kivstream_frames_sent_total", "Frames handed completely to the transport")),
          dropped(counterFamily(r, "kivstream_frames_dropped_total",
                                            "Frames replaced before they were sent, or that failed to compress")),
          bytesSent(counterFamily(r, "kivstream_sent_bytes_total", "Payload bytes of the frames sent (compressed size for JPEG)")),
          resent(counterFamily(r, "kivstream_datagrams_resent_total", "UDP datagrams sent again on request")),
          link(gaugeFamily(r, "kivstream_link_state", "0 idle, 1 connecting, 2 up, 3 down (retrying)")),
          parity(gaugeFamily(r, "kivstream_parity_ratio", "UDP parity in use, per datagram of data")),
          pace(gaugeFamily(r, "kivstream_pace_bytes_per_second", "UDP: the rate the newest frame left at")) {}
    prometheus::Family<Counter> &encoded, &sent, &dropped, &bytesSent, &resent;
    prometheus::Family<prometheus::Gauge> &link, &parity, &pace;
};

using Labels = std::map<std::string, std::string>;

// Counts itself open in kivstream_streams_open while it lives.
class OpenEnd {
public:
    explicit OpenEnd(prometheus::Gauge &g) : gauge_(g) { gauge_.Increment(); }
    ~OpenEnd() { gauge_.Decrement(); }
    OpenEnd(const OpenEnd &) = delete;
    OpenEnd &operator=(const OpenEnd &) = delete;

private:
    prometheus::Gauge &gauge_;
};

class ReceiverEnd final : public StreamMetrics {
public:
    ReceiverEnd(ReceiverFamilies &f, const Labels &l, prometheus::Gauge &open)
        : open_(open), framesReceived_(f.framesReceived.Add(l)), framesCorrupt_(f.framesCorrupt.Add(l)),
          imageBytes_(f.imageBytes.Add(l)), transferBytes_(f.transferBytes.Add(l)),
          latency_(f.latency.Add(l, latencyBuckets())) {
        dropped_.counter = &f.dropped.Add(l);
        malformed_.counter = &f.malformed.Add(l);
        incomplete_.counter = &f.incomplete.Add(l);
        lost_.counter = &f.lost.Add(l);
        recovered_.counter = &f.recovered.Add(l);
        repaired_.counter = &f.repaired.Add(l);
    }
    void frameReceived(const kivFrameInfo &info, int64_t receivedUs) override {
        framesReceived_.Increment();
        imageBytes_.Increment(double(info.imageBytes));
        transferBytes_.Increment(double(info.transferBytes));
        if (info.sendTimeUs > 0) latency_.Observe(double(receivedUs - info.sendTimeUs) / 1e6);
    }
    void frameCorrupt() override { framesCorrupt_.Increment(); }
    void decoderCounters(const kivDecoderStats &d, const std::optional<kivLossStats> &loss,
                         const std::optional<kivRepairStats> &repair) override {
        dropped_.follow(d.framesDropped);
        malformed_.follow(d.framesMalformed);
        incomplete_.follow(d.framesIncomplete);
        if (loss) {
            lost_.follow(loss->datagramsLost);
            recovered_.follow(loss->datagramsRecovered);
        }
        if (repair) repaired_.follow(repair->datagramsRepaired);
    }
    void encoderCounters(const kivEncoderStats &, int, const std::optional<kivUdpSenderStats> &) override {}

private:
    OpenEnd open_;
    Counter &framesReceived_, &framesCorrupt_, &imageBytes_, &transferBytes_;
    prometheus::Histogram &latency_;
    Follower dropped_, malformed_, incomplete_, lost_, recovered_, repaired_;
};

class SenderEnd final : public StreamMetrics {
public:
    SenderEnd(SenderFamilies &f, const Labels &l, prometheus::Gauge &open)
        : open_(open), link_(f.link.Add(l)), parity_(f.parity.Add(l)), pace_(f.pace.Add(l)) {
        encoded_.counter = &f.encoded.Add(l);
        sent_.counter = &f.sent.Add(l);
        dropped_.counter = &f.dropped.Add(l);
        bytesSent_.counter = &f.bytesSent.Add(l);
        resent_.counter = &f.resent.Add(l);
    }
    // A sender that has gone is idle, not stuck in its last state.
    ~SenderEnd() override { link_.Set(KIV_LINK_IDLE); }
    void frameReceived(const kivFrameInfo &, int64_t) override {}
    void frameCorrupt() override {}
    void decoderCounters(const kivDecoderStats &, const std::optional<kivLossStats> &, const std::optional<kivRepairStats> &) override {}
    void encoderCounters(const kivEncoderStats &e, int link, const std::optional<kivUdpSenderStats> &udp) override {
        encoded_.follow(e.framesEncoded);
        sent_.follow(e.framesSent);
        dropped_.follow(e.framesDropped);
        bytesSent_.follow(e.bytesSent);
        link_.Set(link);
        if (udp) {
            resent_.follow(udp->datagramsResent);
            parity_.Set(udp->parityPercent / 100.0);
            pace_.Set(double(udp->paceBytesPerSecond));
        }
    }

private:
    OpenEnd open_;
    prometheus::Gauge &link_, &parity_, &pace_;
    Follower encoded_, sent_, dropped_, bytesSent_, resent_;
};

class Endpoint final : public MetricsEndpoint {
public:
    Endpoint(std::vector<std::string> options, QString host)
        : exposer_(std::move(options)), registry_(std::make_shared<prometheus::Registry>()), host_(std::move(host)) {
        exposer_.RegisterCollectable(registry_);
        const auto ports = exposer_.GetListeningPorts();
        port_ = ports.empty() ? 0 : ports.front();
    }

    QString address() const override { return host_ + QLatin1Char(':') + QString::number(port_); }

    std::unique_ptr<StreamMetrics> stream(const QString &transport, const QString &stream, const QString &role) override {
        const Labels l{{"transport", transport.toStdString()}, {"stream", stream.toStdString()}, {"role", role.toStdString()}};
        std::lock_guard lock(mutex_);
        if (!open_)
            open_ = &gaugeFamily(*registry_, "kivstream_streams_open", "Stream ends open under these labels (a serve end's cells, a bench's receivers)");
        prometheus::Gauge &open = open_->Add(l);
        if (role == QLatin1String("sender")) {
            if (!senders_) senders_ = std::make_unique<SenderFamilies>(*registry_);
            return std::make_unique<SenderEnd>(*senders_, l, open);
        }
        if (!receivers_) receivers_ = std::make_unique<ReceiverFamilies>(*registry_);
        return std::make_unique<ReceiverEnd>(*receivers_, l, open);
    }

private:
    prometheus::Exposer exposer_;
    std::shared_ptr<prometheus::Registry> registry_;
    QString host_;
    int port_ = 0;
    std::mutex mutex_;
    prometheus::Family<prometheus::Gauge> *open_ = nullptr;
    std::unique_ptr<ReceiverFamilies> receivers_;
    std::unique_ptr<SenderFamilies> senders_;
};

} // namespace

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(const QString &where, QString &why) {
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
    try {
        return std::make_unique<Endpoint>(std::move(options), host);
    } catch (const std::exception &ex) {
        why = QStringLiteral("cannot serve metrics on %1: %2 (is the port in use?)").arg(bind, QString::fromLocal8Bit(ex.what()));
        return nullptr;
    }
}

bool startMetrics(const QString &where, std::unique_ptr<MetricsEndpoint> &out) {
    if (where.isEmpty()) return true;
    QString why;
    out = MetricsEndpoint::start(where, why);
    if (!out) {
        err(why);
        return false;
    }
    err(QStringLiteral("metrics on http://%1/metrics").arg(out->address()));
    return true;
}

void publishDecoder(StreamMetrics &m, kivDecoder *dec) {
    kivDecoderStats d{};
    kivGetDecoderStats(dec, &d);
    // Loss and repair are UDP's alone; other decoders refuse the repair query.
    std::optional<kivLossStats> loss;
    std::optional<kivRepairStats> repair;
    if (kivRepairStats r{}; kivGetDecoderRepairStats(dec, &r) == KIV_OK) {
        repair = r;
        kivLossStats l{};
        kivGetDecoderLossStats(dec, &l);
        loss = l;
    }
    m.decoderCounters(d, loss, repair);
}

void publishEncoder(StreamMetrics &m, kivEncoder *enc) {
    kivEncoderStats e{};
    kivGetEncoderStats(enc, &e);
    std::optional<kivUdpSenderStats> udp;
    if (kivUdpSenderStats u{}; kivGetEncoderUdpStats(enc, &u) == KIV_OK) udp = u;
    m.encoderCounters(e, kivGetEncoderLink(enc), udp);
}

} // namespace kivstream
