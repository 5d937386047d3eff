// What makes an instance a USB host controller, and the setting it gets: one rule, compiled into the
// program and into its check and undo companions, so the three cannot disagree.
#pragma once

#include "registry_api.h"

// The class key as the program opens it: KEY_ENUMERATE_SUB_KEYS lists the instances; KEY_QUERY_VALUE
// goes unused but has always been asked for, and the contract test holds the mask, since changing it
// would change which locked-down class keys fail the program. The check opens the class key the same
// way, to judge it as the program does.
constexpr REGSAM ProgramClassKeyAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
static_assert(ProgramClassKeyAccess == 0x0009);
// Enough to tell whether an instance is a controller and to read its setting, and no more: an
// instance that refuses write access is still judged.
constexpr REGSAM InstanceReadAccess = KEY_QUERY_VALUE;
static_assert(InstanceReadAccess == 0x0001);

// Characters, including the terminating NUL: the longest name Windows allows (255) fits, and a longer
// one, which only other registries hold, is skipped.
constexpr DWORD NameCapacity = 256;
// Bytes: a longer "Controller" value fails to read and its instance is left alone.
constexpr DWORD ControllerDataCapacity = 1024;
constexpr BYTE ControllerMarker = 0x01;

inline constexpr const WCHAR* ControllerValueName = WIDE("Controller");
// The setting: the value the program writes, REG_DWORD 1, spelled out in the registry's
// little-endian byte order.
inline constexpr const WCHAR* SettingValueName = WIDE("ForceHCResetOnResume");
inline constexpr BYTE SettingData[] = {0x01, 0x00, 0x00, 0x00};
static_assert(sizeof SettingData == sizeof(DWORD));

using ControllerBuffer = BYTE[ControllerDataCapacity];

// Whether the instance's "Controller" value begins with the marker, whatever its type. `data` is the
// caller's one buffer, reused for every instance; the handle needs KEY_QUERY_VALUE.
[[nodiscard]] bool IsControllerInstance(HKEY instance, ControllerBuffer& data);

// Whether a value read as `type` with `size` bytes is the setting exactly as the program writes it.
[[nodiscard]] bool IsSettingApplied(DWORD type, const BYTE* data, DWORD size);

// An instance's setting as read. `status` is that of reading it: ERROR_SUCCESS (then type, size and
// the first `size` bytes of data are what is stored), ERROR_FILE_NOT_FOUND (no setting),
// ERROR_MORE_DATA (more than ControllerDataCapacity bytes, `size` of them) or another error.
struct SettingState {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    DWORD size = 0;
    const BYTE* data = nullptr;

    // Whether the instance holds the setting exactly as the program writes it.
    [[nodiscard]] bool Applied() const { return status == ERROR_SUCCESS && IsSettingApplied(type, data, size); }
};

// Reads the instance's setting into `data`, the caller's one buffer, which the state then points
// into; the handle needs KEY_QUERY_VALUE.
[[nodiscard]] SettingState ReadSetting(HKEY instance, ControllerBuffer& data);
