// Process-wide services: the program's own path, the descriptor limit and the
// lock that keeps two runs out of one working directory.
#pragma once

#include <cstddef>

#include "platform/file.h"

namespace mirvale::platform {

// Writes the running executable's full path into out (zero-terminated, cut
// to capacity); falls back to argv0 when the system cannot tell.
void program_path(char* out, size_t capacity, const char* argv0);

// Raises the soft limit on open descriptors to the hard limit.
void raise_open_file_limit();

enum class LockResult { acquired, busy, unavailable };

// Takes an exclusive, non-blocking lock on the current directory, held while
// lock stays open. busy: another run holds it; unavailable: the directory
// cannot be opened for locking.
LockResult lock_current_directory(FileHandle& lock);

}  // namespace mirvale::platform
