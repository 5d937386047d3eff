// The program's sweep over the three control sets: order, which pass decides the exit status, and
// control sets that are missing; through the sweep and through the program's entry point. Then the
// companions' sweeps: which control set decides their statuses.
#include "companion_record.h"
#include "in_memory_registry.h"
#include "registry_tree.h"
#include "sweep_control_sets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// The program's entry point, in entry/main.cpp.
int wmain(int argc, wchar_t** argv);

namespace {

using in_memory::Call;
using in_memory::Operation;
using in_memory::TheRegistry;

const RegString UsbClass = WIDE("\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");
const RegString ControlSet001 = WIDE("SYSTEM\\ControlSet001") + UsbClass;
const RegString ControlSet002 = WIDE("SYSTEM\\ControlSet002") + UsbClass;
const RegString CurrentControlSet = WIDE("SYSTEM\\CurrentControlSet") + UsbClass;

// Two instances per control set: a controller and a hub that is not one.
void SeedControlSet(const RegString& classKey)
{
    in_memory::Registry& registry = TheRegistry();
    registry.SetValue(classKey + WIDE("\\0000"), WIDE("Controller"), REG_BINARY, {0x01});
    registry.SetValue(classKey + WIDE("\\0001"), WIDE("DriverDesc"), REG_SZ, StringBytes(WIDE("USB Root Hub")));
}

bool SettingWritten(const RegString& classKey)
{
    const auto values = TheRegistry().Values(classKey + WIDE("\\0000"));
    const auto found = values.find(WIDE("ForceHCResetOnResume"));
    return found != values.end() && found->second == RegValue{REG_DWORD, DwordBytes(1)};
}

// The class keys opened from HKEY_LOCAL_MACHINE, in the order the record holds them.
std::vector<RegString> ClassKeysOpened()
{
    std::vector<RegString> opened;
    for (const Call& call : TheRegistry().Calls()) {
        if (call.operation == Operation::Open && call.handle == HKEY_LOCAL_MACHINE) {
            opened.push_back(call.name);
        }
    }
    return opened;
}

struct SweepCase {
    std::string title;
    std::vector<RegString> present;
    std::vector<RegString> failing; // control sets whose controller refuses the write
    int exitStatus;
    std::vector<RegString> unopenable = {}; // control sets whose class key refuses to be opened
};

void PrintTo(const SweepCase& sweepCase, std::ostream* out)
{
    *out << sweepCase.title;
}

class SweepStatus : public testing::TestWithParam<SweepCase> {};

// Each case runs twice: the sweep itself, then the program with an argument it must ignore. The
// second run repeats the same writes and must give the same status.
TEST_P(SweepStatus, ComesFromCurrentControlSetAlone)
{
    const SweepCase& sweepCase = GetParam();
    in_memory::Registry& registry = TheRegistry();
    registry.Reset();
    for (const RegString& classKey : sweepCase.present) {
        SeedControlSet(classKey);
    }
    for (const RegString& classKey : sweepCase.failing) {
        registry.FailCallsOnKey(classKey + WIDE("\\0000"), ERROR_ACCESS_DENIED, Operation::Set);
    }
    for (const RegString& classKey : sweepCase.unopenable) {
        registry.SetAccess(classKey, in_memory::Access::None);
    }

    EXPECT_EQ(SweepControlSets(), sweepCase.exitStatus);
    EXPECT_EQ(ClassKeysOpened(), (std::vector<RegString>{ControlSet001, ControlSet002, CurrentControlSet}))
        << "every control set is visited, in this order, whatever is missing or fails";
    EXPECT_EQ(registry.OpenHandles(), 0u);

    wchar_t program[] = L"UsbResetOnResume.exe";
    wchar_t help[] = L"/?";
    wchar_t* argv[] = {program, help, nullptr};
    EXPECT_EQ(wmain(2, argv), sweepCase.exitStatus);

    for (const RegString& classKey : {ControlSet001, ControlSet002, CurrentControlSet}) {
        const bool present = std::find(sweepCase.present.begin(), sweepCase.present.end(), classKey)
                             != sweepCase.present.end();
        const bool failing = std::find(sweepCase.failing.begin(), sweepCase.failing.end(), classKey)
                             != sweepCase.failing.end();
        EXPECT_EQ(registry.KeyExists(classKey), present) << "a missing control set must not be created";
        const bool unopenable = std::find(sweepCase.unopenable.begin(), sweepCase.unopenable.end(), classKey)
                                != sweepCase.unopenable.end();
        EXPECT_EQ(present && SettingWritten(classKey), present && !failing && !unopenable) << Narrow(classKey);
        EXPECT_EQ(registry.Values(classKey + WIDE("\\0001")).count(WIDE("ForceHCResetOnResume")), 0u)
            << "the hub in " << Narrow(classKey) << " is no controller";
    }
}

INSTANTIATE_TEST_SUITE_P(
    ControlSets, SweepStatus,
    testing::Values(
        SweepCase{"AllWritten", {ControlSet001, ControlSet002, CurrentControlSet}, {}, 0},
        SweepCase{"FailureInControlSet001Only", {ControlSet001, ControlSet002, CurrentControlSet}, {ControlSet001}, 0},
        SweepCase{"FailureInControlSet002Only", {ControlSet001, ControlSet002, CurrentControlSet}, {ControlSet002}, 0},
        SweepCase{"FailureInCurrentControlSetOnly",
                  {ControlSet001, ControlSet002, CurrentControlSet}, {CurrentControlSet}, 1},
        SweepCase{"FailureEverywhere", {ControlSet001, ControlSet002, CurrentControlSet},
                  {ControlSet001, ControlSet002, CurrentControlSet}, 1},
        SweepCase{"ControlSet002Missing", {ControlSet001, CurrentControlSet}, {}, 0},
        SweepCase{"ControlSet002MissingFailureInCurrent", {ControlSet001, CurrentControlSet}, {CurrentControlSet}, 1},
        SweepCase{"CurrentControlSetMissingAfterFailures", {ControlSet001, ControlSet002},
                  {ControlSet001, ControlSet002}, 0},
        SweepCase{"NoControlSets", {}, {}, 0},
        SweepCase{"ClassKeyUnopenableInControlSet001Only", {ControlSet001, ControlSet002, CurrentControlSet}, {}, 0,
                  {ControlSet001}},
        SweepCase{"ClassKeyUnopenableInCurrentControlSet", {ControlSet001, ControlSet002, CurrentControlSet}, {}, 1,
                  {CurrentControlSet}}),
    [](const testing::TestParamInfo<SweepCase>& param) { return param.param.title; });

// A companion's listing as written, its words and these names being ASCII.
struct CapturedOutput final : Output {
    std::string text;
    bool Write(const WCHAR* data, std::size_t length) override
    {
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(static_cast<char>(data[i]));
        }
        return true;
    }
    [[nodiscard]] std::string LastLine() const
    {
        if (!text.ends_with("\r\n")) {
            return "(no whole line)";
        }
        const std::size_t start = text.rfind("\r\n", text.size() - 3);
        return text.substr(start == std::string::npos ? 0 : start + 2, text.size() - (start == std::string::npos ? 0 : start + 2) - 2);
    }
};

