// The soak run: a host serving for a long time under everything at once.
//
//   soak [seconds]        (default 600; scripts/soak.sh builds and runs it)
//
// Two protocols relay in both directions from four plug-in threads; a
// CONTROL STOP and START every 100 ms, a STATUS every 10 ms; the log file
// rotates every few seconds and keeps every old file. At the end it checks
// that every event got 0, 1 or 3, that every numbered line it logged is in
// the kept files in order, and reports resident memory over the run. Run
// it in the asan lane's build so LeakSanitizer looks for leaks at exit.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OstraService/LogSetup.h"
#include "OstraService/ServiceHost.h"
#include "TestJournal.h"
#include "TestSupport.h"
#include "common/Record.h"
#include "platform/paths.h"

namespace {

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

class AnswerCounter : public CControlPlugin {
public:
    int processRecord(int, Record* record) override {
        answers.fetch_add(1);
        if (std::string(record->get("CMD")) != "ANSWER") badAnswers.fetch_add(1);
        return 0;
    }
    int processLog(Record*) override { return 0; }
    void setCallback(EventProc, void*) override {}
    int start(Setting&) override { return 0; }
    void stop() override {}
    std::atomic<long> answers{0}, badAnswers{0};
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const std::string name = "SoakHost";
    const std::string dir = ostra::executableDirectory();
    std::string logFolder = ostra::joinPath(dir, "soak-logs");
    std::string command = "rm -rf '" + logFolder + "' && mkdir -p '" + logFolder + "'";
    if (std::system(command.c_str()) != 0) return 2;

    const std::string p = testing_support::pluginFile("testprotocol");
    const std::string d = testing_support::pluginFile("testdatabase");
    const std::string busy =
        "workerEvents = -1; workerIntervalMs = 1; quietEvents = true; journal = false; trail = "
        "false;";
    auto protocol = [&](const char* id) {
        return std::string("{ name = \"") + id + "\"; id = \"" + id +
               "\"; type = \"PBX\"; dll = \"" + p + "\"; " + busy + " databases = ( { dll = \"" +
               d + "\"; " + busy + " answer = 1; } ); }";
    };
    {
        std::ofstream config(ostra::joinPath(dir, name + ".cfg"));
        config
            << name << ": { logs = ( { type = \"FILE\"; path = \"" << logFolder
            << "\"; size = 8; rotate = 100000; } ); control = { dll = \"none\"; }; protocols = ( "
            << protocol("a") << ", " << protocol("b") << " ); };\n";
    }

    CServiceHost host;
    host.setName(name.c_str());
    {
        libconfig::Config config;
        config.readFile(ostra::joinPath(dir, name + ".cfg").c_str());
        setUpLog(host, config, name, ostra::joinPath(dir, name + ".cfg"));
    }
    CLog& log = *host.getLog(nullptr);
    std::thread service([&] { host.serve(false, 'S'); });

    AnswerCounter sender;
    std::atomic<bool> running{true};
    long controls = 0, statuses = 0, numbered = 0;
    std::thread control([&] {
        for (auto next = std::chrono::steady_clock::now(); running.load();
             next += std::chrono::milliseconds(100)) {
            std::this_thread::sleep_until(next);
            Record record;
            record.set("CMD", "CONTROL");
            record.set("TYPE", controls % 2 ? "START" : "STOP");
            CServiceHost::controlEventProc(&host, &sender, 1, &record);
            ++controls;
        }
    });
    std::thread status([&] {
        for (auto next = std::chrono::steady_clock::now(); running.load();
             next += std::chrono::milliseconds(10)) {
            std::this_thread::sleep_until(next);
            Record record;
            record.set("CMD", "STATUS");
            CServiceHost::controlEventProc(&host, &sender, 2, &record);
            ++statuses;
        }
    });
    std::thread lines([&] {
        while (running.load()) {
            log.log(LOG_LEVEL_INFO, "Soak", __LINE__,
                    ("soak line " + std::to_string(numbered)).c_str());
            ++numbered;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // The test plug-ins journal their creation; that scaffolding is emptied
    // every round so that resident memory shows the host alone.
    size_t bad = 0;
    auto countBadAndClear = [&bad] {
        for (const auto& entry : TestJournal::entries()) bad += entry.call == "badEventResult";
        TestJournal::clear();
    };
    std::vector<long> resident;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)) {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        countBadAndClear();
        resident.push_back(residentKiB());
        std::printf("%4lds: resident %ld KiB, %ld numbered lines, %ld STATUS answers\n",
                    static_cast<long>(resident.size() * 10), resident.back(), numbered,
                    sender.answers.load());
        std::fflush(stdout);
    }
    running.store(false);
    control.join();
    status.join();
    lines.join();
    host.requestStop();
    service.join();

    // Every numbered line, in order, across the kept files (oldest first).
    std::map<int, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(logFolder)) {
        std::string file = entry.path().filename().string();
        std::string suffix = file.substr(file.find(".log") + 4);
        files[suffix.empty() ? 0 : std::stoi(suffix.substr(1))] = entry.path().string();
    }
    long expected = 0;
    bool inOrder = true;
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        for (const auto& line : testing_support::readLines(it->second)) {
            size_t at = line.find("soak line ");
            if (at == std::string::npos) continue;
            if (std::stol(line.substr(at + 10)) != expected) inOrder = false;
            ++expected;
        }
    }
    countBadAndClear();
    long warm = resident.size() > 3 ? resident[2] : (resident.empty() ? 0 : resident.front());
    long peak = 0;
    for (size_t i = 2; i < resident.size(); ++i) peak = std::max(peak, resident[i]);
    std::printf(
        "\nsoak: %d s, %zu log files kept, %ld numbered lines logged, %ld found in order: %s\n",
        seconds, files.size(), numbered, expected, inOrder && expected == numbered ? "yes" : "NO");
    std::printf("soak: %ld CONTROL requests, %ld STATUS requests, %ld answers (%ld malformed)\n",
                controls, statuses, sender.answers.load(), sender.badAnswers.load());
    std::printf("soak: events answered other than 0, 1 or 3: %zu\n", bad);
    std::printf("soak: resident memory after warm-up %ld KiB, at the end %ld KiB, peak %ld KiB\n",
                warm, resident.empty() ? 0 : resident.back(), peak);
    bool ok = inOrder && expected == numbered && bad == 0 && sender.badAnswers.load() == 0;
    std::printf("soak: %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
