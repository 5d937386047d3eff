// What the pass and the companions rely on from the registry's operations, asserted the same way
// against both registries: where the in-memory registry and the platform's disagree, this fails on
// one of them.
#include "scenario_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A scenario registry plus a handle on the scenario's class key.
class RegistryBehaviour : public testing::Test {
protected:
    void Seed(std::vector<ScenarioKey> keys)
    {
        registry_.Seed(Scenario{.title = "Behaviour", .keys = std::move(keys)});
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ScenarioClassKeyPath.c_str(), 0,
                                KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &classKey_),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        if (classKey_ != nullptr) {
            RegCloseKey(classKey_);
        }
    }
    HKEY OpenInstance(const RegString& name)
    {
        HKEY instance = nullptr;
        EXPECT_EQ(RegOpenKeyExW(classKey_, name.c_str(), 0, KEY_QUERY_VALUE, &instance), ERROR_SUCCESS);
        return instance;
    }

    ScenarioRegistry registry_;
    HKEY classKey_ = nullptr;
};

TEST_F(RegistryBehaviour, EnumerationCountsTheNulInTheCapacity)
{
    const RegString name(10, WIDE('n'));
    Seed({{name, {}}});
    WCHAR buffer[32];
    for (WCHAR& c : buffer) {
        c = WIDE('#');
    }

    DWORD capacity = 10;
    EXPECT_EQ(RegEnumKeyExW(classKey_, 0, buffer, &capacity, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    capacity = 11;
    ASSERT_EQ(RegEnumKeyExW(classKey_, 0, buffer, &capacity, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(capacity, 10u) << "the length returned leaves out the NUL";
    EXPECT_EQ(RegString(buffer), name);

    capacity = 32;
    EXPECT_EQ(RegEnumKeyExW(classKey_, 1, buffer, &capacity, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryBehaviour, SubkeysEnumerateInCaseInsensitiveOrder)
{
    // Windows folds names to upper case to order them and Wine to lower case, so the two disagree on
    // the six characters between 'Z' and 'a' ('_' sorts after letters on Windows, before them under
    // Wine). The in-memory registry follows Windows (tests/in_memory/name_order_test.cpp holds it
    // there); no step of the pass depends on the order, so only names both agree on are asserted here.
    Seed({{WIDE("b"), {}}, {WIDE("0001"), {}}, {WIDE("C0"), {}}, {WIDE("A"), {}}, {WIDE("c1"), {}}});
    std::vector<RegString> order;
    WCHAR buffer[256];
    for (DWORD index = 0;; ++index) {
        DWORD capacity = 256;
        if (RegEnumKeyExW(classKey_, index, buffer, &capacity, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        order.emplace_back(buffer);
    }
    EXPECT_EQ(order, (std::vector<RegString>{WIDE("0001"), WIDE("A"), WIDE("b"), WIDE("C0"), WIDE("c1")}));
}

TEST_F(RegistryBehaviour, OpeningIgnoresCaseAndMissingKeysAreNotFound)
{
    Seed({{WIDE("Instance"), {}}});
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(classKey_, WIDE("iNSTANCE"), 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(classKey_, WIDE("Missing"), 0, KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryBehaviour, QueryReportsMissingOversizedAndEmptyValues)
{
    Seed({{WIDE("0000"),
           {{WIDE("Big"), RegValue{REG_BINARY, BinaryBytes(0x01, 40)}},
            {WIDE("Empty"), RegValue{REG_BINARY, {}}},
            {WIDE("Text"), RegValue{REG_SZ, StringBytes(WIDE("1"))}}}}});
    HKEY instance = OpenInstance(WIDE("0000"));
    BYTE buffer[32];
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;

    EXPECT_EQ(RegQueryValueExW(instance, WIDE("Controller"), nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);

    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(instance, WIDE("Big"), nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 40u) << "the size needed";

    buffer[0] = 0xAB;
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(instance, WIDE("empty"), nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(buffer[0], 0xAB) << "an empty value leaves the buffer as it was";

    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(instance, WIDE("Text"), nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), StringBytes(WIDE("1")));
    RegCloseKey(instance);
}

TEST_F(RegistryBehaviour, HandlesKeepTheAccessTheyWereOpenedWith)
{
    Seed({{WIDE("0000"), {{WIDE("Controller"), RegValue{REG_BINARY, {0x01}}}}}, {WIDE("0000\\Child"), {}}});
    struct Case {
        REGSAM access;
        LSTATUS query;
        LSTATUS set;
        LSTATUS remove; // the value just set, or none when the set was refused
        LSTATUS enumerate;
    };
    const BYTE one[] = {0x01, 0x00, 0x00, 0x00};
    for (const Case& c :
         {Case{KEY_QUERY_VALUE, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
          Case{KEY_SET_VALUE, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
          Case{KEY_ENUMERATE_SUB_KEYS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS},
          Case{KEY_WRITE | KEY_QUERY_VALUE, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_ACCESS_DENIED}}) {
        SCOPED_TRACE("opened with access " + std::to_string(c.access));
        HKEY instance = nullptr;
        ASSERT_EQ(RegOpenKeyExW(classKey_, WIDE("0000"), 0, c.access, &instance), ERROR_SUCCESS);
        BYTE data[8];
        DWORD size = sizeof data;
        DWORD type = REG_NONE;
        EXPECT_EQ(RegQueryValueExW(instance, WIDE("Controller"), nullptr, &type, data, &size), c.query);
        EXPECT_EQ(RegSetValueExW(instance, WIDE("ForceHCResetOnResume"), 0, REG_DWORD, one, sizeof one), c.set);
        EXPECT_EQ(RegDeleteValueW(instance, WIDE("ForceHCResetOnResume")), c.remove);
        WCHAR name[16];
        DWORD capacity = 16;
        EXPECT_EQ(RegEnumKeyExW(instance, 0, name, &capacity, nullptr, nullptr, nullptr, nullptr), c.enumerate);
        RegCloseKey(instance);
    }
}

TEST_F(RegistryBehaviour, DeletingAValueIgnoresCaseAndTouchesNothingElse)
{
    Seed({{WIDE("0000"),
           {{WIDE("ForceHCResetOnResume"), RegValue{REG_DWORD, DwordBytes(1)}},
            {WIDE("ForceHCResetOnResume REG_DWORD 0x1"), RegValue{REG_DWORD, DwordBytes(1)}}}},
          {WIDE("0000\\Settings"), {{WIDE("ForceHCResetOnResume"), RegValue{REG_DWORD, DwordBytes(1)}}}}});
    HKEY instance = nullptr;
    ASSERT_EQ(RegOpenKeyExW(classKey_, WIDE("0000"), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &instance), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteValueW(instance, WIDE("forcehcresetonresume")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(instance, WIDE("ForceHCResetOnResume")), ERROR_FILE_NOT_FOUND);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(instance, WIDE("ForceHCResetOnResume"), nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(instance, WIDE("ForceHCResetOnResume REG_DWORD 0x1"), nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    RegCloseKey(instance);

    const std::optional<RegistryTree> tree = registry_.Read(ScenarioClassKeyPath);
    ASSERT_TRUE(tree.has_value());
    EXPECT_EQ(tree->at(WIDE("0000\\Settings")).count(WIDE("ForceHCResetOnResume")), 1u) << "a subkey keeps its own";
}

} // namespace
