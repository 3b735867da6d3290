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

}  // namespace messages
