#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "run/frm_copy.h"

namespace {

// Every descriptor above the standard streams. close_range came with Linux
// 5.9; older kernels (RHEL 8's 4.18, say) are told by /proc/self/fd.
void CloseInheritedDescriptors() {
  if (close_range(3, ~0U, 0) == 0) return;
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return;
  std::vector<int> inherited;
  while (dirent* entry = readdir(listing)) {
    const int fd = atoi(entry->d_name);
    if (fd > 2 && fd != dirfd(listing)) inherited.push_back(fd);
  }
  closedir(listing);
  for (int fd : inherited) close(fd);
}

}  // namespace

int main() {
  // Past a file size limit a write must fail, and be refused as a full disk
  // is, rather than kill the tool before it has recorded anything. A writer
  // that opens the download just as its lease is tested breaks the lease
  // with SIGIO, which must not kill the tool either. The updater is started
  // with every signal at its default again.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGIO, SIG_IGN);
  // Nothing the caller left open is the tool's: a descriptor it inherited
  // that writes the download would keep the download from being taken.
  CloseInheritedDescriptors();
  FrmCopy form;
  form.OnLoad();
}
