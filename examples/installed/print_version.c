/* Prints the library's version and the headers' version; fails when they
 * differ. */
#include <stdio.h>
#include <string.h>

#include <plenova/plenova_c.h>

int main(void) {
  printf("plenova %s (headers %s)\n", plenova_version(), PLENOVA_VERSION_STRING);
  return strcmp(plenova_version(), PLENOVA_VERSION_STRING) == 0 ? 0 : 1;
}
