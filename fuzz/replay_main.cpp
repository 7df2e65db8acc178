// Replays a fuzz target over a corpus without libFuzzer: every file named on
// the command line, or every file inside a named folder, is fed once to
// LLVMFuzzerTestOneInput. Used by ctest so the targets always build and run.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replayFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "replay: cannot open %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "replay: no such path %s\n", argv[i]);
      return 1;
    }
    if (S_ISDIR(st.st_mode)) {
      DIR* d = opendir(argv[i]);
      if (d == nullptr) return 1;
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (!replayFile(std::string(argv[i]) + "/" + e->d_name)) return 1;
        ++files;
      }
      closedir(d);
    } else {
      if (!replayFile(argv[i])) return 1;
      ++files;
    }
  }
  std::printf("replayed %d inputs\n", files);
  return 0;
}
