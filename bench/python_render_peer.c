/* The C side of python_bench.py: the same le_render_drive_rgba calls the
 * Python binding makes, timed here. Reads a frame count per line on standard
 * input, renders that many drive entries (walking on from the last) into one
 * buffer and answers with the wall-clock and the process CPU milliseconds per
 * frame, and the wall-clock milliseconds of the fastest frame (CPU time and
 * the fastest frame leave out most of the waits a loaded machine adds).
 *   python_render_peer BUNDLE MODEL_KEY THREADS */
#define _POSIX_C_SOURCE 199309L
#include <le/le.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double nowMs(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: python_render_peer BUNDLE MODEL_KEY THREADS\n");
    return 2;
  }
  le_ctx* ctx = le_create(argv[1], argv[2], atoi(argv[3]), NULL);
  if (!ctx) {
    fprintf(stderr, "python_render_peer: %s\n", le_last_error());
    return 1;
  }
  const size_t bytes = (size_t)le_width(ctx) * (size_t)le_height(ctx) * 4;
  unsigned char* out = malloc(bytes);
  const int entries = le_drive_frames(ctx);
  int next = 0, rc = 0, n = 0;
  while (out && entries > 0 && scanf("%d", &n) == 1 && n > 0) {
    const double t0 = nowMs(CLOCK_MONOTONIC), c0 = nowMs(CLOCK_PROCESS_CPUTIME_ID);
    double fastest = 1e300;
    for (int k = 0; k < n; ++k, next = (next + 1) % entries) {
      const double f0 = nowMs(CLOCK_MONOTONIC);
      if (!le_render_drive_rgba(ctx, next, out, bytes)) {
        fprintf(stderr, "python_render_peer: %s\n", le_last_error());
        rc = 1;
        break;
      }
      const double f = nowMs(CLOCK_MONOTONIC) - f0;
      if (f < fastest) fastest = f;
    }
    if (rc) break;
    printf("%.6f %.6f %.6f\n", (nowMs(CLOCK_MONOTONIC) - t0) / n, (nowMs(CLOCK_PROCESS_CPUTIME_ID) - c0) / n,
           fastest);
    fflush(stdout);
  }
  free(out);
  le_destroy(ctx);
  return out ? rc : 1;
}
