// What the POSIX download and replace files share: the held download, and
// who may take a name out of a folder.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "common/system.h"
#include "common/text.h"

struct Download {
  int folder;  // the folder it was found in (O_PATH)
  Text name;   // its name there
  int fd;
  struct stat opened;
  // Its detached signature, as it was verified, and the file it was read
  // from (st_nlink 0: none).
  std::string signature;
  struct stat signature_file;
};

struct Replacement {
  int folder;    // the current executable's folder (O_PATH)
  Text name;     // the new program's temporary name there
  Text current;  // the current executable's name there
  int fd;
  uint64_t size;
  bool placed;
};

// Whether this process may replace or remove a name in the folder open at
// `folder_fd` (O_PATH will do): it may write the folder, the folder is
// neither immutable nor append-only and, where it is sticky, this process
// owns the folder or the file (`file`, or none where the name is free).
SystemError CheckFolderLetsRename(int folder_fd, const struct stat* file);

// EPERM where the file or folder open at `fd` is immutable or append-only
// (chattr +i, +a): no name of it, or in it, can then be replaced or removed,
// even by root. A file system without such attributes has none.
SystemError CheckNoFreezingAttributes(int fd);
