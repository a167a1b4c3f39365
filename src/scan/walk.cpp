// The directory walk: one activation per directory level, each with its saved
// path length and its open listing.
#include "scan/walk.h"

#include <string_view>

namespace mirvale {

namespace {
constexpr std::string_view kSeparatorText{&kSeparator, 1};

bool is_dot_or_dot_dot(const platform::ListingEntry& entry) {
  std::string_view name(entry.name, entry.name_length);
  return name == "." || name == "..";
}
}  // namespace

// Opens the listing of the directory in the scan path, given as the path
// followed by the separator; the path is unchanged afterwards.
bool Walk::open_listing(platform::Listing& listing, platform::Listing* parent) {
  size_t length = path_.length();
  bool opened = path_.append(kSeparatorText) && listing.open_listing(path_.c_str(), parent);
  path_.cut(length);
  return opened;
}

void Walk::walk_directory(platform::Listing* parent) {
  const size_t saved_length = path_.length();
  platform::Listing listing;
  if (!open_listing(listing, parent)) return;
  platform::ListingEntry entry;
  while (failure_ == Failure::none) {
    if (listing.suspended()) {
      bool resumed = path_.append(kSeparatorText) && listing.resume(path_.c_str());
      path_.cut(saved_length);
      if (!resumed) break;
    }
    if (!listing.next_entry(entry)) break;
    if (is_dot_or_dot_dot(entry)) continue;
    // A path that would not fit the buffer is skipped, as the system would refuse it.
    if (!path_.append_entry({entry.name, entry.name_length})) continue;
    if (entry.attributes & platform::kAttributeDirectory)
      walk_directory(&listing);
    else
      handle_file();
    path_.cut(saved_length);
  }
  listing.close_listing();
  path_.cut(saved_length);
}

// Prints, stores, digests and indexes the file named by the scan path.
void Walk::handle_file() {
  console_.write_line(path_.view());
  if (!names_.append_name()) {
    failure_ = Failure::name_store;
    return;
  }
  // An unreadable file is listed and stored but indexed under no digest, so
  // that it can never be reported as a copy of anything.
  if (digest_.digest_file() && !insert_digest(tree_, digest_.result(), names_.next_name_offset())) {
    failure_ = Failure::digest_tree;
    return;
  }
  names_.advance_name_offset();
}

}  // namespace mirvale
