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
    // Only to list the instances, which are opened by name: nothing of the class key's own is read.
    static constexpr REGSAM ClassKeyAccess = KEY_ENUMERATE_SUB_KEYS;

    using ReportingLoop::ReportingLoop;

    // Returns true when the instance may still hold the setting.
    [[nodiscard]] bool Visit(HKEY classKey, const WCHAR* name)
    {
        LinkTarget target;
        if (IsRegistryLink(classKey, name, target)) {
            report_.Link(name, target.text, target.length);
            return SettingBehindLink(classKey, name);
        }
        // Every instance is opened as itself: should it have become a link since it was looked at,
        // the undo still deletes nothing beyond it.
        LSTATUS opened = ERROR_SUCCESS;
        LSTATUS removed = ERROR_SUCCESS;
        {
            OwnedKey instance;
            opened = instance.Open(classKey, name, InstanceRemoveAccess, REG_OPTION_OPEN_LINK);
            if (opened == ERROR_SUCCESS) {
                removed = RegDeleteValueW(instance.Get(), SettingValueName);
            }
        }
        if (opened == ERROR_SUCCESS) {
            if (removed == ERROR_SUCCESS) {
                report_.Removed(name);
                return false;
            }
            if (removed != ERROR_FILE_NOT_FOUND) {
                report_.NotRemoved(name, removed);
                return true;
            }
            // Nothing to remove on the key itself; a link whose own key may not be read may still
            // hide the setting.
            return SettingBehindUnreadLink(classKey, name);
        }
        // Refused the change: whether that matters depends on whether the setting is there.
        LSTATUS readable = ERROR_SUCCESS;
        LSTATUS present = ERROR_SUCCESS;
        {
            OwnedKey readOnly;
            readable = readOnly.Open(classKey, name, InstanceReadAccess, REG_OPTION_OPEN_LINK);
            if (readable == ERROR_SUCCESS) {
                DWORD size = 0;
                present = RegQueryValueExW(readOnly.Get(), SettingValueName, nullptr, nullptr, nullptr, &size);
            }
        }
        if (readable != ERROR_SUCCESS) {
            return SettingBeyondUnreadKey(classKey, name, readable);
        }
        if (present == ERROR_FILE_NOT_FOUND) {
            // Not on the key itself; a link made to look like the key it leads to may still hide it.
            return SettingBehindUnreadLink(classKey, name);
        }
        // There, or not known not to be: either way it was not removed.
        report_.NotRemoved(name, present == ERROR_SUCCESS ? opened : present);
        return true;
    }

private:
    // Whether the name, opened the ordinary way (as the program opens it), leads to the setting;
    // where even that open is refused (the class key's "Properties" is one), the instance is named,
    // as the program skips it.
    [[nodiscard]] bool SettingThrough(HKEY classKey, const WCHAR* name)
    {
        OwnedKey through;
        const LSTATUS reached = through.Open(classKey, name, InstanceReadAccess);
        if (reached != ERROR_SUCCESS) {
            report_.NotOpened(name, reached);
            return false;
        }
        DWORD size = 0;
        return RegQueryValueExW(through.Get(), SettingValueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    }

    // A link whose own key refuses to be read, or whose target was made to hold the link's own value,
    // cannot be told from a key of its own by looking at it; but a key that, opened as itself, is
    // without the setting, and that holds it opened the ordinary way, is not the key itself: the name
    // leads elsewhere, and the setting is left there.
    [[nodiscard]] bool SettingBehindUnreadLink(HKEY classKey, const WCHAR* name)
    {
        if (!SettingThrough(classKey, name)) {
            return false;
        }
        report_.Link(name, WIDE(""), 0);
        report_.NotRemovedBehindLink(name);
        return true;
    }

    // A key that cannot be opened as itself, neither to remove the setting nor to read it: what the
    // name leads to, opened the ordinary way, tells whether a setting is left there.
    [[nodiscard]] bool SettingBeyondUnreadKey(HKEY classKey, const WCHAR* name, LSTATUS refused)
    {
        if (!SettingThrough(classKey, name)) {
            return false;
        }
        report_.NotRemoved(name, refused);
        return true;
    }

    // A link is never deleted through: the key it leads to is another key, perhaps one outside the
    // USB class, which the program wrote only because it follows links. Returns true, and says so,
    // when that key holds the setting (or may), so that the administrator learns where it is left.
    [[nodiscard]] bool SettingBehindLink(HKEY classKey, const WCHAR* name)
    {
        OwnedKey through;
        const LSTATUS opened = through.Open(classKey, name, InstanceReadAccess);
        if (opened != ERROR_SUCCESS) {
            report_.NotOpened(name, opened);
            return false;
        }
        DWORD size = 0;
        if (RegQueryValueExW(through.Get(), SettingValueName, nullptr, nullptr, nullptr, &size) == ERROR_FILE_NOT_FOUND) {
            return false;
        }
        report_.NotRemovedBehindLink(name);
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

int RunUndo(Output& output)
{
    Listing listing(output);
    const int status = UndoControlSets(listing);
    listing.UndoVerdict(status);
    return listing.Whole() ? status : ListingLostStatus;
}
