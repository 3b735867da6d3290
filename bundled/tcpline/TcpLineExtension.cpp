#include "TcpLineExtension.h"

#include "TcpLinePlugin.h"
#include "TcpLineReport.h"

namespace tcpline {

const OstraSetting kSettings[] = {
    {"bind", OSTRA_SETTING_TEXT, 0, "127.0.0.1", 0, -1, nullptr, "the address to listen on"},
    {"port", OSTRA_SETTING_INTEGER, 0, "7765", 0, 65535, nullptr,
     "the TCP port to listen on (0: any free port)"},
    {"maxline", OSTRA_SETTING_INTEGER, 0, "4096", 16, 1 << 24, nullptr,
     "the longest line in bytes"},
    {"maxqueue", OSTRA_SETTING_INTEGER, 0, "1048576", 1024, 1 << 30, nullptr,
     "bytes of unsent replies and events a client may have"},
    {"maxclients", OSTRA_SETTING_INTEGER, 0, "64", 1, 65536, nullptr, "connections at once"},
    {"workers", OSTRA_SETTING_INTEGER, 0, "16", 1, 256, nullptr,
     "threads relaying lines to the databases"},
    {"idletimeout", OSTRA_SETTING_INTEGER, 0, "300", 0, 86400, nullptr,
     "seconds a connection with nothing in flight may stay silent (0: never)"},
    OSTRA_SETTINGS_END};

}  // namespace tcpline

namespace {
void takeBatchRelay(void* instance, OstraBatchRelay relay, void* context) {
    static_cast<tcpline::TcpLinePlugin*>(static_cast<CProtocolPlugin*>(instance))
        ->takeBatchRelay(relay, context);
}
}  // namespace

OSTRA_PLUGIN_EXTENSION_WITH_BATCHES(tcpline::kSettings, nullptr, tcpline::reportTcpLine,
                                    takeBatchRelay, nullptr)
