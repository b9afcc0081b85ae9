#include "relay/cluster_wire.hpp"

#include <nlohmann/json.hpp>

#include "crypto/credentials.hpp"

namespace kl::relay::wire {

namespace {

const char* Name(Kind kind) {
    switch (kind) {
        case Kind::Request:
            return "request";
        case Kind::Text:
            return "text";
        case Kind::Close:
            return "close";
        case Kind::ToHost:
            return "up";
        case Kind::ToViewer:
            return "down";
        case Kind::Left:
            return "left";
        case Kind::Credit:
            return "credit";
    }
    return "";
}

std::optional<Kind> KindOf(const std::string& name) {
    for (Kind k : {Kind::Request, Kind::Text, Kind::Close, Kind::ToHost, Kind::ToViewer, Kind::Left,
                   Kind::Credit})
        if (name == Name(k)) return k;
    return std::nullopt;
}

std::string Str(const nlohmann::json& j, const char* key, std::size_t max) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return {};
    const auto& s = it->get_ref<const std::string&>();
    return s.size() <= max ? s : std::string();
}

std::uint64_t Num(const nlohmann::json& j, const char* key, std::uint64_t max) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_unsigned()) return 0;
    const auto v = it->get<std::uint64_t>();
    return v <= max ? v : 0;
}

}  // namespace

bool IsNodeId(std::string_view id) noexcept {
    if (id.size() != 16) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string Encode(const Message& m) {
    nlohmann::json h = {{"k", Name(m.kind)}, {"n", m.from}, {"e", m.epoch}, {"c", m.conn}};
    switch (m.kind) {
        case Kind::Request:
            h["s"] = m.sessionId;
            h["p"] = m.password;
            h["a"] = m.address;
            break;
        case Kind::Text:
            h["t"] = m.text;
            break;
        case Kind::Close:
            h["x"] = m.code;
            break;
        case Kind::Credit:
            h["m"] = m.count;
            h["h"] = m.toHost;
            break;
        default:
            break;
    }
    std::string out = h.dump();
    out.reserve(out.size() + 1 + m.payload.size());
    out += '\n';
    out.append(m.payload.data(), m.payload.size());
    return out;
}

std::optional<Message> Decode(std::string_view data, std::size_t maxPayload) {
    const auto newline = data.find('\n');
    if (newline == std::string_view::npos || newline > kMaxHeader) return std::nullopt;
    const auto header = nlohmann::json::parse(data.substr(0, newline), nullptr, false);
    if (!header.is_object()) return std::nullopt;
    Message m;
    const auto kind = KindOf(Str(header, "k", 16));
    if (!kind) return std::nullopt;
    m.kind = *kind;
    m.from = Str(header, "n", 16);
    m.epoch = Str(header, "e", 16);
    m.conn = Num(header, "c", ~std::uint64_t{0});
    if (!IsNodeId(m.from) || !IsNodeId(m.epoch) || m.conn == 0) return std::nullopt;
    m.payload = data.substr(newline + 1);
    const bool binary = m.kind == Kind::ToHost || m.kind == Kind::ToViewer;
    if (!binary && !m.payload.empty()) return std::nullopt;
    if (m.payload.size() > maxPayload) return std::nullopt;
    switch (m.kind) {
        case Kind::Request:
            m.sessionId = Str(header, "s", 9);
            m.password = Str(header, "p", 100);
            m.address = Str(header, "a", 64);
            if (!IsValidConnectionId(m.sessionId) || m.password.size() != 100 || m.address.empty())
                return std::nullopt;
            break;
        case Kind::Text:
            m.text = Str(header, "t", 2048);
            if (m.text.empty()) return std::nullopt;
            break;
        case Kind::Close:
            m.code = static_cast<std::uint16_t>(Num(header, "x", 4999));
            if (m.code < 1000) return std::nullopt;
            break;
        case Kind::Credit:
            m.count = static_cast<std::uint32_t>(Num(header, "m", 1u << 30));
            if (m.count == 0) return std::nullopt;
            if (auto h = header.find("h"); h != header.end() && h->is_boolean())
                m.toHost = h->get<bool>();
            else
                return std::nullopt;
            break;
        case Kind::ToHost:
        case Kind::ToViewer:
        case Kind::Left:
            break;
    }
    return m;
}

}  // namespace kl::relay::wire
