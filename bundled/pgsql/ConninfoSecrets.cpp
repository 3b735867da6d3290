#include "ConninfoSecrets.h"

#include <algorithm>
#include <cctype>

namespace ostra_pgsql {

namespace {

const char* const kRemoved = "***";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isSecretKeyword(const std::string& keyword) {
    const std::string name = lower(keyword);
    return name == "password" || name == "sslpassword";
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XY decoded; a '%' not followed by two hex digits kept as it is.
std::string percentDecoded(const std::string& text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The password of "user:password" in a URI's authority, if there is one.
void userinfoPassword(const std::string& authority, std::size_t at, std::vector<std::string>& out) {
    if (at == std::string::npos) return;
    std::size_t colon = authority.find(':');
    if (colon == std::string::npos || colon > at) return;
    out.push_back(authority.substr(colon + 1, at - colon - 1));
}

}  // namespace

ConninfoSecrets::ConninfoSecrets(const std::string& conninfo, const std::string& parsed) {
    std::vector<std::string> found;
    if (!parsed.empty()) found.push_back(parsed);
    std::size_t begin = 0;
    while (begin < conninfo.size() && isSpace(conninfo[begin])) ++begin;
    const std::string text = conninfo.substr(begin);
    if (startsWith(text, "postgresql://") || startsWith(text, "postgres://")) {
        const std::string rest = text.substr(text.find("://") + 3);
        const std::size_t query = rest.find('?');
        const std::string authority = rest.substr(0, rest.find_first_of("/?"));
        const std::string beforeQuery = rest.substr(0, query);
        // libpq ends the user part at the first '@'; an operator who wrote
        // an '@' or a '/' in the password meant the last. Both are taken out.
        userinfoPassword(authority, authority.find('@'), found);
        userinfoPassword(beforeQuery, beforeQuery.rfind('@'), found);
        if (query != std::string::npos) {
            std::size_t start = query + 1;
            while (start <= rest.size()) {
                std::size_t end = rest.find('&', start);
                if (end == std::string::npos) end = rest.size();
                const std::string parameter = rest.substr(start, end - start);
                const std::size_t equals = parameter.find('=');
                if (equals != std::string::npos && isSecretKeyword(parameter.substr(0, equals)))
                    found.push_back(parameter.substr(equals + 1));
                start = end + 1;
            }
        }
    } else {
        // keyword = value, value = 'quoted with \' and \\' or bare.
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && isSpace(text[i])) ++i;
            std::size_t keywordStart = i;
            while (i < text.size() && !isSpace(text[i]) && text[i] != '=') ++i;
            const std::string keyword = text.substr(keywordStart, i - keywordStart);
            while (i < text.size() && isSpace(text[i])) ++i;
            if (i >= text.size() || text[i] != '=') {
                // libpq quotes such a token in its error ("missing "=""):
                // "password:secret" is taken out whole.
                if (lower(keyword).find("password") != std::string::npos) found.push_back(keyword);
                continue;
            }
            ++i;
            while (i < text.size() && isSpace(text[i])) ++i;
            std::string value;
            std::size_t valueStart = i;
            if (i < text.size() && text[i] == '\'') {
                for (++i; i < text.size() && text[i] != '\''; ++i) {
                    if (text[i] == '\\' && i + 1 < text.size()) ++i;
                    value += text[i];
                }
                if (i < text.size()) ++i;
            } else {
                for (; i < text.size() && !isSpace(text[i]); ++i) {
                    if (text[i] == '\\' && i + 1 < text.size()) ++i;
                    value += text[i];
                }
            }
            if (isSecretKeyword(keyword)) {
                found.push_back(value);
                found.push_back(text.substr(valueStart, i - valueStart));  // as written
            }
        }
    }
    for (const std::string& secret : found) {
        add(secret);
        add(percentDecoded(secret));
    }
    std::sort(secrets_.begin(), secrets_.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

void ConninfoSecrets::add(const std::string& secret) {
    if (secret.empty() || secret == kRemoved) return;
    if (std::find(secrets_.begin(), secrets_.end(), secret) == secrets_.end())
        secrets_.push_back(secret);
}

std::string ConninfoSecrets::redact(const std::string& text) const {
    std::string result = text;
    for (const std::string& secret : secrets_) {
        std::size_t at = 0;
        while ((at = result.find(secret, at)) != std::string::npos) {
            result.replace(at, secret.size(), kRemoved);
            at += std::char_traits<char>::length(kRemoved);
        }
    }
    return redactConninfo(result);
}

std::string redactConninfo(const std::string& text) {
    std::string result = text;
    // user:password@ after any "://".
    for (std::size_t scheme = result.find("://"); scheme != std::string::npos;
         scheme = result.find("://", scheme + 3)) {
        const std::size_t start = scheme + 3;
        std::size_t end = start;
        while (end < result.size() && !isSpace(result[end]) &&
               std::string("\"'/?#").find(result[end]) == std::string::npos)
            ++end;
        const std::size_t at = result.rfind('@', end == 0 ? 0 : end - 1);
        if (at == std::string::npos || at < start) continue;
        const std::size_t colon = result.find(':', start);
        if (colon == std::string::npos || colon > at) continue;
        result.replace(colon + 1, at - colon - 1, kRemoved);
    }
    // password=value and password = 'value', in any case (sslpassword too).
    const std::string folded = lower(result);
    std::string out;
    std::size_t copied = 0;
    for (std::size_t name = folded.find("password"); name != std::string::npos;
         name = folded.find("password", name + 8)) {
        if (name < copied) continue;
        std::size_t i = name + 8;
        while (i < folded.size() && isSpace(folded[i])) ++i;
        if (i >= folded.size() || folded[i] != '=') continue;
        ++i;
        while (i < folded.size() && isSpace(folded[i])) ++i;
        std::size_t valueEnd = i;
        if (valueEnd < folded.size() && folded[valueEnd] == '\'') {
            for (++valueEnd; valueEnd < folded.size() && folded[valueEnd] != '\''; ++valueEnd)
                if (folded[valueEnd] == '\\') ++valueEnd;
            valueEnd = std::min(valueEnd + 1, folded.size());
        } else {
            while (valueEnd < folded.size() && !isSpace(folded[valueEnd]) &&
                   std::string("&\"").find(folded[valueEnd]) == std::string::npos)
                ++valueEnd;
        }
        if (result.compare(i, valueEnd - i, kRemoved) == 0) continue;
        out += result.substr(copied, i - copied) + kRemoved;
        copied = valueEnd;
    }
    out += result.substr(copied);
    return out;
}

}  // namespace ostra_pgsql
