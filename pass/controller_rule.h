// What makes an instance a USB host controller, and the setting it gets: one rule, compiled into the
// program and into its check and undo companions, so the three cannot disagree.
#pragma once

#include "registry_api.h"

// The program's two access masks (this one and the instance's in the pass) are fixed values that
// administrators' access policies and audit rules are written against, so they stay exactly as
// published even where a right goes unused; the companions, bound by no such promise, ask for the
// least they use. Listing the instances needs only KEY_ENUMERATE_SUB_KEYS of this 0x0009; the
// check's reading of the class key shares it.
constexpr REGSAM ClassKeyAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
static_assert(ClassKeyAccess == 0x0009);
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
inline constexpr const WCHAR* ResetOnResumeValueName = WIDE("ForceHCResetOnResume");
// REG_DWORD 1, spelled out in the registry's little-endian byte order.
inline constexpr BYTE ResetOnResumeData[] = {0x01, 0x00, 0x00, 0x00};
static_assert(sizeof ResetOnResumeData == sizeof(DWORD));

using ControllerBuffer = BYTE[ControllerDataCapacity];

// Whether the instance's "Controller" value begins with the marker, whatever its type. `data` is the
// caller's one buffer, reused for every instance; the handle needs KEY_QUERY_VALUE.
[[nodiscard]] bool IsControllerInstance(HKEY instance, ControllerBuffer& data);

// Whether a value read as `type` with `size` bytes is the setting exactly as the program writes it.
[[nodiscard]] bool IsResetOnResumeApplied(DWORD type, const BYTE* data, DWORD size);
