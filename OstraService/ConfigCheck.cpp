#include "OstraService/ConfigCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <libconfig.h++>
#include <map>
#include <set>
#include <vector>

#include "OstraService/ConfigFile.h"
#include "OstraService/ConfigIncludes.h"
#include "OstraService/HostKeys.h"
#include "OstraService/ListenAddress.h"
#include "OstraService/SettingsCheck.h"
#include "OstraService/Text.h"
#include "loader/loadPlugin.h"
#include "platform/console_output.h"
#include "platform/open_files.h"
#include "platform/paths.h"
#include "platform/textfile.h"
#include "plugin/CControlPlugin.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/CProtocolPlugin.h"
#include "plugin/PluginExtension.h"
#include "plugin/SettingsTable.h"

namespace config_check {

namespace {

using host_keys::Key;
using host_keys::Keys;
using libconfig::Setting;
using ostra_settings::integerOf;
using ostra_settings::isInteger;
using ostra_settings::shown;

struct Problem {
    int order;  // the line in the expanded text; 0 for the file as a whole
    std::string where;
    std::string text;
};

// A TCP listener the configuration asks for.
struct Listener {
    std::string owner;
    std::string address;  // listen_address::boundAddress()
    long long port;
    std::string where;
};

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

bool hasText(const Setting& group, const char* key) {
    return group.exists(key) && group[key].getType() == Setting::TypeString;
}

std::string textOr(const Setting& group, const char* key, const std::string& fallback) {
    return hasText(group, key) ? static_cast<const char*>(group[key]) : fallback;
}

class Checker {
public:
    Checker(const std::string& serviceName, const std::string& path,
            const std::vector<config_file::SourceLine>& origins)
        : serviceName_(serviceName), path_(path), origins_(origins) {}

    void check(libconfig::Config& config) {
        Setting& root = config.getRoot();
        if (!root.exists(serviceName_)) {
            fileProblem("no group " + quoted(serviceName_) +
                        ": every setting of the service belongs in it");
            return;
        }
        Setting& service = root[serviceName_.c_str()];
        if (!service.isGroup()) {
            report(service, quoted(serviceName_) + " is " + shown(service) +
                                "; expected a group { ... } holding every setting");
            return;
        }
        checkKeys(service, "service group", host_keys::serviceGroup());
        if (service.exists("logs") && service["logs"].isAggregate()) checkLogs(service["logs"]);
        if (!service.exists("control"))
            report(service, "service group has no \"control\" group: the service does not start");
        else if (service["control"].isGroup())
            checkControl(service["control"]);
        if (!service.exists("protocols"))
            report(service, "service group has no \"protocols\" list: the service does not start");
        else if (service["protocols"].isAggregate())
            checkProtocols(service["protocols"]);
    }

    std::vector<Problem> problems() const {
        std::vector<Problem> inOrder = problems_;
        std::stable_sort(inOrder.begin(), inOrder.end(),
                         [](const Problem& a, const Problem& b) { return a.order < b.order; });
        return inOrder;
    }

    void fileProblem(const std::string& text) { problems_.push_back({0, path_, text}); }

private:
    std::string where(const Setting& setting) const {
        unsigned line = setting.getSourceLine();
        if (line == 0 || line > origins_.size()) return path_;
        const config_file::SourceLine& origin = origins_[line - 1];
        return origin.file + ":" + std::to_string(origin.line);
    }

    void report(const Setting& at, const std::string& text) {
        problems_.push_back({static_cast<int>(at.getSourceLine()), where(at), text});
    }

    // Every key of a group the host alone reads against its `keys`.
    void checkKeys(const Setting& group, const std::string& owner, const Keys& keys) {
        checkHostKeys(group, owner, keys, true);
    }

    // A plug-in's group: the host's `keys` by the host, the rest against
    // the settings table of the library `dll` when it has one that serves
    // as a plug-in of `kind`. Without a table the rest is the library's own
    // business and not looked at.
    void checkPluginKeys(const Setting& group, const std::string& owner, const Keys& keys,
                         const std::string& dll, const char* kind) {
        const OstraExtension* extension = nullptr;
        if (!dll.empty() && libraryVerdict(dll, kind).empty())
            extension = pluginExtension(dll.c_str());
        checkHostKeys(group, owner, keys, false);
        if (extension == nullptr || extension->settings == nullptr) return;
        for (const settings_check::Finding& finding : settings_check::check(
                 group, *extension, host_keys::namesOf(keys), settings_check::libraryWord(dll))) {
            const bool ofTheGroup = finding.kind == settings_check::Finding::Kind::kMissing;
            report(*finding.at, owner + (ofTheGroup ? " " : ": ") + finding.text);
        }
    }

