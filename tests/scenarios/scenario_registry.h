// Lays a scenario out in a registry and reads it back: the in-memory registry on Linux, the platform's
// own (Wine's, or Windows') in the cross-built tests.
#pragma once

#include "scenario_table.h"

#include <optional>

// Clears the scratch key on construction and on destruction.
class ScenarioRegistry {
public:
    ScenarioRegistry();
    ~ScenarioRegistry();
    ScenarioRegistry(const ScenarioRegistry&) = delete;
    ScenarioRegistry& operator=(const ScenarioRegistry&) = delete;

    void Seed(const Scenario& scenario);
    // Every key and value at and below the path, or nothing when the key does not exist.
    [[nodiscard]] std::optional<RegistryTree> Read(const RegString& path) const;
    // The kernel's name of a key below HKEY_LOCAL_MACHINE as this process sees it, which is what a
    // link to it holds: a 32-bit process on a 64-bit system finds SOFTWARE's keys in its Wow6432Node.
    [[nodiscard]] RegString KernelName(const RegString& path) const;
    // Handles the process holds open: the pass must leave this as it found it.
    [[nodiscard]] unsigned OpenHandles() const;
};
