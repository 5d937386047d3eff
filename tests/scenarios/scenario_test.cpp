// Runs every scenario of the table through one pass and compares the registry afterwards with the
// registry before plus exactly the expected writes.
#include "apply_to_class_key.h"
#include "scenario_registry.h"

#include <gtest/gtest.h>


namespace {

class ScenarioTest : public testing::TestWithParam<Scenario> {};

TEST_P(ScenarioTest, PassWritesExactlyTheControllers)
{
    const Scenario& scenario = GetParam();
    ScenarioRegistry registry;
    registry.Seed(scenario);
    const std::optional<RegistryTree> before = registry.Read(ScenarioClassKeyPath);
    ASSERT_EQ(before.has_value(), scenario.classKeyExists);
    const unsigned handlesBefore = registry.OpenHandles();

    EXPECT_EQ(ApplyToClassKey(ScenarioClassKeyPath.c_str()), scenario.result);

    EXPECT_EQ(registry.OpenHandles(), handlesBefore);
    const std::optional<RegistryTree> after = registry.Read(ScenarioClassKeyPath);
    ASSERT_EQ(after.has_value(), scenario.classKeyExists) << "the pass must not create a missing class key";
    if (before) {
        const RegistryTree expected = WithSetting(*before, scenario.written);
        EXPECT_EQ(*after, expected) << "after the pass:\n" << Describe(*after) << "expected:\n" << Describe(expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScenarioTest, testing::ValuesIn(RunnableScenarios()),
                         [](const testing::TestParamInfo<Scenario>& param) { return param.param.title; });

} // namespace
