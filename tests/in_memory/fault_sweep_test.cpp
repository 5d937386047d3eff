// Every registry call of a pass, or of a run of the check or undo companion, made to fail in turn, and
// every call on each key, on every scenario of the table; after each run the audit must hold whatever
// failed.
#include "apply_to_class_key.h"
#include "companions.h"
#include "control_sets.h"
#include "in_memory_registry.h"
#include "pass_audit.h"
#include "scenario_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using in_memory::Call;
using in_memory::Operation;
using in_memory::TheRegistry;

const LSTATUS Statuses[] = {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_OUTOFMEMORY};
const Operation Operations[] = {Operation::Open, Operation::Enumerate, Operation::Query, Operation::Set,
                                Operation::Delete, Operation::Close};

const char* NameOf(Operation operation)
{
    switch (operation) {
    case Operation::Open: return "RegOpenKeyExW";
    case Operation::Enumerate: return "RegEnumKeyExW";
    case Operation::Query: return "RegQueryValueExW";
    case Operation::Set: return "RegSetValueExW";
    case Operation::Delete: return "RegDeleteValueW";
    case Operation::Close: return "RegCloseKey";
    }
    return "?";
}

// What one run did, read before the scenario registry is cleared.
struct RunRecord {
    std::vector<Call> calls;

    [[nodiscard]] unsigned Count(Operation operation) const
    {
        return static_cast<unsigned>(std::count_if(calls.begin(), calls.end(),
                                                   [&](const Call& call) { return call.operation == operation; }));
    }
    // The nth call of the operation, counting from 1, if there was one.
    [[nodiscard]] const Call* Nth(Operation operation, unsigned n) const
    {
        for (const Call& call : calls) {
            if (call.operation == operation && --n == 0) {
                return &call;
            }
        }
        return nullptr;
    }
    // Whether a call on the key (opening it, or using or closing a handle to it) failed as arranged.
    [[nodiscard]] bool InjectedOn(const RegString& key) const
    {
        return std::any_of(calls.begin(), calls.end(), [&](const Call& call) {
            RegString target = call.keyPath;
            if (call.operation == Operation::Open) {
                target = !call.reached.empty() ? call.reached : target.empty() ? call.name : target + WIDE("\\") + call.name;
            }
            return call.injected && target == key;
        });
    }
};

// What runs on the class key: the program's pass, or one of its companions.
enum class Job { Pass, Check, Undo };

// A companion's report, both kept for the audit and listed, as if the class key were CurrentControlSet's.
struct RecordAndListing final : Report, Output {
    CompanionRecord record;
    Listing listing{*this};
    std::string text;

    RecordAndListing() { listing.ControlSet(CurrentClassKeyPath); }
    bool Write(const WCHAR* data, std::size_t length) override
    {
        // The verdict's words are ASCII; names are not looked at here.
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(static_cast<char>(data[i]));
        }
        return true;
    }
    // The verdict's line, once given.
    std::string Verdict(Job job, int result)
    {
        if (job == Job::Check) {
            listing.CheckVerdict(result);
        } else {
            listing.UndoVerdict(result);
        }
        const std::size_t start = text.rfind("\r\n", text.size() - 3);
        return text.substr(start + 2, text.size() - start - 4);
    }

    void ControlSet(const WCHAR* path) override
    {
        record.ControlSet(path);
        listing.ControlSet(path);
    }
    void ClassKeyOpened(LSTATUS status) override
    {
        record.ClassKeyOpened(status);
        listing.ClassKeyOpened(status);
    }
    void Controller(const WCHAR* name, const SettingState& setting, const DeviceDescription& device) override
    {
        record.Controller(name, setting, device);
        listing.Controller(name, setting, device);
    }
    void Removed(const WCHAR* name) override
    {
        record.Removed(name);
        listing.Removed(name);
    }
    void NotRemoved(const WCHAR* name, LSTATUS status) override
    {
        record.NotRemoved(name, status);
        listing.NotRemoved(name, status);
    }
    void Link(const WCHAR* name, const WCHAR* target, DWORD length) override
    {
        record.Link(name, target, length);
        listing.Link(name, target, length);
    }
    void NotRemovedBehindLink(const WCHAR* name) override
    {
        record.NotRemovedBehindLink(name);
        listing.NotRemovedBehindLink(name);
    }
    void NotOpened(const WCHAR* name, LSTATUS status) override
    {
        record.NotOpened(name, status);
        listing.NotOpened(name, status);
    }
    void NameTooLong(DWORD index) override
    {
        record.NameTooLong(index);
        listing.NameTooLong(index);
    }
    void NameHoldsNul(const WCHAR* name, DWORD length) override
    {
        record.NameHoldsNul(name, length);
        listing.NameHoldsNul(name, length);
    }
    void ListEnded(LSTATUS status) override
    {
        record.ListEnded(status);
        listing.ListEnded(status);
    }
};

