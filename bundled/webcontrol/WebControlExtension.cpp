#include "WebControlExtension.h"

namespace webcontrol {

const OstraSetting kSettings[] = {
    {"bind", OSTRA_SETTING_TEXT, 0, "127.0.0.1", 0, -1, nullptr,
     "the address the console listens on"},
    {"port", OSTRA_SETTING_INTEGER, 0, "8765", 0, 65535, nullptr,
     "the console's TCP port (0: any free port)"},
    {"token", OSTRA_SETTING_TEXT, 0, nullptr, 0, -1, nullptr,
     "the token every request must carry; needed beyond loopback"},
    {"readtoken", OSTRA_SETTING_TEXT, 0, nullptr, 0, -1, nullptr,
     "a second token that reads (/metrics, /healthz, status, log) but cannot start or stop"},
    {"loglines", OSTRA_SETTING_INTEGER, 0, "1000", 1, 1000000, nullptr,
     "log lines the console keeps for its page"},
    {"refusedpercent", OSTRA_SETTING_INTEGER, 0, "10", 0, 100, nullptr,
     "per cent of a minute's records not stored that makes /healthz unhealthy"},
    OSTRA_SETTINGS_END};

}  // namespace webcontrol

OSTRA_PLUGIN_EXTENSION(webcontrol::kSettings, nullptr, nullptr)
