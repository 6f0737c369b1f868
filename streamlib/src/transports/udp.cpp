// SPDX-License-Identifier: MIT
// What the UDP sender and receiver share: socket buffers, the multicast
// group, the offload switch and the factories.
#include "udp.hpp"

#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <algorithm>

#include "udp_socket.hpp"

namespace kiv::udp {

int64_t monotonicUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int growBuffer(int fd, int option, int forceOption, int wanted, bool &capped) {
    auto granted = [&] {
        int v = 0;
        socklen_t len = sizeof v;
        getsockopt(fd, SOL_SOCKET, option, &v, &len);
        return v / 2;
    };
    setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted);
    if (granted() < wanted) setsockopt(fd, SOL_SOCKET, forceOption, &wanted, sizeof wanted);
    const int got = granted();
    capped = got < wanted;
    return got;
}

bool offloadAllowed() {
    const char *env = std::getenv("KIVSTREAM_UDP_OFFLOAD");
    return !(env && std::strcmp(env, "0") == 0);
}

std::string multicastGroup() {
    const char *env = std::getenv("KIVSTREAM_MULTICAST_GROUP");
    return env && *env ? std::string(env) : std::string(KIV_MULTICAST_GROUP);
}

SenderOptions defaultSenderOptions(std::shared_ptr<SenderControls> controls) {
    SenderOptions options;
    options.allowGso = offloadAllowed();
    options.controls = std::move(controls);
    return options;
}

ReceiverOptions defaultReceiverOptions(std::shared_ptr<ReceiverControls> controls) {
    ReceiverOptions options;
    options.allowGro = offloadAllowed();
    options.controls = std::move(controls);
    return options;
}

void Impairer::reset(const kivImpairment &settings) {
    settings_ = settings;
    rng_.seed(settings.seed);
    lossRunLeft_ = 0;
}

int Impairer::next() {
    if (settings_.lossPerMillion) {
        const uint32_t burst = std::max<uint32_t>(settings_.burstLength, 1);
        if (lossRunLeft_ == 0 && rng_() % (1'000'000ull * burst) < settings_.lossPerMillion) lossRunLeft_ = burst;
        if (lossRunLeft_ > 0) {
            --lossRunLeft_;
            return 0;
        }
    }
    return settings_.duplicatePerMillion && rng_() % 1'000'000 < settings_.duplicatePerMillion ? 2 : 1;
}

void SenderControls::setImpairment(bool returnPath, const kivImpairment &impairment) {
    std::lock_guard lock(mutex_);
    impairment_[returnPath] = impairment;
    changed_[returnPath] = true;
}

bool SenderControls::takeImpairment(bool returnPath, kivImpairment &out) {
    std::lock_guard lock(mutex_);
    if (!std::exchange(changed_[returnPath], false)) return false;
    out = impairment_[returnPath];
    return true;
}

kivUdpSenderStats SenderControls::stats() const {
    kivUdpSenderStats s{};
    s.paceBytesPerSecond = paceBytesPerSecond.load();
    s.parityPercent = uint32_t(parityPercent.load());
    s.requestsAccepted = requestsAccepted.load();
    s.requestsRefused = requestsRefused.load();
    s.datagramsResent = datagramsResent.load();
    s.resendsOverBudget = resendsOverBudget.load();
    s.reportsAccepted = reportsAccepted.load();
    return s;
}

kivRepairStats repairStats(const ReceiverControls &c) {
    kivRepairStats s{};
    s.requestsSent = c.requestsSent.load();
    s.datagramsRequested = c.datagramsRequested.load();
    s.datagramsRepaired = c.datagramsRepaired.load();
    s.state = c.state.load();
    s.lossPerMillion = c.lossPerMillion.load();
    return s;
}

} // namespace kiv::udp
