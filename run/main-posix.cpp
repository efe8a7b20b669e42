#include "run/frm_copy.h"

int main() {
  FrmCopy form;
  form.OnLoad();
}
