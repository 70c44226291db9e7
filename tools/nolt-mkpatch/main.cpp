// nolt-mkpatch RELEASE_DIR OUTPUT_DIR: makes the manifest and the packages of a release.
#include <iostream>

#include "tools/nolt-mkpatch/MkPatch.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: nolt-mkpatch RELEASE_DIR OUTPUT_DIR\n"
                 "Packs every file below RELEASE_DIR into OUTPUT_DIR as FILE.cab and writes\n"
                 "OUTPUT_DIR/" << mkpatch::kManifestName << " listing each file with its checksum.\n";
    return mkpatch::kExitUsage;
  }
  return mkpatch::MakePatch(argv[1], argv[2], std::cout, std::cerr);
}