// The companions over the three sets: the check's status is CurrentControlSet's, as the program's is;
// the undo's is 1 when any set keeps a setting it could not remove, or could not be looked through.
// Each listing ends with a verdict that says the same and counts what it is about.
struct CompanionSweepCase {
    std::string title;
    std::vector<RegString> applied;    // control sets whose controller holds the setting
    std::vector<RegString> readOnly;   // control sets whose controller refuses write access
    std::vector<RegString> unopenable; // control sets whose class key refuses to be opened
    int checkStatus;
    int undoStatus;
    std::string checkVerdict;
    std::string undoVerdict;
    bool seeded = true; // the three class keys are there
};

void PrintTo(const CompanionSweepCase& sweepCase, std::ostream* out)
{
    *out << sweepCase.title;
}

class CompanionSweep : public testing::TestWithParam<CompanionSweepCase> {
protected:
    void Seed() const
    {
        const CompanionSweepCase& sweepCase = GetParam();
        in_memory::Registry& registry = TheRegistry();
        registry.Reset();
        if (!sweepCase.seeded) {
            return;
        }
        for (const RegString& classKey : {ControlSet001, ControlSet002, CurrentControlSet}) {
            SeedControlSet(classKey);
        }
        for (const RegString& classKey : sweepCase.applied) {
            registry.SetValue(classKey + WIDE("\\0000"), WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1));
        }
        for (const RegString& classKey : sweepCase.readOnly) {
            registry.SetAccess(classKey + WIDE("\\0000"), in_memory::Access::ReadOnly);
        }
        for (const RegString& classKey : sweepCase.unopenable) {
            registry.SetAccess(classKey, in_memory::Access::None);
        }
    }
};

