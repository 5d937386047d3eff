// The table of class-key scenarios: the keys and values before a pass, what the pass returns and which
// instances it writes. One table, run against the in-memory registry and against the platform's.
#pragma once

#include "registry_tree.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

// How a key treats the pass beyond what a real registry lets tests arrange under Wine, which grants
// every access.
enum class KeyBehaviour {
    Normal,
    RefusesWriteAccess, // opening with any write right is denied (no administrator rights)
    RefusesAnyAccess,   // every open is denied
    FailsWrites,        // opens, but setting a value fails
    FailsEnumeration,   // opens, but listing its subkeys fails (a class key deleted while it is read)
    GrantsOnlyListing,  // opens only for listing its subkeys: any other right is denied
};

struct ScenarioKey {
    RegString path; // relative to the class key; an instance is a direct subkey
    std::vector<std::pair<RegString, RegValue>> values;
    KeyBehaviour behaviour = KeyBehaviour::Normal;
    // A registry link, and no key of its own, to this path relative to the class key ("" for the class
    // key itself); its values are not used.
    std::optional<RegString> linkTo = std::nullopt;
};

struct Scenario {
    std::string title; // letters and digits: it names the test
    bool classKeyExists = true;
    KeyBehaviour classKeyBehaviour = KeyBehaviour::Normal;
    std::vector<std::pair<RegString, RegValue>> classKeyValues;
    std::vector<ScenarioKey> keys;
    std::vector<RegString> written; // instances expected to hold ForceHCResetOnResume = 1 afterwards
    int result = 0;

    // Scenarios that need more than a real registry under Wine can be made to do.
    [[nodiscard]] bool NeedsFaults() const;
};

// The rule that makes an instance a controller, written apart from the pass for the tests' checks:
// its "Controller" data fits in 1024 bytes and begins with 0x01.
[[nodiscard]] bool ControllerQualifies(const std::vector<BYTE>& controller);

// Where scenarios are laid out, below HKEY_LOCAL_MACHINE.
extern const RegString ScratchRootPath;
extern const RegString ScenarioClassKeyPath;

[[nodiscard]] const std::vector<Scenario>& Scenarios();
// The scenarios this registry can play: all of them on the in-memory registry, under Wine those that
// need no refused access or failing call.
[[nodiscard]] std::vector<Scenario> RunnableScenarios();

// Names a scenario in test output by its title rather than its bytes.
void PrintTo(const Scenario& scenario, std::ostream* out);
