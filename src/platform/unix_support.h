// Helpers shared by the platform's Unix files only: opens that retry EINTR
// and tell a shortage of descriptors from other failures.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include "platform/file.h"

namespace mirvale::platform {

// openat with O_CLOEXEC added, retried after EINTR; the descriptor in out.
OpenStatus open_retrying_at(int dir_fd, const char* name, int flags, mode_t mode, FileHandle& out);

}  // namespace mirvale::platform
