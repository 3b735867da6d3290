#include "loader/loadPlugin.h"

#include <cstring>
#include <exception>

#include "loader/PluginType.h"
#include "platform/library.h"
#include "platform/os_error.h"
#include "plugin/PluginExport.h"

namespace {
thread_local PluginLoadError lastError = PluginLoadError::kNone;
thread_local std::string lastFailure;

void* fail(PluginLoadError error, std::string text) {
    lastError = error;
    lastFailure = std::move(text);
    return nullptr;
}

template <typename Function>
Function lookUp(HMODULE library, const char* name) {
    FARPROC address = GetProcAddress(library, name);
    return address != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(address))
                              : nullptr;
}

// Empty when the library may make objects of `kind`; otherwise why not.
std::string kindMismatch(HMODULE library, const char* kind) {
    if (kind == nullptr) return std::string();
    auto kindExport = lookUp<PluginKindExport>(library, "OstraPluginKind");
    if (kindExport == nullptr) return std::string();
    const char* made = kindExport();
    if (made != nullptr && std::strcmp(made, kind) == 0) return std::string();
    return std::string("it is a ") + (made != nullptr ? made : "(no kind)") + " plug-in, not a " +
           kind + " plug-in";
}
}  // namespace

void* loadPlugin(const char* dllName, const char* kind) {
    lastError = PluginLoadError::kNone;
    lastFailure.clear();
    if (dllName == nullptr) return fail(PluginLoadError::kNoName, "no library name");
    HMODULE library = ostra::loadLibrary(dllName);
    if (library == nullptr) return fail(PluginLoadError::kNotLoaded, ostra::describeLastError());
    auto factory = lookUp<PluginFactory>(library, "CreateClassInstance");
    if (factory == nullptr)
        return fail(PluginLoadError::kNoFactory, "no export CreateClassInstance");
    std::string mismatch = kindMismatch(library, kind);
    if (!mismatch.empty()) return fail(PluginLoadError::kWrongKind, mismatch);
    void* plugin = nullptr;
    try {
        plugin = factory(dllName);
    } catch (const std::exception& error) {
        return fail(PluginLoadError::kFactoryThrew,
                    std::string("CreateClassInstance threw: ") + error.what());
    } catch (...) {
        return fail(PluginLoadError::kFactoryThrew, "CreateClassInstance threw");
    }
    if (plugin == nullptr)
        return fail(PluginLoadError::kNoObject, "CreateClassInstance returned no object");
    std::string otherKind;
    if (kind != nullptr &&
        plugin_type::check(plugin, kind, otherKind) == plugin_type::Verdict::kAnotherKind)
        return fail(PluginLoadError::kWrongKind, otherKind);
    return plugin;
}

PluginLoadError lastPluginLoadError() { return lastError; }

std::string lastPluginLoadFailure() { return lastFailure; }