// The verdict agrees with the companion's result and counts what it reported: the check, its host
// controllers and those lacking the setting (unless the class key could not be opened, which it says
// instead, or there was none to count); the undo, the settings removed and those left.
void ExpectVerdictAgrees(Job job, int result, RecordAndListing& run)
{
    const std::string verdict = run.Verdict(job, result);
    const CompanionRecord& record = run.record;
    EXPECT_TRUE(verdict.starts_with(result == 0 ? "done: " : "not done: ")) << "result " << result << ", verdict: " << verdict;
    const auto count = [](std::size_t n, const std::string& noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); };
    std::string counted;
    if (job == Job::Check) {
        if (result == 0 ? record.controllers.empty() : record.classKeys.front() != ERROR_SUCCESS) {
            return;
        }
        const auto lacking = std::count_if(record.controllers.begin(), record.controllers.end(),
                                           [](const CompanionRecord::Setting& setting) {
                                               return setting.status != ERROR_SUCCESS
                                                      || !IsSettingApplied(setting.type, setting.data.data(),
                                                                           static_cast<DWORD>(setting.data.size()));
                                           });
        counted = std::to_string(result == 0 ? record.controllers.size() : static_cast<std::size_t>(lacking)) + " of "
                  + count(record.controllers.size(), "host controller");
    } else {
        counted = "removed from " + count(record.removed.size(), "instance") + ", left on "
                  + (result == 0 ? "none" : count(record.notRemoved.size() + record.behindLinks.size(), "instance"));
    }
    EXPECT_NE(verdict.find(counted), std::string::npos) << "the verdict does not count \"" << counted << "\": " << verdict;
}

class FaultSweep : public testing::TestWithParam<std::tuple<Job, Scenario>> {
protected:
    [[nodiscard]] const Scenario& TheScenario() const { return std::get<1>(GetParam()); }

    // Runs the job on a fresh copy of the scenario with the failure arranged by `inject`, and audits it.
    template <typename Inject>
    RunRecord RunWith(Inject inject)
    {
        ScenarioRegistry registry;
        registry.Seed(TheScenario());
        const std::optional<RegistryTree> before = registry.Read(ScenarioClassKeyPath);
        inject(TheRegistry());
        PassAudit audit;
        switch (std::get<0>(GetParam())) {
        case Job::Pass: {
            const int result = ApplyToClassKey(ScenarioClassKeyPath.c_str());
            audit = AuditPass(before, registry.Read(ScenarioClassKeyPath), result);
            break;
        }
        case Job::Check: {
            RecordAndListing run;
            const int result = CheckClassKey(ScenarioClassKeyPath.c_str(), run);
            audit = AuditCheck(before, registry.Read(ScenarioClassKeyPath), result, run.record);
            ExpectVerdictAgrees(Job::Check, result, run);
            break;
        }
        case Job::Undo: {
            RecordAndListing run;
            const int result = UndoClassKey(ScenarioClassKeyPath.c_str(), run);
            audit = AuditUndo(before, registry.Read(ScenarioClassKeyPath), result, run.record);
            ExpectVerdictAgrees(Job::Undo, result, run);
            break;
        }
        }
        for (const std::string& violation : audit.violations) {
            ADD_FAILURE() << violation;
        }
        return RunRecord{TheRegistry().Calls()};
    }

    [[nodiscard]] bool Failed() const { return HasFatalFailure() || HasNonfatalFailure(); }
};

