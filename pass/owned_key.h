// An open registry key that closes itself, so every handle the pass opens is closed on every path.
#pragma once

#include "registry_api.h"

class OwnedKey {
public:
    OwnedKey() = default;
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
    ~OwnedKey() { Hold(nullptr); }

    // Opens parent\path with the given access (and options: REG_OPTION_OPEN_LINK opens a registry
    // link itself) and returns the platform's status; on failure the key stays empty. A key held from
    // an earlier open is closed either way, so opening twice cannot lose a handle.
    [[nodiscard]] LSTATUS Open(HKEY parent, const WCHAR* path, REGSAM access, DWORD options = 0)
    {
        HKEY opened = nullptr;
        const LSTATUS status = RegOpenKeyExW(parent, path, options, access, &opened);
        // On failure `opened` may hold anything the platform left there: it is not ours to close.
        Hold(status == ERROR_SUCCESS ? opened : nullptr);
        return status;
    }

    [[nodiscard]] HKEY Get() const { return key_; }

private:
    // Closes the key held, if any, and holds `key` in its place.
    void Hold(HKEY key)
    {
        // Nothing useful can be done about a failed close: the pass's result speaks only of writes.
        if (key_ != nullptr) {
            (void)RegCloseKey(key_);
        }
        key_ = key;
    }

    HKEY key_ = nullptr;
};
