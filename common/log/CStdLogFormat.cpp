#include "common/log/CStdLogFormat.h"

#include <cstring>

#include "common/log/LogLevel.h"
#include "platform/winapi.h"

namespace {

// Writes `value` as `width` decimal digits, zero-padded, ending before `end`.
void putDigits(char* end, unsigned value, int width) {
    for (int i = 0; i < width; ++i) {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

void appendNumber(std::string& out, long value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* start = end;
    bool negative = value < 0;
    unsigned long magnitude =
        negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        *--start = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--start = '-';
    out.append(start, static_cast<size_t>(end - start));
}

// "YYYY-MM-DD HH:MM:SS.mmm ", the calendar part kept per thread and second.
void appendTimestamp(std::string& out) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    thread_local unsigned long long cachedSecond = ~0ULL;
    thread_local char stamp[25] = "0000-00-00 00:00:00.000 ";
    unsigned long long second =
        ((((now.wYear * 13ULL + now.wMonth) * 32 + now.wDay) * 24 + now.wHour) * 60 + now.wMinute) *
            60 +
        now.wSecond;
    if (second != cachedSecond) {
        putDigits(stamp + 4, now.wYear, 4);
        putDigits(stamp + 7, now.wMonth, 2);
        putDigits(stamp + 10, now.wDay, 2);
        putDigits(stamp + 13, now.wHour, 2);
        putDigits(stamp + 16, now.wMinute, 2);
        putDigits(stamp + 19, now.wSecond, 2);
        cachedSecond = second;
    }
    putDigits(stamp + 23, now.wMilliseconds, 3);
    out.append(stamp, 24);
}

// "[4711] ", kept per thread.
void appendThread(std::string& out) {
    thread_local std::string tag = [] {
        std::string text = "[";
        appendNumber(text, static_cast<long>(GetCurrentThreadId()));
        return text + "] ";
    }();
    out.append(tag);
}

}  // namespace

CStdLogFormat::CStdLogFormat() = default;
CStdLogFormat::~CStdLogFormat() = default;

void CStdLogFormat::format(std::string& out, int level, const char* logName, const char* file,
                           int line, const char* text) const {
    appendTimestamp(out);
    const char* word = logLevelName(level);
    size_t wordLength = std::strlen(word);
    out.append(word, wordLength);
    out.append(wordLength < 5 ? 6 - wordLength : 1, ' ');
    appendThread(out);
    out.append(logName);
    out.push_back(' ');
    out.append(file);
    out.push_back(':');
    appendNumber(out, line);
    out.push_back(' ');
    size_t textStart = out.size();
    out.append(text);
    // One message is one line: line breaks inside the text become blanks.
    for (size_t i = textStart; i < out.size(); ++i) {
        if (out[i] == '\n' || out[i] == '\r') out[i] = ' ';
    }
}
