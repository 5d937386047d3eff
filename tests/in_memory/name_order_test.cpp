// The stand-in's subkey order where Windows and Wine part: Windows folds names to upper case to order
// them, so '_' and the other characters between 'Z' and 'a' sort after letters; Wine folds to lower
// case and sorts them before. The checks shared with Wine (registry_behaviour_test.cpp) keep to names
// both agree on, so this is where the stand-in's claim to follow Windows is held.
#include "in_memory_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using in_memory::TheRegistry;

const RegString Parent = WIDE("SOFTWARE\\Order");

std::vector<RegString> Enumerated()
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, Parent.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key), ERROR_SUCCESS);
    std::vector<RegString> names;
    WCHAR name[256];
    for (DWORD index = 0;; ++index) {
        DWORD capacity = 256;
        if (RegEnumKeyExW(key, index, name, &capacity, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, capacity);
    }
    RegCloseKey(key);
    return names;
}

struct OrderCase {
    const char* title;
    std::vector<RegString> created; // in this order
    std::vector<RegString> enumerated;
};

TEST(NameOrder, CharactersBetweenUpperZAndLowerASortAfterLetters)
{
    in_memory::Registry& registry = TheRegistry();
    for (const OrderCase& c : {
             OrderCase{"a name that is one underscore", {WIDE("_"), WIDE("Z"), WIDE("a")},
                       {WIDE("a"), WIDE("Z"), WIDE("_")}},
             OrderCase{"an underscore against a letter inside names", {WIDE("a_1"), WIDE("AB"), WIDE("a")},
                       {WIDE("a"), WIDE("AB"), WIDE("a_1")}},
             OrderCase{"the other characters in that range",
                       {WIDE("`"), WIDE("^"), WIDE("]"), WIDE("["), WIDE("y")},
                       {WIDE("y"), WIDE("["), WIDE("]"), WIDE("^"), WIDE("`")}},
         }) {
        SCOPED_TRACE(c.title);
        registry.Reset();
        for (const RegString& name : c.created) {
            registry.CreateKey(Parent + WIDE("\\") + name);
        }
        EXPECT_EQ(Enumerated(), c.enumerated);
    }
    registry.Reset();
}

} // namespace
