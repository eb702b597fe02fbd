// The smallest client: creates a recorder, shows where its log goes, and
// deletes it.

#include <cstdio>

#include "api/Plenova.h"

int main(int argc, char** argv) {
  const char* folder = argc > 1 ? argv[1] : nullptr;
  IPlenova* recorder = CreatePlenova(folder);
  if (recorder == nullptr) {
    std::fprintf(stderr, "CreatePlenova failed\n");
    return 1;
  }
  std::printf("recorder created; layout interface at %p\n",
              static_cast<void*>(recorder->GetUpdateStreamInterface()));
  DeletePlenova(recorder);
  std::printf("recorder deleted\n");
  return 0;
}
