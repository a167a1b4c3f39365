// Entry point of mirvale: runs the tool and ends with its exit status once
// standard output has been flushed.
#include "driver/run.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  // With nowhere safe for the console text there is nowhere to say so either.
  if (!mirvale::platform::open_closed_standard_descriptors()) return mirvale::kExitFailed;
  mirvale::platform::Console console;
  int status = mirvale::run_mirvale(argc, argv, console);
  console.flush();
  // Text that did not reach standard output makes a completed run a failed
  // one; the usage status stands, for it says more.
  if (console.failed() && status == mirvale::kExitCompleted) status = mirvale::kExitFailed;
  return status;
}
