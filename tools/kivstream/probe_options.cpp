// SPDX-License-Identifier: MIT
// Command lines of probe and serve.
#include <QCommandLineParser>
#include <QHostAddress>

#include <cmath>

#include "probe.hpp"

namespace kivstream {
namespace {

using probe::Transport;

const char *const kProbeUsage =
    "kivstream probe HOST[:PORT][,HOST...] [options]\n"
    "\n"
    "Finds which video the link to each HOST carries intact: for every frame size,\n"
    "depth, compression and transport of the sweep, the highest frame rate at which\n"
    "at least 99% of the frames arrive intact within the latency bound. Each HOST\n"
    "runs 'kivstream serve'. With --group, one stream goes to the multicast group\n"
    "and every HOST reports what it received.\n"
    "\n"
    "Exit status: 0 done, 1 a serve end could not be reached or the plot written,\n"
    "2 bad arguments, 130 interrupted (the table shows what was measured).";

const char *const kServeUsage =
    "kivstream serve [options]\n"
    "\n"
    "Receives the test streams that probes ask for and reports what arrived, over\n"
    "each probe's control connection (TCP, --port). It sends nothing to anyone\n"
    "else. See docs/probe.md for its limits.\n"
    "\n"
    "Exit status: 0 stopped by Ctrl-C, 1 could not listen, 2 bad arguments.";

ParseError usage(const QString &message) { return ParseError{message, 2, {}}; }

template <typename T, typename F> bool parseList(const QString &text, std::vector<T> &out, F &&one) {
    out.clear();
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const std::optional<T> v = one(item.trimmed());
        if (!v) return false;
        out.push_back(*v);
    }
    return !out.empty();
}

} // namespace

