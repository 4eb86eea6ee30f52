// send --journal FILE: which input lines of a --file run the SMSC accepted,
// so that a rerun after an interrupt sends only the rest.
//
// Format: one line per accepted input line, "<line number> <hash>", where
// the hash (FNV-1a 64, hex) is of the input line's text: a line that was
// edited since, or a journal kept for another file, does not match and is
// sent again rather than skipped by mistake. Lines are appended and flushed
// as each acceptance arrives, so the file survives SIGKILL up to the last
// response read.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <unordered_set>

namespace velmor::cli {

class Journal {
 public:
  // Reads what an earlier run recorded (none when the file does not exist)
  // and opens it for appending. Throws std::runtime_error with a one-line
  // reason naming the file when it cannot be read or written, or when a
  // line in it is not "<number> <hex>".
  explicit Journal(const std::string& path);

  bool Accepted(std::size_t line, std::string_view text) const;
  void Record(std::size_t line, std::string_view text);
  std::size_t size() const { return done_.size(); }

  static std::uint64_t Hash(std::string_view text);

 private:
  static std::string Key(std::size_t line, std::uint64_t hash);
  std::string path_;
  std::unordered_set<std::string> done_;
  std::ofstream out_;
};

}  // namespace velmor::cli
