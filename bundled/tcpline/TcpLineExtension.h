// The keys of tcpline's protocol entry, as the plug-in reads them and as
// it shows them to the host (TcpLineExtension.cpp).
#pragma once

#include "plugin/PluginExtension.h"

namespace tcpline {
extern const OstraSetting kSettings[];
}
