#include "OstraService/Messages.h"

namespace messages {

std::string configMalformed(const std::string& path, const std::string& parserError) {
    return "Konfiguracijska datoteka " + path + " nije ispravna, greška: " + parserError;
}

std::string configUnreadable(const std::string& path) {
    return "Neuspelo čitanje konfiguracijske datoteke " + path;
}

std::string configIncomplete(const std::string& serviceName) {
    return "Konfiguracijska datoteka ne sadrži potrebne definicije parametera servisa: " +
           serviceName;
}

std::string protocolUnknownType(const std::string& name) {
    return "Protocol: " + name + ", je nepoznatog tipa, provjeri konfiguracijsku datoteku";
}

std::string protocolNotCreated(const std::string& name, const std::string& dll) {
    return "Nije uspjelo kreiranje protocola: " + name + ":" + dll;
}

std::string databaseNotCreated(const std::string& name, const std::string& protocolDll) {
    return "Nije uspjelo kreiranje pristupa bazi: " + name + ":" + protocolDll +
           ", za protokol: " + name;
}

std::string failureRepeated(const std::string& name, long long count) {
    return "Protocol: " + name + ", ista greška ponovljena je još " + std::to_string(count) +
           " puta";
}

std::string protocolAllocationFailed(const std::string& name) {
    return "Neuspjelo kreiranje protokola: " + name + ", new CProtocolApp() == NULL";
}

namespace {
std::string protocolEntry(int index, const std::string& name) {
    std::string entry = "Neispravna definicija protokola br. " + std::to_string(index);
    return name.empty() ? entry : entry + " (" + name + ")";
}
}  // namespace

std::string protocolSettingMissing(int index, const std::string& name,
                                   const std::string& settingPath) {
    return protocolEntry(index, name) + ": nedostaje postavka " + settingPath;
}

std::string protocolSettingMistyped(int index, const std::string& name,
                                    const std::string& settingPath) {
    return protocolEntry(index, name) + ": postavka " + settingPath + " nije ispravnog tipa";
}

std::string pluginFault(const std::string& owner, const std::string& dll, const char* operation,
                        const char* what) {
    return "Greška plug-ina " + dll + " (" + owner + ") u " + operation + ": " + what;
}

std::string pluginNotLoaded(const std::string& owner, const std::string& dll,
                            const std::string& reason) {
    return "Plug-in " + dll + " (" + owner + ") nije učitan: " + reason;
}

std::string pluginStartRefused(const std::string& owner, const std::string& dll, int code) {
    return "Plug-in " + dll + " (" + owner + ") nije pokrenut: start je vratio " +
           std::to_string(code);
}

std::string settingUnknown(const std::string& owner, const std::string& dll,
                           const std::string& key) {
    return "Plug-in " + dll + " (" + owner + "): nepoznata postavka " + key + " se zanemaruje";
}

std::string settingMistyped(const std::string& owner, const std::string& dll,
                            const std::string& key) {
    return "Plug-in " + dll + " (" + owner + "): postavka " + key + " nije ispravnog tipa";
}

std::string protocolOwner(const std::string& protocolName) { return "protokol " + protocolName; }

const char* const kControlOwner = "kontrola";

std::string controlAction(bool start, bool named, const std::string& protocol, bool found,
                          const std::string& origin) {
    std::string line = std::string("Control: ") + (start ? "START" : "STOP") + " of ";
    line += named ? "protocol " + protocol : std::string("every protocol");
    if (!found) line += " (no such protocol)";
    line += ", asked by " + (origin.empty() ? std::string("the control plug-in") : origin);
    return line;
}

std::string serviceInstalled(const std::string& serviceName) {
    return "Servis " + serviceName + " je instaliran";
}

std::string serviceNotInstalled(const std::string& serviceName) {
    return "Nije uspjela instalacija servisa " + serviceName;
}

std::string serviceRemoved(const std::string& serviceName) {
    return "Servis " + serviceName + " je deinstaliran";
}

std::string serviceNotRemoved(const std::string& serviceName) {
    return "Nije uspjela deinstalacija servisa " + serviceName;
}

std::string serviceNotStarted(const std::string& nameOrVerb) {
    return "Nije uspjelo pokretanje servisa " + nameOrVerb;
}

const char* const kUsage =
    "Pokretanje programa: OstraService INSTALL | UNINSTALL | REMOVE | START | STOP | CONSOLE\n";
const char* const kMoreVerbs = "Dodatne naredbe: OstraService CHECK | STATUS | RELOAD | SERVICE\n";
const char* const kConsoleStarted = "OstraService started, press S to stop\n";
const char* const kConsoleStopped = "OstraService stopped\n";

std::string logListMissing(const std::string& path, const std::string& serviceName) {
    return "Konfiguracijska datoteka " + path + " nema popis " + serviceName +
           ".logs: dnevnik se ne zapisuje";
}

}  // namespace messages
