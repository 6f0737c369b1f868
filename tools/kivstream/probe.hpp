// SPDX-License-Identifier: MIT
// probe and serve: which video a link carries intact, measured against a
// serve end on the far host (docs/probe.md).
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>
#include <vector>

#include "options.hpp"
#include "probe_protocol.hpp"

namespace kivstream {

struct ProbeSize {
    uint32_t width = 0, height = 0;
};

struct ProbeSettings {
    bool serve = false;
    QStringList hosts;         // probe: HOST or HOST:PORT, one per serve end
    QString listenAddress;     // serve: empty for every address
    QString metrics;           // serve: [ADDR:]PORT of the Prometheus endpoint
    int port = probe::kDefaultControlPort;
    int streamBase = probe::kDefaultStreamBase;
    double budgetSeconds = 60;
    std::vector<ProbeSize> sizes;
    std::vector<int> depths;
    std::vector<int> jpegLevels; // -1 raw
    std::vector<probe::Transport> transports;
    QString group;               // multicast: one stream to every host
    bool reverse = false;        // the serve end sends, the probe receives
    double maxFps = 120;
    double latencyBoundMs = 0;   // 0: 250 ms or two frame intervals, the larger
    bool json = false;
    QString plotPath;
    uint32_t seed = 1;
};

using ProbeParse = std::variant<ProbeSettings, ParseError>;
// `args` without the program name, starting with "probe" or "serve".
ProbeParse parseProbeCommand(const QStringList &args);

int runServe(const ProbeSettings &s);
int runProbe(const ProbeSettings &s);

// ---- What a probe measured, for the table, the JSON and the plot -----------

struct RunResult {
    double fps = 0;
    uint32_t sent = 0;
    uint32_t intact = 0;      // at every host
    double p50Ms = 0, p99Ms = 0; // one-way, the slowest host's
    bool passed = false;
    QString worstHost, why;   // the host that failed it first, and how
};

struct CellResult {
    ProbeSize size;
    int depth = 24;
    int jpeg = -1;
    probe::Transport transport = probe::Transport::Udp;
    bool multicast = false;
    double bytesPerFrame = 0;   // as carried, JPEG compressed
    double wireBitsPerFrame = 0;
    std::vector<RunResult> runs;
    std::optional<RunResult> best; // the highest rate that passed
    bool atCeiling = false;        // passed at the highest rate asked
    QString error;                 // the cell could not be measured

    QString label() const;
    QString answer(double linkMbit) const;
};

struct ProbeReport {
    QStringList hosts;
    double clockOffsetMs = 0, clockUncertaintyMs = 0, rttMs = 0;
    double linkMbit = 0;        // 0: not measured
    double budgetSeconds = 0, elapsedSeconds = 0;
    double latencyBoundMs = 0;
    bool interrupted = false;
    std::vector<CellResult> cells;
};

QString probeJson(const ProbeReport &r);
// SVG or PNG by the file's suffix; false with `why` set when it cannot be written.
bool writeProbePlot(const ProbeReport &r, const QString &path, QString &why);

} // namespace kivstream
