// File access seam of the firmware: every open and remove of the instrument's code goes
// through here. On the simulated board this passes straight to the host's files; tests can
// arm a write fault on the next file opened for writing.
#pragma once

#include <cstddef>
#include <cstdio>

namespace platform {
namespace fs {

std::FILE* open(const char* path, const char* mode);
int remove(const char* path);
// Flushes a file opened for writing and makes its contents durable on the flash (the
// flash file system's own flush on the board). 0, or -1 with errno set.
int fsync(std::FILE* file);
// Renames a file over another of the same folder in one step; 0, or -1 with errno set.
int rename(const char* from, const char* to);
// Makes the entries of a folder (a rename in it) durable; 0, or -1 with errno set.
int sync_dir(const char* path);

// Test faults for the next file opened for writing (one-shot): writes fail with EIO once
// more than `bytes` bytes were written, or the close fails with EIO.
void arm_write_fault_after(std::size_t bytes);
void arm_close_fault();
void clear_faults();

}  // namespace fs
}  // namespace platform