TEST_P(CompanionSweep, CheckFollowsCurrentControlSetUndoAnySet)
{
    const CompanionSweepCase& sweepCase = GetParam();
    const std::vector<RegString> all{ControlSet001, ControlSet002, CurrentControlSet};
    Seed();
    CompanionRecord check;
    EXPECT_EQ(CheckControlSets(check), sweepCase.checkStatus);
    EXPECT_EQ(check.controlSets, all);
    CapturedOutput checkListing;
    EXPECT_EQ(RunCheck(checkListing), sweepCase.checkStatus);
    EXPECT_EQ(checkListing.LastLine(), sweepCase.checkVerdict);

    CompanionRecord undo;
    EXPECT_EQ(UndoControlSets(undo), sweepCase.undoStatus);
    EXPECT_EQ(undo.controlSets, all);
    EXPECT_EQ(TheRegistry().OpenHandles(), 0u);
    Seed();
    CapturedOutput undoListing;
    EXPECT_EQ(RunUndo(undoListing), sweepCase.undoStatus);
    EXPECT_EQ(undoListing.LastLine(), sweepCase.undoVerdict);
}

const std::string DoneOneOfOne = "done: 1 of 1 host controller in CurrentControlSet holds the setting";
const std::string LacksOneOfOne = "not done: 1 of 1 host controller in CurrentControlSet lacks the setting, see above";
const std::string NothingLeft = "done: ForceHCResetOnResume removed from 0 instances, left on none";

INSTANTIATE_TEST_SUITE_P(
    ControlSets, CompanionSweep,
    testing::Values(
        CompanionSweepCase{"AllApplied", {ControlSet001, ControlSet002, CurrentControlSet}, {}, {}, 0, 0, DoneOneOfOne,
                           "done: ForceHCResetOnResume removed from 3 instances, left on none"},
        CompanionSweepCase{"NoneApplied", {}, {}, {}, 1, 0, LacksOneOfOne, NothingLeft},
        CompanionSweepCase{"UnappliedInControlSet001Only", {ControlSet002, CurrentControlSet}, {}, {}, 0, 0,
                           DoneOneOfOne, "done: ForceHCResetOnResume removed from 2 instances, left on none"},
        CompanionSweepCase{"UnappliedInCurrentControlSetOnly", {ControlSet001, ControlSet002}, {}, {}, 1, 0,
                           LacksOneOfOne, "done: ForceHCResetOnResume removed from 2 instances, left on none"},
        CompanionSweepCase{"SettingThatCannotBeRemovedInControlSet002",
                           {ControlSet001, ControlSet002, CurrentControlSet}, {ControlSet002}, {}, 0, 1, DoneOneOfOne,
                           "not done: ForceHCResetOnResume removed from 2 instances, left on 1 instance, see above"},
        CompanionSweepCase{"ClassKeyUnopenableInControlSet001",
                           {ControlSet001, ControlSet002, CurrentControlSet}, {}, {ControlSet001}, 0, 1, DoneOneOfOne,
                           "not done: ForceHCResetOnResume removed from 2 instances, left on 0 instances, and 1 USB "
                           "class key could not be looked through to the end, see above"},
        CompanionSweepCase{"ClassKeyUnopenableInCurrentControlSet",
                           {ControlSet001, ControlSet002, CurrentControlSet}, {}, {CurrentControlSet}, 1, 1,
                           "not done: the USB class key of CurrentControlSet could not be opened (error 5), see above",
                           "not done: ForceHCResetOnResume removed from 2 instances, left on 0 instances, and 1 USB "
                           "class key could not be looked through to the end, see above"},
        CompanionSweepCase{"NothingToList", {}, {}, {}, 0, 0,
                           "done: CurrentControlSet has no USB class key, so no host controller lacks the setting",
                           NothingLeft, false}),
    [](const testing::TestParamInfo<CompanionSweepCase>& param) { return param.param.title; });

