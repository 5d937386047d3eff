// Scenarios in the in-memory registry, where every key behaviour can be arranged.
#include "scenario_registry.h"

#include "in_memory_registry.h"

using in_memory::TheRegistry;

namespace {

void Arrange(const RegString& path, KeyBehaviour behaviour)
{
    in_memory::Registry& registry = TheRegistry();
    switch (behaviour) {
    case KeyBehaviour::Normal:
        break;
    case KeyBehaviour::RefusesWriteAccess:
        registry.SetAccess(path, in_memory::Access::ReadOnly);
        break;
    case KeyBehaviour::RefusesAnyAccess:
        registry.SetAccess(path, in_memory::Access::None);
        break;
    case KeyBehaviour::FailsWrites:
        registry.FailCallsOnKey(path, ERROR_ACCESS_DENIED, in_memory::Operation::Set);
        break;
    case KeyBehaviour::GrantsOnlyListing:
        registry.SetAccess(path, in_memory::Access::ListOnly);
        break;
    case KeyBehaviour::FailsEnumeration:
        registry.FailCallsOnKey(path, ERROR_KEY_DELETED, in_memory::Operation::Enumerate);
        break;
    }
}

} // namespace

ScenarioRegistry::ScenarioRegistry()
{
    TheRegistry().Reset();
}

ScenarioRegistry::~ScenarioRegistry()
{
    TheRegistry().Reset();
}

void ScenarioRegistry::Seed(const Scenario& scenario)
{
    in_memory::Registry& registry = TheRegistry();
    if (!scenario.classKeyExists) {
        registry.CreateKey(ScratchRootPath);
        return;
    }
    registry.CreateKey(ScenarioClassKeyPath);
    for (const auto& [name, value] : scenario.classKeyValues) {
        registry.SetValue(ScenarioClassKeyPath, name, value.type, value.data);
    }
    for (const ScenarioKey& key : scenario.keys) {
        const RegString path = ScenarioClassKeyPath + WIDE("\\") + key.path;
        if (key.linkTo) {
            registry.CreateLink(path, key.linkTo->empty() ? ScenarioClassKeyPath
                                                          : ScenarioClassKeyPath + WIDE("\\") + *key.linkTo);
            continue;
        }
        registry.CreateKey(path);
        for (const auto& [name, value] : key.values) {
            registry.SetValue(path, name, value.type, value.data);
        }
        Arrange(path, key.behaviour);
    }
    // Last, so that seeding the instances is not refused.
    Arrange(ScenarioClassKeyPath, scenario.classKeyBehaviour);
}

std::optional<RegistryTree> ScenarioRegistry::Read(const RegString& path) const
{
    const in_memory::Registry& registry = TheRegistry();
    if (!registry.KeyExists(path)) {
        return std::nullopt;
    }
    RegistryTree tree;
    std::vector<RegString> pending{RegString()};
    while (!pending.empty()) {
        const RegString relative = pending.back();
        pending.pop_back();
        const RegString full = relative.empty() ? path : path + WIDE("\\") + relative;
        ValueMap& values = tree[relative];
        const std::map<RegString, RegValue> stored = registry.Values(full);
        values.insert(stored.begin(), stored.end());
        for (const RegString& subkey : registry.SubkeyNames(full)) {
            pending.push_back(relative.empty() ? subkey : relative + WIDE("\\") + subkey);
        }
    }
    return tree;
}

RegString ScenarioRegistry::KernelName(const RegString& path) const
{
    return WIDE("\\REGISTRY\\MACHINE\\") + path;
}

unsigned ScenarioRegistry::OpenHandles() const
{
    return TheRegistry().OpenHandles();
}
