#include "loader/loadPlugin.h"

#include <cstring>
#include <exception>
#include <vector>

#include "loader/PluginType.h"
#include "platform/Mutex.h"
#include "platform/library.h"
#include "platform/os_error.h"
#include "plugin/PluginExport.h"
#include "plugin/PluginExtension.h"

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

// Libraries whose factory made an object of another kind than the one
// asked for. A library is never unloaded and its factory would make the
// same again: it is not asked again for that kind, so a protocol retried
// by the run loop costs no new object (one of no plug-in kind at all
// cannot be destroyed by the host, and would be one more leaked on each
// attempt).
class KindRefusals {
public:
    // Why `library` was refused for `kind`, or "" when it never was.
    std::string find(HMODULE library, const char* kind) {
        ostra::MutexLock guard(lock_);
        for (const Refusal& refusal : refusals_)
            if (refusal.library == library && refusal.kind == kind) return refusal.why;
        return std::string();
    }
    // `undestroyed`: the object the library made, when nothing could
    // destroy it; kept here, the one it will ever make for `kind`.
    void add(HMODULE library, const char* kind, const std::string& why, void* undestroyed) {
        ostra::MutexLock guard(lock_);
        refusals_.push_back({library, kind, why, undestroyed});
    }

private:
    struct Refusal {
        HMODULE library;
        std::string kind;
        std::string why;
        void* undestroyed;
    };
    ostra::Mutex lock_;
    std::vector<Refusal> refusals_
        OSTRA_GUARDED_BY(lock_);  // a handful: one per misnamed library and kind
};

KindRefusals& kindRefusals() {
    static KindRefusals* refusals = new KindRefusals;  // used until the process ends
    return *refusals;
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
    if (mismatch.empty() && kind != nullptr) mismatch = kindRefusals().find(library, kind);
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
    const plugin_type::Verdict verdict = kind != nullptr
                                             ? plugin_type::check(plugin, kind, otherKind)
                                             : plugin_type::Verdict::kIsThatKind;
    if (verdict == plugin_type::Verdict::kAnotherKind ||
        verdict == plugin_type::Verdict::kNoPlugin) {
        kindRefusals().add(library, kind, otherKind,
                           verdict == plugin_type::Verdict::kNoPlugin ? plugin : nullptr);
        return fail(PluginLoadError::kWrongKind, otherKind);
    }
    return plugin;
}

PluginLoadError lastPluginLoadError() { return lastError; }

std::string lastPluginLoadFailure() { return lastFailure; }

const OstraExtension* pluginExtension(const char* dllName) {
    if (dllName == nullptr) return nullptr;
    HMODULE library = ostra::loadLibrary(dllName);
    if (library == nullptr) return nullptr;
    auto extension = lookUp<PluginExtensionExport>(library, "OstraPluginExtension");
    if (extension == nullptr) return nullptr;
    const OstraExtension* found = extension();
    return found != nullptr && found->version >= 1 ? found : nullptr;
}
