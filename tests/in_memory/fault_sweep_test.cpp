// Every registry call of a pass made to fail in turn, and per key, on every scenario of the table;
// after each run, what must hold whatever failed: handles, what was written, and the result.
#include "apply_to_class_key.h"
#include "in_memory_registry.h"
#include "scenario_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

namespace {

using in_memory::Call;
using in_memory::Operation;
using in_memory::TheRegistry;

const LSTATUS Statuses[] = {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_OUTOFMEMORY};
const Operation Operations[] = {Operation::Open, Operation::Enumerate, Operation::Query, Operation::Set,
                                Operation::Close};

const char* NameOf(Operation operation)
{
    switch (operation) {
    case Operation::Open: return "RegOpenKeyExW";
    case Operation::Enumerate: return "RegEnumKeyExW";
    case Operation::Query: return "RegQueryValueExW";
    case Operation::Set: return "RegSetValueExW";
    case Operation::Close: return "RegCloseKey";
    }
    return "?";
}

RegString InstanceOf(const RegString& keyPath)
{
    if (!keyPath.starts_with(ScenarioClassKeyPath + WIDE("\\"))) {
        return RegString();
    }
    const RegString relative = keyPath.substr(ScenarioClassKeyPath.size() + 1);
    return relative.find(WIDE('\\')) == RegString::npos ? relative : RegString();
}

// Checks what must hold after a pass, whatever failed during it.
void ExpectInvariants(const ScenarioRegistry& scenarioRegistry, const RegistryTree& before, int result)
{
    const in_memory::Registry& registry = TheRegistry();
    EXPECT_EQ(registry.OpenHandles(), 0u) << "a handle was left open";
    EXPECT_EQ(registry.BadCloses(), 0u) << "a handle was closed twice, or one never opened was closed";
    EXPECT_LE(registry.PeakOpenHandles(), 2u);

    std::map<HKEY, int> closes;
    std::vector<HKEY> opened;
    std::set<RegString, FoldedLess> written;
    std::set<RegString, FoldedLess> unwrittenControllers;
    std::set<RegString, FoldedLess> enumerated;
    // Failing to open the class key or to enumerate it is the one failure that hides instances.
    bool classKeyFailed = false;
    for (const Call& call : registry.Calls()) {
        switch (call.operation) {
        case Operation::Open:
            classKeyFailed |= call.handle == HKEY_LOCAL_MACHINE && call.status != ERROR_SUCCESS;
            if (call.status == ERROR_SUCCESS) {
                opened.push_back(call.opened);
            }
            break;
        case Operation::Close:
            ++closes[call.handle];
            break;
        case Operation::Enumerate:
            classKeyFailed |= call.injected;
            if (call.status == ERROR_SUCCESS) {
                enumerated.insert(call.name);
            }
            break;
        case Operation::Query:
            if (call.status == ERROR_SUCCESS && call.name == WIDE("Controller") && ControllerQualifies(call.data)) {
                unwrittenControllers.insert(InstanceOf(call.keyPath));
            }
            break;
        case Operation::Set:
            if (call.status == ERROR_SUCCESS) {
                const RegString instance = InstanceOf(call.keyPath);
                EXPECT_FALSE(instance.empty()) << "wrote outside the instances: " << Narrow(call.keyPath);
                EXPECT_EQ(call.name, WIDE("ForceHCResetOnResume"));
                EXPECT_EQ(call.type, REG_DWORD);
                EXPECT_EQ(call.data, DwordBytes(1));
                const auto controller = before.at(instance).find(WIDE("Controller"));
                EXPECT_TRUE(controller != before.at(instance).end() && ControllerQualifies(controller->second.data))
                    << "wrote into an instance that is not a controller: " << Narrow(instance);
                written.insert(instance);
            }
            break;
        }
    }
    for (HKEY handle : opened) {
        EXPECT_EQ(closes[handle], 1) << "every handle opened is closed exactly once";
    }

    for (const RegString& instance : written) {
        unwrittenControllers.erase(instance);
    }
    EXPECT_EQ(result, unwrittenControllers.empty() ? 0 : 1)
        << "the result is 1 exactly when a controller the pass saw was not written";

    const std::optional<RegistryTree> after = scenarioRegistry.Read(ScenarioClassKeyPath);
    ASSERT_TRUE(after.has_value());
    const RegistryTree expected = WithResetFlag(before, {written.begin(), written.end()});
    EXPECT_EQ(*after, expected) << "after:\n" << Describe(*after) << "expected:\n" << Describe(expected);

    // A failure in one instance does not hide the instances after it.
    if (!classKeyFailed) {
        for (const auto& [path, values] : before) {
            if (!path.empty() && path.find(WIDE('\\')) == RegString::npos && path.size() < 256) {
                EXPECT_TRUE(enumerated.contains(path)) << "instance not visited: " << Narrow(path);
            }
        }
    }
}

class FaultSweep : public testing::TestWithParam<Scenario> {
protected:
    // Runs the pass on a fresh copy of the scenario with the failure arranged by `inject`.
    template <typename Inject>
    void RunWith(Inject inject)
    {
        ScenarioRegistry registry;
        registry.Seed(GetParam());
        const std::optional<RegistryTree> before = registry.Read(ScenarioClassKeyPath);
        if (!before) {
            return;
        }
        inject(TheRegistry());
        const int result = ApplyToClassKey(ScenarioClassKeyPath.c_str());
        ExpectInvariants(registry, *before, result);
    }

    // How many calls of each operation the pass makes when nothing is injected.
    std::map<Operation, unsigned> CallCounts()
    {
        std::map<Operation, unsigned> counts;
        RunWith([](in_memory::Registry&) {});
        for (const Call& call : TheRegistry().Calls()) {
            ++counts[call.operation];
        }
        return counts;
    }
};

TEST_P(FaultSweep, EachCallFailingInTurn)
{
    const std::map<Operation, unsigned> counts = CallCounts();
    for (Operation operation : Operations) {
        const unsigned count = counts.contains(operation) ? counts.at(operation) : 0;
        for (unsigned n = 1; n <= count; ++n) {
            for (LSTATUS status : Statuses) {
                SCOPED_TRACE(std::string(NameOf(operation)) + " call " + std::to_string(n) + " fails with "
                             + std::to_string(status));
                RunWith([&](in_memory::Registry& registry) { registry.FailNthCall(operation, n, status); });
                if (HasFatalFailure() || HasNonfatalFailure()) {
                    return;
                }
            }
        }
    }
}

TEST_P(FaultSweep, EveryCallOnOneKeyFailing)
{
    const Scenario& scenario = GetParam();
    std::vector<RegString> keys{ScenarioClassKeyPath};
    for (const ScenarioKey& key : scenario.keys) {
        keys.push_back(ScenarioClassKeyPath + WIDE("\\") + key.path);
    }
    // Not ERROR_MORE_DATA: a class key that answers it for every index never runs out of subkeys.
    for (const RegString& key : keys) {
        for (LSTATUS status : {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_OUTOFMEMORY}) {
            SCOPED_TRACE("every call on " + Narrow(key) + " fails with " + std::to_string(status));
            RunWith([&](in_memory::Registry& registry) { registry.FailCallsOnKey(key, status); });
            if (HasFatalFailure() || HasNonfatalFailure()) {
                return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FaultSweep, testing::ValuesIn(Scenarios()),
                         [](const testing::TestParamInfo<Scenario>& param) { return param.param.title; });

} // namespace
