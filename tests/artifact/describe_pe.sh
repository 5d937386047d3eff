#!/usr/bin/env bash
# Prints what Windows looks at when it loads the program: the PE header fields that decide where it
# runs, and every function it imports, one per line by DLL.
# usage: describe_pe.sh OBJDUMP PROGRAM.exe
set -euo pipefail
objdump=$1 program=$2

"$objdump" -p "$program" | awk '
    /file format/ { print "format", $NF }
    /^Time\/Date/ { sub(/^Time\/Date[ \t]+/, ""); print "Time/Date", $0 }
    /^(Magic|MajorOSystemVersion|MinorOSystemVersion|MajorSubsystemVersion|MinorSubsystemVersion|Subsystem|DllCharacteristics|ImageBase)[ \t]/ {
        name = $1; $1 = ""; sub(/^ +/, ""); print name, $0
    }
    /^\t+(DYNAMIC_BASE|NX_COMPAT|HIGH_ENTROPY_VA|TERMINAL_SERVICE_AWARE|NO_SEH|GUARD_CF)$/ { gsub(/\t/, ""); print "  flag", $0 }
    /DLL Name:/ { dll = $3 }
    /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ && dll != "" { print "import", dll, $3 }
    /^$/ && dll != "" && seen_imports { dll = "" }
    /Member-Name/ { seen_imports = 1 }
'
