#pragma once
// The relay's numbers in the Prometheus text format.
#include <cstdint>
#include <string>

#include "relay/core/router.hpp"

namespace kl::relay {

struct TrafficCounters {
    std::uint64_t openConnections = 0;
    std::uint64_t acceptedConnections = 0;
    std::uint64_t bytesForwarded = 0;
    std::uint64_t messagesForwarded = 0;
    std::uint64_t bufferedBytes = 0;
};

std::string FormatMetrics(const Counters& routing, const TrafficCounters& traffic);

}  // namespace kl::relay
