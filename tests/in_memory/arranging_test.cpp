// The in-memory registry's helpers for arranging faults refuse a key that does not exist, so a test
// aimed at a missing key fails for that reason instead of creating the key and passing.
#include "in_memory_registry.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using in_memory::TheRegistry;

TEST(Arranging, OnAMissingKeyIsRefusedAndCreatesNothing)
{
    in_memory::Registry& registry = TheRegistry();
    registry.Reset();
    registry.CreateKey(WIDE("SYSTEM\\ControlSet001"));
    const RegString missing = WIDE("SYSTEM\\ControlSet002\\Control");

    EXPECT_THROW(registry.SetAccess(missing, in_memory::Access::None), std::invalid_argument);
    EXPECT_THROW(registry.FailCallsOnKey(missing, ERROR_ACCESS_DENIED), std::invalid_argument);
    EXPECT_FALSE(registry.KeyExists(WIDE("SYSTEM\\ControlSet002")));

    // An existing key takes the rule: opening it is now refused.
    registry.SetAccess(WIDE("SYSTEM\\ControlSet001"), in_memory::Access::None);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, WIDE("system\\controlset001"), 0, KEY_QUERY_VALUE, &key),
              ERROR_ACCESS_DENIED);
    registry.Reset();
}

} // namespace
