// Entry point of mirvale: runs the tool and ends with its exit status once
// standard output has been flushed.
#include "driver/run.h"

int main(int argc, char** argv) {
  mirvale::platform::Console console;
  int status = mirvale::run_mirvale(argc, argv, console);
  console.flush();
  return status;
}
