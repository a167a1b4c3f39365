// mirvale-dump: lists the records of an existing digest tree file, such as
// one left behind by an interrupted run, without creating or changing it.
#include "index/digest_tree.h"
#include "platform/console.h"

namespace {

constexpr int kExitListed = 0;
constexpr int kExitOpenFailed = 1;
constexpr int kExitUsage = 2;

}  // namespace

// Lists the tree file named by the one argument on standard output.
int main(int argc, char** argv) {
  mirvale::platform::Console console;
  if (argc != 2) {
    console.print("Mirvale: Use %s <tree file>\n", argc > 0 ? argv[0] : "mirvale-dump");
    console.flush();
    return kExitUsage;
  }
  mirvale::DigestTree tree;
  if (!tree.open_existing_tree(argv[1])) {
    console.print("Mirvale: Open Fail For '%s'\n", argv[1]);
    console.flush();
    return kExitOpenFailed;
  }
  tree.dump_tree(console);
  tree.close_tree();
  console.flush();
  return kExitListed;
}
