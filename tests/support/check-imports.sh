#!/usr/bin/env bash
# Fails when a Windows program we ship imports a DLL outside the list below:
# the DLLs that every Windows from 7 on has in its system folder. Anything
# else would have to sit beside the program (where a planted copy would be
# loaded too) or the program would not start at all.
#   check-imports.sh OBJDUMP PROGRAM.exe...
set -u
objdump=$1; shift
allowed="advapi32.dll bcrypt.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll mpr.dll ole32.dll shell32.dll
user32.dll uxtheme.dll version.dll wininet.dll"
status=0
for program in "$@"; do
    imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
    if [ -z "$imports" ]; then
        echo "$program: no import table found" >&2
        status=1
        continue
    fi
    for dll in $imports; do
        case " $(echo $allowed) " in
            *" $dll "*) ;;
            *) echo "$program imports $dll, which Windows does not have" >&2; status=1 ;;
        esac
    done
    echo "$program imports: $(echo $imports)"
done
exit $status
