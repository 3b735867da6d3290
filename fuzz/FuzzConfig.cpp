// The configuration file through the whole read path: the entry's log
// set-up, then the host's set-up with the test plug-ins standing in for
// every library the file names, a few wake-up passes and the stop sequence.
//
// Inputs with a path separator are skipped, so that a fuzzed log "path"
// cannot reach outside the folder the fuzzer runs in.
#include <cstdint>
#include <cstring>
#include <libconfig.h++>
#include <string>
#include <thread>

#include "OstraService/ConfigFile.h"
#include "OstraService/LogSetup.h"
#include "OstraService/ServiceHost.h"
#include "platform/paths.h"

namespace {

const char kService[] = "FuzzHost";

std::string plugin(const char* name) { return std::string(name) + OSTRA_PLUGIN_SUFFIX; }

// Every "dll" that names a string becomes the test plug-in of its place.
void standInTestPlugins(libconfig::Setting& setting, const std::string& kind) {
    if (setting.isGroup() && setting.exists("dll") &&
        setting["dll"].getType() == libconfig::Setting::TypeString)
        setting["dll"] = plugin(kind.c_str());
    if (!setting.isAggregate()) return;
    for (int i = 0; i < setting.getLength(); ++i) {
        libconfig::Setting& child = setting[i];
        const char* name = child.getName();
        std::string childKind = kind;
        if (name != nullptr && std::strcmp(name, "control") == 0) childKind = "testcontrol";
        if (name != nullptr && std::strcmp(name, "protocols") == 0) childKind = "testprotocol";
        if (name != nullptr && std::strcmp(name, "databases") == 0) childKind = "testdatabase";
        standInTestPlugins(child, childKind);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find_first_of("/\\") != std::string::npos) return 0;
    const std::string path = config_file::pathFor(kService);

    libconfig::Config parsed;
    try {
        parsed.readString(text);
        standInTestPlugins(parsed.getRoot(), "testprotocol");
        parsed.writeFile(path.c_str());
    } catch (const libconfig::ConfigException&) {
        return 0;  // not a configuration: the parser's own fuzzing is not ours
    }

    CServiceHost host;
    host.setName(kService);
    {
        libconfig::Config entryConfig;
        std::string failure;
        if (config_file::read(entryConfig, path, failure) == config_file::ReadResult::kRead)
            setUpLog(host, entryConfig, kService, path);
    }
    std::thread service([&host] { host.serve(false, 'S'); });
    Sleep(2);  // a wake-up pass or two
    host.requestStop();
    service.join();
    return 0;
}
