// The undo companion's work: ForceHCResetOnResume removed from every instance, and nothing else
// changed: no key is created or deleted, no other value touched.
#include "class_key_paths.h"
#include "companions.h"

namespace {

// Deleting a value needs KEY_SET_VALUE and nothing more.
constexpr REGSAM InstanceRemoveAccess = KEY_SET_VALUE;
static_assert(InstanceRemoveAccess == 0x0002);

// Returns true when the instance may still hold the setting.
[[nodiscard]] bool RemoveFlag(HKEY classKey, const WCHAR* name, Report& report)
{
    OwnedKey instance;
    const LSTATUS opened = instance.Open(classKey, name, InstanceRemoveAccess);
    if (opened == ERROR_SUCCESS) {
        const LSTATUS removed = RegDeleteValueW(instance.Get(), ResetOnResumeValueName);
        if (removed == ERROR_SUCCESS) {
            report.Removed(name);
        } else if (removed != ERROR_FILE_NOT_FOUND) {
            report.Left(name, removed);
            return true;
        }
        return false;
    }
    // Refused the change: whether that matters depends on whether the setting is there. An instance
    // that cannot even be read (the class key's "Properties" is one) is named, as the program skips it.
    OwnedKey readOnly;
    const LSTATUS readable = readOnly.Open(classKey, name, InstanceReadAccess);
    if (readable != ERROR_SUCCESS) {
        report.NotRead(name, readable);
        return false;
    }
    DWORD size = 0;
    const LSTATUS present = RegQueryValueExW(readOnly.Get(), ResetOnResumeValueName, nullptr, nullptr, nullptr, &size);
    if (present == ERROR_FILE_NOT_FOUND) {
        return false;
    }
    // There, or not known not to be: either way it was not removed.
    report.Left(name, present == ERROR_SUCCESS ? opened : present);
    return true;
}

} // namespace

int UndoClassKey(const WCHAR* classKeyPath, Report& report)
{
    return VisitInstances(classKeyPath, report,
                          [&](HKEY classKey, const WCHAR* name) { return RemoveFlag(classKey, name, report); });
}

int UndoControlSets(Report& report)
{
    // Every set is undone whatever the others gave; what is left in any of them fails the run.
    int result = 0;
    for (const WCHAR* classKeyPath : ClassKeyPaths) {
        report.ControlSet(classKeyPath);
        if (UndoClassKey(classKeyPath, report) != 0) {
            result = 1;
        }
    }
    return result;
}
