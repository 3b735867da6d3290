#include "OstraService/ProtocolType.h"

#include "OstraService/Text.h"

namespace protocol_type {

int codeOf(const char* type) {
    static const char* const kTypes[] = {"KEYCARD", "PBX", "INTERNET PRISTUP", "PAYTV"};
    for (int code = 0; code < 4; ++code) {
        if (text::equalsIgnoreCase(type, kTypes[code])) return code;
    }
    return -1;
}

}  // namespace protocol_type
