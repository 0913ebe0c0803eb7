#!/usr/bin/env bash
# Usage: check_exports.sh LIBRARY. Fails unless the library's dynamic symbol
# table defines exactly the 13 Brivant_ functions.
set -euo pipefail
expected="Brivant_Device_Close
Brivant_Device_Open
Brivant_ForcedClear
Brivant_InputInverter
Brivant_OutputInverter
Brivant_OutputMode
Brivant_ReadCount
Brivant_ReadCountCh
Brivant_RunStop
Brivant_SelClearEvent
Brivant_SelMultiplier
Brivant_SetLimitter
Brivant_WritePresetData"
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
if [ "$actual" != "$expected" ]; then
    echo "exports differ from the 13 expected:"
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
fi
echo "13 exports, as expected"
