// What must hold after one pass over the scenario class key in the in-memory registry, or one run of
// the check or undo companion, whatever the registry did during it: read from the call record, the
// registry before and after, and what the companion reported. The fault sweep and the fuzzer both
// judge a pass by this one audit.
#pragma once

#include "companion_record.h"
#include "registry_tree.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

struct PassAudit {
    std::vector<std::string> violations;      // empty when every rule held
    std::set<RegString, FoldedLess> written;  // instances that now hold the setting (the pass)
};

// `before` and `after` are the class key as ScenarioRegistry::Read gives it (nothing when missing);
// `result` is what the pass returned.
[[nodiscard]] PassAudit AuditPass(const std::optional<RegistryTree>& before, const std::optional<RegistryTree>& after,
                                  int result);

// The same for the companions, which also give what they reported.
[[nodiscard]] PassAudit AuditCheck(const std::optional<RegistryTree>& before, const std::optional<RegistryTree>& after,
                                   int result, const CompanionRecord& record);
[[nodiscard]] PassAudit AuditUndo(const std::optional<RegistryTree>& before, const std::optional<RegistryTree>& after,
                                  int result, const CompanionRecord& record);
