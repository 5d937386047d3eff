// UsbResetOnResumeCheck.exe: lists, per control set, the host controllers UsbResetOnResume.exe writes
// with their ForceHCResetOnResume as it is now, and the instances it passed over. Reads only.
// Exit status 0 when every controller in CurrentControlSet holds REG_DWORD 1 and its class key could
// be looked through, 1 when not, 2 when the listing could not be written whole.
#include "companions.h"

int wmain(int, wchar_t**)
{
    StandardOutput output;
    return RunCheck(output);
}
