// Replays a fuzz target over a corpus without libFuzzer: every file named on
// the command line, or every file inside a named folder, is fed once to
// LLVMFuzzerTestOneInput. Used by ctest so the targets always build and run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replayFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot open %s\n", path.c_str());
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (!std::filesystem::exists(argv[i], error)) {
      std::fprintf(stderr, "replay: no such path %s\n", argv[i]);
      return 1;
    }
    if (!std::filesystem::is_directory(argv[i])) {
      if (!replayFile(argv[i])) return 1;
      ++files;
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
      if (entry.path().filename().string()[0] == '.') continue;
      if (!replayFile(entry.path())) return 1;
      ++files;
    }
    if (error) return 1;
  }
  std::printf("replayed %d inputs\n", files);
  return 0;
}
