// The companions' listing as an administrator or a script reads it: one line per instance, the name
// last and exactly as the registry gives it (UTF-8 when written to a file), the instances not read
// after the others of their control set.
#include "companions.h"
#include "names_and_values.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

struct Utf8Output final : Output {
    std::string text;
    bool Write(const WCHAR* data, std::size_t length) override
    {
        std::string bytes(length * 3, '\0');
        bytes.resize(EncodeUtf8(data, length, bytes.data()));
        text += bytes;
        return true;
    }
};

const WCHAR* const ControlSet001 = WIDE("SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");
const WCHAR* const ControlSet002 = WIDE("SYSTEM\\ControlSet002\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");
const WCHAR* const CurrentControlSet =
    WIDE("SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");

DeviceDescription Device(const RegString& text)
{
    return {text.c_str(), static_cast<DWORD>(text.size())};
}

SettingState Setting(LSTATUS status, DWORD type, const std::vector<BYTE>& data)
{
    return SettingState{status, type, static_cast<DWORD>(data.size()), data.data()};
}

struct ListingCase {
    std::string title;
    std::function<void(Report&)> report;
    std::string expected;
};

void PrintTo(const ListingCase& listingCase, std::ostream* out)
{
    *out << listingCase.title;
}

class ListingTest : public testing::TestWithParam<ListingCase> {};

TEST_P(ListingTest, LinesAsWritten)
{
    Utf8Output output;
    {
        Listing listing(output);
        GetParam().report(listing);
    }
    EXPECT_EQ(output.text, GetParam().expected);
}

