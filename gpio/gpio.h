// GPIO port set-up and the bit-banged load-cell reader.
#pragma once

#include <stdint.h>

#include "include/gpio_state.h"

int bttn_open();         // descriptor of /dev/gpio/f, or -1
int bttn_close(int fd);  // 0
void ldcell_open();
void ldcell_close();

// Raw load-cell count (0 .. 1048575): the average of three consecutive frames
// carrying the 0x41 marker and agreeing within LDCELL_AGREE_COUNTS.
// LDCELL_NO_READING when the load cell is not open, or when LDCELL_MAX_DROPPED
// frames went by without the marker or without three that agree.
int32_t ldcell_read();

enum {
    LDCELL_NO_READING = -1,
    LDCELL_MAX_DROPPED = 30,  // frames one read drops before it gives up (about 3 s)
    // Three frames make a reading only when they agree this closely (about 3 g):
    // one frame garbled with its marker intact must not make a reading.
    LDCELL_AGREE_COUNTS = 400,
    LDCELL_READY_TIMEOUT_MS = 2000  // wait for the data line after open
};

// One frame's contribution: the 20-bit reading, or -1 without the marker.
int32_t ldcell_frame_value(uint32_t word);
