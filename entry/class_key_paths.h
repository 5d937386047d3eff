// The USB device-class key of each control set the sweep visits, in the order it visits them.
#pragma once

#include "registry_api.h"

// Relative to HKEY_LOCAL_MACHINE. The braced GUID is the setup class of USB host controllers and hubs.
// The numbered control sets, visited first: Windows runs from one of them now (CurrentControlSet links
// to it) and may start from the other, so both are written, but neither decides the exit status.
inline constexpr const WCHAR* OtherClassKeyPaths[] = {
    WIDE("SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"),
    WIDE("SYSTEM\\ControlSet002\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"),
};
// The configuration Windows is running, visited last: its pass alone gives the exit status.
inline constexpr const WCHAR* CurrentClassKeyPath =
    WIDE("SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");

// All three, in the sweep's order.
inline constexpr const WCHAR* ClassKeyPaths[] = {OtherClassKeyPaths[0], OtherClassKeyPaths[1], CurrentClassKeyPath};
