// The undo companion's work: ForceHCResetOnResume removed from every instance, and nothing else
// changed: no key is created or deleted, no other value touched.
#include "companions.h"
#include "control_sets.h"
#include "instance_loop.h"

namespace {

// Deleting a value needs KEY_SET_VALUE and nothing more.
constexpr REGSAM InstanceRemoveAccess = KEY_SET_VALUE;
static_assert(InstanceRemoveAccess == 0x0002);

class SettingRemover : public ReportingLoop {
public:
    // As the program opens it.
    static constexpr REGSAM ClassKeyAccess = ProgramClassKeyAccess;

    using ReportingLoop::ReportingLoop;

    // Returns true when the instance may still hold the setting.
    [[nodiscard]] bool Visit(HKEY classKey, const WCHAR* name)
    {
        OwnedKey instance;
        const LSTATUS opened = instance.Open(classKey, name, InstanceRemoveAccess);
        if (opened == ERROR_SUCCESS) {
            const LSTATUS removed = RegDeleteValueW(instance.Get(), SettingValueName);
            if (removed == ERROR_SUCCESS) {
                report_.Removed(name);
            } else if (removed != ERROR_FILE_NOT_FOUND) {
                report_.NotRemoved(name, removed);
                return true;
            }
            return false;
        }
        // Refused the change: whether that matters depends on whether the setting is there. An
        // instance that cannot even be read (the class key's "Properties" is one) is named, as the
        // program skips it.
        OwnedKey readOnly;
        const LSTATUS readable = readOnly.Open(classKey, name, InstanceReadAccess);
        if (readable != ERROR_SUCCESS) {
            report_.NotOpened(name, readable);
            return false;
        }
        DWORD size = 0;
        const LSTATUS present = RegQueryValueExW(readOnly.Get(), SettingValueName, nullptr, nullptr, nullptr, &size);
        if (present == ERROR_FILE_NOT_FOUND) {
            return false;
        }
        // There, or not known not to be: either way it was not removed.
        report_.NotRemoved(name, present == ERROR_SUCCESS ? opened : present);
        return true;
    }
};

} // namespace

int UndoClassKey(const WCHAR* classKeyPath, Report& report)
{
    SettingRemover remover(report);
    return VisitInstances(classKeyPath, remover);
}

int UndoControlSets(Report& report)
{
    // Every set is undone whatever the others gave; what is left in any of them fails the run.
    const SweepResults results = ForEachControlSet([&](const WCHAR* classKeyPath) {
        report.ControlSet(classKeyPath);
        return UndoClassKey(classKeyPath, report);
    });
    return results.otherSets != 0 || results.currentSet != 0 ? 1 : 0;
}
