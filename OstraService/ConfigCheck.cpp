#include "OstraService/ConfigCheck.h"

#include <algorithm>
#include <cstdio>
#include <libconfig.h++>
#include <map>
#include <set>
#include <vector>

#include "OstraService/ConfigFile.h"
#include "OstraService/ConfigIncludes.h"
#include "OstraService/KnownKeys.h"
#include "OstraService/Text.h"
#include "loader/loadPlugin.h"
#include "platform/console_output.h"
#include "platform/open_files.h"
#include "platform/paths.h"
#include "platform/textfile.h"
#include "plugin/CControlPlugin.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/CProtocolPlugin.h"

namespace config_check {

namespace {

using known_keys::Key;
using known_keys::Keys;
using known_keys::Value;
using libconfig::Setting;

struct Problem {
    int order;  // the line in the expanded text; 0 for the file as a whole
    std::string where;
    std::string text;
};

// A TCP listener the configuration asks for.
struct Listener {
    std::string owner;
    std::string address;  // boundAddress()
    long long port;
    std::string where;
};

// The value as the configuration file would write it.
std::string shown(const Setting& value) {
    switch (value.getType()) {
        case Setting::TypeInt:
            return std::to_string(static_cast<int>(value));
        case Setting::TypeInt64:
            return std::to_string(static_cast<long long>(value)) + "L";
        case Setting::TypeFloat:
            return std::to_string(static_cast<double>(value));
        case Setting::TypeString:
            return "\"" + std::string(static_cast<const char*>(value)) + "\"";
        case Setting::TypeBoolean:
            return static_cast<bool>(value) ? "true" : "false";
        case Setting::TypeGroup:
            return "a group";
        case Setting::TypeArray:
            return "an array";
        case Setting::TypeList:
            return "a list";
        default:
            return "a value";
    }
}

bool isInteger(const Setting& value) {
    return value.getType() == Setting::TypeInt || value.getType() == Setting::TypeInt64;
}

long long integerOf(const Setting& value) {
    return value.getType() == Setting::TypeInt ? static_cast<int>(value)
                                               : static_cast<long long>(value);
}

// What `key` expects when `value` is not that; "" when it is.
std::string expectation(const Key& key, const Setting& value) {
    const bool isText = value.getType() == Setting::TypeString;
    switch (key.value) {
        case Value::kText:
            return isText ? "" : "text in double quotes";
        case Value::kWord: {
            if (isText)
                for (const char* word : key.words)
                    if (text::equalsIgnoreCase(static_cast<const char*>(value), word)) return "";
            std::string words;
            for (const char* word : key.words)
                words += (words.empty() ? "\"" : ", \"") + std::string(word) + "\"";
            return key.words.size() == 1 ? words : "one of " + words;
        }
        case Value::kInt:
            return value.getType() == Setting::TypeInt ? "" : "an integer";
        case Value::kInteger:
            if (isInteger(value) && integerOf(value) >= key.min && integerOf(value) <= key.max)
                return "";
            if (key.min == LLONG_MIN && key.max == LLONG_MAX) return "an integer";
            return "an integer from " + std::to_string(key.min) + " to " + std::to_string(key.max);
        case Value::kList:
            return value.isList() || value.isArray() ? "" : "a list ( ... )";
        case Value::kGroup:
            return value.isGroup() ? "" : "a group { ... }";
    }
    return "";
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

bool hasText(const Setting& group, const char* key) {
    return group.exists(key) && group[key].getType() == Setting::TypeString;
}

std::string textOr(const Setting& group, const char* key, const std::string& fallback) {
    return hasText(group, key) ? static_cast<const char*>(group[key]) : fallback;
}

// As the web console tells a console reached from this machine only.
bool isLoopback(const std::string& bind) {
    if (bind == "localhost" || bind == "::1" || bind == "[::1]") return true;
    int parts = 0;
    size_t at = 0;
    while (parts < 4) {
        size_t end = bind.find_first_not_of("0123456789", at);
        if (end == std::string::npos) end = bind.size();
        if (end == at || end - at > 3 || std::stoi(bind.substr(at, end - at)) > 255) return false;
        if (parts == 0 && bind.substr(at, end - at) != "127") return false;
        ++parts;
        if (parts == 4) return end == bind.size();
        if (end >= bind.size() || bind[end] != '.') return false;
        at = end + 1;
    }
    return false;
}

// A bind address as the socket layer takes it: "" is every IPv4 address,
// a name like "localhost" its IPv4 address, brackets dropped.
std::string boundAddress(std::string bind) {
    if (bind.size() >= 2 && bind.front() == '[' && bind.back() == ']')
        bind = bind.substr(1, bind.size() - 2);
    if (bind.empty()) return "0.0.0.0";
    if (bind == "localhost") return "127.0.0.1";
    return bind;
}

// Whether two listeners on one port would keep each other from listening:
// the same address, or one of them on every address of the other's family
// ("::" takes IPv4 as well where the system maps it).
bool clash(const std::string& a, const std::string& b) {
    auto everyAddress = [](const std::string& bind, const std::string& other) {
        return bind == "::" || (bind == "0.0.0.0" && other.find(':') == std::string::npos);
    };
    return a == b || everyAddress(a, b) || everyAddress(b, a);
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
        checkKeys(service, "service group", known_keys::serviceGroup(), nullptr, true);
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

    // Every key of `group` against the host's `keys` and, for a bundled
    // plug-in, its own; unknown keys only where every key is known.
    void checkKeys(const Setting& group, const std::string& owner, const Keys& keys,
                   const known_keys::BundledPlugin* plugin, bool allKnown) {
        Keys known = keys;
        if (plugin != nullptr) known.insert(known.end(), plugin->keys.begin(), plugin->keys.end());
        for (int index = 0; index < group.getLength(); ++index) {
            const Setting& value = group[index];
            const std::string name = value.getName() != nullptr ? value.getName() : "";
            auto key = std::find_if(known.begin(), known.end(),
                                    [&](const Key& candidate) { return name == candidate.name; });
            if (key == known.end()) {
                if (!allKnown) continue;
                std::string names;
                for (const Key& candidate : known)
                    names += (names.empty() ? "" : ", ") + std::string(candidate.name);
                report(value,
                       owner + ": unknown key " + quoted(name) + ", ignored (" +
                           (plugin != nullptr ? "the host and " + std::string(plugin->library)
                                              : std::string("the host")) +
                           " read " + names + ")");
                continue;
            }
            std::string expected = expectation(*key, value);
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
            checkKeys(entry, owner, known_keys::logEntry(), nullptr, true);
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
            checkKeys(control, owner, known_keys::controlGroup(), nullptr, false);
            return;
        }
        std::string dll = textOr(control, "dll", "");
        const known_keys::BundledPlugin* plugin = known_keys::bundledPlugin(dll, "control");
        checkKeys(control, owner, known_keys::controlGroup(), plugin, plugin != nullptr);
        if (!hasText(control, "dll")) return;
        checkLibrary(control["dll"], owner, dll, "control");
        if (plugin == nullptr || std::string(plugin->library) != "webcontrol") return;
        std::string bind = textOr(control, "bind", "127.0.0.1");
        if (!isLoopback(bind) && textOr(control, "token", "").empty())
            report(control.exists("bind") ? control["bind"] : control,
                   owner + ": the web console binds to " + bind +
                       " without a \"token\" and refuses to start: whoever reached it could "
                       "stop every protocol");
        claimPort(control, "the web console", 8765);
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
            const known_keys::BundledPlugin* plugin = known_keys::bundledPlugin(dll, "protocol");
            checkKeys(entry, owner, known_keys::protocolEntry(), plugin, plugin != nullptr);
            for (const char* needed : {"type", "dll"})
                if (!entry.exists(needed))
                    report(entry,
                           owner + " has no " + quoted(needed) + ": the protocol does not start");
            if (!entry.exists("databases"))
                report(entry, owner +
                                  " has no \"databases\" list: the protocol is counted as "
                                  "failing (write databases = ( ); for none)");
            if (hasText(entry, "dll")) checkLibrary(entry["dll"], owner, dll, "protocol");
            if (plugin != nullptr && std::string(plugin->library) == "tcpline") {
                claimPort(entry, owner, 7765);
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
            const known_keys::BundledPlugin* plugin = known_keys::bundledPlugin(dll, "database");
            checkKeys(element, owner, known_keys::databaseElement(), plugin, plugin != nullptr);
            if (!hasText(element, "dll")) continue;
            checkLibrary(element["dll"], owner, dll, "database");
            if (plugin != nullptr && std::string(plugin->library) == "sqlite" &&
                (!element.exists("path") || hasText(element, "path"))) {
                std::string file = besideExecutable(textOr(element, "path", "records.db"));
                if (!file.empty())
                    checkFolder(element.exists("path") ? element["path"] : element,
                                owner + " (sqlite's file)", ostra::folderOf(file));
            }
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
        const std::string cacheKey = dll + '\n' + kind;
        auto known = libraryVerdicts_.find(cacheKey);
        if (known == libraryVerdicts_.end())
            known = libraryVerdicts_.emplace(cacheKey, libraryFault(dll, kind)).first;
        if (!known->second.empty()) report(at, owner + ": " + known->second);
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
    void claimPort(const Setting& group, const std::string& owner, long long defaultPort) {
        if (group.exists("bind") && !hasText(group, "bind")) return;
        long long port = defaultPort;
        if (group.exists("port")) {
            if (!isInteger(group["port"])) return;
            port = integerOf(group["port"]);
        }
        if (port <= 0 || port > 65535) return;  // 0: any free port
        const Setting& at = group.exists("port") ? group["port"] : group;
        std::string address = boundAddress(textOr(group, "bind", "127.0.0.1"));
        for (const Listener& other : listeners_)
            if (other.port == port && clash(other.address, address)) {
                report(at, owner + " would listen on " + endpoint(address, port) + ", where " +
                               other.owner + " (" + other.where + ") listens on " +
                               endpoint(other.address, port) + ": one of them cannot listen");
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

    static std::string endpoint(const std::string& address, long long port) {
        bool ipv6 = address.find(':') != std::string::npos;
        return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
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

int run(const std::string& serviceName) {
    const std::string path = config_file::pathFor(serviceName);
    libconfig::Config config;
    std::vector<config_file::SourceLine> origins;
    std::vector<Problem> problems;
    if (readConfig(path, config, origins, problems)) {
        Checker checker(serviceName, path, origins);
        checker.check(config);
        problems = checker.problems();
    }
    std::string report;
    for (const Problem& problem : problems) report += problem.where + ": " + problem.text + "\n";
    if (problems.empty())
        report += "no problems found in " + path + "\n";
    else
        report += std::to_string(problems.size()) +
                  (problems.size() == 1 ? " problem" : " problems") + " found in " + path + "\n";
    ostra::writeText(stdout, report);
    return problems.empty() ? 0 : 1;
}

}  // namespace config_check
