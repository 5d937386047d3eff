// The check companion's work: the controllers the program writes, with their setting as it is now,
// by the program's own rule and walk, reading only.
#include "companions.h"
#include "control_sets.h"
#include "instance_loop.h"

namespace {

// Where a driver package names the device: Windows writes it into the instance from the INF's
// description.
constexpr const WCHAR* DescriptionValueName = WIDE("DriverDesc");
// Characters, its NUL included: setupapi's LINE_LEN, the longest description an INF can give a device.
constexpr DWORD DescriptionCapacity = 256;

class SettingChecker : public ReportingLoop {
public:
    // The class key as the program opens it, so that one the program cannot look through fails the
    // check too.
    static constexpr REGSAM ClassKeyAccess = ProgramClassKeyAccess;

    using ReportingLoop::ReportingLoop;

    // Returns true when the instance is a controller without the setting as the program writes it.
    [[nodiscard]] bool Visit(HKEY classKey, const WCHAR* name)
    {
        // A link is named, then judged where it leads, as the program follows it.
        LinkTarget target;
        if (IsRegistryLink(classKey, name, target)) {
            report_.Link(name, target.text, target.length);
        }
        // Read access only: the check changes nothing, and runs without administrator rights. The
        // program, elevated, may still open an instance this cannot; such a one is named.
        OwnedKey instance;
        const LSTATUS opened = instance.Open(classKey, name, InstanceReadAccess);
        if (opened != ERROR_SUCCESS) {
            report_.NotOpened(name, opened);
            return false;
        }
        if (!IsControllerInstance(instance.Get(), data_)) {
            return false;
        }
        const SettingState setting = ReadSetting(instance.Get(), data_);
        report_.Controller(name, setting, ReadDescription(instance.Get()));
        return !setting.Applied();
    }

private:
    // The device's description, read through the handle the check holds. It only helps a person match
    // a line to a device: what cannot be shown whole (another type, a part of a character, more than
    // the buffer holds, a failed read) is not shown, and nothing here bears on the status.
    [[nodiscard]] DeviceDescription ReadDescription(HKEY instance)
    {
        DWORD type = REG_NONE;
        DWORD size = sizeof description_;
        const LSTATUS read =
            RegQueryValueExW(instance, DescriptionValueName, nullptr, &type, reinterpret_cast<BYTE*>(description_), &size);
        if (read != ERROR_SUCCESS || type != REG_SZ || size % sizeof(WCHAR) != 0) {
            return {};
        }
        DWORD length = size / sizeof(WCHAR);
        // Stored with its terminating NUL or without one, as the registry allows; any other NUL is part
        // of what is stored, and shown.
        if (length > 0 && description_[length - 1] == 0) {
            --length;
        }
        return {description_, length};
    }

    ControllerBuffer data_;
    WCHAR description_[DescriptionCapacity];
};

} // namespace

int CheckClassKey(const WCHAR* classKeyPath, Report& report)
{
    SettingChecker checker(report);
    return VisitInstances(classKeyPath, checker);
}

int CheckControlSets(Report& report)
{
    // As for the program, the sets Windows is not running are looked at but do not decide.
    return ForEachControlSet([&](const WCHAR* classKeyPath) {
               report.ControlSet(classKeyPath);
               return CheckClassKey(classKeyPath, report);
           }).currentSet;
}

int RunCheck(Output& output)
{
    Listing listing(output);
    const int status = CheckControlSets(listing);
    listing.CheckVerdict(status);
    return listing.Whole() ? status : ListingLostStatus;
}
