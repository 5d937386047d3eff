// Telling a registry link among the instances from a key of its own.
#include "companions.h"
#include "owned_key.h"

namespace {

struct LinkValue {
    LSTATUS status;
    DWORD type;
    DWORD size;
};

LinkValue ReadLinkValue(HKEY key, WCHAR (&text)[sizeof LinkTarget::text / sizeof(WCHAR)])
{
    LinkValue value{ERROR_SUCCESS, REG_NONE, sizeof text};
    value.status = RegQueryValueExW(key, WIDE("SymbolicLinkValue"), nullptr, &value.type, reinterpret_cast<BYTE*>(text),
                                    &value.size);
    return value;
}

} // namespace

bool IsRegistryLink(HKEY classKey, const WCHAR* name, LinkTarget& target)
{
    // Opened as itself, a key that is no link is simply the key, without the link's one value. One
    // instance key is open at a time.
    LinkValue own{};
    {
        OwnedKey instance;
        if (instance.Open(classKey, name, InstanceReadAccess, REG_OPTION_OPEN_LINK) != ERROR_SUCCESS) {
            return false;
        }
        own = ReadLinkValue(instance.Get(), target.text);
    }
    // The kernel's name is stored without a terminating NUL; a name too long to read still makes a link.
    target.length = own.status == ERROR_SUCCESS ? own.size / sizeof(WCHAR) : 0;
    if ((own.status != ERROR_SUCCESS && own.status != ERROR_MORE_DATA) || own.type != REG_LINK) {
        return false;
    }
    // Any key may hold a value of that name and type; only a link leads elsewhere. Opened the
    // ordinary way, a link gives another key (or none, where it leads nowhere), while a key of its own
    // gives itself again, with the same value.
    OwnedKey through;
    if (through.Open(classKey, name, InstanceReadAccess) != ERROR_SUCCESS) {
        return true;
    }
    LinkTarget other;
    const LinkValue seen = ReadLinkValue(through.Get(), other.text);
    if (seen.status != own.status || seen.type != own.type || seen.size != own.size) {
        return true;
    }
    for (DWORD i = 0; own.status == ERROR_SUCCESS && i < own.size / sizeof(WCHAR); ++i) {
        if (other.text[i] != target.text[i]) {
            return true;
        }
    }
    return false;
}
