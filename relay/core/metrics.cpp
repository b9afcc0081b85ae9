#include "relay/core/metrics.hpp"

namespace kl::relay {

namespace {
void Metric(std::string& out, const char* name, const char* type, const char* help,
            std::uint64_t value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    out += std::string(name) + " " + std::to_string(value) + "\n";
}
}  // namespace

std::string FormatMetrics(const Counters& routing, const TrafficCounters& traffic) {
    std::string out;
    Metric(out, "kestrelink_relay_connections", "gauge", "Open WebSocket connections.",
           traffic.openConnections);
    Metric(out, "kestrelink_relay_connections_total", "counter",
           "Connections accepted since start.", traffic.acceptedConnections);
    Metric(out, "kestrelink_relay_registered_hosts", "gauge", "Hosts registered with an ID.",
           routing.registeredHosts);
    Metric(out, "kestrelink_relay_pending_requests", "gauge",
           "Viewer requests waiting for a host's answer.", routing.pendingRequests);
    Metric(out, "kestrelink_relay_paired_sessions", "gauge", "Paired host and viewer sessions.",
           routing.pairedSessions);
    Metric(out, "kestrelink_relay_forwarded_bytes_total", "counter",
           "Binary bytes forwarded between peers.", traffic.bytesForwarded);
    Metric(out, "kestrelink_relay_forwarded_messages_total", "counter",
           "Binary messages forwarded between peers.", traffic.messagesForwarded);
    Metric(out, "kestrelink_relay_buffered_bytes", "gauge",
           "Bytes held in read buffers and queued output, against --memory-budget-bytes.",
           traffic.bufferedBytes);
    Metric(out, "kestrelink_relay_address_records", "gauge",
           "Source addresses (IPv6 per /64) with viewer requests in the last minute.",
           routing.addressRecords);
    out += "# HELP kestrelink_relay_refusals_total Refused or closed connections by reason.\n";
    out += "# TYPE kestrelink_relay_refusals_total counter\n";
    for (const auto& [reason, count] : routing.refusals)
        out += "kestrelink_relay_refusals_total{reason=\"" + reason + "\"} " +
               std::to_string(count) + "\n";
    return out;
}

}  // namespace kl::relay
