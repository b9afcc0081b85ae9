#pragma once
// The session the crypto fuzz target judges envelopes and proofs against; its seeds are sealed
// and signed with exactly these, so the fuzzer starts past a successful open and verify.
#include <string>

namespace klfuzz {

inline const std::string kKey = "ABCDEFGHIJKLMNOPQRSTUVWXYA";
inline const std::string kId = "123456789";
inline const std::string kNonce = "000102030405060708090a0b0c0d0e0f";

}  // namespace klfuzz