const std::vector<BYTE> One = {0x01, 0x00, 0x00, 0x00};
const std::vector<BYTE> Zero = {0x00, 0x00, 0x00, 0x00};
const std::vector<BYTE> Eight = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<BYTE> TextOne = {0x31, 0x00, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Cases, ListingTest,
    testing::Values(
        ListingCase{"CheckListsControllersThenTheInstancesNotRead",
                    [](Report& r) {
                        r.ControlSet(ControlSet001);
                        r.ClassKeyOpened(ERROR_SUCCESS);
                        r.Controller(WIDE("0000"), Setting(ERROR_SUCCESS, REG_DWORD, One),
                                     Device(u"Standard Enhanced PCI to USB Host Controller"));
                        r.NotOpened(WIDE("Properties"), ERROR_ACCESS_DENIED);
                        r.Controller(WIDE("0001"), Setting(ERROR_FILE_NOT_FOUND, REG_NONE, {}), {});
                        r.NameTooLong(2);
                        r.Controller(WIDE("0003"), Setting(ERROR_SUCCESS, REG_DWORD, Zero),
                                     Device(u"Intel(R) USB 3.0 eXtensible Host Controller - 1.0 (Microsoft)"));
                        r.Controller(WIDE("0004"), Setting(ERROR_SUCCESS, REG_DWORD, Eight), {});
                        r.Controller(WIDE("0005"), Setting(ERROR_SUCCESS, REG_SZ, TextOne), {});
                        r.Controller(WIDE("0006"), Setting(ERROR_SUCCESS, 0x1234, {0x01}), {});
                        r.Controller(WIDE("0007"), SettingState{ERROR_MORE_DATA, REG_BINARY, 1025, nullptr}, {});
                        r.Controller(WIDE("0008"), SettingState{ERROR_OUTOFMEMORY, REG_NONE, 0, nullptr}, {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "ControlSet001:\r\n"
                    "  controller, ForceHCResetOnResume REG_DWORD 0x1, \"Standard Enhanced PCI to USB Host Controller\": 0000\r\n"
                    "  controller, ForceHCResetOnResume absent: 0001\r\n"
                    "  controller, ForceHCResetOnResume REG_DWORD 0x0, \"Intel(R) USB 3.0 eXtensible Host Controller - 1.0 "
                    "(Microsoft)\": 0003\r\n"
                    "  controller, ForceHCResetOnResume REG_DWORD, 8 bytes: 0004\r\n"
                    "  controller, ForceHCResetOnResume REG_SZ, 4 bytes: 0005\r\n"
                    "  controller, ForceHCResetOnResume of type 4660, 1 byte: 0006\r\n"
                    "  controller, ForceHCResetOnResume of more than 1024 bytes: 0007\r\n"
                    "  controller, ForceHCResetOnResume not read (error 14): 0008\r\n"
                    "  not opened (error 5), skipped as the program skips it: Properties\r\n"
                    "  name longer than 255 characters, skipped as the program skips it: subkey number 2\r\n"},
        ListingCase{"ClassKeysMissingRefusedOrCutShort",
                    [](Report& r) {
                        r.ControlSet(ControlSet001);
                        r.ClassKeyOpened(ERROR_FILE_NOT_FOUND);
                        r.ControlSet(ControlSet002);
                        r.ClassKeyOpened(ERROR_ACCESS_DENIED);
                        r.ControlSet(CurrentControlSet);
                        r.ClassKeyOpened(ERROR_SUCCESS);
                        r.NotOpened(WIDE("0000"), ERROR_ACCESS_DENIED);
                        r.ListEnded(ERROR_KEY_DELETED);
                    },
                    "ControlSet001: no USB class key\r\n"
                    "ControlSet002: USB class key not opened (error 5)\r\n"
                    "CurrentControlSet:\r\n"
                    "  not opened (error 5), skipped as the program skips it: 0000\r\n"
                    "  the list of instances stopped early (error 1018)\r\n"},
        // Names are never interpreted: look-alikes, quotes, command-line characters, a path, and
        // characters beyond the first 65,536 come out as they are. What could forge a line or make two
        // names look alike is escaped: controls, separators, reordering marks, an unpaired surrogate.
        ListingCase{"UndoNamesAsTheRegistryGivesThem",
                    [](Report& r) {
                        r.ControlSet(CurrentControlSet);
                        r.ClassKeyOpened(ERROR_SUCCESS);
                        r.Removed(WIDE("\uFF26"));
                        r.Removed(WIDE("\u0100 \"&()^!%;,= /? on"));
                        r.NotRemoved(WIDE("..\\evil: x"), ERROR_ACCESS_DENIED);
                        r.Removed(u"\U0001F50C\xD800");
                        r.Removed(u"\xDE00\xD83D");
                        r.NotRemoved(u"evil\r\n  controller, ForceHCResetOnResume REG_DWORD 0x1: 0000", ERROR_ACCESS_DENIED);
                        r.Removed(u"\t\x7F\x85\u2028\u202E\u2066x");
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "CurrentControlSet:\r\n"
                    "  ForceHCResetOnResume removed: \xEF\xBC\xA6\r\n"
                    "  ForceHCResetOnResume removed: \xC4\x80 \"&()^!%;,= /? on\r\n"
                    "  ForceHCResetOnResume not removed (error 5): ..\\evil: x\r\n"
                    "  ForceHCResetOnResume removed: \xF0\x9F\x94\x8C\\uD800\r\n"
                    "  ForceHCResetOnResume removed: \\uDE00\\uD83D\r\n"
                    "  ForceHCResetOnResume not removed (error 5): evil\\u000D\\u000A  controller, "
                    "ForceHCResetOnResume REG_DWORD 0x1: 0000\r\n"
                    "  ForceHCResetOnResume removed: \\u0009\\u007F\\u0085\\u2028\\u202E\\u2066x\r\n"},
        // A name holding a NUL is printed whole, as long as the registry said it is.
        ListingCase{"NameHoldingANulIsPrintedWhole",
                    [](Report& r) {
                        r.ControlSet(CurrentControlSet);
                        r.ClassKeyOpened(ERROR_SUCCESS);
                        r.NameHoldsNul(u"0001\0hidden", 11);
                        r.NameHoldsNul(u"\0", 1);
                        r.Controller(WIDE("0001"), Setting(ERROR_SUCCESS, REG_DWORD, One), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "CurrentControlSet:\r\n"
                    "  controller, ForceHCResetOnResume REG_DWORD 0x1: 0001\r\n"
                    "  name holding a NUL, skipped as the program skips it: 0001\\u0000hidden\r\n"
                    "  name holding a NUL, skipped as the program skips it: \\u0000\r\n"},
        // Every range of UTF-8's encodings, at its ends and inside: one, two, three and four bytes.
        ListingCase{"EveryRangeOfUtf8",
                    [](Report& r) {
                        r.Removed(u"~\u00A1\u03A9\u0400\u07FF");
                        r.Removed(u"\u0800\u4E3B\uD7FF\uE000\uFFFD");
                        r.Removed(u"\U00010000\U0001F50C\U0010FFFD");
                    },
                    "  ForceHCResetOnResume removed: ~\xC2\xA1\xCE\xA9\xD0\x80\xDF\xBF\r\n"
                    "  ForceHCResetOnResume removed: \xE0\xA0\x80\xE4\xB8\xBB\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\r\n"
                    "  ForceHCResetOnResume removed: \xF0\x90\x80\x80\xF0\x9F\x94\x8C\xF4\x8F\xBF\xBD\r\n"},
        // A link's target comes before the name: escaped as a description is (below), so that the name
        // is still all after the first ": ".
        ListingCase{"LinkTargetKeepsTheNameLast",
                    [](Report& r) {
                        const RegString target = u"\\REGISTRY\\MACHINE\\SOFTWARE\\a: b\u200B";
                        r.Link(u"0000", target.c_str(), static_cast<DWORD>(target.size()));
                        r.Link(u"0001", u"", 0);
                        // A key named "u003A" in the path, which must not read like an escaped colon.
                        const RegString keyLikeAnEscape = u"\\REGISTRY\\MACHINE\\SOFTWARE\\u003A";
                        r.Link(u"0002", keyLikeAnEscape.c_str(), static_cast<DWORD>(keyLikeAnEscape.size()));
                    },
                    "  registry link to \\REGISTRY\\MACHINE\\SOFTWARE\\a\\u003A b\\u200B: 0000\r\n"
                    "  registry link: 0001\r\n"
                    "  registry link to \\REGISTRY\\MACHINE\\SOFTWARE\\u005Cu003A: 0002\r\n"}),
    [](const testing::TestParamInfo<ListingCase>& param) { return param.param.title; });

// Characters that would let a name hide something or pass for another name: each class, inside the
// name "0000", comes out escaped, so that the name never prints as the plain "0000".
struct EscapeCase {
    std::string title;
    RegString name;
    std::string printed;
};

void PrintTo(const EscapeCase& escapeCase, std::ostream* out)
{
    *out << escapeCase.title;
}

const std::vector<EscapeCase> EscapeCases = {
    {"ReorderingMarks", u"00\u200E\u200F\u061C00", "00\\u200E\\u200F\\u061C00"},
    {"ZeroWidthCharacters", u"00\u200B\u200C\u200D\u2060\uFEFF00", "00\\u200B\\u200C\\u200D\\u2060\\uFEFF00"},
    {"OtherFormatCharacters", u"00\u00AD\u180E\u0600\uFFF900", "00\\u00AD\\u180E\\u0600\\uFFF900"},
    {"SpacesOtherThanTheSpace", u"00\u00A0\u1680\u2000\u202F\u205F\u300000",
     "00\\u00A0\\u1680\\u2000\\u202F\\u205F\\u300000"},
    {"CombiningGraphemeJoiner", u"00\u034F00", "00\\u034F00"},
    {"VariationSelectors", u"00\u180B\uFE0F\U000E010000", "00\\u180B\\uFE0F\\uDB40\\uDD0000"},
    {"HangulFillers", u"00\u115F\u1160\u3164\uFFA000", "00\\u115F\\u1160\\u3164\\uFFA000"},
    {"BrailleBlank", u"0000\u2800", "0000\\u2800"},
    {"Noncharacters", u"00\uFDD0\uFFFE\uFFFF\U0001FFFF00", "00\\uFDD0\\uFFFE\\uFFFF\\uD83F\\uDFFF00"},
    {"TagCharacters", u"00\U000E0001\U000E004100", "00\\uDB40\\uDC01\\uDB40\\uDC4100"},
    {"MusicalFormatCharacters", u"00\U0001D17300", "00\\uD834\\uDD7300"},
    {"LeadingSpace", u" 0000", "\\u00200000"},
    {"TrailingSpace", u"0000 ", "0000\\u0020"},
    {"OnlyASpace", u" ", "\\u0020"},
    {"SpaceInsideIsKept", u"00 00", "00 00"},
};

class NameEscapeTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(NameEscapeTest, PrintedEscaped)
{
    Utf8Output output;
    {
        Listing listing(output);
        listing.Removed(GetParam().name.c_str());
    }
    EXPECT_EQ(output.text, "  ForceHCResetOnResume removed: " + GetParam().printed + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Classes, NameEscapeTest, testing::ValuesIn(EscapeCases),
                         [](const testing::TestParamInfo<EscapeCase>& param) { return param.param.title; });

// Whatever a name holds, no two different names print alike: the rows above, and the plain name.
TEST(NameEscape, DifferentNamesNeverPrintAlike)
{
    std::vector<RegString> names = {u"0000"};
    for (const EscapeCase& escapeCase : EscapeCases) {
        names.push_back(escapeCase.name);
    }
    std::set<std::string> printed;
    for (const RegString& name : names) {
        Utf8Output output;
        {
            Listing listing(output);
            listing.Removed(name.c_str());
        }
        EXPECT_TRUE(printed.insert(output.text).second) << output.text;
    }
}

// A device's description comes before the name, so whatever a driver package puts in it must neither
// break its line nor move the name or the description's end: escaped as a name is, with its colons,
// quotation marks and their look-alikes too. A script still finds the name after the line's first
// ": " and the description between the line's first two quotation marks, and gets both back whole by
// reading each \uXXXX as the unit it stands for.
struct DescriptionCase {
    std::string title;
    RegString description;
    std::string printed;
};

void PrintTo(const DescriptionCase& descriptionCase, std::ostream* out)
{
    *out << descriptionCase.title;
}

// The text with each \uXXXX read back as the UTF-16 unit it stands for, and UTF-8 decoded.
RegString Unescaped(const std::string& text)
{
    const auto byte = [&](std::size_t at) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[at])); };
    RegString units;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "\\u") == 0 && i + 6 <= text.size()) {
            units.push_back(static_cast<WCHAR>(std::stoul(text.substr(i + 2, 4), nullptr, 16)));
            i += 6;
            continue;
        }
        const std::uint32_t lead = byte(i);
        const std::size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        std::uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            code = code << 6 | (byte(i + k) & 0x3Fu);
        }
        if (code >= 0x10000) {
            units.push_back(static_cast<WCHAR>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<WCHAR>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<WCHAR>(code));
        }
        i += 1 + extra;
    }
    return units;
}

