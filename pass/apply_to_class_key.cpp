// The class-key pass: the whole of the program's work on the registry.
#include "apply_to_class_key.h"

#include "controller_rule.h"
#include "owned_key.h"

namespace {

// The program's published instance access (see ClassKeyAccess): the standard KEY_WRITE plus reading
// "Controller", of which the pass uses KEY_QUERY_VALUE and KEY_SET_VALUE. Asking for write access
// up front is what tells an instance the program may not change from one it may.
constexpr REGSAM InstanceAccess = KEY_WRITE | KEY_QUERY_VALUE;
static_assert(InstanceAccess == 0x00020007);

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
    if (instance.Open(classKey, instanceName, InstanceAccess) == ERROR_SUCCESS) {
        return IsControllerInstance(instance.Get(), data) && !WriteResetOnResume(instance.Get());
    }
    // Refused write access (no administrator rights, or a locked instance): a controller here is a
    // write that failed, and the instances after it still deserve their turn. An instance that cannot
    // even be read (the class key's "Properties" is one) is not ours to judge.
    OwnedKey readOnly;
    return readOnly.Open(classKey, instanceName, InstanceReadAccess) == ERROR_SUCCESS
           && IsControllerInstance(readOnly.Get(), data);
}

} // namespace

int ApplyToClassKey(const WCHAR* classKeyPath)
{
    OwnedKey classKey;
    const LSTATUS opened = classKey.Open(HKEY_LOCAL_MACHINE, classKeyPath, ClassKeyAccess);
    if (opened != ERROR_SUCCESS) {
        // A class key that is not there holds no controllers; one that is there but refuses us may.
        return opened == ERROR_FILE_NOT_FOUND ? 0 : 1;
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
            // Only the end of the list says every instance was visited; any other error may hide some.
            if (status != ERROR_NO_MORE_ITEMS) {
                result = 1;
            }
            break;
        }
        if (ControllerLeftUnwritten(classKey.Get(), name, data)) {
            result = 1;
        }
    }
    return result;
}
