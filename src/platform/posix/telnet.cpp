#include "telnet.h"

#include <cstring>

namespace ulo::os {
namespace {

using State = TelnetDecoder::State;

bool OursToOffer(BYTE option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

bool OursToAccept(BYTE option) {
  return option == kBinary || option == kSuppressGoAhead;
}

void Refuse(TelnetDecoder &decoder, BYTE verb, BYTE option) {
  uint8_t bit = static_cast<uint8_t>(1u << (option % 8));
  if ((decoder.refused[option / 8] & bit) ||
      decoder.reply_length + 3 > sizeof decoder.replies) {
    return;
  }
  decoder.refused[option / 8] |= bit;
  BYTE *reply = decoder.replies + decoder.reply_length;
  reply[0] = kIac;
  reply[1] = verb;
  reply[2] = option;
  decoder.reply_length += 3;
}

// Our own offers went out first, so the server's DO or WILL of them is its
// answer; any other option it asks for is refused once.
void Negotiate(TelnetDecoder &decoder, BYTE verb, BYTE option) {
  if (option == kComPort && (verb == kDo || verb == kDont)) {
    decoder.com_port = verb == kDo ? Agreement::kAccepted : Agreement::kRefused;
  }
  if (verb == kDo && !OursToOffer(option)) Refuse(decoder, kWont, option);
  if (verb == kWill && !OursToAccept(option)) Refuse(decoder, kDont, option);
}

void EndSubnegotiation(TelnetDecoder &decoder) {
  if (decoder.sub_length >= 2 && decoder.sub[0] == kComPort &&
      decoder.sub[1] > 100 && decoder.sub[1] < 100 + 32) {
    decoder.answered |= 1u << (decoder.sub[1] - 100);
  }
}

void KeepSub(TelnetDecoder &decoder, BYTE byte) {
  if (decoder.sub_length < sizeof decoder.sub) {
    decoder.sub[decoder.sub_length++] = byte;
  }
}

}  // namespace

DWORD DecodeTelnet(TelnetDecoder &decoder, BYTE *bytes, DWORD count) {
  DWORD data = 0;
  for (DWORD i = 0; i < count; ++i) {
    BYTE byte = bytes[i];
    switch (decoder.state) {
      case State::kData:
        if (byte == kIac) {
          decoder.state = State::kCommand;
        } else {
          bytes[data++] = byte;
        }
        break;
      case State::kCommand:
        decoder.state = State::kData;
        if (byte == kIac) {
          bytes[data++] = kIac;
        } else if (byte >= kWill) {
          decoder.verb = byte;
          decoder.state = State::kOption;
        } else if (byte == kSb) {
          decoder.sub_length = 0;
          decoder.state = State::kSub;
        }
        break;
      case State::kOption:
        Negotiate(decoder, decoder.verb, byte);
        decoder.state = State::kData;
        break;
      case State::kSub:
        if (byte == kIac) {
          decoder.state = State::kSubIac;
        } else {
          KeepSub(decoder, byte);
        }
        break;
      case State::kSubIac:
        if (byte == kIac) {
          KeepSub(decoder, kIac);
          decoder.state = State::kSub;
        } else {
          // IAC SE ends it; anything else after IAC is malformed, and the
          // subnegotiation is dropped with it.
          if (byte == kSe) EndSubnegotiation(decoder);
          decoder.state = State::kData;
        }
        break;
    }
  }
  return data;
}

DWORD EscapeIac(const BYTE *data, DWORD count, BYTE *out) {
  DWORD length = 0;
  for (DWORD i = 0; i < count; ++i) {
    out[length++] = data[i];
    if (data[i] == kIac) out[length++] = kIac;
  }
  return length;
}

DWORD TelnetGreeting(BYTE *out) {
  const BYTE greeting[] = {
      kIac, kWill, kBinary,          kIac, kDo, kBinary,
      kIac, kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead,
      kIac, kWill, kComPort};
  std::memcpy(out, greeting, sizeof greeting);
  return sizeof greeting;
}

namespace {

DWORD Command(BYTE command, const BYTE *value, DWORD size, BYTE *out) {
  BYTE start[] = {kIac, kSb, kComPort, command};
  std::memcpy(out, start, sizeof start);
  DWORD length = sizeof start + EscapeIac(value, size, out + sizeof start);
  out[length++] = kIac;
  out[length++] = kSe;
  return length;
}

}  // namespace

DWORD ComPortSettings(const DCB &dcb, BYTE *out) {
  const BYTE baud[] = {static_cast<BYTE>(dcb.BaudRate >> 24),
                       static_cast<BYTE>(dcb.BaudRate >> 16),
                       static_cast<BYTE>(dcb.BaudRate >> 8),
                       static_cast<BYTE>(dcb.BaudRate)};
  // The option numbers parity from 1 (none) in the DCB's order, and stop
  // sizes as 1 (one), 2 (two), 3 (one and a half).
  const BYTE parity = static_cast<BYTE>(dcb.Parity + 1);
  const BYTE stop = dcb.StopBits == ONESTOPBIT    ? 1
                    : dcb.StopBits == TWOSTOPBITS ? 2
                                                  : 3;
  DWORD length = Command(kSetBaudRate, baud, sizeof baud, out);
  length += Command(kSetDataSize, &dcb.ByteSize, 1, out + length);
  length += Command(kSetParity, &parity, 1, out + length);
  length += Command(kSetStopSize, &stop, 1, out + length);
  return length;
}

}  // namespace ulo::os
