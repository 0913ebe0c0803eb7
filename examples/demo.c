/* A walk through the whole interface against whatever unit answers to ID 0. */
#include <inttypes.h>
#include <stdio.h>

#include "brivant.h"

static int report(const char *what, int16_t rc) {
    printf("%-44s -> %d%s\n", what, rc, rc == RC_OK ? " (ok)" : "");
    return rc == RC_OK ? 0 : 1;
}

int main(void) {
    const int16_t id = 0;
    int failures = 0;
    int32_t counts[3];
    uint8_t status[3];
    int32_t count;
    uint8_t one_status;
    const uint32_t preset[2] = {0x12AB00FFu, 10u};
    int ch;

    if (report("Brivant_Device_Open(0)", Brivant_Device_Open(id)) != 0) {
        return 1;
    }
    failures += report("Brivant_InputInverter(0, ch 0, 0, 1, 0)", Brivant_InputInverter(id, 0, 0, 1, 0));
    failures += report("Brivant_OutputInverter(0, ch 0, 1, 0)", Brivant_OutputInverter(id, 0, 1, 0));
    failures += report("Brivant_OutputMode(0, ch 1, 0, 1)", Brivant_OutputMode(id, 1, 0, 1));
    failures += report("Brivant_SelClearEvent(0, ch 1, 2)", Brivant_SelClearEvent(id, 1, 2));
    failures += report("Brivant_SelMultiplier(0, ch 2, 1)", Brivant_SelMultiplier(id, 2, 1));
    failures += report("Brivant_SetLimitter(0, ch 2, 1, 1)", Brivant_SetLimitter(id, 2, 1, 1));
    failures += report("Brivant_ForcedClear(0, ch 0)", Brivant_ForcedClear(id, 0));
    failures += report("Brivant_RunStop(0, ch 0, run)", Brivant_RunStop(id, 0, 1));
    failures += report("Brivant_WritePresetData(0, ch 1, 0x12AB00FF 0xA)",
                       Brivant_WritePresetData(id, 1, preset));
    failures += report("Brivant_ReadCount(0)", Brivant_ReadCount(id, counts, status));
    for (ch = 0; ch < 3; ++ch) {
        printf("    channel %d: count %" PRId32 ", status 0x%02X\n", ch, counts[ch], status[ch]);
    }
    failures += report("Brivant_ReadCountCh(0, ch 2)", Brivant_ReadCountCh(id, 2, &count, &one_status));
    printf("    channel 2: count %" PRId32 ", status 0x%02X\n", count, one_status);
    report("Brivant_RunStop(0, ch 0, 2) (2 is out of range)", Brivant_RunStop(id, 0, 2));
    Brivant_Device_Close(id);
    printf("Brivant_Device_Close(0)\n");
    report("Brivant_ReadCount(0) after close", Brivant_ReadCount(id, counts, status));
    return failures == 0 ? 0 : 1;
}