class DescriptionTest : public testing::TestWithParam<DescriptionCase> {};

TEST_P(DescriptionTest, StaysInsideItsQuotesOnItsLine)
{
    const DescriptionCase& descriptionCase = GetParam();
    Utf8Output output;
    {
        Listing listing(output);
        listing.Controller(WIDE("0002"), Setting(ERROR_FILE_NOT_FOUND, REG_NONE, {}), Device(descriptionCase.description));
    }
    EXPECT_EQ(output.text, "  controller, ForceHCResetOnResume absent, \"" + descriptionCase.printed + "\": 0002\r\n");

    // As a script splits it.
    const std::string line = output.text.substr(0, output.text.size() - 2);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "the line is broken";
    const std::size_t nameAt = line.find(": ");
    ASSERT_NE(nameAt, std::string::npos);
    EXPECT_EQ(line.substr(nameAt + 2), "0002");
    const std::size_t open = line.find('"');
    const std::size_t close = line.find('"', open + 1);
    ASSERT_LT(close, nameAt);
    EXPECT_TRUE(Unescaped(line.substr(open + 1, close - open - 1)) == descriptionCase.description)
        << "the description does not read back whole";
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, DescriptionTest,
    testing::Values(
        DescriptionCase{"Plain", u"Standard Enhanced PCI to USB Host Controller",
                        "Standard Enhanced PCI to USB Host Controller"},
        DescriptionCase{"LocalisedTextAsItIs", u"Contr\u00F4leur d\u2019h\u00F4te USB \u30DB\u30B9\u30C8 (Microsoft)",
                        "Contr\xC3\xB4leur d\xE2\x80\x99h\xC3\xB4te USB \xE3\x83\x9B\xE3\x82\xB9\xE3\x83\x88 (Microsoft)"},
        DescriptionCase{"Empty", u"", ""},
        // A line break and a forged line after it.
        DescriptionCase{"LineBreakCannotForgeALine", u"Hub\r\n  controller, ForceHCResetOnResume REG_DWORD 0x1",
                        "Hub\\u000D\\u000A  controller, ForceHCResetOnResume REG_DWORD 0x1"},
        DescriptionCase{"OtherLineBreaksCannotForgeALine", u"a\u2028b\u0085c\u000Bd\u2029e",
                        "a\\u2028b\\u0085c\\u000Bd\\u2029e"},
        // ": " would make the name start inside the description.
        DescriptionCase{"ColonCannotMoveTheName", u"Hub\": 0000", "Hub\\u0022\\u003A 0000"},
        DescriptionCase{"QuoteCannotEndTheDescription", u"a\" b", "a\\u0022 b"},
        DescriptionCase{"InvisibleCharactersCannotHide", u"Hub\u200B\u202E0000\u2066", "Hub\\u200B\\u202E0000\\u2066"},
        // Characters that look like the line's colon and quotation marks, fullwidth, curly, a ratio.
        DescriptionCase{"LookAlikeDelimitersCannotSeemToEndIt", u"Hub\uFF02\uFF1A 0000 \u201Cx\u201D\u2236\u02D0",
                        "Hub\\uFF02\\uFF1A 0000 \\u201Cx\\u201D\\u2236\\u02D0"},
        // Letters that look like others are printed as themselves, as in names: they cannot forge a
        // line or move the name.
        DescriptionCase{"LookAlikeLettersAsThemselves", u"\u041D\u043E\u0455t Controller",
                        "\xD0\x9D\xD0\xBE\xD1\x95t Controller"},
        DescriptionCase{"BackslashBeforeUCannotPassForAnEscape", u"a\\u0022b\\x", "a\\u005Cu0022b\\x"},
        DescriptionCase{"NulAndEndSpaces", RegString(u" Hub\0x ", 7), "\\u0020Hub\\u0000x\\u0020"}),
    [](const testing::TestParamInfo<DescriptionCase>& param) { return param.param.title; });

