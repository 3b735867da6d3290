#include "OstraService/ProtocolType.h"

#include "OstraService/Text.h"

namespace protocol_type {

const char* const kNames[kCount] = {"KEYCARD", "PBX", "INTERNET PRISTUP", "PAYTV"};

int codeOf(const char* type) {
    for (int code = 0; code < kCount; ++code) {
        if (text::equalsIgnoreCase(type, kNames[code])) return code;
    }
    return -1;
}

}  // namespace protocol_type
