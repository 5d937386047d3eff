# Detection for Intune and Configuration Manager: writes one line and exits 0 when UsbResetOnResume.exe
# has been applied, writes nothing otherwise. Applied: every instance of the USB class key in
# CurrentControlSet that the program counts as a host controller holds "ForceHCResetOnResume" of kind
# DWord and value 1. README.md states this rule and the program's side by side.
$classPath = 'SYSTEM\CurrentControlSet\Control\Class\{36FC9E60-C465-11CF-8056-444553540000}'

# The program's rule: the first byte of "Controller" as stored is 01; a value with no data or with
# more than 1,024 bytes is never a controller (the program does not read it). Strings are stored as
# UTF-16 with their terminating NUL (a multi-string with one more), and are not expanded.
function Test-Controller([Microsoft.Win32.RegistryKey] $instance) {
    $kind = $instance.GetValueKind('Controller')
    $data = $instance.GetValue('Controller', $null, 'DoNotExpandEnvironmentNames')
    switch ($kind) {
        'DWord' { $size = 4; $first = $data -band 0xFF }
        'QWord' { $size = 8; $first = $data -band 0xFF }
        { $_ -eq 'String' -or $_ -eq 'ExpandString' } {
            $size = 2 * ($data.Length + 1)
            $first = if ($data.Length) { [int]$data[0] -band 0xFF } else { 0 }
        }
        'MultiString' {
            $size = 2
            foreach ($s in $data) { $size += 2 * ($s.Length + 1) }
            $first = if ($data.Count -and $data[0].Length) { [int]$data[0][0] -band 0xFF } else { 0 }
        }
        default {
            # Binary, None and kinds .NET does not name all arrive as bytes.
            $size = $data.Length
            $first = if ($size) { $data[0] } else { 0 }
        }
    }
    $size -ge 1 -and $size -le 1024 -and $first -eq 1
}

$applied = $true
$class = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey($classPath)
if ($class) {
    $names = try { $class.GetSubKeyNames() } catch { @() }
    foreach ($name in $names) {
        # The program skips names too long for its 256-character buffer, and instances it cannot open.
        if ($name.Length -gt 255) { continue }
        $instance = try { $class.OpenSubKey($name) } catch { $null }
        if (-not $instance) { continue }
        # Each instance is judged alone: an error reading one says nothing about the others.
        $isController = try { Test-Controller $instance } catch { $false }
        if ($isController) {
            $set = try {
                $instance.GetValueKind('ForceHCResetOnResume') -eq 'DWord' -and
                    $instance.GetValue('ForceHCResetOnResume') -eq 1
            } catch { $false }
            if (-not $set) { $applied = $false }
        }
        $instance.Close()
    }
    $class.Close()
}
if ($applied) { 'UsbResetOnResume applied' }
exit 0
