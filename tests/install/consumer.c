/* A host program built against an installed le_core. */
#include <le/le.h>
#include <stdio.h>

int main(void) {
  char out[256];
  if (le_host_kp_rows() != 21) return 1;
  if (le_bundle_resolve_handle("/", out, sizeof out) != 1) return 2;
  printf("consumer: le_host_kp_rows=%d resolve('/')=%s\n", le_host_kp_rows(), out);
  return 0;
}