    // The keys of `group` the host reads, against `keys`; with `allKnown`,
    // every other key is reported as unknown.
    void checkHostKeys(const Setting& group, const std::string& owner, const Keys& keys,
                       bool allKnown) {
        for (int index = 0; index < group.getLength(); ++index) {
            const Setting& value = group[index];
            const std::string name = value.getName() != nullptr ? value.getName() : "";
            auto key = std::find_if(keys.begin(), keys.end(),
                                    [&](const Key& candidate) { return name == candidate.name; });
            if (key == keys.end()) {
                if (!allKnown) continue;
                std::string names;
                for (const Key& candidate : keys)
                    names += (names.empty() ? "" : ", ") + std::string(candidate.name);
                report(value, owner + ": unknown key " + quoted(name) +
                                  ", ignored (the host read " + names + ")");
                continue;
            }
            std::string expected = host_keys::expectation(*key, value);
            if (!expected.empty())
                report(value, owner + ": " + quoted(name) + " is " + shown(value) + "; expected " +
                                  expected);
        }
    }

    void checkLogs(const Setting& logs) {
        for (int index = 0; index < logs.getLength(); ++index) {
            const Setting& entry = logs[index];
            const std::string owner = "log entry " + std::to_string(index + 1);
            if (!entry.isGroup()) {
                report(entry, owner + " is " + shown(entry) +
                                  "; expected a group { ... }: the host reads no log entry from "
                                  "here on");
                return;
            }
            checkKeys(entry, owner, host_keys::logEntry());
            if (!hasText(entry, "type")) {
                report(entry, owner +
                                  " has no text \"type\": the host reads no log entry from "
                                  "here on");
                return;
            }
            if (!text::equalsIgnoreCase(static_cast<const char*>(entry["type"]), "FILE")) continue;
            std::string folder = textOr(entry, "path", "");
            checkFolder(entry.exists("path") ? entry["path"] : entry, owner + " (the log file)",
                        folder.empty() ? ostra::executableDirectory() : besideExecutable(folder));
        }
    }

    void checkControl(const Setting& control) {
        const std::string owner = "control group";
        if (!control.exists("dll")) {
            report(control, owner + " has no \"dll\": the service does not start");
            checkPluginKeys(control, owner, host_keys::controlGroup(), "", "control");
            return;
        }
        std::string dll = textOr(control, "dll", "");
        checkPluginKeys(control, owner, host_keys::controlGroup(), dll, "control");
        checkFiles(control, owner, dll);
        if (!hasText(control, "dll")) return;
        checkLibrary(control["dll"], owner, dll, "control");
        if (!isBundled(dll, "webcontrol")) return;
        std::string bind = textOr(control, "bind", defaultOf(dll, "bind"));
        if (!listen_address::isLoopback(bind) && textOr(control, "token", "").empty())
            report(control.exists("bind") ? control["bind"] : control,
                   owner + ": the web console binds to " + bind +
                       " without a \"token\" and refuses to start: whoever reached it could "
                       "stop every protocol");
        claimPort(control, "the web console", dll);
    }

    void checkProtocols(const Setting& protocols) {
        std::set<std::string> names;
        for (int index = 0; index < protocols.getLength(); ++index) {
            const Setting& entry = protocols[index];
            std::string owner = "protocol entry " + std::to_string(index + 1);
            if (!entry.isGroup()) {
                report(entry, owner + " is " + shown(entry) +
                                  "; expected a group { ... }: the host reads no protocol from "
                                  "here on");
                return;
            }
            if (!hasText(entry, "name")) {
                report(entry.exists("name") ? entry["name"] : entry,
                       owner + " has no text \"name\": the host reads no protocol from here on");
                return;
            }
            owner = "protocol " + quoted(static_cast<const char*>(entry["name"]));
            // One name, two protocols: a command for one reaches both, and
            // their numbers cannot be told apart.
            if (!names.insert(static_cast<const char*>(entry["name"])).second)
                report(entry["name"], owner +
                                          " is named twice: a start or stop of it reaches "
                                          "both, and their numbers mix");
            std::string dll = textOr(entry, "dll", "");
            checkPluginKeys(entry, owner, host_keys::protocolEntry(), dll, "protocol");
            checkFiles(entry, owner, dll);
            for (const char* needed : {"type", "dll"})
                if (!entry.exists(needed))
                    report(entry,
                           owner + " has no " + quoted(needed) + ": the protocol does not start");
            if (!entry.exists("databases"))
                report(entry, owner +
                                  " has no \"databases\" list: the protocol is counted as "
                                  "failing (write databases = ( ); for none)");
            if (hasText(entry, "dll")) checkLibrary(entry["dll"], owner, dll, "protocol");
            if (hasText(entry, "dll") && isBundled(dll, "tcpline")) {
                claimPort(entry, owner, dll);
                checkClientLimit(entry, owner);
            }
            if (entry.exists("databases") && entry["databases"].isAggregate())
                checkDatabases(entry["databases"], owner);
        }
    }

