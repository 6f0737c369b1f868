// SPDX-License-Identifier: MIT
// Command line of kivstream: what each subcommand accepts, checked up front so
// that a bad argument never reaches the library.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <variant>

#include "kivVidStreamLib2.h"
#include "kivmodel.h"

namespace kivstream {

enum class Command { Send, Receive, Bench };
enum class PatternKind { Picture, Check };

using kivtester::kChannelBase;
// Bench runs default to the benchmarks' own stream numbers, away from the tester's.
inline constexpr int kBenchStreamBase = 27000;

// KIV_PROTOCOL_* for "memory", "tcp" or "udp"; 0 for any other name.
int protocolForName(const QString &name);

struct Options {
    Command command = Command::Send;
    QString transport = QStringLiteral("memory");
    int protocol() const { return protocolForName(transport); }
    bool transportGiven = false;
    QString address = QStringLiteral("127.0.0.1");
    int stream = kChannelBase;
    kivStreamFormat format{320, 240, KIV_DEPTH_24, KIV_ORIENTATION_TOP_DOWN};
    int depthBits = 24;
    std::optional<int> jpegLevel; // unset: raw frames
    double fps = 15;              // 0: as fast as it goes
    std::optional<uint64_t> frames;
    std::optional<double> seconds;
    bool json = false;
    PatternKind pattern = PatternKind::Picture;
    bool all = false;     // bench: the whole matrix
    bool scaling = false; // bench: cost per frame against frame size and receivers
    int receivers = 1;    // bench: decoders of the one stream (memory, udp)
    bool latency = false; // receive: sender shares our clock
    QString csv;          // receive: one row a second to this file
    QString metrics;      // send, receive, bench: [ADDR:]PORT of the Prometheus endpoint
    uint32_t seed = 1;
    // UDP senders: redundancy in percent (unset: the library's default),
    // loss / duplication the sender inflicts on itself, on its datagrams and on
    // the requests and reports coming back, and a rate cap in bytes per second.
    std::optional<int> fec;
    kivImpairment impairment{};
    kivImpairment returnImpairment{};
    std::optional<uint64_t> maxRate;
    // UDP receivers: how long to ask for lost datagrams (unset: the library's default).
    std::optional<int> repairBudget;
};

struct ParseError {
    QString message; // empty for --help / --version, which print and exit 0
    int exitCode = 2;
    QString output;  // text for stdout (help, version)
};

using ParseResult = std::variant<Options, ParseError>;

// `args` without the program name.
ParseResult parseOptions(const QStringList &args);

// A decimal number within lo..hi; nothing for anything else (NaN and infinities included).
std::optional<long long> toInteger(const QString &text, long long lo, long long hi);
std::optional<double> toReal(const QString &text, double lo, double hi);

// Depth code for bits per pixel, -1 when unknown.
int depthCodeForBits(int bits);

} // namespace kivstream
