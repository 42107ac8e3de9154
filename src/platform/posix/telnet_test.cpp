#include "telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ulo::os::Agreement;
using ulo::os::TelnetDecoder;
using Bytes = std::vector<BYTE>;

struct Decoded {
  Bytes data;
  Bytes replies;
  Agreement com_port;
  uint32_t answered;
};

// Decodes stream in pieces of at most piece bytes, as reads may split it.
Decoded Decode(const Bytes &stream, size_t piece) {
  TelnetDecoder decoder;
  Decoded out;
  for (size_t at = 0; at < stream.size(); at += piece) {
    Bytes chunk(stream.begin() + static_cast<long>(at),
                stream.begin() +
                    static_cast<long>(std::min(stream.size(), at + piece)));
    DWORD data = ulo::os::DecodeTelnet(decoder, chunk.data(),
                                       static_cast<DWORD>(chunk.size()));
    out.data.insert(out.data.end(), chunk.begin(), chunk.begin() + data);
  }
  out.replies.assign(decoder.replies, decoder.replies + decoder.reply_length);
  out.com_port = decoder.com_port;
  out.answered = decoder.answered;
  return out;
}

TEST(TelnetDecoderTest, TakesCommandsOutOfTheStreamWhereverReadsSplitIt) {
  struct Case {
    const char *what;
    Bytes stream;
    Bytes data;
    Bytes replies;
    Agreement com_port;
    uint32_t answered;
  };
  const Case cases[] = {
      {"data and a doubled IAC",
       {'a', 255, 255, 'b'},
       {'a', 255, 'b'},
       {},
       Agreement::kPending,
       0},
      {"our options answered, another refused once",
       {255, 253, 44, 255, 251, 0, 255, 253, 1, 'x', 255, 253, 1, 255, 251, 5},
       {'x'},
       {255, 252, 1, 255, 254, 5},
       Agreement::kAccepted,
       0},
      {"the option refused", {255, 254, 44}, {}, {}, Agreement::kRefused, 0},
      {"answers to settings, an IAC inside one",
       {255, 250, 44, 101, 0, 0, 37, 128, 255, 240, 255, 250, 44, 104, 255, 255,
        255, 240, 'y'},
       {'y'},
       {},
       Agreement::kPending,
       (1u << 1) | (1u << 4)},
      {"a subnegotiation cut short by garbage is dropped",
       {255, 250, 44, 102, 255, 7, 'z', 255, 241, 'w'},
       {'z', 'w'},
       {},
       Agreement::kPending,
       0},
      {"a long subnegotiation is read to its end",
       {255, 250, 44, 103, 1, 2, 3, 4, 5, 6, 7, 8, 9, 255, 240, 'v'},
       {'v'},
       {},
       Agreement::kPending,
       1u << 3},
  };
  for (const Case &c : cases) {
    for (size_t piece = 1; piece <= c.stream.size(); ++piece) {
      Decoded got = Decode(c.stream, piece);
      EXPECT_EQ(got.data, c.data) << c.what << ", pieces of " << piece;
      EXPECT_EQ(got.replies, c.replies) << c.what;
      EXPECT_EQ(got.com_port, c.com_port) << c.what;
      EXPECT_EQ(got.answered, c.answered) << c.what;
    }
  }
}

TEST(TelnetEncoderTest, SettingsComeOutAsTheServerReadsThem) {
  DCB dcb{};
  dcb.BaudRate = 0x0001FFC0;  // a byte of 255 to double
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONE5STOPBITS;
  BYTE out[ulo::os::kSettingsSize];
  DWORD length = ulo::os::ComPortSettings(dcb, out);
  Bytes expected = {255, 250, 44,  1,   0,   1,   255, 255, 192, 255, 240,
                    255, 250, 44,  2,   7,   255, 240, 255, 250, 44,  3,
                    3,   255, 240, 255, 250, 44,  4,   3,   255, 240};
  EXPECT_EQ(Bytes(out, out + length), expected);
}

}  // namespace
