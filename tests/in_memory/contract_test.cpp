// What the platform receives from one pass: the calls in order, with their access masks, capacities,
// sizes, value type and bytes, read from the in-memory registry's record.
#include "apply_to_class_key.h"
#include "in_memory_registry.h"
#include "registry_tree.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using in_memory::Access;
using in_memory::Call;
using in_memory::Operation;
using in_memory::TheRegistry;

const RegString ClassKey = WIDE("SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// One line per call; keys below the class key are named relative to it.
std::string Line(const Call& call)
{
    RegString key = call.keyPath;
    if (key.starts_with(ClassKey)) {
        key = WIDE("<class>") + key.substr(ClassKey.size());
    } else if (call.handle == HKEY_LOCAL_MACHINE) {
        key = WIDE("HKLM");
    }
    std::string line;
    switch (call.operation) {
    case Operation::Open:
        line = "Open " + Narrow(key) + " \"" + Narrow(call.name) + "\" options " + std::to_string(call.options)
               + " access " + Hex(call.access);
        break;
    case Operation::Enumerate:
        line = "Enumerate " + Narrow(key) + " index " + std::to_string(call.index) + " capacity "
               + std::to_string(call.sizeGiven) + (call.unusedArgumentsNull ? "" : " NON-NULL EXTRAS");
        break;
    case Operation::Query:
        line = "Query " + Narrow(key) + " \"" + Narrow(call.name) + "\" size " + std::to_string(call.sizeGiven)
               + (call.unusedArgumentsNull ? "" : " NON-NULL RESERVED");
        break;
    case Operation::Set:
        line = "Set " + Narrow(key) + " \"" + Narrow(call.name) + "\" reserved " + std::to_string(call.options)
               + " type " + std::to_string(call.type) + " size " + std::to_string(call.sizeGiven) + " data";
        for (BYTE b : call.data) {
            line += " " + std::to_string(b);
        }
        break;
    case Operation::Delete:
        line = "Delete " + Narrow(key) + " \"" + Narrow(call.name) + "\"";
        break;
    case Operation::Close:
        line = "Close " + Narrow(key);
        break;
    }
    return line + " -> " + std::to_string(call.status);
}

struct ContractCase {
    std::string title;
    std::function<void(in_memory::Registry&)> arrange;
    int result;
    std::vector<std::string> calls;
    unsigned peakOpenHandles;
};

void PrintTo(const ContractCase& contractCase, std::ostream* out)
{
    *out << contractCase.title;
}

class PlatformContract : public testing::TestWithParam<ContractCase> {};

TEST_P(PlatformContract, CallsArgumentsAndOrderOfOnePass)
{
    const ContractCase& contractCase = GetParam();
    in_memory::Registry& registry = TheRegistry();
    registry.Reset();
    contractCase.arrange(registry);
    const bool classKeyExisted = registry.KeyExists(ClassKey);

    EXPECT_EQ(ApplyToClassKey(ClassKey.c_str()), contractCase.result);

    std::vector<std::string> actual;
    for (const Call& call : registry.Calls()) {
        actual.push_back(Line(call));
    }
    EXPECT_EQ(actual, contractCase.calls);
    EXPECT_EQ(registry.OpenHandles(), 0u);
    EXPECT_EQ(registry.BadCloses(), 0u);
    EXPECT_EQ(registry.PeakOpenHandles(), contractCase.peakOpenHandles);
    EXPECT_EQ(registry.KeyExists(ClassKey), classKeyExisted);
}

// Every kind of instance the pass treats differently, in one class key.
void ArrangeEveryKindOfInstance(in_memory::Registry& registry)
{
    const RegString tooLong = WIDE("0003") + RegString(252, WIDE('x'));
    registry.SetValue(ClassKey + WIDE("\\0000"), WIDE("Controller"), REG_BINARY, {0x01});
    registry.SetValue(ClassKey + WIDE("\\0001"), WIDE("Controller"), REG_BINARY, BinaryBytes(0x01, 1025));
    registry.SetValue(ClassKey + WIDE("\\0002"), WIDE("Controller"), REG_DWORD, DwordBytes(1));
    registry.SetAccess(ClassKey + WIDE("\\0002"), Access::ReadOnly);
    registry.SetValue(ClassKey + WIDE("\\") + tooLong, WIDE("Controller"), REG_BINARY, {0x01});
    registry.SetValue(ClassKey + WIDE("\\0004"), WIDE("Controller"), REG_SZ, StringBytes(WIDE("1")));
}

// Two controllers that already hold REG_DWORD 1: one whose write fails, one that refuses write access.
void ArrangeSettingHeldWhereNotWritable(in_memory::Registry& registry)
{
    for (const RegString instance : {WIDE("\\0000"), WIDE("\\0001")}) {
        registry.SetValue(ClassKey + instance, WIDE("Controller"), REG_BINARY, {0x01});
        registry.SetValue(ClassKey + instance, WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1));
    }
    registry.FailCallsOnKey(ClassKey + WIDE("\\0000"), 1, Operation::Set);
    registry.SetAccess(ClassKey + WIDE("\\0001"), Access::ReadOnly);
}

