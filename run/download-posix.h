// What the POSIX download and replace files share: the held download, and
// who may take a name out of a folder.
#pragma once

#include <sys/stat.h>

#include "common/system.h"
#include "common/text.h"

struct Download {
  Text path;
  int fd;
  struct stat opened;
};

// Whether this process may replace or remove a name in `folder`: it may
// write the folder and, where the folder is sticky, owns the folder or the
// file (`file`, or none where the name is free).
SystemError CheckFolderLetsRename(const Text& folder, const struct stat* file);
