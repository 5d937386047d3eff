// Counts the registry calls the sweep makes on 3 x 300 instances in the in-memory registry, against
// the fewest the algorithm can make with the five operations.
#include "control_sets.h"
#include "in_memory_registry.h"
#include "sweep_control_sets.h"

#include <cstdio>
#include <map>
#include <string>

namespace {

using in_memory::Operation;
using in_memory::TheRegistry;

constexpr unsigned InstancesPerControlSet = 300;

// A third controllers, a third hubs without "Controller", a third with "Controller" = 00.
unsigned Seed()
{
    unsigned controllers = 0;
    for (const WCHAR* classKey : ClassKeyPaths) {
        for (unsigned i = 0; i < InstancesPerControlSet; ++i) {
            char name[8];
            std::snprintf(name, sizeof name, "\\%04u", i);
            const RegString path = classKey + RegString(name, name + std::char_traits<char>::length(name));
            if (i % 3 == 0) {
                TheRegistry().SetValue(path, u"Controller", REG_BINARY, {0x01});
                ++controllers;
            } else if (i % 3 == 1) {
                TheRegistry().CreateKey(path);
            } else {
                TheRegistry().SetValue(path, u"Controller", REG_BINARY, {0x00});
            }
        }
    }
    return controllers;
}

} // namespace

int main()
{
    TheRegistry().Reset();
    const unsigned controllers = Seed();
    const unsigned classKeys = sizeof ClassKeyPaths / sizeof ClassKeyPaths[0];
    const unsigned instances = classKeys * InstancesPerControlSet;
    const int status = SweepControlSets();

    std::map<Operation, unsigned> calls;
    for (const in_memory::Call& call : TheRegistry().Calls()) {
        ++calls[call.operation];
    }
    unsigned total = 0;
    for (const auto& [operation, count] : calls) {
        total += count;
    }
    // Per class key: open, the enumeration that finds no more, close. Per instance: enumerate, open,
    // query, close; per controller also the write.
    const unsigned minimum = classKeys * 3 + instances * 4 + controllers;

    std::printf("instances %u (controllers %u) in %u class keys, exit status %d\n", instances, controllers, classKeys,
                status);
    std::printf("RegOpenKeyExW %u, RegEnumKeyExW %u, RegQueryValueExW %u, RegSetValueExW %u, RegCloseKey %u\n",
                calls[Operation::Open], calls[Operation::Enumerate], calls[Operation::Query], calls[Operation::Set],
                calls[Operation::Close]);
    std::printf("registry calls: %u in all, %.3f per instance; the fewest possible: %u, %.3f per instance\n", total,
                static_cast<double>(total) / instances, minimum, static_cast<double>(minimum) / instances);
    return total == minimum ? 0 : 1;
}
