#include "OstraService/PluginReports.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "OstraService/PluginCalls.h"

namespace reports {

namespace {

// A reason or help text on one line, escaped as ListText::putText does.
void appendText(std::string& into, const std::string& text) {
    for (char c : text) {
        if (c == '\n' || c == '\r') c = ' ';
        if (c == '\\' || c == ',' || c == ';' || c == '/') into += '\\';
        into += c;
    }
}

std::string oneLine(const char* text) {
    std::string line = text != nullptr ? text : "";
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

void sinkState(void* context, int state, const char* reason) {
    auto* sample = static_cast<Sample*>(context);
    sample->state =
        state == OSTRA_STATE_DEGRADED || state == OSTRA_STATE_FAILING ? state : OSTRA_STATE_OK;
    sample->reason = oneLine(reason);
}

void sinkNumber(void* context, const char* name, int kind, double value, const char* help) {
    auto* sample = static_cast<Sample*>(context);
    if (!publishableName(name) || !std::isfinite(value) || sample->numbers.size() >= 256) return;
    const bool counter = kind == OSTRA_NUMBER_COUNTER;
    const std::size_t length = std::strlen(name);
    // A counter's name ends in _total, a gauge's does not: Prometheus reads them so.
    const bool endsTotal = length > 6 && std::strcmp(name + length - 6, "_total") == 0;
    if (counter != endsTotal) return;
    for (const Number& said : sample->numbers)
        if (said.name == name) return;  // the first of a name counts
    sample->numbers.push_back(
        {name, counter ? OSTRA_NUMBER_COUNTER : OSTRA_NUMBER_GAUGE, value, oneLine(help)});
}

}  // namespace

const char* stateWord(Said said, int state) {
    switch (said) {
        case Said::kNotLoaded:
            return "NOT_LOADED";
        case Said::kNotAnswering:
            return "NOT_ANSWERING";
        case Said::kAnswered:
            return state == OSTRA_STATE_FAILING    ? "FAILING"
                   : state == OSTRA_STATE_DEGRADED ? "DEGRADED"
                                                   : "OK";
        default:
            return "";
    }
}

bool publishableName(const char* name) {
    if (name == nullptr || !(*name >= 'a' && *name <= 'z')) return false;
    std::size_t length = 0;
    for (const char* at = name; *at != '\0'; ++at, ++length) {
        const char c = *at;
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') || length >= 100)
            return false;
    }
    return true;
}

Sample askReport(OstraReport report, void* instance) {
    Sample sample;
    const OstraReportSink sink = {&sample, sinkState, sinkNumber};
    plugin_calls::guard(
        false,
        [&] {
            report(instance, &sink);
            return true;
        },
        [&](const char* what) {
            sample = Sample();
            sample.state = OSTRA_STATE_FAILING;
            sample.reason = std::string("its report threw: ") + what;
        });
    return sample;
}

void appendNumber(std::string& text, double value) {
    char digits[32];
    if (value == std::floor(value) && std::fabs(value) < 9.0e15) {
        auto end = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(value)).ptr;
        text.append(digits, static_cast<std::size_t>(end - digits));
        return;
    }
    int length = std::snprintf(digits, sizeof digits, "%.9g", value);
    text.append(digits, static_cast<std::size_t>(length));
}

void ReportSlot::attach(void* instance, OstraReport report) {
    ostra::MutexLock guard(lock_);
    instance_ = instance;
    report_ = report;
    notLoaded_ = false;
    answered_ = false;
    sample_ = Sample();
    reasonText_.clear();
    numbersText_.clear();
}

void ReportSlot::notLoaded() {
    ostra::MutexLock guard(lock_);
    notLoaded_ = true;
}

void ReportSlot::detach() {
    ostra::MutexLock guard(lock_);
    instance_ = nullptr;
    report_ = nullptr;
    notLoaded_ = false;
    answered_ = false;
    while (asking_) returned_.wait(guard);
}

void NumberCatalog::add(const std::vector<Number>& numbers) {
    ostra::MutexLock guard(lock_);
    for (const Number& number : numbers) {
        bool known = false;
        for (const std::string& name : names_) known = known || name == number.name;
        if (known) continue;
        names_.push_back(number.name);
        if (!text_.empty()) text_ += ',';
        text_ += number.name;
        text_ += number.kind == OSTRA_NUMBER_COUNTER ? "/counter/" : "/gauge/";
        appendText(text_, number.help);
    }
}

void NumberCatalog::appendTo(std::string& text) const {
    ostra::MutexLock guard(lock_);
    text += text_;
}

void ReportSlot::ask(NumberCatalog& catalog) {
    OstraReport report;
    void* instance;
    {
        ostra::MutexLock guard(lock_);
        if (report_ == nullptr || asking_) return;
        report = report_;
        instance = instance_;
        asking_ = true;
        askedAt_ = Clock::now();
    }
    Sample sample = askReport(report, instance);
    catalog.add(sample.numbers);
    std::string reason, numbers;
    appendText(reason, sample.reason);
    for (const Number& number : sample.numbers) {
        if (!numbers.empty()) numbers += '/';
        numbers += number.name;
        numbers += '=';
        appendNumber(numbers, number.value);
    }
    {
        ostra::MutexLock guard(lock_);
        asking_ = false;
        // Detached meanwhile: the answer is of an object that is gone.
        if (report_ != nullptr) {
            answered_ = true;
            sample_ = std::move(sample);
            reasonText_ = std::move(reason);
            numbersText_ = std::move(numbers);
        }
    }
    returned_.notifyAll();
}

Said ReportSlot::saidLocked(Clock::time_point now) const {
    if (notLoaded_) return Said::kNotLoaded;
    if (report_ == nullptr) return Said::kNothing;
    if (asking_ && now - askedAt_ > kDeadline) return Said::kNotAnswering;
    return answered_ ? Said::kAnswered : Said::kWaiting;
}

void ReportSlot::appendTo(std::string& state, std::string& reason, std::string& numbers,
                          Clock::time_point now) const {
    ostra::MutexLock guard(lock_);
    const Said said = saidLocked(now);
    state += stateWord(said, sample_.state);
    if (said != Said::kAnswered) return;
    reason += reasonText_;
    numbers += numbersText_;
}

Said ReportSlot::read(Sample& sample, Clock::time_point now) const {
    ostra::MutexLock guard(lock_);
    const Said said = saidLocked(now);
    if (said == Said::kAnswered) sample = sample_;
    return said;
}

}  // namespace reports
