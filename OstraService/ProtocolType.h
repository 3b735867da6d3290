// The protocol types of the configuration and their type codes.
#pragma once

namespace protocol_type {

// The words, each at the index of its type code.
constexpr int kCount = 4;
extern const char* const kNames[kCount];

// "KEYCARD" 0, "PBX" 1, "INTERNET PRISTUP" 2, "PAYTV" 3, compared ignoring
// the case of A to Z; -1 for anything else.
int codeOf(const char* type);

}  // namespace protocol_type
