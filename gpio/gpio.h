// GPIO port set-up and the bit-banged load-cell reader.
#pragma once

#include <stdint.h>

#include "include/gpio_state.h"

int bttn_open();         // descriptor of /dev/gpio/f, or -1
int bttn_close(int fd);  // 0
void ldcell_open();
void ldcell_close();

// Raw load-cell count (0 .. 1048575): the average of three frames carrying
// the 0x41 marker. LDCELL_NO_READING when the load cell is not open or keeps
// sending frames without the marker.
int32_t ldcell_read();

enum {
    LDCELL_NO_READING = -1,
    LDCELL_MAX_DROPPED = 30,        // markerless frames one read tolerates (about 3 s)
    LDCELL_READY_TIMEOUT_MS = 2000  // wait for the data line after open
};

// One frame's contribution: the 20-bit reading, or -1 without the marker.
int32_t ldcell_frame_value(uint32_t word);
