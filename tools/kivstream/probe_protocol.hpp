// SPDX-License-Identifier: MIT
// The control protocol between `kivstream probe` and `kivstream serve`: one
// JSON object per line over TCP, version 1 (docs/probe.md). Everything a serve
// end reads is outside bytes: a line is parsed only once it is whole and no
// longer than the limit, and every field is checked against the serve's caps
// before anything is opened.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace kivstream::probe {

inline constexpr int kProtocolVersion = 1;
inline constexpr const char *kProtocolName = "kivprobe";
inline constexpr int kDefaultControlPort = 10580;
// Streams (TCP/UDP ports) a serve end receives on: kDefaultStreamBase and the
// kStreamsPerServe after it.
inline constexpr int kDefaultStreamBase = 10600;
inline constexpr int kStreamsPerServe = 64;

// A line from a probe; longer ones end the connection.
inline constexpr qsizetype kMaxRequestLine = 4096;
// A line from a serve end: a cell's frame records come in one.
inline constexpr qsizetype kMaxReplyLine = 4 << 20;

// What a serve end allows a probe. A probe cannot make it send to anyone but
// itself (a serve end receives), nor hold more than these.
struct ServeLimits {
    int maxProbes = 8;              // control sessions past the hello
    int maxConnections = 32;        // any control connections, junk included
    int helloTimeoutMs = 5000;      // to say hello, else the connection goes
    int idleTimeoutMs = 30000;      // between messages of a session
    int maxStreamsPerProbe = 4;     // cells open at once
    double maxCellSeconds = 120;    // a cell's whole life
    double maxFps = 1000;
    uint32_t maxWidth = 7680, maxHeight = 4320;
    uint32_t maxFramesPerCell = 100000; // records kept, then counted only
    uint32_t maxRecordsPerCollect = 20000;
    double maxSendBytesPerSecond = 125e6; // a stream a serve end sends (--reverse), raw
    int streamBase = kDefaultStreamBase;
    int streams = kStreamsPerServe;

    QJsonObject toJson() const;
    static std::optional<ServeLimits> fromJson(const QJsonObject &o);
};

enum class Transport { Tcp, Udp };
QString transportName(Transport t);

// One stream a probe asks a serve end to receive.
struct CellSpec {
    int id = 0;            // the probe's name for it, 1..2^31
    Transport transport = Transport::Udp;
    int stream = 0;        // port, within the serve's range
    QString group;         // UDP multicast group, empty for unicast
    uint32_t width = 0, height = 0;
    int depth = 24;        // bits per pixel: 8, 16, 24, 32
    int jpeg = -1;         // compression level 0..100, -1 raw
    uint32_t seed = 1;     // of the check pattern
    double seconds = 0;    // how long the serve end keeps it at most
};

struct Hello {
    int version = 0;
};
struct TimeRequest {
    int64_t t1 = 0; // probe's wall clock, us
};
struct Start {
    CellSpec cell;
};
struct Collect {
    int id = 0;
};
struct Stop {
    int id = 0;
};
// The serve end sends the stream instead, to the probe's own address, paused
// until a Rate comes.
struct SendStream {
    CellSpec cell;
};
struct Rate {
    int id = 0;
    double fps = 0; // 0 pauses
};
using Request = std::variant<Hello, TimeRequest, Start, Collect, Stop, SendStream, Rate>;

// Parses one line (without its newline) from a probe. `error` says what is
// wrong, for the reply; nothing is returned for a bad line.
std::optional<Request> parseRequest(const QByteArray &line, QString &error);
// A Start or SendStream within the serve's caps; empty when it is, else why not.
QString checkAgainstLimits(const CellSpec &cell, const ServeLimits &limits);
// A rate for a stream the serve end sends: within maxFps and maxSendBytesPerSecond.
QString checkRate(const CellSpec &cell, double fps, const ServeLimits &limits);

QByteArray encode(const Request &r);

// A frame as a serve end saw it: the number its picture carries, the sender's
// stamp and our arrival time (each on its own host's wall clock, us), and
// whether it was intact.
struct FrameRecord {
    uint32_t number = 0;
    int64_t sentUs = 0;
    int64_t arrivedUs = 0;
    uint32_t bytes = 0; // as carried (transfer bytes)
    bool intact = false;
};

// The receiver's counters, as its library tells them.
struct ReceiverCounters {
    uint64_t framesDropped = 0, framesIncomplete = 0, framesMalformed = 0;
    uint64_t datagramsLost = 0, datagramsRecovered = 0, datagramsRequested = 0, datagramsRepaired = 0;
    uint64_t recordsDropped = 0; // over maxFramesPerCell
};

struct HelloReply {
    int version = 0;
    ServeLimits limits;
};
struct TimeReply {
    int64_t t1 = 0, t2 = 0, t3 = 0; // t2 on arrival, t3 on reply, serve's clock
};
struct Started {
    int id = 0;
};
struct Records {
    int id = 0;
    bool final = false; // the reply to Stop: the cell is gone
    std::vector<FrameRecord> frames;
    ReceiverCounters counters;
};
// The reply to Rate: the number the next frame will carry, and the frames the
// serve end's encoder dropped so far.
struct Mark {
    int id = 0;
    uint32_t next = 0;
    uint64_t dropped = 0;
};
struct ErrorReply {
    int id = 0; // 0 when no cell is concerned
    QString message;
};
using Reply = std::variant<HelloReply, TimeReply, Started, Records, ErrorReply, Mark>;

std::optional<Reply> parseReply(const QByteArray &line, QString &error);
QByteArray encode(const Reply &r);

// Splits a byte stream into lines, refusing any longer than `maxLine`.
class LineReader {
public:
    explicit LineReader(qsizetype maxLine) : maxLine_(maxLine) {}
    void append(const QByteArray &bytes) { buffer_.append(bytes); }
    // The next whole line; nothing while it is incomplete. Sets `overlong`
    // (and keeps it) once a line passes the limit.
    std::optional<QByteArray> next();
    bool overlong() const { return overlong_; }

private:
    qsizetype maxLine_;
    QByteArray buffer_;
    bool overlong_ = false;
};

} // namespace kivstream::probe
