// The scenarios. Instance names follow the platform's four-digit style where order matters.
#include "scenario_table.h"

#include <algorithm>
#include <iterator>

const RegString ScratchRootPath = WIDE("SOFTWARE\\UsbResetOnResumeTests");
const RegString ScenarioClassKeyPath = ScratchRootPath + WIDE("\\{36FC9E60-C465-11CF-8056-444553540000}");

bool ControllerQualifies(const std::vector<BYTE>& controller)
{
    return !controller.empty() && controller.size() <= 1024 && controller[0] == 0x01;
}

bool Scenario::NeedsFailingCalls() const
{
    const auto fails = [](KeyBehaviour behaviour) {
        return behaviour == KeyBehaviour::FailsWrites || behaviour == KeyBehaviour::FailsEnumeration;
    };
    return fails(classKeyBehaviour)
           || std::any_of(keys.begin(), keys.end(), [&](const ScenarioKey& key) { return fails(key.behaviour); });
}

namespace {

std::pair<RegString, RegValue> Controller(DWORD type, std::vector<BYTE> data)
{
    return {WIDE("Controller"), RegValue{type, std::move(data)}};
}

std::pair<RegString, RegValue> Value(const RegString& name, DWORD type, std::vector<BYTE> data)
{
    return {name, RegValue{type, std::move(data)}};
}

const auto BinaryOne = [] { return Controller(REG_BINARY, {0x01}); };
const auto Setting = [](DWORD type, std::vector<BYTE> data) { return Value(WIDE("ForceHCResetOnResume"), type, std::move(data)); };
// A name with a NUL inside, which the native API can make and the registry functions cannot open.
RegString WithNul(const RegString& before, const RegString& after)
{
    return before + RegString(1, WCHAR{0}) + after;
}

const auto Description = [](const RegString& text) { return Value(WIDE("DriverDesc"), REG_SZ, StringBytes(text)); };
// A link's target as the kernel stores it, without a terminating NUL.
const auto LinkBytes = [](const RegString& text) {
    std::vector<BYTE> bytes = StringBytes(text);
    bytes.resize(bytes.size() - 2);
    return bytes;
};
const auto DescriptionOf = [](DWORD type, std::vector<BYTE> data) { return Value(WIDE("DriverDesc"), type, std::move(data)); };

std::vector<Scenario> MakeScenarios()
{
    const RegString name255 = WIDE("0000") + RegString(251, WIDE('y'));
    const RegString name256 = WIDE("0000") + RegString(252, WIDE('x'));
    return {
        {.title = "EmptyClassKeyWritesNothing"},
        {.title = "MissingClassKeyIsNotCreated", .classKeyExists = false},
        {.title = "OneByteBinaryOneQualifies",
         .keys = {{WIDE("0000"), {BinaryOne(), Description(WIDE("Standard Enhanced PCI to USB Host Controller"))}}},
         .written = {WIDE("0000")}},
        {.title = "OnlyTheFirstByteDecides",
         .keys = {{WIDE("0000"), {Controller(REG_DWORD, DwordBytes(1))}},
                  {WIDE("0001"), {Controller(REG_BINARY, {0x00})}},
                  {WIDE("0002"), {Controller(REG_BINARY, {0x02})}},
                  {WIDE("0003"), {Controller(REG_SZ, StringBytes(WIDE("1")))}},
                  {WIDE("0004"), {Controller(REG_DWORD, DwordBytes(0x100))}},
                  {WIDE("0005"), {Controller(REG_DWORD, DwordBytes(0x201))}},
                  {WIDE("0006"), {Controller(REG_BINARY, BinaryBytes(0x01, 1024))}},
                  {WIDE("0007"), {Controller(REG_MULTI_SZ, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00})}},
                  {WIDE("0008"), {Controller(REG_BINARY, BinaryBytes(0x02, 16))}},
                  {WIDE("0009"), {Controller(REG_QWORD, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02})}},
                  {WIDE("0010"), {Controller(REG_QWORD, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01})}},
                  {WIDE("0011"), {Controller(REG_NONE, {0x01})}},
                  {WIDE("0012"), {Controller(REG_EXPAND_SZ, StringBytes(WIDE("\u0101")))}}},
         .written = {WIDE("0000"), WIDE("0005"), WIDE("0006"), WIDE("0007"), WIDE("0009"), WIDE("0011"),
                     WIDE("0012")}},
        {.title = "UnreadableControllersAreSkippedNotFatal",
         .keys = {{WIDE("0000"), {Description(WIDE("USB Root Hub"))}},
                  {WIDE("0001"), {Controller(REG_BINARY, BinaryBytes(0x01, 1025))}},
                  {WIDE("0002"), {BinaryOne()}}},
         .written = {WIDE("0002")}},
        {.title = "EmptyControllerNeverQualifies",
         .keys = {{WIDE("0000"), {Controller(REG_BINARY, {})}},
                  {WIDE("0001"), {BinaryOne()}},
                  {WIDE("0002"), {Controller(REG_BINARY, {})}},
                  {WIDE("0003"), {Controller(REG_NONE, {})}}},
         .written = {WIDE("0001")}},
        {.title = "ExistingSettingIsReplacedWhateverItsType",
         .keys = {{WIDE("0000"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_SZ, StringBytes(WIDE("0")))}},
                  {WIDE("0001"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(0))}},
                  {WIDE("0002"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))}},
                  {WIDE("0003"), {BinaryOne(), Value(WIDE("forcehcresetonresume"), REG_BINARY, {0x07})}},
                  {WIDE("0004"), {Controller(REG_BINARY, {0x00}),
                                  Value(WIDE("ForceHCResetOnResume"), REG_SZ, StringBytes(WIDE("0")))}}},
         .written = {WIDE("0000"), WIDE("0001"), WIDE("0002"), WIDE("0003")}},
        {.title = "OnlyDirectSubkeysAreInstances",
         .classKeyValues = {BinaryOne(), Value(WIDE("Class"), REG_SZ, StringBytes(WIDE("USB")))},
         .keys = {{WIDE("0000"), {Description(WIDE("USB Root Hub"))}},
                  {WIDE("0000\\Settings"), {BinaryOne()}},
                  {WIDE("0001"), {BinaryOne()}},
                  {WIDE("0001\\Settings\\Deeper"), {BinaryOne()}}},
         .written = {WIDE("0001")}},
        {.title = "NameTooLongForTheBufferIsSkipped",
         .keys = {{WIDE("0000"), {BinaryOne()}},
                  {name256, {BinaryOne()}},
                  {name255, {BinaryOne()}},
                  {WIDE("0001"), {BinaryOne()}}},
         .written = {WIDE("0000"), name255, WIDE("0001")}},
        // A name holding a NUL is passed over like a name too long: cut short at the NUL it would
        // name the class key itself ("\0"), or a sibling ("0001\0hidden"), and write there.
        {.title = "NameHoldingANulIsSkipped",
         .classKeyValues = {BinaryOne()},
         .keys = {{WithNul(WIDE(""), WIDE("")), {BinaryOne()}},
                  {WIDE("0001"), {Description(WIDE("USB Root Hub"))}},
                  {WithNul(WIDE("0001"), WIDE("hidden")), {BinaryOne()}},
                  {WIDE("0002"), {BinaryOne()}}},
         .written = {WIDE("0002")}},
        {.title = "NamesBeyondAsciiAreWritten",
         .keys = {{WIDE("Contr\u00F4leur h\u00F4te \u4E3B\u673A"), {BinaryOne()}}},
         .written = {WIDE("Contr\u00F4leur h\u00F4te \u4E3B\u673A")}},
        {.title = "WriteRefusedControllerFailsThePassButNotTheRest",
         .keys = {{WIDE("0000"), {BinaryOne()}, KeyBehaviour::RefusesWriteAccess},
                  {WIDE("0001"), {BinaryOne()}}},
         .written = {WIDE("0001")},
         .result = 1},
        // 0000's setting, which the undo cannot remove either, is named and fails the undo.
        {.title = "WriteRefusedNonControllerIsNoFailure",
         .keys = {{WIDE("0000"), {Controller(REG_BINARY, {0x00}), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))},
                   KeyBehaviour::RefusesWriteAccess},
                  {WIDE("0001"), {Description(WIDE("USB Root Hub"))}, KeyBehaviour::RefusesWriteAccess},
                  {WIDE("0002"), {BinaryOne()}}},
         .written = {WIDE("0002")}},
        {.title = "UnopenableInstanceIsSkipped",
         .keys = {{WIDE("0000"), {BinaryOne()}, KeyBehaviour::RefusesAnyAccess},
                  {WIDE("0001"), {BinaryOne()}},
                  {WIDE("Properties"), {}, KeyBehaviour::RefusesAnyAccess}},
         .written = {WIDE("0001")}},
        {.title = "FailedWriteIsRememberedAfterLaterSuccesses",
         .keys = {{WIDE("0000"), {BinaryOne()}},
                  {WIDE("0001"), {BinaryOne()}, KeyBehaviour::FailsWrites},
                  {WIDE("0002"), {BinaryOne()}},
                  {WIDE("0003"), {Controller(REG_BINARY, {0x00})}, KeyBehaviour::FailsWrites}},
         .written = {WIDE("0000"), WIDE("0002")},
         .result = 1},
        // A controller the program cannot write is done when it holds the setting exactly as the program
        // writes it, and only then: the exit status says whether a controller is left without it.
        {.title = "ControllerThatCannotBeWrittenButHoldsTheSettingIsDone",
         .keys = {{WIDE("0000"), {BinaryOne(), Setting(REG_DWORD, DwordBytes(1))}, KeyBehaviour::RefusesWriteAccess},
                  {WIDE("0001"), {BinaryOne(), Setting(REG_DWORD, DwordBytes(1))}, KeyBehaviour::FailsWrites},
                  {WIDE("0002"), {BinaryOne()}}},
         .written = {WIDE("0000"), WIDE("0001"), WIDE("0002")}},
        {.title = "ControllerThatCannotBeWrittenWithASettingOfOtherBytesFails",
         .keys = {{WIDE("0000"), {BinaryOne(), Setting(REG_DWORD, DwordBytes(0x01000001))}, KeyBehaviour::RefusesWriteAccess},
                  {WIDE("0001"), {BinaryOne()}}},
         .written = {WIDE("0001")},
         .result = 1},
        {.title = "ControllerThatCannotBeWrittenWithASettingOfOtherTypeFails",
         .keys = {{WIDE("0000"), {BinaryOne(), Setting(REG_BINARY, DwordBytes(1))}, KeyBehaviour::FailsWrites}},
         .result = 1},
        {.title = "NoAdministratorRightsFailsThePass",
         .keys = {{WIDE("0000"), {BinaryOne()}, KeyBehaviour::RefusesWriteAccess},
                  {WIDE("0001"), {Description(WIDE("USB Root Hub"))}, KeyBehaviour::RefusesWriteAccess},
                  {WIDE("0002"), {Controller(REG_DWORD, DwordBytes(1))}, KeyBehaviour::RefusesWriteAccess},
                  {WIDE("Properties"), {}, KeyBehaviour::RefusesAnyAccess}},
         .result = 1},
        // Names that look alike, or that a command line would read as something else, are each
        // their own instance, written, listed and undone by the name the registry gives.
        {.title = "LookAlikeNamesAreDistinctInstances",
         .keys = {{WIDE("A"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))}},
                  {WIDE("\u0100"), {BinaryOne()}},
                  {WIDE("F"), {Description(WIDE("USB Root Hub"))}},
                  {WIDE("\uFF26"), {BinaryOne()}}},
         .written = {WIDE("A"), WIDE("\u0100"), WIDE("\uFF26")}},
        {.title = "NamesACommandLineMistreatsAreInstancesLikeAnyOther",
         .keys = {{WIDE("on"), {BinaryOne()}},
                  {WIDE("off"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))}},
                  {WIDE(" "), {BinaryOne()}},
                  {WIDE("/?"), {BinaryOne()}},
                  {WIDE("q\"r"), {BinaryOne()}},
                  {WIDE("x&y(z)^!w!"), {BinaryOne()}},
                  {WIDE("p%PATH%q;r,s=t"), {Controller(REG_BINARY, {0x00})}}},
         .written = {WIDE("on"), WIDE("off"), WIDE(" "), WIDE("/?"), WIDE("q\"r"), WIDE("x&y(z)^!w!")}},
        {.title = "ControllerOfAnyTypeNumberQualifies",
         .keys = {{WIDE("0000"), {Controller(REG_DWORD_BIG_ENDIAN, {0x01, 0x00, 0x00, 0x00})}},
                  {WIDE("0001"), {Controller(REG_LINK, StringBytes(WIDE("\u0001")))}},
                  {WIDE("0002"), {Controller(REG_RESOURCE_LIST, BinaryBytes(0x01, 16))}},
                  {WIDE("0003"), {Controller(REG_FULL_RESOURCE_DESCRIPTOR, BinaryBytes(0x01, 8))}},
                  {WIDE("0004"), {Controller(REG_RESOURCE_REQUIREMENTS_LIST, BinaryBytes(0x01, 4))}},
                  {WIDE("0005"), {Controller(0x1234, {0x01})}},
                  {WIDE("0006"), {Controller(REG_DWORD, BinaryBytes(0x01, 1024))}},
                  {WIDE("0007"), {Controller(REG_DWORD, BinaryBytes(0x01, 1025))}},
                  {WIDE("0008"), {Controller(0x1234, {0x00, 0x01})}},
                  {WIDE("0009"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_BINARY, BinaryBytes(0x01, 1025))}}},
         .written = {WIDE("0000"), WIDE("0001"), WIDE("0002"), WIDE("0003"), WIDE("0004"), WIDE("0005"),
                     WIDE("0006"), WIDE("0009")}},
        // Only a value named exactly ForceHCResetOnResume, a four-byte REG_DWORD of 1, is the setting:
        // each row below has one cause alone for a check to report it missing.
        {.title = "ValueNamedLikeTheSettingIsNotTheSetting",
         .keys = {{WIDE("0000"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume REG_DWORD 0x1"), REG_DWORD, DwordBytes(1))}},
                  {WIDE("0001"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))}}},
         .written = {WIDE("0000"), WIDE("0001")}},
        {.title = "SettingOfAnotherDwordWithTheSameEndsIsNotApplied",
         .keys = {{WIDE("0000"), {BinaryOne(), Setting(REG_DWORD, DwordBytes(0x01000001))}},
                  {WIDE("0001"), {BinaryOne(), Setting(REG_DWORD, DwordBytes(1))}}},
         .written = {WIDE("0000"), WIDE("0001")}},
        {.title = "SettingOfDwordZeroIsNotApplied",
         .keys = {{WIDE("0000"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(0))}},
                  {WIDE("0001"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))}}},
         .written = {WIDE("0000"), WIDE("0001")}},
        {.title = "SettingOfEightBytesIsNotApplied",
         .keys = {{WIDE("0000"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD,
                                                     {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})}},
                  {WIDE("0001"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))}}},
         .written = {WIDE("0000"), WIDE("0001")}},
        {.title = "SettingOfAnotherTypeIsNotApplied",
         .keys = {{WIDE("0000"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_BINARY, DwordBytes(1))}},
                  {WIDE("0001"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_DWORD, DwordBytes(1))}}},
         .written = {WIDE("0000"), WIDE("0001")}},
        // A setting whose data names another key is data, never a path to follow: the undo removes the
        // value and creates nothing, on a controller and on an instance the program never writes.
        {.title = "SettingHoldingAKeyPathIsOnlyData",
         .keys = {{WIDE("0000"), {BinaryOne(), Value(WIDE("ForceHCResetOnResume"), REG_SZ,
                                                     StringBytes(WIDE("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                                                                      "Class\\{36FC9E60-C465-11CF-8056-444553540000}\\evil")))}},
                  {WIDE("0001"), {Controller(REG_BINARY, {0x00}),
                                  Value(WIDE("ForceHCResetOnResume"), REG_SZ,
                                        StringBytes(WIDE("..\\..\\{36FC9E60-C465-11CF-8056-444553540000}\\evil")))}}},
         .written = {WIDE("0000")}},
        // Each controller's device description, as driver packages and hand edits leave it: the check
        // shows a REG_SZ of whole characters that fits its buffer, with or without its NUL, and no
        // other; the program writes every controller whatever its description.
        {.title = "DescriptionsOfEveryShape",
         .keys = {{WIDE("0000"), {BinaryOne(), Description(WIDE("Standard Enhanced PCI to USB Host Controller"))}},
                  {WIDE("0001"), {BinaryOne(), DescriptionOf(REG_SZ, LinkBytes(WIDE("USB xHCI Compliant Host Controller")))}},
                  {WIDE("0002"), {BinaryOne(), DescriptionOf(REG_EXPAND_SZ, StringBytes(WIDE("%SystemRoot%")))}},
                  {WIDE("0003"), {BinaryOne(), DescriptionOf(REG_BINARY, {0x41, 0x00})}},
                  {WIDE("0004"), {BinaryOne(), Description(RegString(255, WIDE('d')))}},
                  {WIDE("0005"), {BinaryOne(), Description(RegString(256, WIDE('e')))}},
                  {WIDE("0006"), {BinaryOne(), DescriptionOf(REG_SZ, {0x41, 0x00, 0x42})}},
                  {WIDE("0007"), {BinaryOne(), DescriptionOf(REG_SZ, {})}},
                  {WIDE("0008"), {BinaryOne(), Description(RegString(WIDE("a\0b"), 3))}},
                  {WIDE("0009"), {BinaryOne(), DescriptionOf(REG_SZ, {0x00, 0x00, 0x00, 0x00})}},
                  {WIDE("0010"), {Description(WIDE("USB Root Hub"))}},
                  {WIDE("0011"), {BinaryOne()}}},
         .written = {WIDE("0000"), WIDE("0001"), WIDE("0002"), WIDE("0003"), WIDE("0004"), WIDE("0005"),
                     WIDE("0006"), WIDE("0007"), WIDE("0008"), WIDE("0009"), WIDE("0011")}},
        // Registry links among the instances, to a nested key, to the class key itself and to no key:
        // the program follows each, as it follows any name it opens; the check names each and judges
        // it where it leads, as the program does; the undo names each and never deletes through one.
        {.title = "LinkedInstancesAreFollowedByTheProgramOnly",
         .classKeyValues = {BinaryOne()},
         .keys = {{WIDE("0000"), {Description(WIDE("USB Root Hub"))}},
                  {WIDE("0000\\Settings"), {BinaryOne()}},
                  {WIDE("0001"), {}, KeyBehaviour::Normal, WIDE("0000\\Settings")},
                  {WIDE("0002"), {}, KeyBehaviour::Normal, WIDE("")},
                  {WIDE("0003"), {}, KeyBehaviour::Normal, WIDE("Missing")},
                  {WIDE("0004"), {BinaryOne()}},
                  // A value of a link's name in a key of its own makes no link, whatever its type.
                  {WIDE("0005"), {BinaryOne(), Value(WIDE("SymbolicLinkValue"), REG_SZ, StringBytes(WIDE("\\REGISTRY\\MACHINE\\SOFTWARE")))}},
                  {WIDE("0006"), {BinaryOne(), Value(WIDE("SymbolicLinkValue"), REG_LINK, LinkBytes(WIDE("\\REGISTRY\\MACHINE\\SOFTWARE")))}}},
         .written = {WIDE("0000\\Settings"), WIDE(""), WIDE("0004"), WIDE("0005"), WIDE("0006")}},
        // A class key that is there but cannot be looked into may hold controllers: the pass cannot
        // say they were written.
        {.title = "UnopenableClassKeyFailsThePass",
         .classKeyBehaviour = KeyBehaviour::RefusesAnyAccess,
         .keys = {{WIDE("0000"), {BinaryOne()}}},
         .result = 1},
        // The program and the check open the class key to query it as well; the undo only lists it.
        {.title = "ClassKeyGrantingOnlyListingFailsThePass",
         .classKeyBehaviour = KeyBehaviour::GrantsOnlyListing,
         .keys = {{WIDE("0000"), {BinaryOne(), Setting(REG_DWORD, DwordBytes(1))}}},
         .result = 1},
        {.title = "EnumerationErrorFailsThePass",
         .classKeyBehaviour = KeyBehaviour::FailsEnumeration,
         .keys = {{WIDE("0000"), {BinaryOne()}}},
         .result = 1},
    };
}

} // namespace

const std::vector<Scenario>& Scenarios()
{
    static const std::vector<Scenario> scenarios = MakeScenarios();
    return scenarios;
}

std::vector<Scenario> RunnableScenarios()
{
    std::vector<Scenario> runnable;
#ifdef _WIN32
    std::copy_if(Scenarios().begin(), Scenarios().end(), std::back_inserter(runnable),
                 [](const Scenario& scenario) { return !scenario.NeedsFailingCalls(); });
#else
    runnable = Scenarios();
#endif
    return runnable;
}

void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.title;
}
