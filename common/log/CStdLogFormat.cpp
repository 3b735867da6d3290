#include "common/log/CStdLogFormat.h"

#include <cstdio>
#include <cstring>

#include "common/log/LogLevel.h"
#include "platform/winapi.h"

CStdLogFormat::CStdLogFormat() = default;
CStdLogFormat::~CStdLogFormat() = default;

void CStdLogFormat::format(std::string& out, int level, const char* logName, const char* file,
                           int line, const char* text) const {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char head[96];
    int headLength = std::snprintf(
        head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u %-5s [%lu] ", now.wYear, now.wMonth,
        now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, logLevelName(level),
        static_cast<unsigned long>(GetCurrentThreadId()));
    char where[24];
    int whereLength = std::snprintf(where, sizeof where, ":%d ", line);

    size_t textStart = out.size() + static_cast<size_t>(headLength) + std::strlen(logName) + 1 +
                       std::strlen(file) + static_cast<size_t>(whereLength);
    out.reserve(textStart + std::strlen(text));
    out.append(head, static_cast<size_t>(headLength));
    out.append(logName);
    out.push_back(' ');
    out.append(file);
    out.append(where, static_cast<size_t>(whereLength));
    out.append(text);
    // One message is one line: line breaks inside the text become blanks.
    for (size_t i = textStart; i < out.size(); ++i) {
        if (out[i] == '\n' || out[i] == '\r') out[i] = ' ';
    }
}
