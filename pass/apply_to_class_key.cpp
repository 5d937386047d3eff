// The class-key pass: the whole of the program's work on the registry.
#include "apply_to_class_key.h"

#include "owned_key.h"

namespace {

constexpr REGSAM ClassKeyAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
static_assert(ClassKeyAccess == 0x0009);
constexpr REGSAM InstanceAccess = KEY_WRITE | KEY_QUERY_VALUE;
static_assert(InstanceAccess == 0x00020007);
// Enough to tell whether an instance that refuses write access is a controller.
constexpr REGSAM InstanceReadAccess = KEY_QUERY_VALUE;
static_assert(InstanceReadAccess == 0x0001);

// Characters, including the terminating NUL: longer names are skipped.
constexpr DWORD NameCapacity = 256;
// Bytes: a longer "Controller" value fails to read and its instance is left alone.
constexpr DWORD ControllerDataCapacity = 1024;
constexpr BYTE ControllerMarker = 0x01;

constexpr const WCHAR* ControllerValueName = WIDE("Controller");
constexpr const WCHAR* ResetOnResumeValueName = WIDE("ForceHCResetOnResume");
// REG_DWORD 1, spelled out in the registry's little-endian byte order.
constexpr BYTE ResetOnResumeData[] = {0x01, 0x00, 0x00, 0x00};
static_assert(sizeof ResetOnResumeData == sizeof(DWORD));

using ControllerBuffer = BYTE[ControllerDataCapacity];

// `data` is the pass's one buffer, reused for every instance.
[[nodiscard]] bool IsControllerInstance(HKEY instance, ControllerBuffer& data)
{
    DWORD size = sizeof data;
    DWORD type = REG_NONE;
    // The type is not examined: any value whose data begins with the marker qualifies. An empty
    // value delivers no first byte and leaves the previous instance's data in the buffer, so the
    // size is checked before the buffer is read.
    return RegQueryValueExW(instance, ControllerValueName, nullptr, &type, data, &size) == ERROR_SUCCESS
           && size >= 1 && data[0] == ControllerMarker;
}

[[nodiscard]] bool WriteResetOnResume(HKEY instance)
{
    return RegSetValueExW(instance, ResetOnResumeValueName, 0, REG_DWORD, ResetOnResumeData,
                          sizeof ResetOnResumeData)
           == ERROR_SUCCESS;
}

// Returns true when the instance needed the setting and did not get it.
[[nodiscard]] bool ControllerLeftUnwritten(HKEY classKey, const WCHAR* instanceName, ControllerBuffer& data)
{
    OwnedKey instance;
    if (instance.Open(classKey, instanceName, InstanceAccess)) {
        return IsControllerInstance(instance.Get(), data) && !WriteResetOnResume(instance.Get());
    }
    // Refused write access (no administrator rights, or a locked instance): a controller here is a
    // write that failed, and the instances after it still deserve their turn. An instance that cannot
    // even be read (the class key's "Properties" is one) is not ours to judge.
    OwnedKey readOnly;
    return readOnly.Open(classKey, instanceName, InstanceReadAccess) && IsControllerInstance(readOnly.Get(), data);
}

} // namespace

int ApplyToClassKey(const WCHAR* classKeyPath)
{
    OwnedKey classKey;
    if (!classKey.Open(HKEY_LOCAL_MACHINE, classKeyPath, ClassKeyAccess)) {
        return 0;
    }

    int result = 0;
    WCHAR name[NameCapacity];
    ControllerBuffer data;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = NameCapacity;
        const LSTATUS status =
            RegEnumKeyExW(classKey.Get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        // A name too long for the buffer hides only that one subkey; the next index may still fit.
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        if (status != ERROR_SUCCESS) {
            break;
        }
        if (ControllerLeftUnwritten(classKey.Get(), name, data)) {
            result = 1;
        }
    }
    return result;
}