    void checkDatabases(const Setting& databases, const std::string& protocolOwner) {
        for (int index = 0; index < databases.getLength(); ++index) {
            const Setting& element = databases[index];
            const std::string owner =
                "database " + std::to_string(index + 1) + " of " + protocolOwner;
            if (!element.isGroup()) {
                report(element, owner + " is " + shown(element) +
                                    "; expected a group { ... }: the protocol does not start");
                continue;
            }
            if (!element.exists("dll")) {
                report(element, owner + " has no \"dll\": the host uses no database from here on");
                return;
            }
            std::string dll = textOr(element, "dll", "");
            checkPluginKeys(element, owner, host_keys::databaseElement(), dll, "database");
            if (!hasText(element, "dll")) continue;
            checkLibrary(element["dll"], owner, dll, "database");
            checkFiles(element, owner, dll);
        }
    }

    // The folder of every file the plug-in says it writes (its table's
    // FILE settings, given or by default) must be writable by the service.
    void checkFiles(const Setting& group, const std::string& owner, const std::string& dll) {
        const OstraExtension* extension = pluginExtension(dll.c_str());
        if (extension == nullptr || extension->settings == nullptr) return;
        for (const OstraSetting* entry = extension->settings; entry->name != nullptr; ++entry) {
            if (entry->type != OSTRA_SETTING_FILE) continue;
            if (group.exists(entry->name) && !hasText(group, entry->name)) continue;
            const std::string file = besideExecutable(
                textOr(group, entry->name, entry->defaultValue ? entry->defaultValue : ""));
            if (file.empty()) continue;
            checkFolder(group.exists(entry->name) ? group[entry->name] : group,
                        owner + " (" + settings_check::libraryWord(dll) + "'s file)",
                        ostra::folderOf(file));
        }
    }

    // A relative path lies beside the executable, where the service runs.
    static std::string besideExecutable(const std::string& path) {
        return path.empty() || ostra::isAbsolutePath(path)
                   ? path
                   : ostra::joinPath(ostra::executableDirectory(), path);
    }

    void checkFolder(const Setting& at, const std::string& owner, const std::string& folder) {
        if (serviceManagerMakes(serviceName_, folder)) return;
        std::string refusal = folderRefusal(folder);
        if (refusal.empty()) refusal = sandboxRefusal(serviceName_, folder);
        if (!refusal.empty()) report(at, owner + ": the folder " + folder + " " + refusal);
    }

    void checkLibrary(const Setting& at, const std::string& owner, const std::string& dll,
                      const char* kind) {
        const std::string& verdict = libraryVerdict(dll, kind);
        if (!verdict.empty()) report(at, owner + ": " + verdict);
    }

    // Why `dll` would not serve as a plug-in of `kind`, or "": each library
    // is loaded once whatever the number of groups naming it.
    const std::string& libraryVerdict(const std::string& dll, const char* kind) {
        const std::string cacheKey = dll + '\n' + kind;
        auto known = libraryVerdicts_.find(cacheKey);
        if (known == libraryVerdicts_.end())
            known = libraryVerdicts_.emplace(cacheKey, libraryFault(dll, kind)).first;
        return known->second;
    }

    // Whether `dll` is the bundled plug-in `word`, whose behaviour beyond
    // its keys `check` knows (the ports it takes, the files it writes).
    static bool isBundled(const std::string& dll, const char* word) {
        return text::equalsIgnoreCase(settings_check::libraryWord(dll).c_str(), word);
    }

    // The default of `key` as the settings table of `dll` gives it; "" when
    // it gives none.
    static std::string defaultOf(const std::string& dll, const char* key) {
        const OstraExtension* extension = pluginExtension(dll.c_str());
        const OstraSetting* entry =
            extension != nullptr ? ostra_settings::find(extension->settings, key) : nullptr;
        return entry != nullptr && entry->defaultValue != nullptr ? entry->defaultValue : "";
    }

    // Loads `dll` as the host would and destroys what its factory made;
    // why it would not serve as a plug-in of `kind`, or "".
    static std::string libraryFault(const std::string& dll, const char* kind) {
        void* object = loadPlugin(dll.c_str(), kind);
        if (object != nullptr) {
            if (std::string(kind) == "control")
                delete static_cast<CControlPlugin*>(object);
            else if (std::string(kind) == "protocol")
                delete static_cast<CProtocolPlugin*>(object);
            else
                delete static_cast<CDatabasePlugin*>(object);
            return "";
        }
        const std::string library = "the library " + quoted(dll);
        switch (lastPluginLoadError()) {
            case PluginLoadError::kNotLoaded:
                return library + " cannot be loaded: " + lastPluginLoadFailure();
            case PluginLoadError::kWrongKind:
                return library + ": " + lastPluginLoadFailure();
            default:
                return library + " makes no plug-in: " + lastPluginLoadFailure();
        }
    }

