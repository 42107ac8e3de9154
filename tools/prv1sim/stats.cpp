#include "stats.h"

#include <sstream>

namespace prv1sim {

std::string Summary(const Stats &s) {
  std::ostringstream out;
  out << "prv1sim: summary: frames " << s.Frames() << " (report "
      << s.report_frames << ", restart " << s.restart_frames << ", write "
      << s.write_frames << ", error " << s.error_frames << ", no-etx "
      << s.no_etx_frames << "); writes " << s.writes_received << " received, "
      << s.writes_echoed << " echoed, " << s.echoes_garbled << " garbled, "
      << s.echoes_withheld << " withheld, " << s.writes_applied << " applied, "
      << s.writes_unknown_point << " unknown point, " << s.writes_bad_value
      << " bad value; restart messages " << s.restart_messages
      << "; other lines " << s.other_lines << "; bytes in " << s.bytes_in
      << ", out " << s.bytes_out << " (noise " << s.noise_bytes
      << "); vanished " << s.vanished;
  return out.str();
}

nlohmann::json ToJson(const Stats &s) {
  nlohmann::json points = nlohmann::json::object();
  for (const auto &[address, counts] : s.addresses) {
    points[address] = {{"reports", counts.reports}, {"lost", counts.lost}};
  }
  return {
      {"frames",
       {{"total", s.Frames()},
        {"report", s.report_frames},
        {"restart", s.restart_frames},
        {"write", s.write_frames},
        {"error", s.error_frames},
        {"no_etx", s.no_etx_frames}}},
      {"writes",
       {{"received", s.writes_received},
        {"echoed", s.writes_echoed},
        {"garbled", s.echoes_garbled},
        {"withheld", s.echoes_withheld},
        {"applied", s.writes_applied},
        {"unknown_point", s.writes_unknown_point},
        {"bad_value", s.writes_bad_value}}},
      {"restart_messages", s.restart_messages},
      {"other_lines", s.other_lines},
      {"bytes",
       {{"in", s.bytes_in}, {"out", s.bytes_out}, {"noise", s.noise_bytes}}},
      {"vanished", s.vanished},
      {"points", points},
  };
}

}  // namespace prv1sim
