// The check and undo companions of the program: what they do to one class key and to the three
// control sets, and what they tell their reader. Shared by both programs and by their tests, which
// run them on the in-memory registry.
#pragma once

#include "controller_rule.h"
#include "owned_key.h"
#include "registry_api.h"

// The setting of one controller as the check read it. `status` is that of reading it: ERROR_SUCCESS
// (then type, size and the first `size` bytes of data are what is stored), ERROR_FILE_NOT_FOUND (no
// setting), ERROR_MORE_DATA (more than ControllerDataCapacity bytes, `size` of them) or another error.
struct FlagState {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    DWORD size = 0;
    const BYTE* data = nullptr;

    [[nodiscard]] bool Applied() const
    {
        return status == ERROR_SUCCESS && IsResetOnResumeApplied(type, data, size);
    }
};

// What a companion tells its reader, in the order it finds it. Names are as the registry gave them.
class Report {
public:
    virtual ~Report() = default;
    // Before each control set: its class key's path below HKEY_LOCAL_MACHINE.
    virtual void ControlSet(const WCHAR* classKeyPath) = 0;
    // Opening the set's class key: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no class key) or the error.
    virtual void ClassKey(LSTATUS status) = 0;
    // The check: an instance the program writes, and its setting as it is now.
    virtual void Controller(const WCHAR* name, const FlagState& flag) = 0;
    // The undo: the setting was removed from this instance.
    virtual void Removed(const WCHAR* name) = 0;
    // The undo: this instance still holds the setting (or may: its setting could not be read).
    virtual void Left(const WCHAR* name, LSTATUS status) = 0;
    // An instance that could not be opened, as the program skips it.
    virtual void NotRead(const WCHAR* name, LSTATUS status) = 0;
    // The subkey at this index has a name longer than NameCapacity holds, as the program skips it.
    virtual void NameTooLong(DWORD index) = 0;
    // The status that ended the list of instances: ERROR_NO_MORE_ITEMS when every one was visited.
    virtual void ListEnded(LSTATUS status) = 0;
};

// Visits every instance of HKEY_LOCAL_MACHINE\classKeyPath as the program's pass does (same access,
// same name buffer, a name too long skipped) and calls visit(classKey, name), which returns true when
// that instance leaves the job undone. Returns 1 when one did, or when the class key is there but
// could not be opened or its instances listed to the end; else 0 (also when it is not there).
template <typename Visit>
[[nodiscard]] int VisitInstances(const WCHAR* classKeyPath, Report& report, Visit visit)
{
    OwnedKey classKey;
    const LSTATUS opened = classKey.Open(HKEY_LOCAL_MACHINE, classKeyPath, ClassKeyAccess);
    report.ClassKey(opened);
    if (opened != ERROR_SUCCESS) {
        return opened == ERROR_FILE_NOT_FOUND ? 0 : 1;
    }
    int result = 0;
    WCHAR name[NameCapacity];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = NameCapacity;
        const LSTATUS status =
            RegEnumKeyExW(classKey.Get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            report.NameTooLong(index);
            continue;
        }
        if (status != ERROR_SUCCESS) {
            report.ListEnded(status);
            if (status != ERROR_NO_MORE_ITEMS) {
                result = 1;
            }
            break;
        }
        if (visit(classKey.Get(), name)) {
            result = 1;
        }
    }
    return result;
}

// Lists the controllers of one class key with their setting, and the instances it could not open.
// Changes nothing. Returns 1 when a controller lacks the setting exactly as the program writes it
// (REG_DWORD 1), or the class key could not be looked through; else 0.
[[nodiscard]] int CheckClassKey(const WCHAR* classKeyPath, Report& report);
// Removes ForceHCResetOnResume, and nothing else, from every instance of one class key. Returns 1
// when an instance it can open still holds it, or the class key could not be looked through; else 0.
[[nodiscard]] int UndoClassKey(const WCHAR* classKeyPath, Report& report);

// Over the three control sets: the check's status is CurrentControlSet's, as the program's is; the
// undo's is 1 when any set's is.
[[nodiscard]] int CheckControlSets(Report& report);
[[nodiscard]] int UndoControlSets(Report& report);