TEST_P(FaultSweep, EachCallFailingInTurn)
{
    const RunRecord clean = RunWith([](in_memory::Registry&) {});
    unsigned injectedRuns = 0;
    for (Operation operation : Operations) {
        for (unsigned n = 1; n <= clean.Count(operation) && !Failed(); ++n) {
            for (LSTATUS status : Statuses) {
                SCOPED_TRACE(std::string(NameOf(operation)) + " call " + std::to_string(n) + " fails with "
                             + std::to_string(status));
                const RunRecord run =
                    RunWith([&](in_memory::Registry& registry) { registry.FailNthCall(operation, n, status); });
                // The calls before the nth are those of the clean run, so the nth always comes.
                const Call* failed = run.Nth(operation, n);
                EXPECT_TRUE(failed != nullptr && failed->injected && failed->status == status)
                    << "the failure was not injected";
                ++injectedRuns;
            }
        }
    }
    EXPECT_GT(injectedRuns, 0u) << "no call was made to fail";
    std::printf("[   fault  ] %s: %u runs, each with one call failing\n", TheScenario().title.c_str(), injectedRuns);
}

// Failures arranged per key need the class key to exist.
class KeyFaultSweep : public FaultSweep {};

TEST_P(KeyFaultSweep, EveryCallOnOneKeyFailing)
{
    const Scenario& scenario = TheScenario();
    // The job touches the class key and every instance it can enumerate, and nothing below them; a
    // class key that cannot be opened or listed lets it reach no instance.
    const bool instancesReached = scenario.classKeyBehaviour == KeyBehaviour::Normal
                                  || (scenario.classKeyBehaviour == KeyBehaviour::GrantsOnlyListing
                                      && std::get<0>(GetParam()) == Job::Undo);
    const Job job = std::get<0>(GetParam());
    std::vector<std::pair<RegString, bool>> keys{{ScenarioClassKeyPath, true}};
    for (const ScenarioKey& key : scenario.keys) {
        // A name too long or holding a NUL is never opened. A registry link is opened as itself only
        // by the companions, which ask what it is; everyone reaches the key it leads to.
        const bool instance = key.path.find(WIDE('\\')) == RegString::npos && key.path.size() < 256
                              && key.path.find(WCHAR{0}) == RegString::npos && (!key.linkTo || job != Job::Pass);
        const bool linkedTo = std::any_of(scenario.keys.begin(), scenario.keys.end(),
                                          [&](const ScenarioKey& link) { return link.linkTo == key.path; });
        keys.emplace_back(ScenarioClassKeyPath + WIDE("\\") + key.path, (instance || linkedTo) && instancesReached);
    }
    for (const auto& entry : keys) {
        const RegString& key = entry.first;
        const bool touched = entry.second;
        // Not ERROR_MORE_DATA: a class key that answers it for every index never runs out of subkeys.
        for (LSTATUS status : {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_OUTOFMEMORY}) {
            SCOPED_TRACE("every call on " + Narrow(key) + " fails with " + std::to_string(status));
            const RunRecord run = RunWith([&](in_memory::Registry& registry) { registry.FailCallsOnKey(key, status); });
            EXPECT_EQ(run.InjectedOn(key), touched) << "the pass must touch exactly the class key and its instances";
            for (Operation operation : Operations) {
                SCOPED_TRACE(std::string("only ") + NameOf(operation));
                RunWith([&](in_memory::Registry& registry) { registry.FailCallsOnKey(key, status, operation); });
            }
            if (Failed()) {
                return;
            }
        }
    }
}

std::vector<Scenario> WithClassKey()
{
    std::vector<Scenario> scenarios;
    std::copy_if(Scenarios().begin(), Scenarios().end(), std::back_inserter(scenarios),
                 [](const Scenario& scenario) { return scenario.classKeyExists; });
    return scenarios;
}

const auto JobAndTitle = [](const testing::TestParamInfo<std::tuple<Job, Scenario>>& param) {
    static constexpr const char* JobNames[] = {"Pass", "Check", "Undo"};
    return JobNames[static_cast<int>(std::get<0>(param.param))] + std::string("_") + std::get<1>(param.param).title;
};
const auto Jobs = testing::Values(Job::Pass, Job::Check, Job::Undo);
INSTANTIATE_TEST_SUITE_P(Table, FaultSweep, testing::Combine(Jobs, testing::ValuesIn(Scenarios())), JobAndTitle);
INSTANTIATE_TEST_SUITE_P(Table, KeyFaultSweep, testing::Combine(Jobs, testing::ValuesIn(WithClassKey())), JobAndTitle);

} // namespace
