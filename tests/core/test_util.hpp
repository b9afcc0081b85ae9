#pragma once
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kltest {

inline std::vector<std::uint8_t> Unhex(const std::string& hex) {
    if (hex.size() % 2) throw std::invalid_argument("odd hex");
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string Hex(const std::uint8_t* p, std::size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
inline std::string Hex(const std::vector<std::uint8_t>& v) {
    return Hex(v.data(), v.size());
}

inline std::vector<std::uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

inline std::string ReadDataFile(const std::string& name) {
    std::ifstream in(std::string(KL_TEST_DATA) + "/" + name, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open test data " + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace kltest
