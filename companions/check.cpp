// The check companion's work: the controllers the program writes, with their setting as it is now,
// by the program's own rule and calls, reading only.
#include "class_key_paths.h"
#include "companions.h"

namespace {

// Reads the setting into `data`, the instance's one buffer: its "Controller" has been judged already.
[[nodiscard]] FlagState ReadFlag(HKEY instance, ControllerBuffer& data)
{
    FlagState flag;
    flag.size = sizeof data;
    flag.status = RegQueryValueExW(instance, ResetOnResumeValueName, nullptr, &flag.type, data, &flag.size);
    flag.data = data;
    return flag;
}

} // namespace

int CheckClassKey(const WCHAR* classKeyPath, Report& report)
{
    ControllerBuffer data;
    return VisitInstances(classKeyPath, report, [&](HKEY classKey, const WCHAR* name) {
        // Read access only: the check changes nothing, and runs without administrator rights. The
        // program, elevated, may still open an instance this cannot; such a one is named.
        OwnedKey instance;
        const LSTATUS opened = instance.Open(classKey, name, InstanceReadAccess);
        if (opened != ERROR_SUCCESS) {
            report.NotRead(name, opened);
            return false;
        }
        if (!IsControllerInstance(instance.Get(), data)) {
            return false;
        }
        const FlagState flag = ReadFlag(instance.Get(), data);
        report.Controller(name, flag);
        return !flag.Applied();
    });
}

int CheckControlSets(Report& report)
{
    // As for the program, the sets Windows is not running are looked at but do not decide.
    for (const WCHAR* classKeyPath : OtherClassKeyPaths) {
        report.ControlSet(classKeyPath);
        (void)CheckClassKey(classKeyPath, report);
    }
    report.ControlSet(CurrentClassKeyPath);
    return CheckClassKey(CurrentClassKeyPath, report);
}
