// Stands in for the host in the package test: run from a copy of the
// package folder in a fresh Wine prefix, it needs exactly the DLLs the host
// needs (ours, libconfig's and the compiler's runtime) and reads the sample
// configuration beside it; the bundled plug-ins the configuration names
// must load there too, with their factory.
#include <cstdio>
#include <libconfig.h++>

#include "common/CSync.h"
#include "common/Record.h"
#include "common/log/CLog.h"
#include "common/log/CStdLogFormat.h"
#include "common/log/flogstream.h"
#include "platform/paths.h"

int main() {
    std::string directory = ostra::executableDirectory();
    libconfig::Config config;
    try {
        config.readFile(ostra::joinPath(directory, "OstraService.cfg").c_str());
    } catch (const libconfig::ConfigException& error) {
        std::printf("package probe: configuration not readable: %s\n", error.what());
        return 1;
    }
    int wakeUpWait = 0;
    config.lookupValue("OstraService.wakeupwait", wakeUpWait);

    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    Record record;
    {
        CSync sync(&section);
        record.set("CMD", "STATUS");
    }
    DeleteCriticalSection(&section);

    flogstream file;
    CStdLogFormat formatter;
    CLog log;
    file.open(ostra::joinPath(directory, "probe.log").c_str());
    log.addStream(&file);
    log.setFormatter(&formatter);
    log.log(LOG_LEVEL_INFO, "PackageProbe", __LINE__, record.get("CMD"));

    for (const char* plugin : {"tcpline.dll", "sqlite.dll", "webcontrol.dll"}) {
        HMODULE library = LoadLibraryA(ostra::joinPath(directory, plugin).c_str());
        if (library == nullptr || GetProcAddress(library, "CreateClassInstance") == nullptr) {
            std::printf("package probe: %s does not load (error %lu)\n", plugin, GetLastError());
            return 1;
        }
    }

    std::printf("package ok: wakeupwait=%d\n", wakeUpWait);
    return 0;
}
