// What the fuzz targets share: the library reads and writes paths, so each input goes to a
// file in a scratch directory of this process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

// Options of every conversion a target runs: a pixel limit that keeps one run in tens of
// megabytes, so libFuzzer's memory and time limits report real faults, not big pictures.
#define FUZZ_LIMIT "\"max_pixels\":4000000"

// The scratch directory, made on first use under $TMPDIR (or /tmp), removed at exit.
const std::string& fuzz_dir();

// Writes the bytes to `name` in the scratch directory and returns the path.
std::string fuzz_write(const std::string& name, const uint8_t* data, size_t size);

// Removes the named files (missing ones are fine), then aborts if anything else is left in
// the scratch directory: a failed conversion must take its temporary output with it. Files
// a target keeps for all its runs are named "keep-...".
void fuzz_clean(std::initializer_list<std::string> paths);

// One run of a header-probed engine: the input (named `in_odd` when the first byte is odd,
// else `in_even`) is converted to PNG, then probed, since the probe reads headers only.
void fuzz_convert_and_probe(const uint8_t* data, size_t size, const char* in_odd,
                            const char* in_even);