// The last line of the listing: the verdict, which agrees with the status it is given and counts
// what that status is about: the check, CurrentControlSet's host controllers; the undo, the settings
// of every control set. A listing that lost lines says that instead.
struct VerdictCase {
    std::string title;
    bool undo;
    int status;
    std::function<void(Report&)> report;
    std::string verdict;
    unsigned refusedWrite = 0; // the output refuses this write (counting from 1), if any
};

void PrintTo(const VerdictCase& verdictCase, std::ostream* out)
{
    *out << verdictCase.title;
}

struct RefusingOneOutput final : Output {
    Utf8Output text;
    unsigned refused;
    unsigned writes = 0;
    explicit RefusingOneOutput(unsigned refusing) : refused(refusing) {}
    bool Write(const WCHAR* data, std::size_t length) override
    {
        return ++writes != refused && text.Write(data, length);
    }
};

class VerdictTest : public testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, LastLineAgreesWithTheStatus)
{
    const VerdictCase& verdictCase = GetParam();
    RefusingOneOutput output(verdictCase.refusedWrite);
    Listing listing(output);
    verdictCase.report(listing);
    if (verdictCase.undo) {
        listing.UndoVerdict(verdictCase.status);
    } else {
        listing.CheckVerdict(verdictCase.status);
    }
    const std::string& text = output.text.text;
    ASSERT_TRUE(text.ends_with("\r\n"));
    const std::size_t start = text.rfind("\r\n", text.size() - 3);
    EXPECT_EQ(text.substr(start == std::string::npos ? 0 : start + 2), verdictCase.verdict + "\r\n");
    EXPECT_EQ(listing.Whole(), verdictCase.refusedWrite == 0);
}

