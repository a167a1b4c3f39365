// The directory walk: depth-first, in listing order, building every path in
// place in the scan path; each file is printed, stored, digested and indexed
// as it is met.
#pragma once

#include "digest/file_digest.h"
#include "index/digest_tree.h"
#include "platform/console.h"
#include "platform/listing.h"
#include "scan/name_store.h"
#include "scan/scan_path.h"

namespace mirvale {

class Walk {
 public:
  // What stopped the scan early, if anything.
  enum class Failure { none, name_store, digest_tree };

  Walk(ScanPath& path, NameStore& names, FileDigest& digest, DigestTree& tree,
       platform::Console& console)
      : path_(path), names_(names), digest_(digest), tree_(tree), console_(console) {}

  // Walks the directory named by the scan path and everything below it. The
  // scan path holds the same string again afterwards.
  void walk_directory() { walk_directory(nullptr); }
  Failure failure() const { return failure_; }

 private:
  void walk_directory(platform::Listing* parent);
  bool open_listing(platform::Listing& listing, platform::Listing* parent);
  void handle_file();

  ScanPath& path_;
  NameStore& names_;
  FileDigest& digest_;
  DigestTree& tree_;
  platform::Console& console_;
  Failure failure_ = Failure::none;
};

}  // namespace mirvale
