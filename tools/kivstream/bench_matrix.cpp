// SPDX-License-Identifier: MIT
#include <QJsonArray>
#include <QJsonDocument>

#include <unistd.h>

#include <algorithm>

#include "bench.hpp"
#include "commands.hpp"
#include "common.hpp"

namespace kivstream {
namespace {

struct BenchPlan {
    QString transport;
    uint16_t width, height;
    std::optional<int> jpegLevel;
    int receivers = 1;
};

// Runs each planned bench in turn and prints them as one table (or JSON).
int benchRows(const Options &base, const std::vector<BenchPlan> &plans) {
    std::vector<BenchResult> rows;
    int status = kExitOk;
    int index = 0;
    for (const BenchPlan &plan : plans) {
        if (stopRequested()) break;
        Options o = base;
        o.transport = plan.transport;
        if (o.protocol() == KIV_PROTOCOL_TCP) o.address = QStringLiteral("127.0.0.1"); // --address is for the udp group
        o.format.width = plan.width;
        o.format.height = plan.height;
        o.jpegLevel = plan.jpegLevel;
        o.receivers = plan.receivers;
        o.stream = kBenchStreamBase + 100 + index++;
        if (!o.frames && !o.seconds) o.seconds = 2;
        if (!base.json && isatty(STDERR_FILENO))
            print(stderr, QStringLiteral("%1 %2x%3 %4 x%5...\n").arg(plan.transport).arg(plan.width).arg(plan.height)
                              .arg(plan.jpegLevel ? QStringLiteral("jpeg %1").arg(*plan.jpegLevel) : QStringLiteral("raw"))
                              .arg(plan.receivers));
        BenchRun run = benchOnce(o);
        if (run.status != kExitOk) {
            if (run.unsupported) {
                run.result.skipped = QStringLiteral("not in this build");
            } else {
                run.result.failure = run.error;
                status = std::max(status, kExitCannotStart);
            }
        } else if (!run.result.failure.isEmpty()) {
            status = kExitCheckFailed;
        }
        rows.push_back(run.result);
    }
    const bool interrupted = stopRequested();
    const QString cutShort = QStringLiteral("interrupted in run %1 of %2; the later runs did not happen").arg(rows.size()).arg(plans.size());
    if (base.json) {
        QJsonArray runs;
        for (const BenchResult &r : rows) runs.append(benchJson(r));
        out(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("runs"), runs},
                                                        {QStringLiteral("runs_planned"), qint64(plans.size())},
                                                        {QStringLiteral("interrupted"), interrupted}})
                                  .toJson(QJsonDocument::Compact)) +
            QLatin1Char('\n'));
    } else {
        out(benchTable(rows));
        if (interrupted) out(QLatin1Char('\n') + cutShort + QLatin1Char('\n'));
    }
    if (interrupted) err(cutShort);
    // Bad frames and dead transports say more than an interruption does.
    return status == kExitOk && interrupted ? kExitInterrupted : status;
}

QStringList benchTransports(const Options &base) {
    return base.transportGiven ? QStringList{base.transport}
                               : QStringList{QStringLiteral("memory"), QStringLiteral("tcp"), QStringLiteral("udp")};
}

struct Size {
    uint16_t w, h;
};
const std::optional<int> kBenchCodecs[] = {std::nullopt, 50};

} // namespace

int benchAll(const Options &base) {
    const Size sizes[] = {{320, 240}, {1280, 720}, {1920, 1080}, {3840, 2160}};
    std::vector<BenchPlan> plans;
    for (const QString &t : benchTransports(base))
        for (const Size &s : sizes)
            for (const auto &level : kBenchCodecs) plans.push_back({t, s.w, s.h, level});
    return benchRows(base, plans);
}

// Cost per frame against frame size, then against the number of receivers of
// one stream where a stream can have several: memory, and udp to a multicast group.
int benchScaling(const Options &base) {
    const Size sizes[] = {{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}, {3840, 2160}};
    std::vector<BenchPlan> plans;
    const QStringList transports = benchTransports(base);
    for (const QString &t : transports)
        for (const Size &s : sizes)
            for (const auto &level : kBenchCodecs) plans.push_back({t, s.w, s.h, level});
    const bool multicast = base.address.section(QLatin1Char('.'), 0, 0).toInt() / 16 == 14; // 224.0.0.0/4
    for (const QString &t : transports) {
        if (t == QLatin1String("tcp") || (t == QLatin1String("udp") && !multicast)) continue;
        for (int n : {1, 2, 4, 8})
            for (const auto &level : kBenchCodecs) plans.push_back({t, 1280, 720, level, n});
    }
    if (!multicast && transports.contains(QStringLiteral("udp")))
        err(QStringLiteral("udp against receivers needs --address with a multicast group; left out"));
    return benchRows(base, plans);
}


} // namespace kivstream
