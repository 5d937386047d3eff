// The companions' listing as an administrator or a script reads it: one line per instance, the name
// last and exactly as the registry gives it (UTF-8 when written to a file), the instances not read
// after the others of their control set.
#include "companions.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct Utf8Output final : Output {
    std::string text;
    void Write(const WCHAR* data, std::size_t length) override
    {
        std::string bytes(length * 3, '\0');
        bytes.resize(EncodeUtf8(data, length, bytes.data()));
        text += bytes;
    }
};

const WCHAR* const ControlSet001 = WIDE("SYSTEM\\ControlSet001\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");
const WCHAR* const ControlSet002 = WIDE("SYSTEM\\ControlSet002\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");
const WCHAR* const CurrentControlSet =
    WIDE("SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}");

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
                        r.Controller(WIDE("0000"), Setting(ERROR_SUCCESS, REG_DWORD, One));
                        r.NotOpened(WIDE("Properties"), ERROR_ACCESS_DENIED);
                        r.Controller(WIDE("0001"), Setting(ERROR_FILE_NOT_FOUND, REG_NONE, {}));
                        r.NameTooLong(2);
                        r.Controller(WIDE("0003"), Setting(ERROR_SUCCESS, REG_DWORD, Zero));
                        r.Controller(WIDE("0004"), Setting(ERROR_SUCCESS, REG_DWORD, Eight));
                        r.Controller(WIDE("0005"), Setting(ERROR_SUCCESS, REG_SZ, TextOne));
                        r.Controller(WIDE("0006"), Setting(ERROR_SUCCESS, 0x1234, {0x01}));
                        r.Controller(WIDE("0007"), SettingState{ERROR_MORE_DATA, REG_BINARY, 1025, nullptr});
                        r.Controller(WIDE("0008"), SettingState{ERROR_OUTOFMEMORY, REG_NONE, 0, nullptr});
                        r.ListEnded(ERROR_NO_MORE_ITEMS);
                    },
                    "ControlSet001:\r\n"
                    "  controller, ForceHCResetOnResume REG_DWORD 0x1: 0000\r\n"
                    "  controller, ForceHCResetOnResume absent: 0001\r\n"
                    "  controller, ForceHCResetOnResume REG_DWORD 0x0: 0003\r\n"
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
                    "  ForceHCResetOnResume removed: \\u0009\\u007F\\u0085\\u2028\\u202E\\u2066x\r\n"}),
    [](const testing::TestParamInfo<ListingCase>& param) { return param.param.title; });

} // namespace
