// The USB device-class key of each control set, and the one order every program of the three visits
// them in: the numbered sets first, then the one Windows is running, which alone decides.
#pragma once

#include "registry_api.h"

// Relative to HKEY_LOCAL_MACHINE. The braced GUID is the setup class of USB host controllers and hubs.
// The numbered control sets, visited first: Windows runs from one of them now (CurrentControlSet links
// to it) and may start from the other, so both are worked on, but neither decides the exit status.
inline constexpr const WCHAR* OtherClassKeyPaths[] = {
    WIDE("SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"),
    WIDE("SYSTEM\\ControlSet002\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"),
};
// The configuration Windows is running, visited last.
inline constexpr const WCHAR* CurrentClassKeyPath =
    WIDE("SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");

// All three, in the sweep's order.
inline constexpr const WCHAR* ClassKeyPaths[] = {OtherClassKeyPaths[0], OtherClassKeyPaths[1], CurrentClassKeyPath};

// What the passes over the three class keys gave: 1 where a pass left its job undone.
struct SweepResults {
    int otherSets = 0; // 1 when the pass over ControlSet001 or ControlSet002 gave 1
    int currentSet = 0;
};

// Runs pass(classKeyPath) over every class key in the sweep's order, each whatever the ones before
// gave: a failure in a set Windows is not running must not keep the running set from its pass.
template <typename Pass>
[[nodiscard]] SweepResults ForEachControlSet(Pass&& pass)
{
    SweepResults results;
    for (const WCHAR* classKeyPath : OtherClassKeyPaths) {
        if (pass(classKeyPath) != 0) {
            results.otherSets = 1;
        }
    }
    results.currentSet = pass(CurrentClassKeyPath);
    return results;
}