ProbeParse parseProbeCommand(const QStringList &args) {
    ProbeSettings s;
    s.serve = args.value(0) == QLatin1String("serve");
    QCommandLineParser p;
    p.setApplicationDescription(QString::fromLatin1(s.serve ? kServeUsage : kProbeUsage));
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption port(QStringLiteral("port"),
        QStringLiteral("Control port: where serve listens and probe connects (default %1).").arg(probe::kDefaultControlPort),
        QStringLiteral("N"));
    const QCommandLineOption address(QStringLiteral("address"),
        QStringLiteral("serve: listen on this IP address only (default: every address)."), QStringLiteral("A"));
    const QCommandLineOption streams(QStringLiteral("streams"),
        QStringLiteral("serve: receive test streams on ports N..N+%1 (default %2).").arg(probe::kStreamsPerServe - 1).arg(probe::kDefaultStreamBase),
        QStringLiteral("N"));
    const QCommandLineOption metrics(QStringLiteral("metrics"),
        QStringLiteral("serve: serve Prometheus metrics on /metrics at [ADDR:]PORT (loopback unless ADDR is given)."),
        QStringLiteral("[ADDR:]PORT"));
    const QCommandLineOption budget(QStringLiteral("budget"),
        QStringLiteral("probe: seconds for the whole sweep, 5..3600 (default 60)."), QStringLiteral("S"));
    const QCommandLineOption size(QStringLiteral("size"),
        QStringLiteral("probe: frame sizes, comma-separated (default 320x240,640x480,1280x720,1920x1080)."), QStringLiteral("WxH,..."));
    const QCommandLineOption depth(QStringLiteral("depth"), QStringLiteral("probe: bits per pixel, comma-separated (default 24)."),
        QStringLiteral("D,..."));
    const QCommandLineOption jpeg(QStringLiteral("jpeg"),
        QStringLiteral("probe: raw and/or JPEG levels 0..100, comma-separated (default raw,50)."), QStringLiteral("L,..."));
    const QCommandLineOption transport(QStringLiteral("transport"),
        QStringLiteral("probe: tcp and/or udp, comma-separated (default tcp,udp; udp alone with --group)."), QStringLiteral("T,..."));
    const QCommandLineOption group(QStringLiteral("group"),
        QStringLiteral("probe: send one UDP stream to this multicast group, received by every HOST."), QStringLiteral("G"));
    const QCommandLineOption reverse(QStringLiteral("reverse"),
        QStringLiteral("probe: the serve end sends and this end receives: the other direction of the link."));
    const QCommandLineOption fps(QStringLiteral("fps"),
        QStringLiteral("probe: the highest frame rate to try, 1..1000 (default 120)."), QStringLiteral("F"));
    const QCommandLineOption latency(QStringLiteral("latency-bound"),
        QStringLiteral("probe: a frame later than this many ms counts as lost (default: 250 or two frame intervals, the larger)."),
        QStringLiteral("MS"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("probe: every measured cell as JSON on stdout."));
    const QCommandLineOption plot(QStringLiteral("plot"),
        QStringLiteral("probe: draw the highest intact rate against frame size into FILE (.svg or .png)."), QStringLiteral("FILE"));
    if (s.serve) p.addOptions({help, port, address, streams, metrics});
    else p.addOptions({help, port, budget, size, depth, jpeg, transport, group, reverse, fps, latency, json, plot});
    p.addPositionalArgument(s.serve ? QStringLiteral("serve") : QStringLiteral("probe"), QString());
    if (!s.serve) p.addPositionalArgument(QStringLiteral("HOST[,HOST...]"), QStringLiteral("serve ends to probe"));

    if (!p.parse(QStringList{QStringLiteral("kivstream")} + args)) return usage(p.errorText());
    if (p.isSet(help)) return ParseError{{}, 0, p.helpText()};
    const QStringList positional = p.positionalArguments().mid(1);

    if (p.isSet(port)) {
        const auto v = toInteger(p.value(port), 1, 65535);
        if (!v) return usage(QStringLiteral("--port must be 1..65535"));
        s.port = int(*v);
    }
    if (s.serve) {
        if (!positional.isEmpty()) return usage(QStringLiteral("serve takes no arguments, not '%1'").arg(positional.join(' ')));
        if (p.isSet(address)) {
            s.listenAddress = p.value(address);
            if (QHostAddress(s.listenAddress).isNull()) return usage(QStringLiteral("--address must be an IP address, not '%1'").arg(s.listenAddress));
        }
        if (p.isSet(streams)) {
            const auto v = toInteger(p.value(streams), 1, 65536 - probe::kStreamsPerServe);
            if (!v) return usage(QStringLiteral("--streams must be 1..%1").arg(65536 - probe::kStreamsPerServe));
            s.streamBase = int(*v);
        }
        s.metrics = p.value(metrics);
        if (p.isSet(metrics) && s.metrics.isEmpty()) return usage(QStringLiteral("--metrics needs [ADDR:]PORT"));
        return s;
    }

    if (positional.size() != 1) return usage(QStringLiteral("probe needs the serve ends: kivstream probe HOST[,HOST...]"));
    s.hosts = positional.front().split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (s.hosts.isEmpty()) return usage(QStringLiteral("probe needs at least one HOST"));
    if (p.isSet(budget)) {
        const auto v = toReal(p.value(budget), 5, 3600);
        if (!v) return usage(QStringLiteral("--budget must be 5..3600 seconds"));
        s.budgetSeconds = *v;
    }
    s.sizes = {{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
    if (p.isSet(size) && !parseList(p.value(size), s.sizes, [](const QString &t) -> std::optional<ProbeSize> {
            const QStringList wh = t.split(QLatin1Char('x'));
            const auto w = wh.size() == 2 ? toInteger(wh[0], 32, 65535) : std::nullopt;
            const auto h = wh.size() == 2 ? toInteger(wh[1], 1, 65535) : std::nullopt;
            if (!w || !h) return std::nullopt;
            return ProbeSize{uint32_t(*w), uint32_t(*h)};
        }))
        return usage(QStringLiteral("--size must be WxH[,WxH...], each 32..65535 wide and 1..65535 high"));
    s.depths = {24};
    if (p.isSet(depth) && !parseList(p.value(depth), s.depths, [](const QString &t) -> std::optional<int> {
            const auto bits = toInteger(t, 8, 32);
            if (!bits || depthCodeForBits(int(*bits)) < 0) return std::nullopt;
            return int(*bits);
        }))
        return usage(QStringLiteral("--depth must be 8, 16, 24 or 32, comma-separated"));
    s.jpegLevels = {-1, 50};
    if (p.isSet(jpeg) && !parseList(p.value(jpeg), s.jpegLevels, [](const QString &t) -> std::optional<int> {
            if (t == QLatin1String("raw")) return -1;
            const auto level = toInteger(t, 0, 100);
            if (!level) return std::nullopt;
            return int(*level);
        }))
        return usage(QStringLiteral("--jpeg must be raw or a level 0..100, comma-separated"));
    if (p.isSet(group)) {
        s.group = p.value(group);
        const QHostAddress g(s.group);
        if (!g.isMulticast() || g.protocol() != QAbstractSocket::IPv4Protocol)
            return usage(QStringLiteral("--group must be an IPv4 multicast address, not '%1'").arg(s.group));
    }
    s.transports = s.group.isEmpty() ? std::vector{Transport::Tcp, Transport::Udp} : std::vector{Transport::Udp};
    if (p.isSet(transport) && !parseList(p.value(transport), s.transports, [](const QString &t) -> std::optional<Transport> {
            if (t == QLatin1String("tcp")) return Transport::Tcp;
            if (t == QLatin1String("udp")) return Transport::Udp;
            return std::nullopt;
        }))
        return usage(QStringLiteral("--transport must be tcp and/or udp, comma-separated"));
    s.reverse = p.isSet(reverse);
    if (s.reverse && (!s.group.isEmpty() || s.hosts.size() != 1)) return usage(QStringLiteral("--reverse takes one HOST and no --group"));
    if (!s.group.isEmpty() && std::count(s.transports.begin(), s.transports.end(), Transport::Tcp))
        return usage(QStringLiteral("--group sends over udp only"));
    if (p.isSet(fps)) {
        const auto v = toReal(p.value(fps), 1, 1000);
        if (!v) return usage(QStringLiteral("--fps must be 1..1000"));
        s.maxFps = *v;
    }
    if (p.isSet(latency)) {
        const auto v = toReal(p.value(latency), 1, 60000);
        if (!v) return usage(QStringLiteral("--latency-bound must be 1..60000 ms"));
        s.latencyBoundMs = *v;
    }
    s.json = p.isSet(json);
    s.plotPath = p.value(plot);
    if (!s.plotPath.isEmpty() && !s.plotPath.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive) &&
        !s.plotPath.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return usage(QStringLiteral("--plot must name a .svg or .png file"));
    return s;
}

} // namespace kivstream
