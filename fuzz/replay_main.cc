// Replays every file of a corpus folder through a fuzz target, so that the
// ordinary build keeps old crashes fixed.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    DIR *dir = opendir(argv[i]);
    if (dir == nullptr) continue;
    while (dirent *entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::string path = std::string(argv[i]) + "/" + entry->d_name;
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++count;
    }
    closedir(dir);
  }
  printf("replayed %d inputs\n", count);
  return 0;
}
