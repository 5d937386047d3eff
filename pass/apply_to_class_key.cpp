// The class-key pass: the whole of the program's work on the registry.
#include "apply_to_class_key.h"

#include "instance_loop.h"

namespace {

// The standard KEY_WRITE plus reading "Controller", of which the pass uses KEY_QUERY_VALUE and
// KEY_SET_VALUE. Asking for write access up front is what tells an instance the program may not
// change from one it may.
constexpr REGSAM InstanceAccess = KEY_WRITE | KEY_QUERY_VALUE;
static_assert(InstanceAccess == 0x00020007);

[[nodiscard]] bool WriteSetting(HKEY instance)
{
    return RegSetValueExW(instance, SettingValueName, 0, REG_DWORD, SettingData, sizeof SettingData)
           == ERROR_SUCCESS;
}

// The program's own work on each instance: every controller gets the setting.
class SettingWriter : public QuietLoop {
public:
    static constexpr REGSAM ClassKeyAccess = ProgramClassKeyAccess;

    // Returns true when the instance is a controller left without the setting.
    [[nodiscard]] bool Visit(HKEY classKey, const WCHAR* instanceName)
    {
        // A controller that could not be written but already holds the setting exactly as the
        // program writes it is done: failing the run for it would have a deployment tool retry,
        // forever, a machine where the setting is in place.
        OwnedKey instance;
        if (instance.Open(classKey, instanceName, InstanceAccess) == ERROR_SUCCESS) {
            return IsControllerInstance(instance.Get(), data_) && !WriteSetting(instance.Get())
                   && !ReadSetting(instance.Get(), data_).Applied();
        }
        // Refused write access (no administrator rights, or a locked instance): a controller here is
        // judged by what it holds, and the instances after it still deserve their turn. An instance
        // that cannot even be read (the class key's "Properties" is one, for all but SYSTEM) is not
        // ours to judge.
        OwnedKey readOnly;
        return readOnly.Open(classKey, instanceName, InstanceReadAccess) == ERROR_SUCCESS
               && IsControllerInstance(readOnly.Get(), data_) && !ReadSetting(readOnly.Get(), data_).Applied();
    }

private:
    // One buffer for every instance's "Controller".
    ControllerBuffer data_;
};

} // namespace

int ApplyToClassKey(const WCHAR* classKeyPath)
{
    SettingWriter writer;
    return VisitInstances(classKeyPath, writer);
}
