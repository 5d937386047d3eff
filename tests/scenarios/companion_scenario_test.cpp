// Runs every scenario of the table through the check and undo companions around one pass of the
// program: the check lists exactly the controllers the pass then writes, with their setting, and its
// status agrees with the pass's; the undo then leaves the class key as it was before the pass, except
// for the settings it removed, and a second undo changes nothing.
#include "apply_to_class_key.h"
#include "companion_record.h"
#include "scenario_registry.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

namespace {

// What the table says of each direct instance the companions can reach by name.
struct Expected {
    std::set<RegString, FoldedLess> controllers; // listed by the check
    std::set<RegString, FoldedLess> unopenable;  // named as not read
    std::set<RegString, FoldedLess> readOnly;    // the undo cannot change them
    std::size_t namesTooLong = 0;
    std::set<RegString, FoldedLess> namesHoldingNul;
    std::map<RegString, RegString, FoldedLess> links; // instance -> the key it leads to, below the class key
    bool classKeyFails = false;                  // there, but cannot be opened or listed
};

bool IsController(const ValueMap& values)
{
    const auto controller = values.find(WIDE("Controller"));
    return controller != values.end() && ControllerQualifies(controller->second.data);
}

// The key an instance's work lands in: the key a link leads to, or the instance itself.
RegString WorkedOn(const Expected& expected, const RegString& instance)
{
    const auto link = expected.links.find(instance);
    return link != expected.links.end() ? link->second : instance;
}

// `listingSuffices`: the companion opens the class key only to list its instances (the undo), so a
// class key that grants nothing more still lets it through.
Expected ExpectedOf(const Scenario& scenario, const RegistryTree& before, bool listingSuffices)
{
    Expected expected;
    expected.classKeyFails = scenario.classKeyBehaviour != KeyBehaviour::Normal
                             && !(listingSuffices && scenario.classKeyBehaviour == KeyBehaviour::GrantsOnlyListing);
    if (expected.classKeyFails) {
        return expected;
    }
    for (const ScenarioKey& key : scenario.keys) {
        if (key.path.find(WIDE('\\')) != RegString::npos) {
            continue;
        }
        if (key.path.size() >= 256) {
            ++expected.namesTooLong;
        } else if (key.path.find(WCHAR{0}) != RegString::npos) {
            expected.namesHoldingNul.insert(key.path);
        } else if (key.linkTo) {
            // Judged where it leads; a link to no key cannot be opened.
            expected.links.emplace(key.path, *key.linkTo);
            const auto target = before.find(*key.linkTo);
            if (target == before.end()) {
                expected.unopenable.insert(key.path);
            } else if (IsController(target->second)) {
                expected.controllers.insert(key.path);
            }
        } else if (key.behaviour == KeyBehaviour::RefusesAnyAccess) {
            expected.unopenable.insert(key.path);
        } else {
            if (IsController(before.at(key.path))) {
                expected.controllers.insert(key.path);
            }
            if (key.behaviour == KeyBehaviour::RefusesWriteAccess) {
                expected.readOnly.insert(key.path);
            }
        }
    }
    return expected;
}

bool HoldsSetting(const RegistryTree& tree, const RegString& instance)
{
    return tree.at(instance).count(SettingName) == 1;
}

bool SettingApplied(const RegistryTree& tree, const RegString& instance)
{
    const ValueMap& values = tree.at(instance);
    const auto setting = values.find(SettingName);
    return setting != values.end() && setting->second == RegValue{REG_DWORD, DwordBytes(1)};
}

// The description the check shows for a controller's values: its "DriverDesc" when that is a REG_SZ
// of whole UTF-16 units in at most 512 bytes, less one terminating NUL; else none.
std::optional<RegString> ShownDescription(const ValueMap& values)
{
    const auto found = values.find(WIDE("DriverDesc"));
    if (found == values.end() || found->second.type != REG_SZ || found->second.data.size() % 2 != 0
        || found->second.data.size() > 512) {
        return std::nullopt;
    }
    RegString text;
    for (std::size_t i = 0; i < found->second.data.size(); i += 2) {
        text.push_back(static_cast<WCHAR>(found->second.data[i] | found->second.data[i + 1] << 8));
    }
    if (!text.empty() && text.back() == 0) {
        text.pop_back();
    }
    return text;
}

std::string Listed(const std::set<RegString, FoldedLess>& names)
{
    std::string text;
    for (const RegString& name : names) {
        text += " [" + Narrow(name) + "]";
    }
    return text;
}

// Each link is named, with the kernel's name of the key it leads to.
void ExpectLinksNamed(const ScenarioRegistry& registry, const CompanionRecord& record, const Expected& expected)
{
    std::map<RegString, RegString, FoldedLess> named(record.links.begin(), record.links.end());
    std::map<RegString, RegString, FoldedLess> links;
    for (const auto& [instance, target] : expected.links) {
        links.emplace(instance, registry.KernelName(ScenarioClassKeyPath + (target.empty() ? WIDE("") : WIDE("\\")) + target));
    }
    EXPECT_EQ(named, links);
}

// The check on the registry as it is: its listing and status against the tree, and nothing changed.
void ExpectCheckAgrees(ScenarioRegistry& registry, const Expected& expected,
                       const std::optional<RegistryTree>& tree, const char* when)
{
    SCOPED_TRACE(std::string("check ") + when);
    const unsigned handlesBefore = registry.OpenHandles();
    CompanionRecord record;
    const int status = CheckClassKey(ScenarioClassKeyPath.c_str(), record);
    EXPECT_EQ(registry.OpenHandles(), handlesBefore);
    EXPECT_EQ(registry.Read(ScenarioClassKeyPath), tree) << "the check changed the registry";
    if (!tree) {
        EXPECT_EQ(status, 0) << "no class key, nothing to check";
        EXPECT_TRUE(record.controllers.empty() && record.notOpened.empty());
        return;
    }
    EXPECT_EQ(NamesOf(record.controllers), expected.controllers)
        << "listed:" << Listed(NamesOf(record.controllers)) << "\nexpected:" << Listed(expected.controllers);
    EXPECT_EQ(NamesOf(record.notOpened), expected.unopenable);
    EXPECT_EQ(record.namesTooLong.size(), expected.namesTooLong);
    EXPECT_EQ(NamesOf(record.namesHoldingNul), expected.namesHoldingNul);
    ExpectLinksNamed(registry, record, expected);
    bool allApplied = true;
    for (const CompanionRecord::Setting& setting : record.controllers) {
        SCOPED_TRACE("controller " + Narrow(setting.instance));
        const ValueMap& values = tree->at(WorkedOn(expected, setting.instance));
        EXPECT_TRUE(setting.device == ShownDescription(values))
            << "the device is listed as " << (setting.device ? "\"" + Narrow(*setting.device) + "\"" : "none");
        const auto stored = values.find(SettingName);
        if (stored == values.end()) {
            EXPECT_EQ(setting.status, ERROR_FILE_NOT_FOUND);
        } else if (stored->second.data.size() > ControllerDataCapacity) {
            EXPECT_EQ(setting.status, ERROR_MORE_DATA);
        } else {
            EXPECT_EQ(setting.status, ERROR_SUCCESS);
            EXPECT_EQ((RegValue{setting.type, setting.data}), stored->second) << "the setting as listed";
        }
        allApplied = allApplied && SettingApplied(*tree, WorkedOn(expected, setting.instance));
    }
    EXPECT_EQ(status, expected.classKeyFails || !allApplied ? 1 : 0);
}

class CompanionScenarioTest : public testing::TestWithParam<Scenario> {};

TEST_P(CompanionScenarioTest, CheckAgreesWithThePassAndUndoRestoresTheKey)
{
    const Scenario& scenario = GetParam();
    ScenarioRegistry registry;
    registry.Seed(scenario);
    const std::optional<RegistryTree> before = registry.Read(ScenarioClassKeyPath);
    ASSERT_EQ(before.has_value(), scenario.classKeyExists);
    const Expected expected = before ? ExpectedOf(scenario, *before, false) : Expected{};
    const Expected undoExpected = before ? ExpectedOf(scenario, *before, true) : Expected{};

    ExpectCheckAgrees(registry, expected, before, "before the program");

    const int passResult = ApplyToClassKey(ScenarioClassKeyPath.c_str());
    const std::optional<RegistryTree> afterPass = registry.Read(ScenarioClassKeyPath);
    ExpectCheckAgrees(registry, expected, afterPass, "after the program");
    {
        CompanionRecord record;
        EXPECT_EQ(CheckClassKey(ScenarioClassKeyPath.c_str(), record), passResult)
            << "after the program, the check's status must be the program's";
    }

    // The undo: every setting it can remove goes, and nothing else changes; what is left is named.
    // A key a link leads to keeps what the program wrote through the link: the undo deletes nothing
    // through a link, and names the link when its key holds the setting.
    RegistryTree expectedAfterUndo;
    std::set<RegString, FoldedLess> removable, left, behindLinks;
    if (before) {
        expectedAfterUndo = *before;
        for (const auto& [link, target] : undoExpected.links) {
            if (afterPass->contains(target)) {
                expectedAfterUndo[target] = afterPass->at(target);
                if (HoldsSetting(*afterPass, target)) {
                    behindLinks.insert(link);
                }
            }
        }
        for (auto& [path, values] : expectedAfterUndo) {
            const bool reached = !path.empty() && path.find(WIDE('\\')) == RegString::npos && path.size() < 256
                                 && path.find(WCHAR{0}) == RegString::npos && !undoExpected.links.contains(path)
                                 && !undoExpected.classKeyFails && !undoExpected.unopenable.contains(path);
            if (!reached || !HoldsSetting(*afterPass, path)) {
                continue;
            }
            if (undoExpected.readOnly.contains(path)) {
                left.insert(path);
            } else {
                removable.insert(path);
                values.erase(SettingName);
            }
        }
    }
    const unsigned handlesBefore = registry.OpenHandles();
    const std::set<RegString, FoldedLess> nothing;
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "first undo" : "second undo, which has nothing left to remove");
        CompanionRecord record;
        const int status = UndoClassKey(ScenarioClassKeyPath.c_str(), record);
        EXPECT_EQ(registry.OpenHandles(), handlesBefore);
        const std::optional<RegistryTree> afterUndo = registry.Read(ScenarioClassKeyPath);
        ASSERT_EQ(afterUndo.has_value(), scenario.classKeyExists) << "the undo must not create a missing class key";
        if (!afterUndo) {
            EXPECT_EQ(status, 0);
            continue;
        }
        EXPECT_EQ(*afterUndo, expectedAfterUndo) << "after the program and the undo:\n" << Describe(*afterUndo)
                                                 << "expected: as before the program, less the settings removed:\n"
                                                 << Describe(expectedAfterUndo);
        EXPECT_EQ(NamesOf(record.removed), first ? removable : nothing);
        EXPECT_EQ(NamesOf(record.notRemoved), left);
        EXPECT_EQ(NamesOf(record.notOpened), undoExpected.unopenable);
        EXPECT_EQ(NamesOf(record.behindLinks), behindLinks);
        ExpectLinksNamed(registry, record, undoExpected);
        EXPECT_EQ(status, undoExpected.classKeyFails || !left.empty() || !behindLinks.empty() ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CompanionScenarioTest, testing::ValuesIn(RunnableScenarios()),
                         [](const testing::TestParamInfo<Scenario>& param) { return param.param.title; });

} // namespace
