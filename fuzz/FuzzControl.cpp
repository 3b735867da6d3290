// Control records with arbitrary keys and values into controlEventProc
// while protocols run. The input is split at NUL bytes into key, value,
// key, value, ...; the first byte picks the tag.
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "OstraService/ServiceHost.h"
#include "common/Record.h"
#include "platform/paths.h"

namespace {

class AnswerSink : public CControlPlugin {
public:
    int processRecord(int, Record* record) override { return record->count(); }
    int processLog(Record*) override { return 0; }
    void setCallback(EventProc, void*) override {}
    int start(Setting&) override { return 0; }
    void stop() override {}
};

struct RunningHost {
    CServiceHost host;
    std::thread service;
    RunningHost() {
        std::string p = std::string("testprotocol") + OSTRA_PLUGIN_SUFFIX;
        std::string d = std::string("testdatabase") + OSTRA_PLUGIN_SUFFIX;
        std::string entry = "{ name = \"p\"; type = \"PBX\"; dll = \"" + p +
                            "\"; journal = false; " + "databases = ( { dll = \"" + d +
                            "\"; journal = false; } ); }";
        FILE* file = std::fopen(
            ostra::joinPath(ostra::executableDirectory(), "FuzzControl.cfg").c_str(), "w");
        std::fprintf(file,
                     "FuzzControl: { control = { dll = \"none\"; }; protocols = ( %s, %s ); };\n",
                     entry.c_str(), entry.c_str());
        std::fclose(file);
        host.setName("FuzzControl");
        service = std::thread([this] { host.serve(false, 'S'); });
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static RunningHost* running = new RunningHost;  // runs for the whole session
    static AnswerSink sender;
    if (size == 0) return 0;
    Record record;
    std::vector<std::string> parts;
    std::string current;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    parts.push_back(current);
    for (size_t i = 0; i + 1 < parts.size(); i += 2)
        record.set(parts[i].c_str(), parts[i + 1].c_str());
    int result = CServiceHost::controlEventProc(&running->host, &sender, data[0], &record);
    if (result != 0) __builtin_trap();
    return 0;
}
