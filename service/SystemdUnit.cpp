#include "service/SystemdUnit.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace systemd {

namespace {

bool hasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// A line value systemd reads as it stands: only its specifiers escaped.
std::string plainValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

bool isUnder(const std::string& path, const char* folder) {
    std::string prefix(folder);
    return path == prefix || path.compare(0, prefix.size() + 1, prefix + "/") == 0;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The words of a value: bare ones end at a blank; quoted ones may hold
// blanks and backslash escapes. "%%" is a "%" either way.
std::vector<std::string> wordsOf(const std::string& value) {
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = value.find_first_not_of(" \t", at)) != std::string::npos) {
        std::string word;
        char quote = value[at] == '"' || value[at] == '\'' ? value[at++] : '\0';
        for (; at < value.size(); ++at) {
            char c = value[at];
            if (quote != '\0' ? c == quote : (c == ' ' || c == '\t')) {
                ++at;
                break;
            }
            if (c == '\\' && at + 1 < value.size()) c = value[++at];
            if (c == '%' && at + 1 < value.size() && value[at + 1] == '%') ++at;
            word += c;
        }
        words.push_back(word);
    }
    return words;
}

bool isYes(const std::string& value) {
    return value == "yes" || value == "true" || value == "on" || value == "1";
}

// ReadWritePaths= and its kin: an empty value empties the list; "-" (skip
// when missing) and "+" (outside the root folder) do not change the path.
void readPaths(const std::string& value, std::vector<std::string>& paths) {
    if (value.empty()) paths.clear();
    for (std::string word : wordsOf(value)) {
        while (!word.empty() && (word[0] == '-' || word[0] == '+')) word.erase(0, 1);
        if (!word.empty()) paths.push_back(word);
    }
}

// Where systemd makes the folders a unit names by each of these keys.
const char* madeFolderBase(const std::string& key) {
    if (key == "StateDirectory") return "/var/lib";
    if (key == "LogsDirectory") return "/var/log";
    if (key == "CacheDirectory") return "/var/cache";
    if (key == "RuntimeDirectory") return "/run";
    return nullptr;
}

// The *.conf files of `folder`, by name.
std::vector<std::string> confFilesIn(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = item.path().filename().string();
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0)
            files.push_back(item.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

std::string quotedWord(const std::string& word, bool argument) {
    std::string out = "\"";
    for (char c : word) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '%') out += '%';
        if (c == '$' && argument) out += '$';
        out += c;
    }
    return out + "\"";
}

