#include <signal.h>
#include <unistd.h>

#include "run/frm_copy.h"

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
  close_range(3, ~0U, 0);
  FrmCopy form;
  form.OnLoad();
}
