#include <signal.h>

#include "run/frm_copy.h"

int main() {
  // Past a file size limit a write must fail, and be refused as a full disk
  // is, rather than kill the tool before it has recorded anything. The
  // updater is started with every signal at its default again.
  signal(SIGXFSZ, SIG_IGN);
  FrmCopy form;
  form.OnLoad();
}
