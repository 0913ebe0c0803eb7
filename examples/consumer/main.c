/* Reads unit 0 through the plain C interface. */
#include <stdio.h>

#include <brivant.h>

int main(void) {
    int32_t counts[3];
    uint8_t status[3];
    int16_t rc = Brivant_Device_Open(0);
    if (rc != RC_OK) {
        fprintf(stderr, "open failed with result %d\n", rc);
        return 1;
    }
    rc = Brivant_ReadCount(0, counts, status);
    Brivant_Device_Close(0);
    if (rc != RC_OK) {
        fprintf(stderr, "read failed with result %d\n", rc);
        return 1;
    }
    printf("C (headers %s): counts %d %d %d, status 0x%02X 0x%02X 0x%02X\n", BRIVANT_VERSION_STRING,
           (int)counts[0], (int)counts[1], (int)counts[2], status[0], status[1], status[2]);
    return 0;
}
