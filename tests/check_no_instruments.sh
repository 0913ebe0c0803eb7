#!/usr/bin/env bash
# Usage: check_no_instruments.sh LIBRARY. Fails unless the library's symbol
# table holds the 13 Brivant_ functions and the simulated demo units, and
# none of the test instrumentation: the controls of sim.h, the call record,
# the fault switches, the held tally, the instruments they live in.
set -euo pipefail
symbols=$(nm -C --defined-only "$1")

status=0
for name in Brivant_Device_Close Brivant_Device_Open Brivant_ForcedClear Brivant_InputInverter \
    Brivant_OutputInverter Brivant_OutputMode Brivant_ReadCount Brivant_ReadCountCh \
    Brivant_RunStop Brivant_SelClearEvent Brivant_SelMultiplier Brivant_SetLimitter \
    Brivant_WritePresetData 'brivant::sim::demoUnits()'; do
    # A stripped library would pass the check below by showing nothing.
    if ! grep -qF " $name" <<<"$symbols"; then
        echo "missing from the symbol table: $name"
        status=1
    fi
done

controls='opName|holdClock|advanceClock|reset|addUnit|getUnit|setUnit|unitCount|pathOf'
controls+='|setEnumerationOrder|setFaults|getFaults|calls|transfers|clearCalls|setRecording'
controls+='|callCount|held|badReleases|interleavedExchanges|maxReadsInFlight|instruments'
types='Faults|Held|Call|Unit|UnitFaults|Instruments'
pattern="brivant::sim::(($controls)(\[abi:[^]]*\])?\(|($types)\b)"
if found=$(grep -E "$pattern" <<<"$symbols"); then
    echo "test instrumentation found in $1:"
    sed 's/^/  /' <<<"$found" | head -20
    status=1
fi
[ $status -eq 0 ] && echo "13 functions and the demo units, no test instrumentation"
exit $status
