#include <cstring>

#include "platform/library.h"

namespace ostra {

HMODULE loadLibrary(const char* name) {
    if (name == nullptr) return nullptr;
    const bool hasDirectory = std::strpbrk(name, "\\/:") != nullptr;
    if (hasDirectory) {
        // Its own folder first for the libraries it needs.
        return LoadLibraryExA(name, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    // Beside the executable, then System32; the current folder and PATH are
    // left out.
    return LoadLibraryExA(name, nullptr,
                          LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace ostra
