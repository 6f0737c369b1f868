// SPDX-License-Identifier: MIT
// Destination addresses for the TCP sender: checked at once, resolved later.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace kiv {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
};

// "192.0.2.1:10588" or "[2001:db8::1]:10588", for messages.
std::string addressText(const SocketAddress &address);

// What the user typed, split into what can be decided now and what needs DNS.
struct Destination {
    std::string host;               // without brackets
    int port = 0;
    std::vector<SocketAddress> literal; // filled for an IPv4 or IPv6 literal
    bool isLiteral() const { return !literal.empty(); }
};

// Checks the syntax of `text`: an IPv4 literal, an IPv6 literal (bracketed or
// not, with an optional %scope) or a host name. Never touches the network.
// False with a reason in `why` when the text cannot be any of these.
bool parseDestination(const std::string &text, int port, Destination &out, std::string &why);

// Resolves a host name on a thread of its own, so that neither the caller nor a
// stopping sender ever waits for a slow DNS server; the result is shared with
// that thread and outlives whoever gave up on it.
class PendingResolution {
public:
    PendingResolution(const std::string &host, int port);
    // The addresses, or nothing when the name does not resolve, the wait runs
    // out or `stop` is requested. Waits in short slices.
    std::vector<SocketAddress> wait(std::chrono::milliseconds limit, std::stop_token stop);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

} // namespace kiv
