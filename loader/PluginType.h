// What a factory's object is, told by the C++ run-time type information.
//
// A library that does not export OstraPluginKind (every plug-in written
// before the marker existed) says nothing about its kind, and a database
// library named as a protocol would be called through the wrong interface
// and crash the host. GCC and Clang, on Linux and with mingw-w64, lay
// polymorphic objects out by the Itanium C++ ABI: the object's first word
// points into its class's virtual table, and the two words before that
// entry hold the offset to the most-derived object and that class's
// type_info. From it the run-time library tells whether the interface is a
// public base, as a dynamic_cast would. An object built without type
// information (-fno-rtti) leaves that word empty and is trusted.
#pragma once

#include <string>

namespace plugin_type {

enum class Verdict {
    kIsThatKind,     // `object` now points at its interface of the kind asked for
    kAnotherKind,    // `why` says which kind it is instead; the object is destroyed
    kNoPlugin,       // `why` says what it is; no interface can destroy it
    kNoInformation,  // built without type information: trusted
};

// `object` is what a factory returned; `kind` "control", "protocol" or
// "database". An object of another kind is destroyed through the interface
// it has; one of no plug-in kind at all is left alone (kNoPlugin).
Verdict check(void*& object, const char* kind, std::string& why);

}  // namespace plugin_type
