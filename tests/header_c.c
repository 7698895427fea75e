/* The public header must compile as plain C and link against the library. */
#include <stdio.h>
#include <string.h>

#include "imgconvert.h"

int main(void) {
  const char* v = imgconvert_version();
  if (strcmp(v, "1.0.0") != 0) return 1;
  if (imgconvert_last_error() == NULL) return 1;
  printf("%s\n", v);
  return 0;
}
