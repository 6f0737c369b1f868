// kivstream: send, receive and bench video frames from the command line.
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

#include "commands.hpp"
#include "options.hpp"

namespace {

extern "C" void onStopSignal(int sig) {
    kivstream::stopRequested().store(true);
    // A second Ctrl-C ends the program the hard way.
    std::signal(sig, SIG_DFL);
}

void installStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivstream"));

    const auto parsed = kivstream::parseOptions(QCoreApplication::arguments().mid(1));
    if (const auto *e = std::get_if<kivstream::ParseError>(&parsed)) {
        if (!e->output.isEmpty()) std::fputs(e->output.toLocal8Bit().constData(), stdout);
        if (!e->message.isEmpty())
            std::fprintf(stderr, "kivstream: %s\nTry 'kivstream --help'.\n", e->message.toLocal8Bit().constData());
        return e->exitCode;
    }
    const auto &options = std::get<kivstream::Options>(parsed);
    installStopHandlers();
    switch (options.command) {
    case kivstream::Command::Send: return kivstream::runSend(options);
    case kivstream::Command::Receive: return kivstream::runReceive(options);
    case kivstream::Command::Bench: return kivstream::runBench(options);
    }
    return kivstream::kExitUsage;
}
