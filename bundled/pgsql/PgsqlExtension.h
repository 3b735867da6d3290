// The keys of pgsql's database element, as the plug-in reads them and as
// it shows them to the host, with the check of what the table cannot say
// (PgsqlExtension.cpp).
#pragma once

#include "plugin/PluginExtension.h"

namespace ostra_pgsql {

extern const OstraSetting kSettings[];

}  // namespace ostra_pgsql
