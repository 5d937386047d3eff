// The one walk over a class key's instances, shared by the program and its companions: how the class
// key is opened, how each name is asked for, which subkeys are passed over, and when the walk has seen
// every instance. What each program does with an instance is its own.
#pragma once

#include "controller_rule.h"
#include "owned_key.h"

// The walk's findings beyond the instances themselves. The program reports nothing: its loop takes
// these empty hooks, which the compiler removes.
struct QuietLoop {
    void ClassKeyOpened(LSTATUS) {}
    void NameTooLong(DWORD) {}
    void NameHoldsNul(const WCHAR*, DWORD) {}
    void ListEnded(LSTATUS) {}
};

// The characters before the first NUL.
[[nodiscard]] inline DWORD CharactersBeforeNul(const WCHAR* name)
{
    DWORD length = 0;
    while (name[length] != 0) {
        ++length;
    }
    return length;
}

// Visits every instance subkey of HKEY_LOCAL_MACHINE\classKeyPath, with the class key opened for
// `Loop::ClassKeyAccess`. loop.Visit(classKey, name) returns true when that instance leaves the job
// undone. Returns 1 when one did, or when the class key is there but could not be opened or its
// instances could not be listed to the end; else 0 (also when the class key is not there).
template <typename Loop>
[[nodiscard]] int VisitInstances(const WCHAR* classKeyPath, Loop& loop)
{
    OwnedKey classKey;
    const LSTATUS opened = classKey.Open(HKEY_LOCAL_MACHINE, classKeyPath, Loop::ClassKeyAccess);
    loop.ClassKeyOpened(opened);
    if (opened != ERROR_SUCCESS) {
        // A class key that is not there holds no controllers; one that is there but refuses us may.
        return opened == ERROR_FILE_NOT_FOUND ? 0 : 1;
    }

    int result = 0;
    WCHAR name[NameCapacity];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = NameCapacity;
        const LSTATUS status =
            RegEnumKeyExW(classKey.Get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        // A name too long for the buffer hides only that one subkey; the next index may still fit.
        if (status == ERROR_MORE_DATA) {
            loop.NameTooLong(index);
            continue;
        }
        if (status != ERROR_SUCCESS) {
            loop.ListEnded(status);
            // Only the end of the list says every instance was visited; any other error may hide some.
            if (status != ERROR_NO_MORE_ITEMS) {
                result = 1;
            }
            break;
        }
        // A name holding a NUL (the native API can make one) cannot be opened by name: cut short at the
        // NUL, it would name another key, a sibling or the class key itself.
        if (CharactersBeforeNul(name) != nameLength) {
            loop.NameHoldsNul(name, nameLength);
            continue;
        }
        if (loop.Visit(classKey.Get(), name)) {
            result = 1;
        }
    }
    return result;
}