INSTANTIATE_TEST_SUITE_P(
    Passes, PlatformContract,
    testing::Values(
        ContractCase{
            "EveryKindOfInstance", ArrangeEveryKindOfInstance, 1,
            {
                "Open HKLM \"SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}\" "
                "options 0 access 0x9 -> 0",
                "Enumerate <class> index 0 capacity 256 -> 0",
                "Open <class> \"0000\" options 0 access 0x20007 -> 0",
                "Query <class>\\0000 \"Controller\" size 1024 -> 0",
                "Set <class>\\0000 \"ForceHCResetOnResume\" reserved 0 type 4 size 4 data 1 0 0 0 -> 0",
                "Close <class>\\0000 -> 0",
                "Enumerate <class> index 1 capacity 256 -> 0",
                "Open <class> \"0001\" options 0 access 0x20007 -> 0",
                "Query <class>\\0001 \"Controller\" size 1024 -> 234",
                "Close <class>\\0001 -> 0",
                "Enumerate <class> index 2 capacity 256 -> 0",
                "Open <class> \"0002\" options 0 access 0x20007 -> 5",
                "Open <class> \"0002\" options 0 access 0x1 -> 0",
                // The failed query before set the size to 1025: this one must offer 1024 again.
                "Query <class>\\0002 \"Controller\" size 1024 -> 0",
                // A controller the program may not write is done if it holds the setting already.
                "Query <class>\\0002 \"ForceHCResetOnResume\" size 1024 -> 2",
                "Close <class>\\0002 -> 0",
                "Enumerate <class> index 3 capacity 256 -> 234",
                "Enumerate <class> index 4 capacity 256 -> 0",
                "Open <class> \"0004\" options 0 access 0x20007 -> 0",
                "Query <class>\\0004 \"Controller\" size 1024 -> 0",
                "Close <class>\\0004 -> 0",
                "Enumerate <class> index 5 capacity 256 -> 259",
                "Close <class> -> 0",
            },
            2},
        ContractCase{
            "ControllersThatCannotBeWrittenButHoldTheSetting", ArrangeSettingHeldWhereNotWritable, 0,
            {
                "Open HKLM \"SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}\" "
                "options 0 access 0x9 -> 0",
                "Enumerate <class> index 0 capacity 256 -> 0",
                "Open <class> \"0000\" options 0 access 0x20007 -> 0",
                "Query <class>\\0000 \"Controller\" size 1024 -> 0",
                "Set <class>\\0000 \"ForceHCResetOnResume\" reserved 0 type 4 size 4 data 1 0 0 0 -> 1",
                "Query <class>\\0000 \"ForceHCResetOnResume\" size 1024 -> 0",
                "Close <class>\\0000 -> 0",
                "Enumerate <class> index 1 capacity 256 -> 0",
                "Open <class> \"0001\" options 0 access 0x20007 -> 5",
                "Open <class> \"0001\" options 0 access 0x1 -> 0",
                "Query <class>\\0001 \"Controller\" size 1024 -> 0",
                "Query <class>\\0001 \"ForceHCResetOnResume\" size 1024 -> 0",
                "Close <class>\\0001 -> 0",
                "Enumerate <class> index 2 capacity 256 -> 259",
                "Close <class> -> 0",
            },
            2},
        ContractCase{
            "MissingClassKeyOpensNothingElse", [](in_memory::Registry&) {}, 0,
            {
                "Open HKLM \"SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}\" "
                "options 0 access 0x9 -> 2",
            },
            0}),
    [](const testing::TestParamInfo<ContractCase>& param) { return param.param.title; });

} // namespace
