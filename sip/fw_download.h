// The firmware updater's download.
#pragma once

// Downloads `url` with wget into a temporary file beside the board file
// `fixed`, and puts it in place of `fixed`, executable, only after a
// complete download: wget empties its -O file before it connects, so a
// download that fails (no network, refused, cut short) left an empty
// updater. True when `fixed` was replaced; otherwise it is as it was.
bool fw_download(const char* url, const char* fixed);
