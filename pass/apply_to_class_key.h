// One pass over a USB device-class key: ForceHCResetOnResume for every host controller instance.
#pragma once

#include "registry_api.h"

// Visits the instance subkeys of HKEY_LOCAL_MACHINE\classKeyPath and writes
// "ForceHCResetOnResume" = REG_DWORD 1 into each one whose "Controller" value begins with 0x01.
// Returns 1 when some controller instance is left without the setting (it could not be written and
// does not hold REG_DWORD 1 already), or when the class key exists but could not be opened or its
// instances could not be listed to the end; else 0 (also when the class key does not exist).
[[nodiscard]] int ApplyToClassKey(const WCHAR* classKeyPath);
