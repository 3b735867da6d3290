// The host in-process with the bundled plug-ins, loaded through the real
// loading path, each listening on a free port of its own.
#pragma once

#include <string>

#include "../host/HostFixture.h"
#include "LineClient.h"

class BundledFixture : public HostFixture {
protected:
    // A protocols entry running tcpline on `port`, with `databases` (the
    // inside of its databases list) and extra tcpline keys.
    static std::string tcplineProtocol(const std::string& name, int port,
                                       const std::string& databases, const std::string& keys = "") {
        return "{ name = " + configString(name) +
               "; type = \"PBX\"; dll = " + configString(plugin("tcpline")) +
               "; port = " + std::to_string(port) + "; " + keys + " databases = ( " + databases +
               " ); }";
    }
    // A scriptable test database with label `id`.
    static std::string testDatabase(const std::string& id, const std::string& keys = "") {
        return "{ dll = " + configString(plugin("testdatabase")) + "; id = " + configString(id) +
               "; " + keys + " }";
    }
    static std::string sqliteDatabase(const std::string& path, const std::string& keys = "") {
        return "{ dll = " + configString(plugin("sqlite")) + "; path = " + configString(path) +
               "; " + keys + " }";
    }
    static std::string webControl(int port, const std::string& keys = "") {
        return "control = { dll = " + configString(plugin("webcontrol")) +
               "; port = " + std::to_string(port) + "; " + keys + " };";
    }

    // Serves `settings` and waits until `port` accepts connections.
    void serveUntilListening(const std::string& settings, int port) {
        writeConfig(settings);
        startServing();
        ASSERT_TRUE(eventually([&] { return portAccepts(port); })) << "nothing listens on " << port;
    }

    bool logHas(const std::string& text) {
        for (const auto& line : hostLines.lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};
