// Counts of what the simulator sent and received, for the exit summary and
// the --stats file.
#ifndef ULOPR1_TOOLS_PRV1SIM_STATS_H
#define ULOPR1_TOOLS_PRV1SIM_STATS_H

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace prv1sim {

struct Stats {
  // Frames counted once their last byte is on the line.
  std::uint64_t report_frames = 0;   // changes on their own
  std::uint64_t restart_frames = 0;  // points sent after a restart message
  std::uint64_t write_frames = 0;    // changes made by a write
  std::uint64_t error_frames = 0;    // ERROR nn replies
  std::uint64_t no_etx_frames = 0;   // reports sent without ETX (lost)

  std::uint64_t writes_received = 0;
  std::uint64_t writes_echoed = 0;  // faithful echoes sent
  std::uint64_t echoes_garbled = 0;
  std::uint64_t echoes_withheld = 0;
  std::uint64_t writes_applied = 0;  // value stored (changed or not)
  std::uint64_t writes_unknown_point = 0;
  std::uint64_t writes_bad_value = 0;

  std::uint64_t restart_messages = 0;
  std::uint64_t other_lines = 0;  // ignored when a restart text is set

  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::uint64_t noise_bytes = 0;
  std::uint64_t vanished = 0;

  struct PerAddress {
    std::uint64_t reports = 0;  // complete frames of any kind
    std::uint64_t lost = 0;     // frames sent without ETX
  };
  std::map<std::string, PerAddress> addresses;

  std::uint64_t Frames() const {
    return report_frames + restart_frames + write_frames + error_frames;
  }
};

// One line for the exit summary on stderr.
std::string Summary(const Stats &stats);

nlohmann::json ToJson(const Stats &stats);

}  // namespace prv1sim

#endif  // ULOPR1_TOOLS_PRV1SIM_STATS_H
