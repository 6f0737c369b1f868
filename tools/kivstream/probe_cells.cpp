// SPDX-License-Identifier: MIT
#include "probe_cells.hpp"

namespace kivstream::probe {

Mark CellSender::setRate(double fps) {
    std::lock_guard lock(mutex_);
    // The same rate again only asks where the stream stands: its rhythm goes on.
    if (fps != fps_) ++rateChanges_;
    fps_ = fps;
    kivEncoderStats s{};
    kivGetEncoderStats(enc_.get(), &s);
    return Mark{spec_.id, next_, s.framesDropped};
}

void CellSender::loop(std::stop_token stop) {
    auto due = SteadyClock::now();
    Every publish(std::chrono::milliseconds(250));
    uint64_t seenChanges = 0;
    while (!stop.stop_requested() && !expired()) {
        if (metrics_ && publish.due()) publishEncoder(*metrics_, enc_.get());
        double fps;
        {
            std::lock_guard lock(mutex_);
            fps = fps_;
            // A new rate starts now, not where the old one's schedule stood.
            if (rateChanges_ != seenChanges) due = SteadyClock::now(), seenChanges = rateChanges_;
        }
        if (fps <= 0 || SteadyClock::now() < due) {
            std::this_thread::sleep_for(std::min<SteadyClock::duration>(std::chrono::milliseconds(5), std::max(due - SteadyClock::now(), SteadyClock::duration(0))));
            continue;
        }
        uint32_t n;
        {
            std::lock_guard lock(mutex_);
            n = next_++;
        }
        kivEncode(enc_.get(), source_.frame(n));
        due += std::chrono::microseconds(int64_t(1e6 / fps));
        // Far behind (a slow machine): start afresh rather than burst.
        if (SteadyClock::now() - due > std::chrono::seconds(1)) due = SteadyClock::now();
    }
    if (metrics_) publishEncoder(*metrics_, enc_.get());
}

} // namespace kivstream::probe
