// The digest of one file's whole content, read in 64 KiB chunks.
#pragma once

#include "digest/md5.h"
#include "scan/scan_path.h"
#include "types.h"

namespace mirvale {

class FileDigest {
 public:
  FileDigest(const ScanPath& path, IoBuffer& io) : path_(path), io_(io) {}

  // Digests the file named by the scan path. True when the file was opened
  // and read to its end; false when it is unreadable, and result() is then
  // all zero.
  bool digest_file();
  // The last digest; overwritten by the next digest_file.
  const Md5Digest& result() const { return file_digest_result_; }

 private:
  const ScanPath& path_;
  IoBuffer& io_;
  MD5_CTX file_digest_context_{};   // zero between calls
  Md5Digest file_digest_result_{};  // the last digest
};

}  // namespace mirvale
