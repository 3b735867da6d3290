// The operator messages of the host, byte for byte. The Croatian texts are
// written here in UTF-8; the build turns them into Windows-1250 bytes for
// Windows (and, by option, for Linux).
#pragma once

#include <string>

namespace messages {

// Configuration file.
std::string configMalformed(const std::string& path, const std::string& parserError);
std::string configUnreadable(const std::string& path);
std::string configIncomplete(const std::string& serviceName);

// Protocol applications.
std::string protocolUnknownType(const std::string& name);
std::string protocolNotCreated(const std::string& name, const std::string& dll);
std::string databaseNotCreated(const std::string& name, const std::string& protocolDll);
std::string protocolAllocationFailed(const std::string& name);
// A failure held back while it repeated (RepeatedFailures.h), `count` times.
std::string failureRepeated(const std::string& name, long long count);
// A protocols entry the host cannot use: `index` counts from 0, `name` is
// "" when not known, `settingPath` is the setting at fault.
std::string protocolSettingMissing(int index, const std::string& name,
                                   const std::string& settingPath);
std::string protocolSettingMistyped(int index, const std::string& name,
                                    const std::string& settingPath);

// Plug-in failures: an operation that threw, a library that would not load.
std::string pluginFault(const std::string& owner, const std::string& dll, const char* operation,
                        const char* what);
std::string pluginNotLoaded(const std::string& owner, const std::string& dll,
                            const std::string& reason);
// A plug-in whose start() refused with `code` (its reason is its own to say).
std::string pluginStartRefused(const std::string& owner, const std::string& dll, int code);
// The owner named in those lines.
std::string protocolOwner(const std::string& protocolName);
extern const char* const kControlOwner;

// A CONTROL request: START or STOP, of every protocol or, when `named`, of
// `protocol` (not `found` when none has that name), asked by `origin` (what the
// control plug-in said of its client; "" when it said nothing).
std::string controlAction(bool start, bool named, const std::string& protocol, bool found,
                          const std::string& origin);

// Service management verbs.
std::string serviceInstalled(const std::string& serviceName);
std::string serviceNotInstalled(const std::string& serviceName);
std::string serviceRemoved(const std::string& serviceName);
std::string serviceNotRemoved(const std::string& serviceName);
std::string serviceNotStarted(const std::string& nameOrVerb);

// Console.
// The usage line, byte for byte as operators' tools know it, then a line of
// its own for the verbs added since.
extern const char* const kUsage;
extern const char* const kMoreVerbs;
extern const char* const kConsoleStarted;
extern const char* const kConsoleStopped;
// The configuration has no "logs" list: no log is written.
std::string logListMissing(const std::string& path, const std::string& serviceName);

}  // namespace messages
