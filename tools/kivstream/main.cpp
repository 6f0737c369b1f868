// SPDX-License-Identifier: MIT
// kivstream: send, receive and bench video frames from the command line.
#include <QCoreApplication>
#include <QGuiApplication>

#include <csignal>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

#include "commands.hpp"
#include "options.hpp"
#include "probe.hpp"

namespace {

extern "C" void onStopSignal(int sig) {
    kivstream::requestStop();
    // A second Ctrl-C ends the program the hard way.
    std::signal(sig, SIG_DFL);
}

void installStopHandlers() {
    kivstream::stopFd(); // made now: the handler must not
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// probe and serve have command lines of their own.
int runProbeCommand(int argc, char **argv) {
    const bool serve = std::string_view(argv[1]) == "serve";
    // The plot draws text, which needs a GUI application; offscreen needs no display.
    const bool plot = std::any_of(argv + 2, argv + argc, [](const char *a) { return std::string_view(a).starts_with("--plot"); });
    if (plot && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt sees the program's name alone: a GUI application would take its own
    // options out of the command line, --reverse among them.
    QStringList args;
    for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    int qtArgc = 1;
    std::unique_ptr<QCoreApplication> app(plot ? new QGuiApplication(qtArgc, argv) : new QCoreApplication(qtArgc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("kivstream"));
    const auto parsed = kivstream::parseProbeCommand(args);
    if (const auto *e = std::get_if<kivstream::ParseError>(&parsed)) {
        // The usage line names the program, not the path it was run from.
        if (!e->output.isEmpty())
            std::fputs(QString(e->output).replace(QCoreApplication::arguments().constFirst(), QStringLiteral("kivstream")).toLocal8Bit().constData(), stdout);
        if (!e->message.isEmpty())
            std::fprintf(stderr, "kivstream: %s\nTry 'kivstream %s --help'.\n", e->message.toLocal8Bit().constData(), argv[1]);
        return e->exitCode;
    }
    installStopHandlers();
    const auto &settings = std::get<kivstream::ProbeSettings>(parsed);
    return serve ? kivstream::runServe(settings) : kivstream::runProbe(settings);
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && (std::string_view(argv[1]) == "probe" || std::string_view(argv[1]) == "serve")) return runProbeCommand(argc, argv);
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
