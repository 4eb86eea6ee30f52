// A main() for fuzz entry points built without libFuzzer: every regular file
// named on the command line, or found (recursively) under a directory named
// there, is passed once to LLVMFuzzerTestOneInput. Files whose names start
// with '.' are skipped (placeholders that keep empty folders in git).
//
// Exit status: 0 when every input returned; a crash, a sanitizer report or an
// abort() in the harness ends the process as it would under the fuzzer. A
// missing path is an error (2), so a mistyped corpus folder cannot pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

bool hidden(const fs::path& p) { return p.filename().string().rfind('.', 0) == 0; }

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      for (const auto& e : fs::recursive_directory_iterator(arg))
        if (e.is_regular_file() && !hidden(e.path())) inputs.push_back(e.path());
    } else if (fs::is_regular_file(arg, ec)) {
      inputs.push_back(arg);
    } else {
      std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  std::sort(inputs.begin(), inputs.end());  // a stable order makes a failure repeatable
  for (const auto& p : inputs) {
    std::ifstream f(p, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay: %s (%zu octets)\n", p.string().c_str(), bytes.size());
    // A copy of exactly the input's size, so reads past its end are caught
    // by a sanitizer or valgrind as they would be under the fuzzer.
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
  }
  std::fprintf(stderr, "replay: %zu inputs ran\n", inputs.size());
  return 0;
}
