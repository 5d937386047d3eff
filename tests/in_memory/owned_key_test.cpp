// The key owner used twice: the first handle is closed by the second open, whether that open succeeds
// or not, and no handle is closed twice.
#include "in_memory_registry.h"
#include "owned_key.h"

#include <gtest/gtest.h>

namespace {

using in_memory::TheRegistry;

struct ReopenCase {
    const char* title;
    const WCHAR* second; // the key the second open asks for
    bool opens;
};

TEST(OwnedKey, SecondOpenClosesTheFirstKey)
{
    in_memory::Registry& registry = TheRegistry();
    for (const ReopenCase& c : {ReopenCase{"second open succeeds", WIDE("B"), true},
                                ReopenCase{"second open fails", WIDE("Missing"), false}}) {
        SCOPED_TRACE(c.title);
        registry.Reset();
        registry.CreateKey(WIDE("A"));
        registry.CreateKey(WIDE("B"));
        {
            OwnedKey key;
            ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, WIDE("A"), KEY_QUERY_VALUE), ERROR_SUCCESS);
            const HKEY first = key.Get();

            EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, c.second, KEY_QUERY_VALUE) == ERROR_SUCCESS, c.opens);
            EXPECT_EQ(registry.OpenHandles(), c.opens ? 1u : 0u) << "the first key is still open";
            EXPECT_NE(key.Get(), first);
            EXPECT_EQ(key.Get() != nullptr, c.opens);
        }
        EXPECT_EQ(registry.OpenHandles(), 0u);
        EXPECT_EQ(registry.BadCloses(), 0u);
    }
    registry.Reset();
}

} // namespace
