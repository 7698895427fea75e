#include <cstdio>

#include "cli.h"

int cli_batch(int argc, char** argv) {
  (void)argc;
  (void)argv;
  fprintf(stderr, "imgconvert: batch is not available in this build\n");
  return 1;
}
