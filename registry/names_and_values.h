// Registry names and values as data: what the in-memory registry stores and the tests describe.
#pragma once

#include "registry_api.h"

#include <string>
#include <vector>

// A key or value name, in UTF-16 as the platform holds it.
using RegString = std::basic_string<WCHAR>;

// A value's type and its data as stored.
struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const RegValue&) const = default;
};
