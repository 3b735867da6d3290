#include "BenchSupport.h"

#include <cstdlib>
#include <fstream>
#include <new>

#include "platform/paths.h"

namespace bench {

std::atomic<long long> allocations{0};

std::filesystem::path scratchDir() {
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::path(ostra::executableDirectory()) / "bench-files";
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}

std::string plugin(const char* name) { return std::string(name) + OSTRA_PLUGIN_SUFFIX; }

void writeHostConfig(const std::string& name, int protocols, int databases) {
    std::ofstream config(ostra::joinPath(ostra::executableDirectory(), name + ".cfg"));
    const std::string quiet = "journal = false; trail = false;";
    config << name << ": {\n  control = { dll = \"" << plugin("testcontrol") << "\"; " << quiet
           << " quietLogs = true; };\n  protocols = (\n";
    for (int p = 0; p < protocols; ++p) {
        config << (p ? ",\n" : "") << "    { name = \"p" << p << "\"; type = \"PBX\"; dll = \""
               << plugin("testprotocol") << "\"; " << quiet << " databases = (";
        for (int d = 0; d < databases; ++d)
            config << (d ? ", " : " ") << "{ dll = \"" << plugin("testdatabase") << "\"; " << quiet
                   << " }";
        config << " ); }";
    }
    config << "\n  );\n};\n";
}

}  // namespace bench

void* operator new(std::size_t size) {
    bench::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
