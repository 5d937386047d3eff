// Makes the registry shapes that .reg text cannot express, for the end-to-end test:
//   link PATH TARGET          HKLM\PATH becomes a registry link to HKLM\TARGET (which may not exist:
//                             then PATH cannot be opened at all)
//   long-name KEY PREFIX      a controller instance below HKLM\KEY whose name is PREFIX padded to 256
//                             characters, one more than the program's name buffer holds with its NUL
//   value KEY NAME TYPE HEX   HKLM\KEY (created if need be) gets the value NAME of any type number
//                             (decimal) with the bytes spelled in HEX ("" for none), which reg.exe
//                             cannot write for every type and size
//   without-output PROGRAM    runs PROGRAM with no standard handles at all, as a deployment agent may
//                             start it, and exits with its exit status
//   access KEY SDDL...        each HKLM\KEY gets the access control list of its SDDL string (such as
//                             "D:P(A;;KR;;;WD)": everyone may read, and nothing more). The running
//                             wineserver enforces it but never writes it to the prefix, so it lasts
//                             only while that server runs: keep it running (wineserver -p).
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <string>

namespace {

bool Succeeded(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "registry_helper: %s failed with status %ld\n", what, static_cast<long>(status));
    }
    return status == ERROR_SUCCESS;
}

bool CreateLink(const std::wstring& path, const std::wstring& target)
{
    HKEY link = nullptr;
    if (!Succeeded(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                   REG_OPTION_CREATE_LINK | REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_CREATE_LINK,
                                   nullptr, &link, nullptr),
                   "RegCreateKeyExW (link)")) {
        return false;
    }
    // The target is named in the kernel's namespace, its length given without the terminating NUL.
    const std::wstring kernelTarget = L"\\Registry\\Machine\\" + target;
    const LSTATUS status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                          reinterpret_cast<const BYTE*>(kernelTarget.c_str()),
                                          static_cast<DWORD>(kernelTarget.size() * sizeof(wchar_t)));
    RegCloseKey(link);
    return Succeeded(status, "RegSetValueExW (SymbolicLinkValue)");
}

bool CreateLongNamedController(const std::wstring& key, const std::wstring& prefix)
{
    const std::wstring name = prefix + std::wstring(256 - prefix.size(), L'x');
    HKEY instance = nullptr;
    if (!Succeeded(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key + L"\\" + name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, &instance, nullptr),
                   "RegCreateKeyExW (long name)")) {
        return false;
    }
    const BYTE controller = 0x01;
    const LSTATUS status = RegSetValueExW(instance, L"Controller", 0, REG_BINARY, &controller, 1);
    RegCloseKey(instance);
    return Succeeded(status, "RegSetValueExW (Controller)");
}

bool SetAnyValue(const std::wstring& key, const std::wstring& name, const std::wstring& type, const std::wstring& hex)
{
    std::basic_string<BYTE> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    HKEY opened = nullptr;
    if (!Succeeded(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                                   nullptr),
                   "RegCreateKeyExW (value)")) {
        return false;
    }
    const LSTATUS status = RegSetValueExW(opened, name.c_str(), 0, static_cast<DWORD>(std::stoul(type)), bytes.data(),
                                          static_cast<DWORD>(bytes.size()));
    RegCloseKey(opened);
    return Succeeded(status, "RegSetValueExW (value)");
}

// Standard handles given as none: the child's GetStdHandle answers NULL, which a console's
// redirection (">&-", NUL) never gives.
int RunWithoutOutput(const std::wstring& program)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + program + L"\"";
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                       nullptr, &startup, &process) == 0) {
        std::fprintf(stderr, "registry_helper: could not start the program (error %lu)\n", GetLastError());
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 255;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

bool SetAccess(const std::wstring& key, const std::wstring& sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return Succeeded(static_cast<LSTATUS>(GetLastError()), "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    }
    // WRITE_DAC is all it takes: the key's owner has it whatever the list grants, so a key can be
    // opened up again by the same means.
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, WRITE_DAC, &opened);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(opened, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(opened);
    }
    LocalFree(descriptor);
    return Succeeded(status, "RegSetKeySecurity");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wstring(argv[1]) == L"link") {
        return CreateLink(argv[2], argv[3]) ? 0 : 1;
    }
    if (argc == 4 && std::wstring(argv[1]) == L"long-name" && std::wstring(argv[3]).size() < 256) {
        return CreateLongNamedController(argv[2], argv[3]) ? 0 : 1;
    }
    if (argc == 6 && std::wstring(argv[1]) == L"value" && std::wstring(argv[5]).size() % 2 == 0) {
        return SetAnyValue(argv[2], argv[3], argv[4], argv[5]) ? 0 : 1;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"without-output") {
        return RunWithoutOutput(argv[2]);
    }
    if (argc >= 4 && argc % 2 == 0 && std::wstring(argv[1]) == L"access") {
        for (int i = 2; i < argc; i += 2) {
            if (!SetAccess(argv[i], argv[i + 1])) {
                return 1;
            }
        }
        return 0;
    }
    std::fprintf(stderr, "usage: registry_helper link PATH TARGET | long-name KEY PREFIX | value KEY NAME TYPE HEX"
                         " | without-output PROGRAM | access KEY SDDL [KEY SDDL...]\n");
    return 2;
}
