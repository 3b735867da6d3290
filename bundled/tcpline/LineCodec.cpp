#include "LineCodec.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "common/Record.h"

namespace tcpline {

namespace {

bool unescape(char code, char& out) {
    switch (code) {
        case ';':
        case '=':
        case '\\':
            out = code;
            return true;
        case 'n':
            out = '\n';
            return true;
        case 'r':
            out = '\r';
            return true;
        default:
            return false;
    }
}

void appendPair(std::string& line, const std::string& key, const std::string& value) {
    line += ';';
    line += escapeField(key);
    line += '=';
    line += escapeField(value);
}

}  // namespace

bool parseRecordLine(const std::string& line, Record& record, std::string& error) {
    // A record holds C strings: a NUL byte would cut a key or value short
    // without a word.
    if (line.find('\0') != std::string::npos) {
        error = "NUL byte in the line";
        return false;
    }
    // Keys are checked against a hash set, not the record: a line of many
    // keys then builds in linear time instead of quadratic.
    std::unordered_set<std::string> keys;
    for (int i = 0; i < record.count(); ++i) keys.insert(record.keyAt(i));
    const int entriesBefore = record.count();
    std::string key, value;
    bool inValue = false;
    auto finishPair = [&]() -> bool {
        if (!inValue && key.empty()) return true;  // an empty pair
        if (!inValue) {
            error = "pair \"" + key + "\" has no value";
            return false;
        }
        if (key.empty()) {
            error = "empty key";
            return false;
        }
        if (!keys.insert(key).second) {
            error = "key \"" + key + "\" appears twice";
            return false;
        }
        record.append(key.c_str(), value.c_str());
        key.clear();
        value.clear();
        inValue = false;
        return true;
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        std::string& field = inValue ? value : key;
        if (c == '\\') {
            char out;
            if (i + 1 >= line.size() || !unescape(line[i + 1], out)) {
                error = i + 1 >= line.size() ? "line ends in a lone backslash"
                                             : std::string("unknown escape \\") + line[i + 1];
                return false;
            }
            field += out;
            ++i;
        } else if (c == ';') {
            if (!finishPair()) return false;
        } else if (c == '=' && !inValue) {
            inValue = true;
        } else {
            field += c;
        }
    }
    if (!finishPair()) return false;
    if (record.count() == entriesBefore) {
        error = "no pair in the line";
        return false;
    }
    return true;
}

std::string escapeField(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case ';':
                escaped += "\\;";
                break;
            case '=':
                escaped += "\\=";
                break;
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string formatLine(const std::string& head, const Record& record) {
    std::string line = head;
    for (int i = 0; i < record.count(); ++i) appendPair(line, record.keyAt(i), record.valueAt(i));
    return line;
}

std::string formatChanges(const std::string& head, const Record& before, const Record& after) {
    std::unordered_map<std::string_view, std::string_view> earlier;
    earlier.reserve(static_cast<std::size_t>(before.count()));
    for (int i = 0; i < before.count(); ++i) earlier.emplace(before.keyAt(i), before.valueAt(i));
    std::string line = head;
    for (int i = 0; i < after.count(); ++i) {
        const char* key = after.keyAt(i);
        auto found = earlier.find(key);
        if (found == earlier.end() || found->second != after.valueAt(i))
            appendPair(line, key, after.valueAt(i));
    }
    return line;
}

}  // namespace tcpline
