// Fuzzes one pass: the input decodes into a class key (instances with names of 1 to 300 characters,
// nested subkeys, values of any type and size, keys that refuse access) and a schedule of failing
// registry calls. After the pass, the audit every pass must pass holds; when nothing was made to fail,
// the result and the instances written also agree with a small model of the rules written apart
// from the pass.
#include "apply_to_class_key.h"
#include "in_memory_registry.h"
#include "pass_audit.h"
#include "scenario_registry.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using in_memory::Access;
using in_memory::Operation;
using in_memory::TheRegistry;

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "pass_fuzzer: %s\n", what);
        std::abort();
    }
}

// Few distinct characters, so that names collide without regard to case and sort in interesting ways.
RegString Name(FuzzedDataProvider& input, std::size_t length)
{
    static constexpr WCHAR Alphabet[] = {u'0', u'1', u'a', u'A', u'b', u'B', u'_', u'x', u'\u00E9', u'\u00C9'};
    RegString name;
    for (std::size_t i = 0; i < length; ++i) {
        name.push_back(Alphabet[input.ConsumeIntegralInRange<std::size_t>(0, std::size(Alphabet) - 1)]);
    }
    return name;
}

std::size_t NameLength(FuzzedDataProvider& input)
{
    // Mostly short names; now and then one around the 256-character buffer, or longer.
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return input.ConsumeIntegralInRange<std::size_t>(250, 300);
    case 1: return input.ConsumeIntegralInRange<std::size_t>(1, 300);
    default: return input.ConsumeIntegralInRange<std::size_t>(1, 6);
    }
}

void AddValues(FuzzedDataProvider& input, const RegString& path)
{
    static const RegString Names[] = {WIDE("Controller"), WIDE("controller"), WIDE("ForceHCResetOnResume"),
                                      WIDE("DriverDesc"), WIDE("")};
    const int count = input.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) {
        const RegString& name = Names[input.ConsumeIntegralInRange<std::size_t>(0, std::size(Names) - 1)];
        const auto type = input.ConsumeIntegralInRange<DWORD>(0, 11);
        std::size_t size = 0;
        switch (input.ConsumeIntegralInRange(0, 5)) {
        case 0: size = input.ConsumeIntegralInRange<std::size_t>(1020, 1028); break;
        case 1: size = input.ConsumeIntegralInRange<std::size_t>(0, 2048); break;
        default: size = input.ConsumeIntegralInRange<std::size_t>(0, 4); break;
        }
        std::vector<BYTE> data(size);
        for (BYTE& b : data) {
            b = input.ConsumeBool() ? BYTE{0x01} : input.ConsumeIntegral<BYTE>();
        }
        TheRegistry().SetValue(path, name, type, std::move(data));
    }
}

Access KeyAccess(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return Access::ReadOnly;
    case 1: return Access::None;
    case 2: return Access::ListOnly;
    default: return Access::Full;
    }
}

// Lays out the class key; returns false when it is to be missing.
bool SeedClassKey(FuzzedDataProvider& input)
{
    if (input.ConsumeIntegralInRange(0, 15) == 0) {
        TheRegistry().CreateKey(ScratchRootPath);
        return false;
    }
    TheRegistry().CreateKey(ScenarioClassKeyPath);
    AddValues(input, ScenarioClassKeyPath);
    if (input.ConsumeIntegralInRange(0, 15) == 0) {
        TheRegistry().SetAccess(ScenarioClassKeyPath, KeyAccess(input));
    }
    const int instances = input.ConsumeIntegralInRange(0, 40);
    for (int i = 0; i < instances; ++i) {
        RegString name = Name(input, NameLength(input));
        // Now and then a NUL inside the name, as the native API can make one.
        if (input.ConsumeIntegralInRange(0, 15) == 0) {
            name.insert(input.ConsumeIntegralInRange<std::size_t>(0, name.size()), 1, WCHAR{0});
        }
        const RegString path = ScenarioClassKeyPath + WIDE("\\") + name;
        TheRegistry().CreateKey(path);
        AddValues(input, path);
        TheRegistry().SetAccess(path, KeyAccess(input));
        const int children = input.ConsumeIntegralInRange(0, 2);
        for (int c = 0; c < children; ++c) {
            const RegString child = path + WIDE("\\") + Name(input, input.ConsumeIntegralInRange<std::size_t>(1, 4));
            TheRegistry().CreateKey(child);
            AddValues(input, child);
        }
    }
    return true;
}

