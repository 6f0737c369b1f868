// SPDX-License-Identifier: MIT
#include "options.hpp"

#include <QCommandLineParser>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "kivtester_version.h"

namespace kivstream {

int protocolForName(const QString &name) {
    if (name == QLatin1String("memory")) return KIV_PROTOCOL_MEMORY;
    if (name == QLatin1String("tcp")) return KIV_PROTOCOL_TCP;
    if (name == QLatin1String("udp")) return KIV_PROTOCOL_UDP;
    return 0;
}

int depthCodeForBits(int bits) {
    switch (bits) {
    case 16: return KIV_DEPTH_16;
    case 24: return KIV_DEPTH_24;
    case 32: return KIV_DEPTH_32;
    case 8: return KIV_DEPTH_8;
    default: return -1;
    }
}

std::optional<long long> toInteger(const QString &text, long long lo, long long hi) {
    bool ok = false;
    const long long v = text.toLongLong(&ok, 10);
    if (!ok || v < lo || v > hi) return std::nullopt;
    return v;
}

std::optional<double> toReal(const QString &text, double lo, double hi) {
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < lo || v > hi) return std::nullopt;
    return v;
}

namespace {

const char *const kUsage =
    "Commands:\n"
    "  send      send the tester's test picture (or --pattern check) to a receiver\n"
    "  receive   receive frames and print the tester's panel figures once a second\n"
    "  bench     send and receive in one process, check every frame, print a summary\n"
    "  probe     find which video the link to a serve end carries intact\n"
    "  serve     the far end of a probe: receive its test streams and report them\n"
    "\n"
    "'kivstream <command> --help' shows a command's own options.\n"
    "\n"
    "Exit status: 0 done, 1 the transport could not start (or send got no frame out),\n"
    "2 bad arguments, 3 bench or receive --pattern check found bad frames,\n"
    "4 receive got no frame (so checked none), 5 bench was interrupted before its end.";

const char *commandAbout(Command c) {
    switch (c) {
    case Command::Send:
        return "Sends the tester's test picture (or --pattern check) until --frames, --seconds or Ctrl-C.\n\n"
               "Exit status: 0 done, 1 the transport could not start or no frame got out\n"
               "(nobody connected), 2 bad arguments.";
    case Command::Receive:
        return "Receives frames and prints the tester's panel figures once a second, then a summary.\n\n"
               "Exit status: 0 done, 1 the transport could not start, 2 bad arguments,\n"
               "3 --pattern check found bad frames, 4 no frame arrived (so none was checked).";
    case Command::Bench:
        return "Sends and receives in one process, checks every frame and prints a summary\n"
               "(--all, --scaling: a table of runs).\n\n"
               "Exit status: 0 every check passed, 1 the transport could not start,\n"
               "2 bad arguments, 3 a check failed or no frame was measured,\n"
               "5 interrupted (Ctrl-C, SIGTERM) before the run's end.";
    }
    return "";
}

// Qt's usage line names the program as it was started, often a full path.
QString withUsage(QString help, const QString &usage) {
    return help.replace(0, help.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: ") + usage);
}

// Optimal string alignment distance: a swap of two neighbours is one typo, as in "recieve".
qsizetype typoDistance(const QString &a, const QString &b) {
    std::vector<std::vector<qsizetype>> d(size_t(a.size() + 1), std::vector<qsizetype>(size_t(b.size() + 1)));
    for (qsizetype i = 0; i <= a.size(); ++i) d[size_t(i)][0] = i;
    for (qsizetype j = 0; j <= b.size(); ++j) d[0][size_t(j)] = j;
    for (qsizetype i = 1; i <= a.size(); ++i)
        for (qsizetype j = 1; j <= b.size(); ++j) {
            auto &v = d[size_t(i)][size_t(j)];
            v = std::min({d[size_t(i - 1)][size_t(j)] + 1, d[size_t(i)][size_t(j - 1)] + 1,
                          d[size_t(i - 1)][size_t(j - 1)] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) v = std::min(v, d[size_t(i - 2)][size_t(j - 2)] + 1);
        }
    return d[size_t(a.size())][size_t(b.size())];
}

// The nearest of `known` to a misspelt `word`, or empty when none is near enough to be meant.
QString nearest(const QString &word, const QStringList &known) {
    QString best;
    qsizetype bestDistance = 3;
    for (const QString &k : known) {
        const qsizetype d = typoDistance(word.toLower(), k);
        if (d < bestDistance && d * 3 <= k.size()) best = k, bestDistance = d;
    }
    return best;
}

ParseError usageError(const QString &message) { return ParseError{message, 2, {}}; }

// Decimal multiples only: link rates are quoted that way, and KB = 1000 keeps
// bits and bytes a plain factor of 8 apart.
std::optional<uint64_t> toRate(const QString &text) {
    struct Unit { const char *suffix; double bytes; };
    static constexpr Unit units[] = {{"kbit", 1e3 / 8}, {"Mbit", 1e6 / 8}, {"Gbit", 1e9 / 8},
                                     {"KB", 1e3},       {"MB", 1e6},       {"GB", 1e9}};
    QString number = text;
    double scale = 1;
    for (const Unit &u : units)
        if (text.endsWith(QLatin1String(u.suffix))) {
            number.chop(qsizetype(std::strlen(u.suffix)));
            scale = u.bytes;
            break;
        }
    const auto v = toReal(number, 0, 1e12 / scale);
    if (!v) return std::nullopt;
    const auto bytes = uint64_t(std::llround(*v * scale));
    // A rate that rounds to nothing is a typo, not a request to lift the cap.
    if (bytes == 0 && *v > 0) return std::nullopt;
    return bytes;
}

} // namespace

ParseResult parseOptions(const QStringList &args) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version."));
    const QCommandLineOption transport(QStringLiteral("transport"),
        QStringLiteral("memory, tcp or udp (default memory)."), QStringLiteral("T"));
    const QCommandLineOption address(QStringLiteral("address"),
        QStringLiteral("Destination: host or IP for tcp, unicast or multicast IPv4 for udp (default 127.0.0.1)."),
        QStringLiteral("A"));
    const QCommandLineOption channel(QStringLiteral("channel"),
        QStringLiteral("The tester's channel N, stream 10588+N (default 0)."), QStringLiteral("N"));
    const QCommandLineOption stream(QStringLiteral("stream"),
        QStringLiteral("Stream number 1..65535: TCP/UDP port or shared-memory channel."), QStringLiteral("N"));
    const QCommandLineOption size(QStringLiteral("size"), QStringLiteral("Frame size (default 320x240)."),
        QStringLiteral("WxH"));
    const QCommandLineOption depth(QStringLiteral("depth"), QStringLiteral("8, 16, 24 or 32 bits (default 24)."),
        QStringLiteral("D"));
    const QCommandLineOption jpeg(QStringLiteral("jpeg"),
        QStringLiteral("Send JPEG at compression level 0..100 (100 compresses most)."), QStringLiteral("LEVEL"));
    const QCommandLineOption fps(QStringLiteral("fps"),
        QStringLiteral("Frames per second, 0 = as fast as it goes (send 15, bench 0)."), QStringLiteral("F"));
    const QCommandLineOption frames(QStringLiteral("frames"), QStringLiteral("Stop after N frames."),
        QStringLiteral("N"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Stop after S seconds."),
        QStringLiteral("S"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Machine-readable output on stdout."));
    const QCommandLineOption pattern(QStringLiteral("pattern"),
        QStringLiteral("picture (the tester's lines) or check (verifiable by receive --pattern check)."),
        QStringLiteral("P"));
    const QCommandLineOption all(QStringLiteral("all"),
        QStringLiteral("bench: every transport x a few sizes x raw and JPEG, as a table."));
    const QCommandLineOption scaling(QStringLiteral("scaling"),
        QStringLiteral("bench: cost per frame against frame size (every transport, raw and JPEG) and against "
                       "receivers (memory, and udp when --address is a multicast group), as a table."));
    const QCommandLineOption receivers(QStringLiteral("receivers"),
        QStringLiteral("bench: N decoders of the one stream, 1..16 (memory, udp multicast)."), QStringLiteral("N"));
    const QCommandLineOption latency(QStringLiteral("latency"),
        QStringLiteral("receive: show latency over tcp/udp (the sender's clock is this machine's or synchronised)."));
    const QCommandLineOption metrics(QStringLiteral("metrics"),
        QStringLiteral("send, receive, bench (and serve): serve Prometheus metrics on /metrics at [ADDR:]PORT (loopback unless ADDR is given)."),
        QStringLiteral("[ADDR:]PORT"));
    const QCommandLineOption csv(QStringLiteral("csv"),
        QStringLiteral("receive: write one row a second to FILE, in the tester's report columns (docs/report.md)."),
        QStringLiteral("FILE"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the picture's lines and the check pattern."),
        QStringLiteral("N"));
    const QCommandLineOption fec(QStringLiteral("fec"),
        QStringLiteral("udp: parity datagrams per 100 of data, 0..100 (0 = off; default %1).").arg(KIV_FEC_DEFAULT_PERCENT),
        QStringLiteral("PERCENT"));
    const QCommandLineOption loss(QStringLiteral("loss"),
        QStringLiteral("udp: drop P% of the outgoing datagrams (runs of N with burst=N; dup=D% sends some twice) and "
                       "R% of the repair requests and loss reports coming back (return=R), by the pattern of --seed."),
        QStringLiteral("P[,burst=N][,dup=D][,return=R]"));
    const QCommandLineOption rate(QStringLiteral("rate"),
        QStringLiteral("udp: send at most R bytes per second (parity and repairs included); suffixes kbit, Mbit, Gbit "
                       "for bits and KB, MB, GB for bytes, decimal (60Mbit = 7500000); 0 = no cap (default)."),
        QStringLiteral("R"));
    const QCommandLineOption repairBudget(QStringLiteral("repair-budget"),
        QStringLiteral("udp: ask the sender again for lost datagrams for up to MS ms, 0..%1 (0 = parity alone; "
                       "default %2).").arg(KIV_REPAIR_MAX_BUDGET_MS).arg(KIV_REPAIR_DEFAULT_BUDGET_MS),
        QStringLiteral("MS"));
    const QList<QCommandLineOption> options{help, version, transport, address, channel, stream, size, depth,
                                            jpeg, fps, frames, seconds, json, pattern, all, scaling,
                                            receivers, latency, seed, fec, loss, rate, repairBudget, csv, metrics};
    p.addOptions(options);

    // Options that make no sense for a command are refused rather than ignored,
    // and left out of its help.
    struct Scope { const QCommandLineOption *opt; QSet<Command> in; };
    const Scope scopes[] = {
        {&address, {Command::Send, Command::Bench}},
        {&size, {Command::Send, Command::Bench}},
        {&depth, {Command::Send, Command::Bench}},
        {&jpeg, {Command::Send, Command::Bench}},
        {&fps, {Command::Send, Command::Bench}},
        {&pattern, {Command::Send, Command::Receive, Command::Bench}},
        {&all, {Command::Bench}},
        {&scaling, {Command::Bench}},
        {&receivers, {Command::Bench}},
        {&latency, {Command::Receive}},
        {&csv, {Command::Receive}},
        {&metrics, {Command::Send, Command::Receive, Command::Bench}},
        {&fec, {Command::Send, Command::Bench}},
        {&loss, {Command::Send, Command::Bench}},
        {&rate, {Command::Send, Command::Bench}},
        {&repairBudget, {Command::Receive, Command::Bench}},
    };
    const auto appliesTo = [&](const QCommandLineOption &opt, Command c) {
        for (const Scope &s : scopes)
            if (s.opt->names() == opt.names()) return s.in.contains(c);
        return true;
    };

    QStringList argv = args;
    argv.prepend(QStringLiteral("kivstream"));
    if (!p.parse(argv)) {
        QString message = p.errorText();
        if (p.unknownOptionNames().size() == 1) {
            QStringList names;
            for (const QCommandLineOption &opt : options) names << opt.names().constLast();
            const QString guess = nearest(p.unknownOptionNames().constFirst(), names);
            if (!guess.isEmpty()) message += QStringLiteral(" Did you mean --%1?").arg(guess);
        }
        return usageError(message);
    }
    if (p.isSet(version))
        return ParseError{{}, 0, QStringLiteral("kivstream %1, library %2\n").arg(QStringLiteral(KIV_TESTER_VERSION)).arg(kivVersionNumber())};

    const QStringList pos = p.positionalArguments();
    // The general help lists the options every command takes; a command's help, its own.
    const auto helpFor = [&](const QString &about, const QString &usage, const QList<Command> &commands) {
        QCommandLineParser h;
        h.setApplicationDescription(about);
        for (const QCommandLineOption &opt : options)
            if (std::all_of(commands.begin(), commands.end(), [&](Command c) { return appliesTo(opt, c); })) h.addOption(opt);
        return ParseError{{}, 0, withUsage(h.helpText(), usage)};
    };
    if (pos.isEmpty() && p.isSet(help))
        return helpFor(QString::fromLatin1(kUsage), QStringLiteral("kivstream <command> [options]"),
                       {Command::Send, Command::Receive, Command::Bench});
    if (pos.isEmpty()) return usageError(QStringLiteral("missing command: send, receive, bench, probe or serve (see --help)"));

    Options o;
    const QString cmd = pos.first();
    if (cmd == QLatin1String("send")) o.command = Command::Send;
    else if (cmd == QLatin1String("receive")) o.command = Command::Receive;
    else if (cmd == QLatin1String("bench")) o.command = Command::Bench;
    else {
        const QString guess = nearest(cmd, {QStringLiteral("send"), QStringLiteral("receive"), QStringLiteral("bench"),
                                            QStringLiteral("probe"), QStringLiteral("serve")});
        return usageError(QStringLiteral("unknown command '%1': use send, receive, bench, probe or serve%2")
                              .arg(cmd, guess.isEmpty() ? QString() : QStringLiteral(" (did you mean '%1'?)").arg(guess)));
    }
    if (pos.size() > 1) return usageError(QStringLiteral("unexpected argument '%1'").arg(pos.at(1)));
    if (p.isSet(help))
        return helpFor(QString::fromLatin1(commandAbout(o.command)), QStringLiteral("kivstream %1 [options]").arg(cmd), {o.command});

    for (const Scope &s : scopes)
        if (p.isSet(*s.opt) && !s.in.contains(o.command))
            return usageError(QStringLiteral("--%1 does not apply to %2").arg(s.opt->names().constLast(), cmd));

    if (p.isSet(transport)) {
        o.transport = p.value(transport);
        o.transportGiven = true;
        if (o.protocol() == 0)
            return usageError(QStringLiteral("unknown transport '%1': use memory, tcp or udp").arg(o.transport));
    }
    if (p.isSet(address)) {
        o.address = p.value(address);
        if (o.address.isEmpty()) return usageError(QStringLiteral("--address is empty"));
    }

    if (p.isSet(channel) && p.isSet(stream)) return usageError(QStringLiteral("give --channel or --stream, not both"));
    if (o.command == Command::Bench) o.stream = kBenchStreamBase;
    if (p.isSet(channel)) {
        const auto v = toInteger(p.value(channel), 0, 65535 - kChannelBase);
        if (!v) return usageError(QStringLiteral("--channel must be 0..%1, not '%2'").arg(65535 - kChannelBase).arg(p.value(channel)));
        o.stream = kChannelBase + int(*v);
    }
    if (p.isSet(stream)) {
        const auto v = toInteger(p.value(stream), 1, 65535);
        if (!v) return usageError(QStringLiteral("--stream must be 1..65535, not '%1'").arg(p.value(stream)));
        o.stream = int(*v);
    }

    if (p.isSet(size)) {
        const QStringList wh = p.value(size).split(QLatin1Char('x'));
        const auto w = wh.size() == 2 ? toInteger(wh[0], 1, 65535) : std::nullopt;
        const auto h = wh.size() == 2 ? toInteger(wh[1], 1, 65535) : std::nullopt;
        if (!w || !h) return usageError(QStringLiteral("--size must be WxH with each 1..65535, not '%1'").arg(p.value(size)));
        o.format.width = uint16_t(*w);
        o.format.height = uint16_t(*h);
    }
    if (p.isSet(depth)) {
        const auto bits = toInteger(p.value(depth), 0, 64);
        const int code = bits ? depthCodeForBits(int(*bits)) : -1;
        if (code < 0) return usageError(QStringLiteral("--depth must be 8, 16, 24 or 32, not '%1'").arg(p.value(depth)));
        o.depthBits = int(*bits);
        o.format.depth = uint16_t(code);
    }
    const uint32_t bytes = kivGetByteSize(&o.format);
    if (bytes == 0 || bytes > KIV_MAX_FRAME_BYTES)
        return usageError(QStringLiteral("a %1x%2 frame of %3 bits is over the library's %4 MiB frame limit")
                              .arg(o.format.width).arg(o.format.height).arg(o.depthBits).arg(KIV_MAX_FRAME_BYTES >> 20));

    if (p.isSet(jpeg)) {
        const auto v = toInteger(p.value(jpeg), 0, 100);
        if (!v) return usageError(QStringLiteral("--jpeg must be a level 0..100, not '%1'").arg(p.value(jpeg)));
        o.jpegLevel = int(*v);
    }

    o.fps = o.command == Command::Bench ? 0 : 15;
    if (p.isSet(fps)) {
        const auto v = toReal(p.value(fps), 0, 100000);
        if (!v) return usageError(QStringLiteral("--fps must be 0..100000, not '%1'").arg(p.value(fps)));
        o.fps = *v;
    }

    if (p.isSet(frames) && p.isSet(seconds)) return usageError(QStringLiteral("give --frames or --seconds, not both"));
    if (p.isSet(frames)) {
        const auto v = toInteger(p.value(frames), 1, std::numeric_limits<long long>::max());
        if (!v) return usageError(QStringLiteral("--frames must be a positive count, not '%1'").arg(p.value(frames)));
        o.frames = uint64_t(*v);
    }
    if (p.isSet(seconds)) {
        const auto v = toReal(p.value(seconds), 0.001, 1e9);
        if (!v) return usageError(QStringLiteral("--seconds must be a positive number, not '%1'").arg(p.value(seconds)));
        o.seconds = *v;
    }

    o.json = p.isSet(json);
    o.all = p.isSet(all);
    o.scaling = p.isSet(scaling);
    if (p.isSet(receivers)) {
        const auto v = toInteger(p.value(receivers), 1, 16);
        if (!v) return usageError(QStringLiteral("--receivers must be 1..16, not '%1'").arg(p.value(receivers)));
        o.receivers = int(*v);
        // One TCP port takes one listener.
        if (o.receivers > 1 && o.protocol() == KIV_PROTOCOL_TCP)
            return usageError(QStringLiteral("--receivers above 1 needs the memory or udp transport"));
    }
    o.latency = p.isSet(latency) || o.protocol() == KIV_PROTOCOL_MEMORY;
    o.csv = p.value(csv);
    o.metrics = p.value(metrics);
    if (p.isSet(metrics) && o.metrics.isEmpty()) return usageError(QStringLiteral("--metrics needs [ADDR:]PORT"));
    // A matrix's runs each take a stream of their own: watch one long run instead.
    if (p.isSet(metrics) && (o.all || o.scaling)) return usageError(QStringLiteral("--metrics watches one bench run, not --all or --scaling"));
    if (p.isSet(csv) && o.csv.isEmpty()) return usageError(QStringLiteral("--csv needs a file name"));
    if (o.command == Command::Bench) o.pattern = PatternKind::Check;
    if (p.isSet(pattern)) {
        const QString v = p.value(pattern);
        if (v == QLatin1String("check")) o.pattern = PatternKind::Check;
        else if (v == QLatin1String("picture") && o.command != Command::Bench) o.pattern = PatternKind::Picture;
        else if (v == QLatin1String("picture"))
            return usageError(QStringLiteral("bench checks every frame, so it sends only --pattern check"));
        else return usageError(QStringLiteral("--pattern must be picture or check, not '%1'").arg(v));
    }
    // The check pattern carries the frame number in a row of 32 cells.
    if (o.pattern == PatternKind::Check && o.command != Command::Receive && o.format.width < 32)
        return usageError(QStringLiteral("--pattern check needs a width of at least 32"));
    if (p.isSet(seed)) {
        const auto v = toInteger(p.value(seed), 0, 0xffffffffLL);
        if (!v) return usageError(QStringLiteral("--seed must be 0..4294967295, not '%1'").arg(p.value(seed)));
        o.seed = uint32_t(*v);
    }
    for (const QCommandLineOption *udpOnly : {&fec, &loss, &rate, &repairBudget})
        if (p.isSet(*udpOnly) && o.protocol() != KIV_PROTOCOL_UDP)
            return usageError(QStringLiteral("--%1 applies to --transport udp only").arg(udpOnly->names().constLast()));
    if (p.isSet(fec)) {
        const auto v = toInteger(p.value(fec), 0, 100);
        if (!v) return usageError(QStringLiteral("--fec must be a percentage 0..100, not '%1'").arg(p.value(fec)));
        o.fec = int(*v);
    }
    if (p.isSet(loss)) {
        const QString text = p.value(loss);
        const QStringList parts = text.split(QLatin1Char(','));
        const auto rate = toReal(parts.first(), 0, 100);
        if (!rate) return usageError(QStringLiteral("--loss must be P[,burst=N][,dup=D][,return=R] with P 0..100, not '%1'").arg(text));
        o.impairment.lossPerMillion = uint32_t(std::lround(*rate * 10000));
        o.impairment.seed = o.seed;
        // A seed of its own, so that the two directions do not lose in lockstep.
        o.returnImpairment.seed = uint64_t(o.seed) + 1;
        for (const QString &part : parts.mid(1)) {
            if (part.startsWith(QLatin1String("burst="))) {
                const auto n = toInteger(part.mid(6), 1, 1000);
                if (!n) return usageError(QStringLiteral("--loss: burst must be 1..1000, not '%1'").arg(part.mid(6)));
                o.impairment.burstLength = uint32_t(*n);
            } else if (part.startsWith(QLatin1String("dup="))) {
                const auto d = toReal(part.mid(4), 0, 100);
                if (!d) return usageError(QStringLiteral("--loss: dup must be 0..100, not '%1'").arg(part.mid(4)));
                o.impairment.duplicatePerMillion = uint32_t(std::lround(*d * 10000));
            } else if (part.startsWith(QLatin1String("return="))) {
                const auto r = toReal(part.mid(7), 0, 100);
                if (!r) return usageError(QStringLiteral("--loss: return must be 0..100, not '%1'").arg(part.mid(7)));
                o.returnImpairment.lossPerMillion = uint32_t(std::lround(*r * 10000));
            } else {
                return usageError(QStringLiteral("--loss: unknown part '%1' (burst=N, dup=D or return=R)").arg(part));
            }
        }
    }
    if (p.isSet(rate)) {
        const auto v = toRate(p.value(rate));
        if (!v)
            return usageError(QStringLiteral("--rate must be bytes per second up to 1e12, or a number with kbit, Mbit, "
                                             "Gbit, KB, MB or GB (e.g. 60Mbit), not '%1'").arg(p.value(rate)));
        o.maxRate = *v;
    }
    if (p.isSet(repairBudget)) {
        const auto v = toInteger(p.value(repairBudget), 0, KIV_REPAIR_MAX_BUDGET_MS);
        if (!v)
            return usageError(QStringLiteral("--repair-budget must be 0..%1 ms, not '%2'").arg(KIV_REPAIR_MAX_BUDGET_MS).arg(p.value(repairBudget)));
        o.repairBudget = int(*v);
    }
    if (o.all && o.scaling) return usageError(QStringLiteral("bench takes --all or --scaling, not both"));
    if ((o.scaling || o.all) && p.isSet(receivers))
        return usageError(QStringLiteral("bench --all and --scaling pick the receivers themselves"));
    if (o.scaling && (p.isSet(frames) || p.isSet(channel) || p.isSet(stream) || p.isSet(size) || p.isSet(jpeg)))
        return usageError(QStringLiteral("bench --scaling picks sizes, compression and streams itself; it takes "
                                         "--transport, --address, --depth, --fps, --seconds and --json"));
    if (o.all && (p.isSet(frames) || p.isSet(channel) || p.isSet(stream) || p.isSet(size) || p.isSet(jpeg)))
        return usageError(QStringLiteral("bench --all picks sizes, compression and streams itself; it takes --transport, "
                                         "--depth, --fps, --seconds and --json"));
    return o;
}

} // namespace kivstream
