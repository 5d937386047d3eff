// Telling a registry link among the instances from a key of its own.
#include "companions.h"
#include "owned_key.h"

bool IsRegistryLink(HKEY classKey, const WCHAR* name, LinkTarget& target)
{
    // Opened as itself, a key that is no link is simply the key, without the link's one value.
    OwnedKey instance;
    if (instance.Open(classKey, name, InstanceReadAccess, REG_OPTION_OPEN_LINK) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = sizeof target.text;
    const LSTATUS status = RegQueryValueExW(instance.Get(), WIDE("SymbolicLinkValue"), nullptr, &type,
                                            reinterpret_cast<BYTE*>(target.text), &size);
    // The kernel's name is stored without a terminating NUL; a name too long to read still makes a link.
    target.length = status == ERROR_SUCCESS ? size / sizeof(WCHAR) : 0;
    return (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) && type == REG_LINK;
}
