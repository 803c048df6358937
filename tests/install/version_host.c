/* A host built against the installed tree. The engine's header comes first, so that it is seen
 * to compile on its own in C. */
#include <tallowmarch/core.h>

#include <stdio.h>
#include <string.h>

int main(void) {
  const char* version = Tallowmarch_GetAppVersion();
  puts(version);
  return strcmp(version, "0.1.1") == 0 ? 0 : 1;
}
