#ifndef PLENOVA_VERSION_H
#define PLENOVA_VERSION_H

/* The version of the headers a client compiles against. The libraries report
 * their own through IPlenova::GetVersion and plenova_version(); a client can
 * compare the two. Kept equal to the project version in CMakeLists.txt (the
 * configure step checks). Plain C so that both public headers include it. */

#define PLENOVA_VERSION_MAJOR 1
#define PLENOVA_VERSION_MINOR 0
#define PLENOVA_VERSION_PATCH 0
#define PLENOVA_VERSION_STRING "1.0.0"

/* major * 10000 + minor * 100 + patch */
#define PLENOVA_VERSION_NUMBER \
  (PLENOVA_VERSION_MAJOR * 10000 + PLENOVA_VERSION_MINOR * 100 + PLENOVA_VERSION_PATCH)

#endif /* PLENOVA_VERSION_H */
