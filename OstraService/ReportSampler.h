// The thread that asks every started plug-in object for its report, about
// once a second, and leaves the answers in their ReportSlots.
//
// A pass asks the objects one after the other on a thread of its own. A
// pass that has not ended within the deadline is left to itself (the
// object it waits for shows as not answering, and is not asked again until
// it has returned) and the next pass runs on a new thread, so one report
// that hangs holds up no other object's numbers. The slots and the counters
// holding them are shared with the passes, so a pass left behind never
// reads freed memory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "OstraService/PluginReports.h"
#include "OstraService/ProtocolMetrics.h"
#include "platform/Mutex.h"

class ReportSampler {
public:
    using Protocols = std::vector<std::shared_ptr<metrics::ProtocolCounters>>;

    // Starts asking, once a second, the protocols' slots and `control`'s.
    ReportSampler(Protocols protocols, std::shared_ptr<reports::ReportSlot> control,
                  std::shared_ptr<reports::NumberCatalog> catalog);
    // Stops asking: waits for the pass under way unless it is held up.
    ~ReportSampler();
    ReportSampler(const ReportSampler&) = delete;
    ReportSampler& operator=(const ReportSampler&) = delete;

    static constexpr std::chrono::milliseconds kPeriod{1000};

    // One pass over every slot, on the calling thread.
    static void askAll(const Protocols& protocols, reports::ReportSlot* control,
                       reports::NumberCatalog& catalog);

private:
    struct Pass {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        reports::Clock::time_point began;
    };
    void run();
    void startPass();

    const Protocols protocols_;
    const std::shared_ptr<reports::ReportSlot> control_;
    const std::shared_ptr<reports::NumberCatalog> catalog_;
    ostra::Mutex lock_;
    ostra::Condition wake_;
    bool stopping_ OSTRA_GUARDED_BY(lock_) = false;
    Pass pass_;
    std::thread thread_;
};
