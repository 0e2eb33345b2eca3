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

// Test faults for the next file opened for writing (one-shot): writes fail with EIO once
// more than `bytes` bytes were written, or the close fails with EIO.
void arm_write_fault_after(std::size_t bytes);
void arm_close_fault();
void clear_faults();

}  // namespace fs
}  // namespace platform
