// Everything a companion reported, kept for the tests to compare with the registry.
#pragma once

#include "companions.h"
#include "registry_tree.h"

#include <optional>
#include <set>
#include <utility>
#include <vector>

struct CompanionRecord final : Report {
    struct Setting {
        RegString instance;
        LSTATUS status;
        DWORD type;
        std::vector<BYTE> data; // as read, when the status is ERROR_SUCCESS
        std::optional<RegString> device; // the description listed, if any
    };
    std::vector<RegString> controlSets;
    std::vector<LSTATUS> classKeys;
    std::vector<Setting> controllers;
    std::vector<RegString> removed;
    std::vector<std::pair<RegString, LSTATUS>> notRemoved;
    std::vector<std::pair<RegString, LSTATUS>> notOpened;
    std::vector<DWORD> namesTooLong;
    std::vector<RegString> namesHoldingNul;
    std::vector<std::pair<RegString, RegString>> links; // instance, target
    std::vector<RegString> behindLinks;
    std::vector<LSTATUS> listEnds;

    void ControlSet(const WCHAR* classKeyPath) override { controlSets.emplace_back(classKeyPath); }
    void ClassKeyOpened(LSTATUS status) override { classKeys.push_back(status); }
    void Controller(const WCHAR* name, const SettingState& setting, const DeviceDescription& device) override
    {
        std::vector<BYTE> data;
        if (setting.status == ERROR_SUCCESS) {
            data.assign(setting.data, setting.data + setting.size);
        }
        std::optional<RegString> description;
        if (device.text != nullptr) {
            description.emplace(device.text, device.length);
        }
        controllers.push_back({name, setting.status, setting.type, std::move(data), std::move(description)});
    }
    void Removed(const WCHAR* name) override { removed.emplace_back(name); }
    void NotRemoved(const WCHAR* name, LSTATUS status) override { notRemoved.emplace_back(name, status); }
    void Link(const WCHAR* name, const WCHAR* target, DWORD length) override { links.emplace_back(name, RegString(target, length)); }
    void NotRemovedBehindLink(const WCHAR* name) override { behindLinks.emplace_back(name); }
    void NotOpened(const WCHAR* name, LSTATUS status) override { notOpened.emplace_back(name, status); }
    void NameTooLong(DWORD index) override { namesTooLong.push_back(index); }
    void NameHoldsNul(const WCHAR* name, DWORD length) override { namesHoldingNul.emplace_back(name, length); }
    void ListEnded(LSTATUS status) override { listEnds.push_back(status); }
};

// The instance names of one of the record's lists.
inline std::set<RegString, FoldedLess> NamesOf(const std::vector<RegString>& names)
{
    return {names.begin(), names.end()};
}

inline std::set<RegString, FoldedLess> NamesOf(const std::vector<std::pair<RegString, LSTATUS>>& entries)
{
    std::set<RegString, FoldedLess> names;
    for (const auto& entry : entries) {
        names.insert(entry.first);
    }
    return names;
}

inline std::set<RegString, FoldedLess> NamesOf(const std::vector<CompanionRecord::Setting>& settings)
{
    std::set<RegString, FoldedLess> names;
    for (const CompanionRecord::Setting& setting : settings) {
        names.insert(setting.instance);
    }
    return names;
}
