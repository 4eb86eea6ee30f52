#include "tools/cli/Journal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace velmor::cli {

std::uint64_t Journal::Hash(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string Journal::Key(std::size_t line, std::uint64_t hash) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%zu %016llx", line, static_cast<unsigned long long>(hash));
  return buf;
}

Journal::Journal(const std::string& path) : path_(path) {
  {
    std::ifstream in(path);
    if (!in && errno != ENOENT)
      throw std::runtime_error("--journal " + path + ": cannot be read: " + std::strerror(errno));
    std::string line;
    for (std::size_t n = 1; std::getline(in, line); ++n) {
      if (line.empty()) continue;
      std::size_t number = 0;
      unsigned long long hash = 0;
      char rest = 0;
      if (std::sscanf(line.c_str(), "%zu %llx%c", &number, &hash, &rest) != 2)
        throw std::runtime_error("--journal " + path + ":" + std::to_string(n) +
                                 ": not a journal line (\"<line> <hash>\"); is this the right file?");
      done_.insert(Key(number, hash));
    }
  }
  out_.open(path, std::ios::app);
  if (!out_) throw std::runtime_error("--journal " + path + ": cannot be written: " + std::strerror(errno));
}

bool Journal::Accepted(std::size_t line, std::string_view text) const {
  return done_.count(Key(line, Hash(text))) != 0;
}

void Journal::Record(std::size_t line, std::string_view text) {
  const std::string key = Key(line, Hash(text));
  if (!done_.insert(key).second) return;
  out_ << key << '\n' << std::flush;
}

}  // namespace velmor::cli