// The three control sets seeded, and CurrentControlSet's instance 0002 a registry link to a
// controller outside the USB class, whose path it returns.
RegString SeedLinkOutOfTheClass()
{
    in_memory::Registry& registry = TheRegistry();
    registry.Reset();
    for (const RegString& classKey : {ControlSet001, ControlSet002, CurrentControlSet}) {
        SeedControlSet(classKey);
    }
    const RegString outside = WIDE("SOFTWARE\\Elsewhere");
    registry.SetValue(outside, WIDE("Controller"), REG_BINARY, {0x01});
    registry.CreateLink(CurrentControlSet + WIDE("\\0002"), outside);
    return outside;
}

// A registry link among the instances that leads out of the USB class: the program follows it as it
// follows any name, and writes the key it leads to; the check names the link and judges it there, as
// the program does; the undo names it and deletes nothing through it, so that a key outside the class
// is never changed by the undo, and fails, since the setting is left there.
TEST(LinkOutOfTheClass, FollowedByTheProgramNamedByTheCompanionsNeverUndoneThrough)
{
    in_memory::Registry& registry = TheRegistry();
    const RegString outside = SeedLinkOutOfTheClass();

    EXPECT_EQ(SweepControlSets(), 0);
    const RegValue setting{REG_DWORD, DwordBytes(1)};
    EXPECT_EQ(registry.Values(outside).at(WIDE("ForceHCResetOnResume")), setting);

    CompanionRecord check;
    EXPECT_EQ(CheckControlSets(check), 0);
    const std::vector<std::pair<RegString, RegString>> link{{WIDE("0002"), WIDE("\\REGISTRY\\MACHINE\\") + outside}};
    EXPECT_EQ(check.links, link);
    ASSERT_EQ(check.controllers.size(), 4u);
    EXPECT_EQ(check.controllers.back().instance, WIDE("0002"));
    EXPECT_EQ((RegValue{check.controllers.back().type, check.controllers.back().data}), setting);

    CompanionRecord undo;
    EXPECT_EQ(UndoControlSets(undo), 1);
    EXPECT_EQ(undo.links, link);
    EXPECT_EQ(undo.behindLinks, std::vector<RegString>{WIDE("0002")});
    EXPECT_EQ(registry.Values(outside).at(WIDE("ForceHCResetOnResume")), setting) << "deleted through the link";
    EXPECT_EQ(NamesOf(undo.removed), (std::set<RegString, FoldedLess>{WIDE("0000")}));
    EXPECT_EQ(registry.OpenHandles(), 0u);
}

