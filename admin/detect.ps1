# Detection for Intune and Configuration Manager: writes one line and exits 0 when UsbResetOnResume.exe
# has been applied, writes nothing otherwise. Applied: the USB class key of CurrentControlSet does not
# exist, or it could be opened and listed to the end and every instance in it that the program counts
# as a host controller holds "ForceHCResetOnResume" as the program writes it, REG_DWORD 1. Whatever the
# script cannot read or judge counts as not applied, so the deployment tool runs the program again,
# which is harmless. README.txt ("Detection") states this rule and the program's side by side.
$classPath = 'SYSTEM\CurrentControlSet\Control\Class\{36FC9E60-C465-11CF-8056-444553540000}'

# Keys are opened with the rights the program asks for and no more (KEY_READ would add READ_CONTROL
# and KEY_NOTIFY): a key to be listed, to query values and enumerate subkeys; an instance, to query
# values. The check mode concerns .NET's own permission checks, not the registry's.
$check = [Microsoft.Win32.RegistryKeyPermissionCheck]::Default
$listRights = [System.Security.AccessControl.RegistryRights]'QueryValues, EnumerateSubKeys'
$readRights = [System.Security.AccessControl.RegistryRights]::QueryValues

# OpenSubKey answers null for every failure other than a refusal (which throws), not only for a key
# that does not exist. A key counts as missing only when the key above it, listed, lacks its name (or
# is missing itself); anything else is an error.
function Test-KeyMissing([string] $path) {
    $cut = $path.LastIndexOf('\')
    if ($cut -lt 0) {
        return [Microsoft.Win32.Registry]::LocalMachine.GetSubKeyNames() -notcontains $path
    }
    $parentPath = $path.Substring(0, $cut)
    $parent = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey($parentPath, $check, $listRights)
    if (-not $parent) { return Test-KeyMissing $parentPath }
    try { $parent.GetSubKeyNames() -notcontains $path.Substring($cut + 1) } finally { $parent.Close() }
}

# The program's rule: "Controller" holds 1 to 1,024 bytes and the first is 01, whatever the value's
# type. Answers $true or $false, or $null when .NET returns no data for the value's type (REG_LINK,
# the REG_RESOURCE types, type numbers it does not name), so the rule cannot be applied.
function Test-Controller([Microsoft.Win32.RegistryKey] $instance) {
    $data = $instance.GetValue('Controller', $null, 'DoNotExpandEnvironmentNames')
    if ($null -eq $data) {
        # GetValueKind throws for a value that is missing or cannot be read: no controller, as for
        # the program. A value it answers for is there, of a type .NET returns no data for.
        try { $null = $instance.GetValueKind('Controller') } catch { return $false }
        return $null
    }
    # Bytes as stored, whatever GetValueKind says: REG_BINARY, REG_NONE, REG_DWORD_BIG_ENDIAN, and a
    # REG_DWORD or REG_QWORD of more than 8 bytes.
    if ($data -is [byte[]]) {
        return $data.Length -ge 1 -and $data.Length -le 1024 -and $data[0] -eq 1
    }
    # A REG_DWORD or REG_QWORD of at most 8 bytes, as a number whose low byte is the first stored
    # (an empty one reads as 0).
    if ($data -is [int] -or $data -is [long]) {
        return ($data -band 0xFF) -eq 1
    }
    # Strings as .NET gives them, without the terminating NUL, which the size counts again (a
    # multi-string's final double NUL too); the first byte is the low byte of the first character.
    if ($data -is [string]) {
        $size = 2 * ($data.Length + 1)
        $first = if ($data.Length) { [int]$data[0] -band 0xFF } else { 0 }
    } elseif ($data -is [string[]]) {
        $size = 2
        foreach ($s in $data) { $size += 2 * ($s.Length + 1) }
        $first = if ($data.Count -and $data[0].Length) { [int]$data[0][0] -band 0xFF } else { 0 }
    } else {
        return $null
    }
    $size -le 1024 -and $first -eq 1
}

# The setting as the program writes it. .NET returns [int] only for a REG_DWORD of at most 4 bytes (a
# longer one comes back as [long] or as bytes, a REG_QWORD as [long]), so a byte array is never
# compared with 1.
function Test-Setting([Microsoft.Win32.RegistryKey] $instance) {
    $setting = $instance.GetValue('ForceHCResetOnResume', $null, 'DoNotExpandEnvironmentNames')
    $setting -is [int] -and $setting -eq 1
}

$applied = $true
try {
    $class = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey($classPath, $check, $listRights)
    if (-not $class) {
        # Without a USB class key the program has nothing to do; any other failure to open it is
        # an error.
        $applied = Test-KeyMissing $classPath
    } else {
        try {
            # GetSubKeyNames throws when the enumeration ends on an error.
            foreach ($name in $class.GetSubKeyNames()) {
                # A name holding a NUL cannot be opened by name (cut short, it names another key);
                # the program passes it over, and so does this.
                if ($name.IndexOf([char]0) -ge 0) { continue }
                # The program skips an instance it cannot open even for reading, and so does this. A
                # registry link is opened where it leads, as the program opens it.
                $instance = try { $class.OpenSubKey($name, $check, $readRights) } catch { $null }
                if (-not $instance) { continue }
                try {
                    # A controller, or an instance that cannot be judged, needs the setting.
                    $controller = Test-Controller $instance
                    if ($controller -ne $false -and -not (Test-Setting $instance)) { $applied = $false }
                } finally {
                    $instance.Close()
                }
            }
        } finally {
            $class.Close()
        }
    }
} catch {
    # The class key exists but could not be opened, listed to the end, or read.
    $applied = $false
}
if ($applied) { 'UsbResetOnResume applied' }
exit 0
