// Helpers for registry trees in tests.
#include "registry_tree.h"

#include <cstdio>

std::vector<BYTE> DwordBytes(DWORD value)
{
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

std::vector<BYTE> StringBytes(const RegString& text)
{
    std::vector<BYTE> bytes;
    for (WCHAR c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<BYTE> BinaryBytes(BYTE first, std::size_t size)
{
    std::vector<BYTE> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = i == 0 ? first : static_cast<BYTE>(i * 7 + 3);
    }
    return bytes;
}

RegistryTree WithSetting(RegistryTree tree, const std::vector<RegString>& written)
{
    for (const RegString& path : written) {
        // An existing value keeps the spelling of its name; only its type and data change.
        tree.at(path)[WIDE("ForceHCResetOnResume")] = RegValue{REG_DWORD, DwordBytes(1)};
    }
    return tree;
}

std::string Narrow(const RegString& text)
{
    std::string narrow;
    const bool shorten = text.size() > 200;
    const RegString shown = shorten ? text.substr(0, 12) : text;
    for (WCHAR c : shown) {
        if (c >= 0x20 && c < 0x7F) {
            narrow.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            narrow += escaped;
        }
    }
    if (shorten) {
        narrow += "...(" + std::to_string(text.size()) + " characters)";
    }
    return narrow;
}

std::string Describe(const RegistryTree& tree)
{
    std::string text;
    for (const auto& [path, values] : tree) {
        text += "[" + Narrow(path) + "]\n";
        for (const auto& [name, value] : values) {
            text += "  " + Narrow(name) + " type " + std::to_string(value.type) + ":";
            for (BYTE b : value.data) {
                char hex[4];
                std::snprintf(hex, sizeof hex, " %02X", b);
                text += hex;
            }
            text += "\n";
        }
    }
    return text;
}
