// A library whose factory makes an object of no plug-in kind, and journals
// each one it makes.
#include "TestJournal.h"
#include "plugin/PluginExport.h"

namespace {
class Gadget {
public:
    virtual ~Gadget() = default;
    virtual int size() const { return 1; }
};
}  // namespace

OSTRA_PLUGIN_FACTORY {
    TestJournal::add(TestJournal::newSerial(), "gadget", "factory", dllName ? dllName : "");
    return new Gadget;
}
