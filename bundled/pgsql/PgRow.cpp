#include "PgRow.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "Cp1250.h"
#include "Json.h"
#include "common/Record.h"

namespace ostra_pgsql {

namespace {

// Text as the server gets it, or false when it cannot be.
bool serverText(const char* bytes, std::string& text) {
#ifdef OSTRA_CP1250
    text = bundled_support::cp1250ToUtf8(bytes);
    return true;
#else
    text = bytes;
    return isStrictUtf8(text);
#endif
}

void appendArrayElement(std::string& literal, const std::string& text) {
    literal += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') literal += '\\';
        literal += c;
    }
    literal += '"';
}

}  // namespace

bool isStrictUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        unsigned char lead = bytes[i];
        if (lead == 0) return false;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned low = 0x80, high = 0xBF;  // the second byte's range
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (i + length > size || bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

std::string utcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long long millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  millis);
    return text;
}

bool makeRow(const Record& record, int type, int tag, const std::string& idempotencyEntry,
             PgRow& row, std::string& error) {
    row.time = utcNow();
    row.type = type;
    row.tag = tag;
    row.entries = "{";
    row.entryOrder = "{";
    std::string key, value;
    for (int i = 0; i < record.count(); ++i) {
        if (!serverText(record.keyAt(i), key) || !serverText(record.valueAt(i), value)) {
            error = "the entry " + std::string(record.keyAt(i)) + " is not valid UTF-8";
            return false;
        }
        if (i > 0) {
            row.entries += ',';
            row.entryOrder += ',';
        }
        bundled_support::appendJsonString(row.entries, key);
        row.entries += ':';
        bundled_support::appendJsonString(row.entries, value);
        appendArrayElement(row.entryOrder, key);
        if (!idempotencyEntry.empty() && key == idempotencyEntry) row.idempotencyKey = value;
    }
    row.entries += '}';
    row.entryOrder += '}';
    return true;
}

}  // namespace ostra_pgsql
