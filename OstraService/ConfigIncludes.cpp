#include "OstraService/ConfigIncludes.h"

#include "platform/paths.h"
#include "platform/textfile.h"

namespace config_file {

namespace {

constexpr int kMaxDepth = 10;
const char kDirective[] = "@include";

// Where the configuration language's scanner stands at the end of a line:
// a directive counts only on a line that begins outside comments and strings.
enum class ScanState { kCode, kBlockComment, kString };

// The state after scanning `line` from `from`, starting in `state`. Line
// comments (# and //) end with their line; strings and /* */ comments may
// span lines.
ScanState scanLine(const std::string& line, size_t from, ScanState state) {
    for (size_t i = from; i < line.size(); ++i) {
        char c = line[i];
        char next = i + 1 < line.size() ? line[i + 1] : '\0';
        switch (state) {
            case ScanState::kCode:
                if (c == '"') {
                    state = ScanState::kString;
                } else if (c == '/' && next == '*') {
                    state = ScanState::kBlockComment;
                    ++i;
                } else if (c == '#' || (c == '/' && next == '/')) {
                    return state;
                }
                break;
            case ScanState::kString:
                if (c == '\\')
                    ++i;
                else if (c == '"')
                    state = ScanState::kCode;
                break;
            case ScanState::kBlockComment:
                if (c == '*' && next == '/') {
                    state = ScanState::kCode;
                    ++i;
                }
                break;
        }
    }
    return state;
}

// When `line` opens with a directive: true, with the name it gives and where
// the rest of the line starts. `error` is set when the directive is broken.
bool parseDirective(const std::string& line, std::string& name, size_t& restOfLine,
                    std::string& error) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line.compare(at, sizeof kDirective - 1, kDirective) != 0)
        return false;
    size_t afterWord = at + sizeof kDirective - 1;
    size_t quote = line.find_first_not_of(" \t", afterWord);
    if (quote == afterWord || quote == std::string::npos || line[quote] != '"') return false;
    name.clear();
    for (size_t i = quote + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            restOfLine = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"'))
            c = line[++i];
        name += c;
    }
    error = "@include without its closing quote: " + line.substr(at);
    return true;
}

// Where the lines of an expanded text came from; kept only when asked for.
struct Trace {
    std::vector<SourceLine> origins;
    SourceLine failedAt;
};

// A NUL byte would end the parser's input early and hide what follows it.
bool hasNoNul(const std::string& text, const std::string& file, const std::string& where,
              std::string& error, Trace* trace) {
    size_t nul = text.find('\0');
    if (nul == std::string::npos) return true;
    int line = 1;
    for (size_t i = 0; i < nul; ++i)
        if (text[i] == '\n') ++line;
    error = "a NUL byte on line " + std::to_string(line) + where;
    if (trace != nullptr) trace->failedAt = {file, line};
    return false;
}

// `file` is where `text` was read from ("" when not known), `folder` its folder.
bool expand(std::string& text, const std::string& file, const std::string& folder, int depth,
            std::string& error, Trace* trace) {
    std::string result;
    result.reserve(text.size());
    ScanState state = ScanState::kCode;
    size_t lineStart = 0;
    int lineNumber = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        size_t next = lineEnd == std::string::npos ? text.size() : lineEnd + 1;
        std::string line = text.substr(lineStart, next - lineStart);
        lineStart = next;
        ++lineNumber;

        std::string name;
        size_t rest = 0;
        if (state != ScanState::kCode || !parseDirective(line, name, rest, error)) {
            state = scanLine(line, 0, state);
            result += line;
            if (trace != nullptr) trace->origins.push_back({file, lineNumber});
            continue;
        }
        if (trace != nullptr) trace->failedAt = {file, lineNumber};
        if (!error.empty()) return false;
        if (depth == kMaxDepth) {
            error = "include file nesting too deep: " + name;
            return false;
        }
        std::string includedFile =
            ostra::isAbsolutePath(name) ? name : ostra::joinPath(folder, name);
        std::string included, whyNot;
        if (!ostra::readTextFile(includedFile, included, whyNot)) {
            error = "cannot open include file " + includedFile + " (" + whyNot + ")";
            return false;
        }
        Trace inner;
        Trace* innerTrace = trace != nullptr ? &inner : nullptr;
        bool expanded =
            hasNoNul(included, includedFile, " of " + includedFile, error, innerTrace) &&
            expand(included, includedFile, ostra::folderOf(includedFile), depth + 1, error,
                   innerTrace);
        if (!expanded) {
            if (trace != nullptr) trace->failedAt = inner.failedAt;
            return false;
        }
        std::string afterDirective = line.substr(rest);
        if (trace != nullptr) {
            trace->origins.insert(trace->origins.end(), inner.origins.begin(), inner.origins.end());
            // What follows the directive starts a line of its own unless the
            // included text ends without a line end.
            if (!afterDirective.empty() && (included.empty() || included.back() == '\n'))
                trace->origins.push_back({file, lineNumber});
        }
        result += included;
        result += afterDirective;
        state = scanLine(line, rest, ScanState::kCode);
    }
    text.swap(result);
    return true;
}

}  // namespace

bool expandIncludes(std::string& text, const std::string& folder, std::string& error) {
    error.clear();
    if (!hasNoNul(text, "", "", error, nullptr)) return false;
    return expand(text, "", folder, 0, error, nullptr);
}

bool expandIncludes(std::string& text, const std::string& file, std::vector<SourceLine>& origins,
                    SourceLine& failedAt, std::string& error) {
    error.clear();
    Trace trace;
    bool expanded = hasNoNul(text, file, "", error, &trace) &&
                    expand(text, file, ostra::folderOf(file), 0, error, &trace);
    origins.swap(trace.origins);
    failedAt = trace.failedAt;
    return expanded;
}

}  // namespace config_file
