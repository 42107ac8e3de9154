// Telnet with the COM-port-control option, as RFC 2217 device servers speak
// it: the decoder takes commands out of the received stream, the encoders
// build what the client sends. No system calls.
#ifndef ULOPR1_PLATFORM_POSIX_TELNET_H
#define ULOPR1_PLATFORM_POSIX_TELNET_H

#include <cstddef>
#include <cstdint>

#include "os.h"

namespace ulo::os {

constexpr BYTE kIac = 255;
constexpr BYTE kDont = 254;
constexpr BYTE kDo = 253;
constexpr BYTE kWont = 252;
constexpr BYTE kWill = 251;
constexpr BYTE kSb = 250;
constexpr BYTE kSe = 240;
constexpr BYTE kBinary = 0;
constexpr BYTE kSuppressGoAhead = 3;
constexpr BYTE kComPort = 44;

// COM-port-control commands the client sends; the server answers each
// with the command plus 100.
constexpr BYTE kSetBaudRate = 1;
constexpr BYTE kSetDataSize = 2;
constexpr BYTE kSetParity = 3;
constexpr BYTE kSetStopSize = 4;

enum class Agreement : BYTE { kPending, kAccepted, kRefused };

struct TelnetDecoder {
  enum class State : BYTE { kData, kCommand, kOption, kSub, kSubIac };
  State state = State::kData;
  BYTE verb = 0;         // the WILL, WONT, DO or DONT whose option comes next
  BYTE sub[8] = {};      // the subnegotiation's first bytes
  DWORD sub_length = 0;  // how many of them sub holds
  // What the server said to our WILL COM-PORT-OPTION.
  Agreement com_port = Agreement::kPending;
  // Bit n: the server answered COM-PORT-OPTION command n.
  uint32_t answered = 0;
  // Refusals owed to the server for options it asked for that we do not
  // speak, each option once; the connection's owner sends and clears them.
  BYTE replies[48] = {};
  DWORD reply_length = 0;
  uint8_t refused[32] = {};  // bit per option already refused
};

// Decodes count received bytes in place: the data bytes (a doubled IAC
// as one 255) move to the front, in order; returns how many. Commands, split
// anywhere between calls, update the decoder; malformed ones are dropped.
DWORD DecodeTelnet(TelnetDecoder &decoder, BYTE *bytes, DWORD count);

// Writes data to out (2 * count bytes) with every IAC doubled; returns the
// length written.
DWORD EscapeIac(const BYTE *data, DWORD count, BYTE *out);

// What a client sends first: WILL and DO BINARY, WILL and DO
// SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION.
DWORD TelnetGreeting(BYTE *out);

// The line settings of dcb as COM-PORT-OPTION commands (baud rate, data
// size, parity, stop size) in out (at least kSettingsSize bytes); returns
// the length.
constexpr size_t kSettingsSize = 64;
DWORD ComPortSettings(const DCB &dcb, BYTE *out);

// The answers ComPortSettings asks for, as bits of TelnetDecoder::answered.
constexpr uint32_t kSettingsAnswered =
    (1u << kSetBaudRate) | (1u << kSetDataSize) | (1u << kSetParity) |
    (1u << kSetStopSize);

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_TELNET_H
