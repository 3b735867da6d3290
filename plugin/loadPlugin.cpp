#include "plugin/loadPlugin.h"

#include <exception>

#include "platform/library.h"
#include "platform/os_error.h"
#include "plugin/PluginExport.h"

namespace {
thread_local std::string lastFailure;
}

void* loadPlugin(const char* dllName) {
    lastFailure.clear();
    if (dllName == nullptr) {
        lastFailure = "no library name";
        return nullptr;
    }
    HMODULE library = ostra::loadLibrary(dllName);
    if (library == nullptr) {
        lastFailure = ostra::describeLastError();
        return nullptr;
    }
    FARPROC factoryAddress = GetProcAddress(library, "CreateClassInstance");
    if (factoryAddress == nullptr) {
        lastFailure = "no export CreateClassInstance";
        return nullptr;
    }
    auto factory = reinterpret_cast<PluginFactory>(reinterpret_cast<void*>(factoryAddress));
    void* plugin = nullptr;
    try {
        plugin = factory(dllName);
    } catch (const std::exception& error) {
        lastFailure = std::string("CreateClassInstance threw: ") + error.what();
        return nullptr;
    } catch (...) {
        lastFailure = "CreateClassInstance threw";
        return nullptr;
    }
    if (plugin == nullptr) lastFailure = "CreateClassInstance returned no object";
    return plugin;
}

std::string lastPluginLoadFailure() { return lastFailure; }
