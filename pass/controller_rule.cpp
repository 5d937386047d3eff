// The controller rule and the setting's form, shared by the program and its companions.
#include "controller_rule.h"

bool IsControllerInstance(HKEY instance, ControllerBuffer& data)
{
    DWORD size = sizeof data;
    DWORD type = REG_NONE;
    // The type is not examined: any value whose data begins with the marker qualifies. An empty
    // value delivers no first byte and leaves the previous instance's data in the buffer, so the
    // size is checked before the buffer is read.
    return RegQueryValueExW(instance, ControllerValueName, nullptr, &type, data, &size) == ERROR_SUCCESS
           && size >= 1 && data[0] == ControllerMarker;
}

bool IsSettingApplied(DWORD type, const BYTE* data, DWORD size)
{
    if (type != REG_DWORD || size != sizeof SettingData) {
        return false;
    }
    for (DWORD i = 0; i < size; ++i) {
        if (data[i] != SettingData[i]) {
            return false;
        }
    }
    return true;
}

SettingState ReadSetting(HKEY instance, ControllerBuffer& data)
{
    SettingState setting;
    setting.size = sizeof data;
    setting.status = RegQueryValueExW(instance, SettingValueName, nullptr, &setting.type, data, &setting.size);
    setting.data = data;
    return setting;
}
