// Framing of what the controller sends: report frames, error replies and the
// readable rendering of line traffic used by --verbose.
#ifndef ULOPR1_TOOLS_PRV1SIM_FRAME_H
#define ULOPR1_TOOLS_PRV1SIM_FRAME_H

#include <cstddef>
#include <string>
#include <string_view>

namespace prv1sim {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
inline constexpr char kCr = 0x0D;

// The longest frame a receiver accepts, STX to ETX inclusive.
inline constexpr std::size_t kMaxFrame = 98;

// STX, the two header characters, text, CR and (unless left out) ETX.
// The header must be two characters; the text must hold no STX, ETX or CR.
std::string BuildFrame(std::string_view header, std::string_view text,
                       bool with_etx = true);

// The text of an error reply, e.g. "ERROR 13".
std::string ErrorText(int code);

// Bytes as text with control characters spelled out: <STX>, <ETX>, <CR>,
// <LF>, other non-printable bytes as <xx> in hex.
std::string Show(std::string_view bytes);

}  // namespace prv1sim

#endif  // ULOPR1_TOOLS_PRV1SIM_FRAME_H
