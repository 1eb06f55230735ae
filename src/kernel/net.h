// The simulated HTTP broker's state: static routes registered by the host, the network log and
// the listener names. The host interface owns its behaviour; the machine only holds the data.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace tw {

struct HttpRoute {
    std::string pattern;
    std::string method;
    std::uint16_t status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    Bytes body;
};

struct NetworkRequest {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::uint64_t dropped_headers = 0;
    Bytes body;
    bool matched = false;
    std::uint16_t status = 0;
};

struct HttpBroker {
    std::vector<HttpRoute> routes;
    std::vector<NetworkRequest> log;
    std::set<std::string> listeners;
};

}  // namespace tw
