// Process-wide services: the standard descriptors, the program's own path,
// the descriptor limit and the lock that keeps two runs out of one working
// directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"

namespace mirvale::platform {

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is
// closed, so that no file the program opens later can take one of them and
// receive its console text. Called first thing; false when /dev/null cannot
// be opened for a closed descriptor.
bool open_closed_standard_descriptors();

// Writes the running executable's full path into out (zero-terminated, cut
// to capacity); falls back to argv0 when the system cannot tell.
void program_path(char* out, size_t capacity, const char* argv0);

// Raises the soft limit on open descriptors to the hard limit.
void raise_open_file_limit();
// Grows the descriptor table to hold count descriptors. Called before any
// thread starts: a table grown while threads share it makes the kernel wait
// out a grace period first (some milliseconds), and every thread that opens
// a file meanwhile waits with it. Only advice: a refusal changes nothing.
void reserve_descriptor_table(std::uint64_t count);
// The soft limit on open descriptors; 0 when it cannot be learnt.
std::uint64_t open_file_limit();
// How many of the descriptors numbered below limit are open: those an open
// cannot return, since it takes the lowest free number below the limit.
std::uint64_t open_descriptor_count(std::uint64_t limit);

// The number of processors online, at least 1.
unsigned online_processor_count();

// The value of the environment variable name, or null when it is not set.
const char* environment_value(const char* name);

// True when standard error is a terminal.
bool standard_error_is_terminal();
// Writes size bytes of text to standard error at once, unbuffered; what
// cannot be written is dropped.
void write_standard_error(const char* text, std::size_t size);
// Milliseconds on a clock that only goes forward.
std::uint64_t monotonic_milliseconds();

enum class LockResult { acquired, busy, unavailable };

// Takes an exclusive, non-blocking lock on the current directory, held while
// lock stays open. busy: another run holds it; unavailable: the directory
// cannot be opened for locking.
LockResult lock_current_directory(FileHandle& lock);

}  // namespace mirvale::platform
