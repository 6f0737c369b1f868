// SPDX-License-Identifier: MIT
#include "tcp_address.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace kiv {

std::string addressText(const SocketAddress &address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.storage.ss_family == AF_INET6) {
        const auto &a = reinterpret_cast<const sockaddr_in6 &>(address.storage);
        ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    const auto &a = reinterpret_cast<const sockaddr_in &>(address.storage);
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}
namespace {

bool isDigits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// RFC 1123 host names, plus '_' which some local networks use. A name whose last
// label is all digits is a mistyped IPv4 literal ("10.0.0.256", "10.1.2"), not a name.
bool isHostName(std::string_view name, std::string &why) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.empty() || name.size() > 253) {
        why = "host name is empty or too long";
        return false;
    }
    std::string_view last;
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) dot = name.size();
        const std::string_view label = name.substr(start, dot - start);
        if (label.empty() || label.size() > 63) {
            why = "empty or overlong label in host name";
            return false;
        }
        for (char c : label) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '_';
            if (!ok) {
                why = std::string("character '") + c + "' is not allowed in a host name";
                return false;
            }
        }
        if (label.front() == '-' || label.back() == '-') {
            why = "a host name label cannot start or end with '-'";
            return false;
        }
        last = label;
        start = dot + 1;
    }
    if (isDigits(last)) {
        why = "not a valid IPv4 address";
        return false;
    }
    return true;
}

bool parseIpv6(const std::string &text, int port, SocketAddress &out) {
    std::string addr = text;
    uint32_t scope = 0;
    if (const size_t pct = text.find('%'); pct != std::string::npos) {
        addr = text.substr(0, pct);
        const std::string zone = text.substr(pct + 1);
        if (zone.empty()) return false;
        scope = isDigits(zone) && zone.size() < 10 ? uint32_t(std::stoul(zone)) : if_nametoindex(zone.c_str());
        if (scope == 0) return false;
    }
    sockaddr_in6 sa{};
    if (inet_pton(AF_INET6, addr.c_str(), &sa.sin6_addr) != 1) return false;
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(uint16_t(port));
    sa.sin6_scope_id = scope;
    std::memcpy(&out.storage, &sa, sizeof sa);
    out.length = sizeof sa;
    return true;
}

} // namespace

bool parseDestination(const std::string &text, int port, Destination &out, std::string &why) {
    out = Destination{};
    out.port = port;
    if (text.empty()) {
        why = "address is empty";
        return false;
    }
    std::string host = text;
    const bool bracketed = host.front() == '[';
    if (bracketed) {
        if (host.size() < 3 || host.back() != ']') {
            why = "unbalanced brackets";
            return false;
        }
        host = host.substr(1, host.size() - 2);
    }
    out.host = host;

    SocketAddress sa;
    sockaddr_in v4{};
    if (!bracketed && inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(uint16_t(port));
        std::memcpy(&sa.storage, &v4, sizeof v4);
        sa.length = sizeof v4;
        out.literal.push_back(sa);
        return true;
    }
    if (parseIpv6(host, port, sa)) {
        out.literal.push_back(sa);
        return true;
    }
    if (bracketed || host.find(':') != std::string::npos) {
        why = "not a valid IPv6 address";
        return false;
    }
    return isHostName(host, why);
}

struct PendingResolution::Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::vector<SocketAddress> addresses;
};

PendingResolution::PendingResolution(const std::string &host, int port) : shared_(std::make_shared<Shared>()) {
    auto run = [shared = shared_, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo *list = nullptr;
        std::vector<SocketAddress> found;
        if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) == 0) {
            for (addrinfo *ai = list; ai; ai = ai->ai_next) {
                if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
                SocketAddress sa;
                std::memcpy(&sa.storage, ai->ai_addr, ai->ai_addrlen);
                sa.length = ai->ai_addrlen;
                found.push_back(sa);
            }
            freeaddrinfo(list);
        }
        std::lock_guard lock(shared->mutex);
        shared->addresses = std::move(found);
        shared->finished = true;
        shared->done.notify_all();
    };
    try {
        std::thread(std::move(run)).detach();
    } catch (const std::system_error &) {
        // No thread to spare: the name stays unresolved and the sender retries later.
        std::lock_guard lock(shared_->mutex);
        shared_->finished = true;
    }
}

std::vector<SocketAddress> PendingResolution::wait(std::chrono::milliseconds limit, std::stop_token stop) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(shared_->mutex);
    while (!shared_->finished && !stop.stop_requested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return {};
        shared_->done.wait_for(lock, std::min<std::chrono::steady_clock::duration>(deadline - now,
                                                                                   std::chrono::milliseconds(50)));
    }
    return shared_->finished && !stop.stop_requested() ? shared_->addresses : std::vector<SocketAddress>{};
}

} // namespace kiv
