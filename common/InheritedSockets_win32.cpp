#include "common/InheritedSockets.h"

// Windows has no service manager that passes listening sockets.
extern "C" int ostraInheritedListener(const char*, int) { return -1; }
