#include "service/SystemdUnit.h"

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
                     const std::vector<std::string>& writable) {
    if (hasControlCharacter(name) || hasControlCharacter(description) ||
        hasControlCharacter(executable) || hasControlCharacter(folder))
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
    text += "WorkingDirectory=" + plainValue(folder) + "\n";
    text += "Restart=on-failure\n";
    text += "RestartSec=5\n";
    // 78 (EX_CONFIG): the configuration is missing, malformed or incomplete;
    // starting again would fail again, so the unit stays failed.
    text += "RestartPreventExitStatus=78\n";
    text += "TimeoutStopSec=60\n\n";
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

}  // namespace systemd
