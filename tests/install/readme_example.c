#include <le/le.h>
#include <stdio.h>
#include <stdlib.h>

/* Renders frame 0 of a bundle's own motion: ./example BUNDLE MODEL_KEY */
int main(int argc, char** argv) {
  le_ctx* ctx = argc > 2 ? le_create(argv[1], argv[2], 0, NULL) : NULL;
  if (!ctx) { fprintf(stderr, "%s\n", argc > 2 ? le_last_error() : "usage: example BUNDLE KEY"); return 1; }
  size_t bytes = (size_t)le_width(ctx) * le_height(ctx) * 4; /* RGBA */
  unsigned char* rgba = malloc(bytes);
  int ok = rgba && le_render_drive_rgba(ctx, 0, rgba, bytes);
  if (ok) printf("frame 0: %dx%d\n", le_width(ctx), le_height(ctx));
  else fprintf(stderr, "%s\n", rgba ? le_last_error() : "out of memory");
  free(rgba);
  le_destroy(ctx);
  return ok ? 0 : 1;
}
