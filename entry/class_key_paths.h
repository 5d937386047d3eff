// The USB device-class key of each control set the sweep visits, in the order it visits them.
#pragma once

#include "registry_api.h"

// Relative to HKEY_LOCAL_MACHINE. The braced GUID is the setup class of USB host controllers and hubs.
inline constexpr const WCHAR* ClassKeyPaths[] = {
    WIDE("SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"),
    WIDE("SYSTEM\\ControlSet002\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"),
    WIDE("SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"),
};
