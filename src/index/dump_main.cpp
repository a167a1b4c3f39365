// mirvale-dump: lists the records of an existing digest tree file, such as
// one left behind by an interrupted run, without creating or changing it.
#include "index/digest_tree.h"
#include "platform/console.h"
#include "platform/process.h"

namespace {

constexpr int kExitListed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Lists the tree file; its exit status.
int list_tree(mirvale::platform::Console& console, const char* file_name) {
  mirvale::DigestTree tree;
  if (!tree.open_existing_tree(file_name)) {
    console.print("Mirvale: Open Fail For '%s'\n", file_name);
    return kExitFailed;
  }
  bool whole = tree.dump_tree(console);
  tree.close_tree();
  if (whole) return kExitListed;
  console.print("Mirvale: Length Fail For '%s'\n", file_name);
  return kExitFailed;
}

}  // namespace

// Lists the tree file named by the one argument on standard output.
int main(int argc, char** argv) {
  if (!mirvale::platform::open_closed_standard_descriptors()) return kExitFailed;
  mirvale::platform::Console console;
  int status = kExitUsage;
  if (argc == 2)
    status = list_tree(console, argv[1]);
  else
    console.print("Mirvale: Use %s <tree file>\n", argc > 0 ? argv[0] : "mirvale-dump");
  console.flush();
  if (console.failed() && status == kExitListed) status = kExitFailed;
  return status;
}