// A link above the instances (a class key made a link, here to a key outside SYSTEM) is followed by
// all three, as the platform follows any path it opens: the undo takes the setting back where the
// program wrote it.
TEST(LinkAboveTheInstances, FollowedByAllThree)
{
    in_memory::Registry& registry = TheRegistry();
    registry.Reset();
    for (const RegString& classKey : {ControlSet001, CurrentControlSet}) {
        SeedControlSet(classKey);
    }
    const RegString elsewhere = WIDE("SOFTWARE\\Elsewhere");
    SeedControlSet(elsewhere);
    registry.CreateLink(ControlSet002, elsewhere);

    EXPECT_EQ(SweepControlSets(), 0);
    EXPECT_TRUE(SettingWritten(elsewhere));
    CompanionRecord check;
    EXPECT_EQ(CheckControlSets(check), 0);
    EXPECT_EQ(check.controllers.size(), 3u);
    CompanionRecord undo;
    EXPECT_EQ(UndoControlSets(undo), 0);
    EXPECT_FALSE(registry.Values(elsewhere + WIDE("\\0000")).contains(WIDE("ForceHCResetOnResume")));
    EXPECT_EQ(registry.OpenHandles(), 0u);
}

// A link whose own key cannot be read (its permissions grant nothing, or only setting values) cannot
// be told from a key of its own by opening it as itself; opened the ordinary way it leads to the
// setting the program wrote. The undo still deletes nothing through it and fails, naming the setting
// left: behind a link where the key itself could be opened and lacked it, not removed where the key
// could not be opened at all.
class LinkThatCannotBeRead : public testing::TestWithParam<in_memory::Access> {};

