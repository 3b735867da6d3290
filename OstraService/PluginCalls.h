// Calls into plug-ins that cannot take the host down.
//
// A plug-in comes from someone else. An exception that leaves one of its
// operations is that plug-in's failure: the host reports it once, treats
// the call as failed (a refused start, a "not running", the answer 3, a
// dropped line) and goes on. This includes exceptions of the configuration
// library that a plug-in's own reads of its group let escape.
#pragma once

#include <exception>
#include <string>

namespace plugin_calls {

// Runs `call`; when it throws, passes the exception's text to `report` and
// returns `fallback`.
template <typename Result, typename Call, typename Report>
Result guard(Result fallback, Call&& call, Report&& report) {
    try {
        return call();
    } catch (const std::exception& error) {
        report(error.what());
    } catch (...) {
        report("unknown exception");
    }
    return fallback;
}

// Inside a catch block: the text of the exception being handled.
std::string currentExceptionText();

// After loadPlugin(dll) returned null: the reason worth a log line of its
// own, or "" when the callers' messages say enough (the file is not there,
// it exports no factory, or the factory made no object). What is left: a
// library that is there but does not load (a dependency is missing, it is
// built for another machine), in the operating system's words, a library
// that says it makes another kind of plug-in, and a factory that threw.
std::string loadFailureWorthLogging(const std::string& dll);

}  // namespace plugin_calls
