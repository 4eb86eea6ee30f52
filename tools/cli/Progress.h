// Progress of a bulk send on stderr: on a terminal one line redrawn in place
// (bar, done/total, rate, errors, ETA); otherwise a plain line every few
// seconds, so a log file stays readable. Hand-written: no Debian library
// does this small job without pulling in a terminal framework.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

namespace velmor::cli {

class Progress {
 public:
  Progress(std::ostream& err, bool terminal, bool enabled) : err_(err), terminal_(terminal), enabled_(enabled) {}

  // Called often; draws at most every 200 ms on a terminal, every 5 s
  // otherwise, and always when final (which also ends the terminal line).
  void Update(std::uint64_t done, std::uint64_t total, std::uint64_t errors,
              std::chrono::steady_clock::duration elapsed, bool final) {
    if (!enabled_ || finished_) return;
    const auto now = std::chrono::steady_clock::now();
    const auto every = terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
    if (!final && drawn_once_ && now - last_ < every) return;
    if (!final && !terminal_ && !drawn_once_ && elapsed < every) return;
    last_ = now;
    drawn_once_ = true;
    const double secs = std::chrono::duration<double>(elapsed).count();
    const double rate = secs > 0 ? done / secs : 0;
    const double eta = rate > 0 ? (total - done) / rate : 0;
    char stats[160];
    std::snprintf(stats, sizeof stats, "%llu/%llu  %.0f msg/s  %llu errors  ETA %s", (unsigned long long)done,
                  (unsigned long long)total, rate, (unsigned long long)errors, Duration(final ? 0 : eta).c_str());
    if (terminal_) {
      constexpr int kWidth = 30;
      const int filled = total ? static_cast<int>(kWidth * done / total) : kWidth;
      std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] ";
      err_ << "\r\033[K" << bar << stats << (final ? "\n" : "") << std::flush;
    } else {
      err_ << "progress: " << stats << std::endl;
    }
    if (final) finished_ = true;
  }

 private:
  static std::string Duration(double s) {
    char buf[32];
    if (s < 60)
      std::snprintf(buf, sizeof buf, "%.0fs", s);
    else
      std::snprintf(buf, sizeof buf, "%dm%02ds", int(s) / 60, int(s) % 60);
    return buf;
  }
  std::ostream& err_;
  bool terminal_, enabled_;
  bool drawn_once_ = false, finished_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace velmor::cli