TEST_P(LinkThatCannotBeRead, LeavesTheUndoFailingAndNamed)
{
    in_memory::Registry& registry = TheRegistry();
    const RegString outside = SeedLinkOutOfTheClass();
    registry.SetAccess(CurrentControlSet + WIDE("\\0002"), GetParam());
    ASSERT_EQ(SweepControlSets(), 0);
    const RegValue setting{REG_DWORD, DwordBytes(1)};

    // The check judges it where it leads, as the program writes it, without naming a link.
    CompanionRecord check;
    EXPECT_EQ(CheckControlSets(check), 0);
    EXPECT_TRUE(check.links.empty());

    CompanionRecord undo;
    EXPECT_EQ(UndoControlSets(undo), 1);
    const std::vector<RegString> left{WIDE("0002")};
    if (GetParam() == in_memory::Access::SetOnly) {
        EXPECT_EQ(undo.behindLinks, left);
    } else {
        EXPECT_EQ(NamesOf(undo.notRemoved), (std::set<RegString, FoldedLess>{WIDE("0002")}));
    }
    EXPECT_EQ(registry.Values(outside).at(WIDE("ForceHCResetOnResume")), setting) << "deleted through the link";
    EXPECT_EQ(registry.OpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Permissions, LinkThatCannotBeRead,
                         testing::Values(in_memory::Access::None, in_memory::Access::SetOnly),
                         [](const testing::TestParamInfo<in_memory::Access>& param) {
                             return param.param == in_memory::Access::None ? "GrantingNothing" : "GrantingOnlySetValue";
                         });

// A link whose target was made to hold the link's own value, so that looked at both ways it seems a
// key of its own, and whose own key may only be read: the undo still finds the setting where the
// program wrote it, fails and names it.
TEST(LinkToADecoy, LeavesTheUndoFailingAndNamed)
{
    in_memory::Registry& registry = TheRegistry();
    const RegString outside = SeedLinkOutOfTheClass();
    ASSERT_EQ(SweepControlSets(), 0);
    const RegValue linkValue = registry.Values(CurrentControlSet + WIDE("\\0002")).at(WIDE("SymbolicLinkValue"));
    registry.SetValue(outside, WIDE("SymbolicLinkValue"), linkValue.type, linkValue.data);
    registry.SetAccess(CurrentControlSet + WIDE("\\0002"), in_memory::Access::ReadOnly);

    CompanionRecord undo;
    EXPECT_EQ(UndoControlSets(undo), 1);
    EXPECT_EQ(undo.behindLinks, std::vector<RegString>{WIDE("0002")});
    EXPECT_EQ(registry.Values(outside).at(WIDE("ForceHCResetOnResume")), (RegValue{REG_DWORD, DwordBytes(1)}));
    EXPECT_EQ(registry.OpenHandles(), 0u);
}

// A listing that could not be written whole gives its own status, whatever the job's was; the job is
// done all the same. The output takes `accepted` writes, then refuses every one after (a full disk),
// or refuses from the first (a closed pipe).
struct LostListingCase {
    std::string title;
    bool undo;
    unsigned accepted;
    bool applied; // the controllers hold the setting before the run
    int status;
    unsigned resumesAt = ~0u;   // the write (counting from 1) from which the output takes them again
    std::string lastLine = {}; // the last line that reached the output, where one is expected
};

void PrintTo(const LostListingCase& lostCase, std::ostream* out)
{
    *out << lostCase.title;
}

struct RefusingOutput final : Output {
    unsigned accepted;
    unsigned resumesAt;
    unsigned writes = 0;
    CapturedOutput taken;
    RefusingOutput(unsigned accepting, unsigned resuming) : accepted(accepting), resumesAt(resuming) {}
    bool Write(const WCHAR* data, std::size_t length) override
    {
        ++writes;
        return (writes <= accepted || writes >= resumesAt) && taken.Write(data, length);
    }
};

class LostListing : public testing::TestWithParam<LostListingCase> {};

TEST_P(LostListing, GivesItsOwnStatusAndTheJobIsDone)
{
    const LostListingCase& lostCase = GetParam();
    in_memory::Registry& registry = TheRegistry();
    registry.Reset();
    for (const RegString& classKey : {ControlSet001, ControlSet002, CurrentControlSet}) {
        SeedControlSet(classKey);
        if (lostCase.applied) {
            registry.SetValue(classKey + WIDE("\\0000"), WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1));
        }
    }
    RefusingOutput output(lostCase.accepted, lostCase.resumesAt);
    EXPECT_EQ(lostCase.undo ? RunUndo(output) : RunCheck(output), lostCase.status);
    if (!lostCase.lastLine.empty()) {
        EXPECT_EQ(output.taken.LastLine(), lostCase.lastLine);
    }
    for (const RegString& classKey : {ControlSet001, ControlSet002, CurrentControlSet}) {
        EXPECT_EQ(SettingWritten(classKey), lostCase.applied && !lostCase.undo) << Narrow(classKey);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, LostListing,
    testing::Values(
        LostListingCase{"CheckWhole", false, ~0u, true, 0, ~0u, DoneOneOfOne},
        // A line lost and the output taking the rest: the verdict cannot vouch for what was lost.
        LostListingCase{"CheckLosesOneLine", false, 1, true, ListingLostStatus, 3,
                        "incomplete: lines of this listing could not be written; run the check again where its "
                        "output can be written whole"},
        LostListingCase{"CheckClosedOutput", false, 0, true, ListingLostStatus},
        LostListingCase{"CheckFullAfterTheFirstSet", false, 2, false, ListingLostStatus},
        LostListingCase{"UndoWhole", true, ~0u, true, 0, ~0u,
                        "done: ForceHCResetOnResume removed from 3 instances, left on none"},
        LostListingCase{"UndoLosesOneLine", true, 0, true, ListingLostStatus, 2,
                        "incomplete: lines of this listing could not be written; the undo was done, run "
                        "UsbResetOnResumeCheck.exe to see what is left"},
        LostListingCase{"UndoClosedOutput", true, 0, true, ListingLostStatus},
        LostListingCase{"UndoFullAtTheLastLine", true, 5, true, ListingLostStatus}),
    [](const testing::TestParamInfo<LostListingCase>& param) { return param.param.title; });

} // namespace
