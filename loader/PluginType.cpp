#include "loader/PluginType.h"

#include <cxxabi.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "plugin/CControlPlugin.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/CProtocolPlugin.h"

namespace plugin_type {

namespace {

struct Kind {
    const char* name;
    const std::type_info& interface;
    void (*destroy)(void* object);
};

template <typename Interface>
void destroyAs(void* object) {
    delete static_cast<Interface*>(object);
}

const Kind kKinds[] = {
    {"control", typeid(CControlPlugin), &destroyAs<CControlPlugin>},
    {"protocol", typeid(CProtocolPlugin), &destroyAs<CProtocolPlugin>},
    {"database", typeid(CDatabasePlugin), &destroyAs<CDatabasePlugin>},
};

// Where `interface` lies in the complete object `complete` of `type`, or
// null when it is not a public, unambiguous base.
void* interfaceIn(void* complete, const std::type_info& type, const std::type_info& interface) {
    void* adjusted = complete;
    const auto& target = static_cast<const abi::__class_type_info&>(interface);
    return type.__do_upcast(&target, &adjusted) ? adjusted : nullptr;
}

std::string readableName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
    std::free(demangled);
    return name;
}

}  // namespace

Verdict check(void*& object, const char* kind, std::string& why) {
    void* const* vtableEntry = *static_cast<void* const* const*>(object);
    const auto* type = static_cast<const std::type_info*>(vtableEntry[-1]);
    if (type == nullptr) return Verdict::kNoInformation;
    const auto offsetToTop = reinterpret_cast<std::ptrdiff_t>(vtableEntry[-2]);
    void* complete = static_cast<char*>(object) + offsetToTop;

    for (const Kind& candidate : kKinds) {
        if (std::strcmp(candidate.name, kind) != 0) continue;
        if (void* found = interfaceIn(complete, *type, candidate.interface)) {
            object = found;
            return Verdict::kIsThatKind;
        }
    }
    for (const Kind& other : kKinds) {
        void* found = interfaceIn(complete, *type, other.interface);
        if (found == nullptr) continue;
        why = std::string("it is a ") + other.name + " plug-in, not a " + kind + " plug-in";
        try {
            other.destroy(found);
        } catch (...) {
            // A destructor that throws is its library's fault; the object is gone.
        }
        return Verdict::kAnotherKind;
    }
    why = "its object (" + readableName(*type) + ") is no plug-in, not a " + kind + " plug-in";
    return Verdict::kNoPlugin;
}

}  // namespace plugin_type