const auto Opened = [](Report& r, const WCHAR* classKeyPath, LSTATUS status = ERROR_SUCCESS) {
    r.ControlSet(classKeyPath);
    r.ClassKeyOpened(status);
};
const auto Absent = [] { return Setting(ERROR_FILE_NOT_FOUND, REG_NONE, {}); };
const auto Applied = [] { return Setting(ERROR_SUCCESS, REG_DWORD, One); };

INSTANTIATE_TEST_SUITE_P(
    Verdicts, VerdictTest,
    testing::Values(
        // Only CurrentControlSet counts for the check, as for its status.
        VerdictCase{"CheckDoneCountsCurrentControlSet", false, 0,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.Controller(u"0000", Absent(), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, ControlSet002, ERROR_ACCESS_DENIED);
                        Opened(r, CurrentControlSet);
                        r.Controller(u"0000", Applied(), {});
                        r.Controller(u"0001", Applied(), Device(u"USB xHCI Compliant Host Controller"));
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "done: 2 of 2 host controllers in CurrentControlSet hold the setting"},
        VerdictCase{"CheckDoneWithOneController", false, 0,
                    [](Report& r) {
                        Opened(r, CurrentControlSet);
                        r.Controller(u"0000", Applied(), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "done: 1 of 1 host controller in CurrentControlSet holds the setting"},
        VerdictCase{"CheckDoneWithNothingToList", false, 0,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.Controller(u"0000", Absent(), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, CurrentControlSet);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "done: CurrentControlSet has no host controller, so none lacks the setting"},
        VerdictCase{"CheckDoneWithoutClassKey", false, 0,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.Controller(u"0000", Absent(), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, CurrentControlSet, ERROR_FILE_NOT_FOUND);
                    },
                    "done: CurrentControlSet has no USB class key, so no host controller lacks the setting"},
        VerdictCase{"CheckNotDoneCountsTheLacking", false, 1,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.Controller(u"0000", Absent(), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, CurrentControlSet);
                        r.Controller(u"0000", Applied(), {});
                        r.Controller(u"0001", Absent(), {});
                        r.Controller(u"0002", Setting(ERROR_SUCCESS, REG_DWORD, Zero), {});
                        r.NotOpened(u"Properties", ERROR_ACCESS_DENIED);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "not done: 2 of 3 host controllers in CurrentControlSet lack the setting, see above"},
        VerdictCase{"CheckNotDoneOneLacking", false, 1,
                    [](Report& r) {
                        Opened(r, CurrentControlSet);
                        r.Controller(u"0000", Setting(ERROR_SUCCESS, REG_SZ, TextOne), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "not done: 1 of 1 host controller in CurrentControlSet lacks the setting, see above"},
        VerdictCase{"CheckClassKeyNotOpened", false, 1,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, CurrentControlSet, ERROR_ACCESS_DENIED);
                    },
                    "not done: the USB class key of CurrentControlSet could not be opened (error 5), see above"},
        VerdictCase{"CheckListStoppedEarly", false, 1,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.ListEnded(ERROR_KEY_DELETED);
                        Opened(r, CurrentControlSet);
                        r.Controller(u"0000", Applied(), {});
                        r.Controller(u"0001", Applied(), {});
                        r.ListEnded(ERROR_KEY_DELETED);
                    },
                    "not done: 0 of 2 host controllers in CurrentControlSet lack the setting, and its instances "
                    "could not all be listed (error 1018), see above"},
        VerdictCase{"CheckLostALine", false, 1,
                    [](Report& r) {
                        Opened(r, CurrentControlSet);
                        r.Controller(u"0000", Absent(), {});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "incomplete: lines of this listing could not be written; run the check again where its output "
                    "can be written whole",
                    2},
        // The undo counts every control set, as its status does.
        VerdictCase{"UndoDone", true, 0,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.Removed(u"0000");
                        r.Removed(u"0002");
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, ControlSet002, ERROR_FILE_NOT_FOUND);
                        Opened(r, CurrentControlSet);
                        r.Removed(u"0000");
                        r.NotOpened(u"Properties", ERROR_ACCESS_DENIED);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "done: ForceHCResetOnResume removed from 3 instances, left on none"},
        VerdictCase{"UndoNothingToRemove", true, 0,
                    [](Report& r) {
                        Opened(r, ControlSet001);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, CurrentControlSet);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "done: ForceHCResetOnResume removed from 0 instances, left on none"},
        VerdictCase{"UndoLeftSettings", true, 1,
                    [](Report& r) {
                        Opened(r, ControlSet002);
                        r.Removed(u"0000");
                        r.NotRemoved(u"0001", ERROR_ACCESS_DENIED);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                        Opened(r, CurrentControlSet);
                        r.Link(u"0002", u"", 0);
                        r.NotRemovedBehindLink(u"0002");
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "not done: ForceHCResetOnResume removed from 1 instance, left on 2 instances, see above"},
        VerdictCase{"UndoClassKeysNotLookedThrough", true, 1,
                    [](Report& r) {
                        Opened(r, ControlSet001, ERROR_ACCESS_DENIED);
                        Opened(r, ControlSet002);
                        r.Removed(u"0000");
                        r.ListEnded(ERROR_KEY_DELETED);
                        Opened(r, CurrentControlSet);
                        r.NotRemoved(u"0001", ERROR_ACCESS_DENIED);
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "not done: ForceHCResetOnResume removed from 1 instance, left on 1 instance, and 2 USB class "
                    "keys could not be looked through to the end, see above"},
        VerdictCase{"UndoLostALine", true, 0,
                    [](Report& r) {
                        Opened(r, CurrentControlSet);
                        r.Removed(u"0000");
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "incomplete: lines of this listing could not be written; the undo was done, run "
                    "UsbResetOnResumeCheck.exe to see what is left",
                    1}),
    [](const testing::TestParamInfo<VerdictCase>& param) { return param.param.title; });

} // namespace
