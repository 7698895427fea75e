/* Converts nothing: checks that the installed header and library link and answer. */
#include <stdio.h>
#include <string.h>

#include <imgconvert.h>

int main(void) {
  const char* json = NULL;
  if (strcmp(imgconvert_version(), "1.0.0") != 0) return 1;
  if (imgconvert_file("", "x.png", NULL, &json) != 0) return 1;
  if (strcmp(imgconvert_last_error(), "in/out must be non-empty") != 0) return 1;
  printf("host ok: %s\n", imgconvert_version());
  return 0;
}
