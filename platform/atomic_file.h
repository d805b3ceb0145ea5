// Files that must survive a power cut.
#pragma once

#include <jansson.h>
#include <stddef.h>

// Writes `len` bytes to `path` so that a reader only ever sees the old or the
// new file whole: a temporary file in the same folder, fsync, rename, and an
// fsync of the folder. A symbolic link at `path` (or a chain of them) stays:
// the file it ends at is the one replaced. 0, or -1 with the old file left as
// it was.
int write_file_atomic(const char* path, const char* data, size_t len);

// Puts the finished file `tmp` in place of `path` (same folder) for good:
// fsync, rename, and an fsync of the folder. 0, or -1 with `path` left as it
// was and `tmp` removed.
int replace_file_atomic(const char* tmp, const char* path);

// A JSON value as one line, written whole as above; 0 or -1.
int write_json_atomic(const char* path, const json_t* value);
