// Build variant. The prompt build plays voice prompts and melodies, downloads
// the updater and reports its own start; the silent build does none of that.
// The value comes from the variant object linked into each program
// (app/variant_prompt.cpp or app/variant_silent.cpp), so the program code is
// compiled once and every difference reads `if (kSilentBuild)` in place.
#pragma once

extern const bool kSilentBuild;
