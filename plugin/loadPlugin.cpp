#include "plugin/loadPlugin.h"

#include "platform/winapi.h"
#include "plugin/PluginExport.h"

void* loadPlugin(const char* dllName) {
    if (dllName == nullptr) return nullptr;
    HMODULE library = LoadLibraryA(dllName);
    if (library == nullptr) return nullptr;
    FARPROC factoryAddress = GetProcAddress(library, "CreateClassInstance");
    if (factoryAddress == nullptr) return nullptr;
    auto factory = reinterpret_cast<PluginFactory>(reinterpret_cast<void*>(factoryAddress));
    return factory(dllName);
}