std::string unitText(const std::string& name, const std::string& description,
                     const std::string& executable, const std::string& folder,
                     const std::vector<std::string>& writable, const std::string& account) {
    if (hasControlCharacter(name) || hasControlCharacter(description) ||
        hasControlCharacter(executable) || hasControlCharacter(folder) ||
        hasControlCharacter(account))
        return "";
    for (const std::string& extra : writable)
        if (hasControlCharacter(extra)) return "";
    // A host installed in a home folder must still be able to reach it.
    const bool inHome =
        isUnder(folder, "/home") || isUnder(folder, "/root") || isUnder(folder, "/run/user");
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + plainValue(description) + " (OstraService plug-in host)\n";
    text += "After=network-online.target\n";
    text += "Wants=network-online.target\n\n";
    text += "[Service]\n";
    text += "Type=notify\n";
    text +=
        "ExecStart=" + quotedWord(executable, false) + " service " + quotedWord(name, true) + "\n";
    text +=
        "ExecReload=" + quotedWord(executable, false) + " reload " + quotedWord(name, true) + "\n";
    text += "WorkingDirectory=" + plainValue(folder) + "\n";
    if (!account.empty()) text += "User=" + plainValue(account) + "\n";
    text += "Restart=on-failure\n";
    text += "RestartSec=5\n";
    // 78 (EX_CONFIG): the configuration is missing, malformed or incomplete;
    // starting again would fail again, so the unit stays failed.
    text += "RestartPreventExitStatus=78\n";
    text += "TimeoutStopSec=60\n";
    // Every connection a protocol serves is a descriptor; the default soft
    // limit (1024) would cap the connections below what "maxclients" allows.
    text += "LimitNOFILE=65536\n\n";
    // The sandbox. A plug-in that needs more (another folder to write, a
    // port below 1024, a device) is given it in a drop-in: systemctl edit.
    text += "NoNewPrivileges=yes\n";
    text += "CapabilityBoundingSet=\n";
    text += "AmbientCapabilities=\n";
    text += "ProtectSystem=strict\n";
    text += "ReadWritePaths=" + quotedWord(folder, false) + "\n";
    // "-": a folder that is not there when the service starts is skipped.
    for (const std::string& extra : writable)
        if (!extra.empty() && extra[0] == '/' && extra != folder)
            text += "ReadWritePaths=" + quotedWord("-" + extra, false) + "\n";
    text += std::string("ProtectHome=") + (inHome ? "read-only" : "yes") + "\n";
    // A private /tmp would hide a host installed there (a trial install).
    if (!isUnder(folder, "/tmp") && !isUnder(folder, "/var/tmp")) text += "PrivateTmp=yes\n";
    text += "PrivateDevices=yes\n";
    text += "ProtectKernelTunables=yes\n";
    text += "ProtectKernelModules=yes\n";
    text += "ProtectKernelLogs=yes\n";
    text += "ProtectControlGroups=yes\n";
    text += "ProtectClock=yes\n";
    text += "ProtectHostname=yes\n";
    text += "ProtectProc=invisible\n";
    text += "RestrictSUIDSGID=yes\n";
    text += "RestrictRealtime=yes\n";
    text += "RestrictNamespaces=yes\n";
    text += "LockPersonality=yes\n";
    text += "MemoryDenyWriteExecute=yes\n";
    text += "RemoveIPC=yes\n";
    text += "KeyringMode=private\n";
    text += "UMask=0027\n";
    text += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
    text += "SystemCallArchitectures=native\n";
    text += "SystemCallFilter=@system-service\n";
    text += "SystemCallFilter=~@privileged @resources\n";
    text += "SystemCallErrorNumber=EPERM\n\n";
    text += "[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

std::string unitFilePath(const std::string& name) {
    const char* custom = std::getenv("OSTRA_SYSTEMD_UNIT_DIR");
    return std::string(custom && *custom ? custom : "/etc/systemd/system") + "/" + name +
           ".service";
}

std::vector<std::string> unitFiles(const std::string& name) {
    const std::string unit = name + ".service";
    const std::string first = unitFilePath(name);
    std::vector<std::string> folders = {first.substr(0, first.size() - unit.size() - 1)};
    const char* vendor = std::getenv("OSTRA_SYSTEMD_VENDOR_UNIT_DIR");
    if (vendor != nullptr && *vendor != '\0')
        folders.push_back(vendor);
    else
        folders.insert(folders.end(),
                       {"/run/systemd/system", "/lib/systemd/system", "/usr/lib/systemd/system"});
    std::vector<std::string> files;
    for (const std::string& folder : folders)
        if (files.empty() && std::ifstream(folder + "/" + unit).good())
            files.push_back(folder + "/" + unit);
    if (files.empty()) return files;
    std::map<std::string, std::string> dropIns;  // by file name, the earliest folder's
    for (const std::string& folder : folders)
        for (const std::string& file : confFilesIn(folder + "/" + unit + ".d"))
            dropIns.emplace(file.substr(file.rfind('/') + 1), file);
    for (const auto& dropIn : dropIns) files.push_back(dropIn.second);
    return files;
}

void readSandbox(const std::string& unitText, Sandbox& sandbox) {
    std::istringstream lines(unitText);
    std::string line;
    bool inService = false;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            inService = line == "[Service]";
            continue;
        }
        size_t equals = line.find('=');
        if (!inService || equals == std::string::npos) continue;
        std::string key = trimmed(line.substr(0, equals));
        std::string value = trimmed(line.substr(equals + 1));
        if (key == "ProtectSystem") {
            sandbox.strict = value == "strict";
        } else if (key == "PrivateTmp") {
            sandbox.privateTmp = isYes(value);
        } else if (key == "ProtectHome") {
            sandbox.protectHome = isYes(value)                               ? "yes"
                                  : value == "read-only" || value == "tmpfs" ? value
                                                                             : "";
        } else if (key == "User") {
            sandbox.user = value == "root" || value == "0" ? "" : value;
        } else if (key == "ReadWritePaths") {
            readPaths(value, sandbox.writable);
        } else if (key == "ReadOnlyPaths") {
            readPaths(value, sandbox.readOnly);
        } else if (key == "InaccessiblePaths") {
            readPaths(value, sandbox.hidden);
        } else if (const char* base = madeFolderBase(key)) {
            if (value.empty()) sandbox.made.clear();
            for (const std::string& word : wordsOf(value))
                sandbox.made.push_back(std::string(base) + "/" + word.substr(0, word.find(':')));
        }
    }
}

bool allowsWriting(const Sandbox& sandbox, const std::string& folder) {
    if (!sandbox.strict) return true;
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto isIn = [&](std::string granted) {
        while (granted.size() > 1 && granted.back() == '/') granted.pop_back();
        return granted == "/" || isUnder(path, granted.c_str());
    };
    if (sandbox.privateTmp && (isIn("/tmp") || isIn("/var/tmp"))) return true;
    for (const std::string& granted : sandbox.writable)
        if (isIn(granted)) return true;
    for (const std::string& made : sandbox.made)
        if (isIn(made)) return true;
    return false;
}

bool isWithin(const std::string& path, const std::string& folder) {
    std::string inner = path, outer = folder;
    while (inner.size() > 1 && inner.back() == '/') inner.pop_back();
    while (outer.size() > 1 && outer.back() == '/') outer.pop_back();
    return outer == "/" || isUnder(inner, outer.c_str());
}

}  // namespace systemd
