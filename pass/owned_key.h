// An open registry key that closes itself, so every handle the pass opens is closed on every path.
#pragma once

#include "registry_api.h"

class OwnedKey {
public:
    OwnedKey() = default;
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
    ~OwnedKey()
    {
        // Nothing useful can be done about a failed close: the pass's result speaks only of writes.
        if (key_ != nullptr) {
            (void)RegCloseKey(key_);
        }
    }

    // Opens parent\path with the given access and returns the platform's status; on failure the key
    // stays empty and nothing is closed.
    [[nodiscard]] LSTATUS Open(HKEY parent, const WCHAR* path, REGSAM access)
    {
        HKEY opened = nullptr;
        const LSTATUS status = RegOpenKeyExW(parent, path, 0, access, &opened);
        if (status == ERROR_SUCCESS) {
            key_ = opened;
        }
        return status;
    }

    [[nodiscard]] HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};