// Arranges up to three failing calls; returns whether it arranged any.
bool ScheduleFaults(FuzzedDataProvider& input)
{
    static constexpr Operation Operations[] = {Operation::Open, Operation::Enumerate, Operation::Query,
                                               Operation::Set, Operation::Close};
    static constexpr LSTATUS Statuses[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                                           ERROR_OUTOFMEMORY, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, 1, -1};
    const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 3);
    for (std::size_t i = 0; i < count; ++i) {
        const Operation operation = Operations[input.ConsumeIntegralInRange<std::size_t>(0, std::size(Operations) - 1)];
        const unsigned n = input.ConsumeIntegralInRange<unsigned>(1, 48);
        const LSTATUS status = Statuses[input.ConsumeIntegralInRange<std::size_t>(0, std::size(Statuses) - 1)];
        TheRegistry().FailNthCall(operation, n, status);
    }
    return count > 0;
}

// --- The model: the rules, applied to the registry as it was before a pass in which nothing failed.
// Runs with failing calls are judged by the audit alone, which holds whatever fails. ---

struct Prediction {
    int result = 0;
    std::set<RegString, FoldedLess> written;
};

bool Qualifies(const ValueMap& values)
{
    const auto controller = values.find(WIDE("Controller"));
    return controller != values.end() && ControllerQualifies(controller->second.data);
}

// Exactly as the program writes it: a controller it may not write is done when it holds this.
bool HoldsTheSetting(const ValueMap& values)
{
    const auto setting = values.find(SettingName);
    return setting != values.end() && setting->second == RegValue{REG_DWORD, DwordBytes(1)};
}

Prediction Predict(const std::optional<RegistryTree>& before, Access classAccess,
                   const std::vector<RegString>& instanceOrder, const std::map<RegString, Access, FoldedLess>& access)
{
    Prediction prediction;
    if (!before) {
        return prediction;
    }
    // The class key needs query and enumerate rights, which ReadOnly grants; one that refuses them
    // hides whatever it holds.
    if (classAccess == Access::None || classAccess == Access::ListOnly) {
        prediction.result = 1;
        return prediction;
    }
    for (const RegString& name : instanceOrder) {
        // Too long for the name buffer, holding a NUL, or not to be opened even for reading: skipped,
        // and no failure.
        const Access instanceAccess = access.at(name);
        if (name.size() >= 256 || name.find(WCHAR{0}) != RegString::npos || instanceAccess == Access::None
            || instanceAccess == Access::ListOnly || !Qualifies(before->at(name))) {
            continue;
        }
        if (instanceAccess == Access::Full) {
            prediction.written.insert(name);
        } else if (!HoldsTheSetting(before->at(name))) {
            prediction.result = 1;
        }
    }
    return prediction;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    ScenarioRegistry registry;
    const bool classKeyExists = SeedClassKey(input);
    const bool faultsArranged = ScheduleFaults(input);

    const std::optional<RegistryTree> before = registry.Read(ScenarioClassKeyPath);
    Require(before.has_value() == classKeyExists, "seeding");
    std::map<RegString, Access, FoldedLess> access;
    Access classAccess = Access::Full;
    const std::vector<RegString> order = TheRegistry().SubkeyNames(ScenarioClassKeyPath);
    for (const RegString& name : order) {
        access[name] = TheRegistry().AccessOf(ScenarioClassKeyPath + WIDE("\\") + name);
    }
    if (classKeyExists) {
        classAccess = TheRegistry().AccessOf(ScenarioClassKeyPath);
    }
    const int result = ApplyToClassKey(ScenarioClassKeyPath.c_str());

    const PassAudit audit = AuditPass(before, registry.Read(ScenarioClassKeyPath), result);
    for (const std::string& violation : audit.violations) {
        std::fprintf(stderr, "pass_fuzzer: %s\n", violation.c_str());
    }
    Require(audit.violations.empty(), "the pass broke a rule that must hold whatever fails");
    if (!faultsArranged) {
        const Prediction prediction = Predict(before, classAccess, order, access);
        Require(result == prediction.result, "the result differs from the model's");
        Require(audit.written == prediction.written, "the instances written differ from the model's");
    }
    return 0;
}
