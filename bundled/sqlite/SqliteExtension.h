// The keys of sqlite's database element, as the plug-in reads them and as
// it shows them to the host (SqliteExtension.cpp).
#pragma once

#include "plugin/PluginExtension.h"

namespace ostra_sqlite {
extern const OstraSetting kSettings[];
}