    // The port `group` listens on ("bind" and "port", or their defaults);
    // a value of the wrong type is reported already and claims nothing.
    void claimPort(const Setting& group, const std::string& owner, const std::string& dll) {
        if (group.exists("bind") && !hasText(group, "bind")) return;
        long long port = std::atoll(defaultOf(dll, "port").c_str());
        if (group.exists("port")) {
            if (!isInteger(group["port"])) return;
            port = integerOf(group["port"]);
        }
        if (port <= 0 || port > 65535) return;  // 0: any free port
        const Setting& at = group.exists("port") ? group["port"] : group;
        std::string address =
            listen_address::boundAddress(textOr(group, "bind", defaultOf(dll, "bind")));
        for (const Listener& other : listeners_)
            if (other.port == port && listen_address::clash(other.address, address)) {
                report(at, owner + " would listen on " + listen_address::endpoint(address, port) +
                               ", where " + other.owner + " (" + other.where + ") listens on " +
                               listen_address::endpoint(other.address, port) +
                               ": one of them cannot listen");
                return;
            }
        listeners_.push_back({owner, address, port, where(at)});
    }

    // tcpline's "maxclients" must fit the descriptors the service may open,
    // with 64 kept for its logs, databases and console, as the plug-in
    // itself refuses to start otherwise.
    void checkClientLimit(const Setting& group, const std::string& owner) {
        if (!group.exists("maxclients") || !isInteger(group["maxclients"])) return;
        const long long wanted = integerOf(group["maxclients"]);
        const long long limit = ostra::openFileLimit();
        constexpr long long kReserve = 64;
        if (limit < 0 || wanted + kReserve <= limit) return;
        report(group["maxclients"], owner + " allows " + std::to_string(wanted) +
                                        " connections, but the process may open " +
                                        std::to_string(limit) + " files and sockets: at most " +
                                        std::to_string(std::max(0LL, limit - kReserve)) +
                                        " fit (raise LimitNOFILE= in the service's unit)");
    }

    const std::string serviceName_;
    const std::string path_;
    const std::vector<config_file::SourceLine>& origins_;
    std::vector<Problem> problems_;
    std::vector<Listener> listeners_;
    std::map<std::string, std::string> libraryVerdicts_;
};

// Reads the file as the service does; false when it could not be parsed,
// the problem reported.
bool readConfig(const std::string& path, libconfig::Config& config,
                std::vector<config_file::SourceLine>& origins, std::vector<Problem>& problems) {
    std::string text, whyNot;
    if (!ostra::readTextFile(path, text, whyNot)) {
        // The reader's own words may say it already ("cannot be read: <the system's reason>").
        const bool saysSo = whyNot.rfind("cannot be read", 0) == 0;
        problems.push_back({0, path, saysSo ? whyNot : "cannot be read: " + whyNot});
        return false;
    }
    config_file::SourceLine failedAt;
    std::string error;
    if (!config_file::expandIncludes(text, path, origins, failedAt, error)) {
        problems.push_back({0, failedAt.file + ":" + std::to_string(failedAt.line), error});
        return false;
    }
    try {
        config.readString(text);
        return true;
    } catch (const libconfig::ParseException& failure) {
        int line = failure.getLine();
        std::string where =
            line > 0 && static_cast<size_t>(line) <= origins.size()
                ? origins[line - 1].file + ":" + std::to_string(origins[line - 1].line)
                : path;
        problems.push_back({line, where, failure.getError()});
        return false;
    }
}

}  // namespace

std::vector<std::string> problemsIn(const std::string& serviceName, libconfig::Config& config) {
    const std::string path = config_file::pathFor(serviceName);
    std::vector<config_file::SourceLine> origins;
    std::vector<Problem> problems;
    if (readConfig(path, config, origins, problems)) {
        Checker checker(serviceName, path, origins);
        checker.check(config);
        problems = checker.problems();
    }
    std::vector<std::string> lines;
    for (const Problem& problem : problems) lines.push_back(problem.where + ": " + problem.text);
    return lines;
}

int run(const std::string& serviceName) {
    const std::string path = config_file::pathFor(serviceName);
    libconfig::Config config;
    const std::vector<std::string> problems = problemsIn(serviceName, config);
    std::string report;
    for (const std::string& problem : problems) report += problem + "\n";
    if (problems.empty())
        report += "no problems found in " + path + "\n";
    else
        report += std::to_string(problems.size()) +
                  (problems.size() == 1 ? " problem" : " problems") + " found in " + path + "\n";
    ostra::writeText(stdout, report);
    return problems.empty() ? 0 : 1;
}

}  // namespace config_check
