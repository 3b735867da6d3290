// The systemd unit that `install` writes on Linux.
#pragma once

#include <string>
#include <vector>

namespace systemd {

// `word` as one word systemd reads back unchanged from a unit file: in
// double quotes, with '\' and '"' escaped, every '%' doubled (else it is a
// specifier) and, for an argument of a command line (not the program's
// path), every '$' doubled (else it names an environment variable).
std::string quotedWord(const std::string& word, bool argument);

// The unit for the service `name` run as "<executable> service <name>" in
// `folder`, the executable's folder, where the log and the bundled
// database live: Type=notify, restarted after a failure but not after a
// set-up failure (exit 78), and sandboxed: the file system is read-only but
// for `folder`, no new privileges, no capabilities, no kernel, clock or
// namespace changes, network families limited to IPv4, IPv6 and Unix
// sockets. `writable` are further folders the host writes (log folders
// the configuration names), granted too; one missing when the service
// starts is passed over rather than failing the start. `account`, when
// not empty, is the user it runs as (User=), else root. Empty when a path
// or the account holds a character no unit line can carry (a line break or
// another control character).
std::string unitText(const std::string& name, const std::string& description,
                     const std::string& executable, const std::string& folder,
                     const std::vector<std::string>& writable = {},
                     const std::string& account = "");

// The unit file of the service `name`: <name>.service in
// $OSTRA_SYSTEMD_UNIT_DIR when that is set, else in /etc/systemd/system.
std::string unitFilePath(const std::string& name);

// The files systemd reads for the service `name`, in its order: the first
// <name>.service found in the folder of unitFilePath, /run/systemd/system,
// /lib/systemd/system and /usr/lib/systemd/system (a package's unit lies
// in the last ones; $OSTRA_SYSTEMD_VENDOR_UNIT_DIR stands for these three
// when set), then every <name>.service.d/*.conf drop-in of those
// folders by file name, one of a name in an earlier folder hiding a later
// one. Empty when no unit is installed.
std::vector<std::string> unitFiles(const std::string& name);

// What a unit's [Service] settings let the service see and write.
struct Sandbox {
    bool strict = false;                // ProtectSystem=strict: nothing else is writable
    bool privateTmp = false;            // PrivateTmp=: /tmp and /var/tmp are its own, writable
    std::string protectHome;            // ProtectHome=: "yes", "read-only", "tmpfs" or ""
    std::vector<std::string> writable;  // ReadWritePaths, without "-" or "+"
    std::vector<std::string> readOnly;  // ReadOnlyPaths
    std::vector<std::string> hidden;    // InaccessiblePaths
    // StateDirectory=, LogsDirectory=, CacheDirectory=, RuntimeDirectory=
    // as the folders systemd makes for the service, its own and writable.
    std::vector<std::string> made;
    std::string user;  // User=; "" for root
};

// Reads a unit file's (or a drop-in's) settings into `sandbox`, over what
// the files before it set, as systemd reads them: an empty ReadWritePaths=
// empties the list. Understands what unitText writes and what an operator
// writes by hand: quoted or bare words, "%%" for "%".
void readSandbox(const std::string& unitText, Sandbox& sandbox);

// Whether `sandbox` lets the service write into the absolute `folder`.
bool allowsWriting(const Sandbox& sandbox, const std::string& folder);

// Whether the absolute `path` is `folder` or lies under it.
bool isWithin(const std::string& path, const std::string& folder);

}  // namespace systemd
