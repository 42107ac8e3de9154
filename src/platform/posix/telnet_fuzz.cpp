// The telnet decoder on any received stream, split at any point: the data
// bytes come out the same however reads cut the stream, never more of them
// than came in, the refusals owed stay whole commands within their buffer,
// and data escaped for sending decodes back to itself.
#include <cstdint>
#include <vector>

#include "fake_line.h"
#include "telnet.h"

namespace {

using ulo::os::TelnetDecoder;

std::vector<BYTE> DecodeInTwo(const std::vector<BYTE> &stream, size_t split,
                              TelnetDecoder &decoder) {
  std::vector<BYTE> bytes = stream;
  DWORD first =
      ulo::os::DecodeTelnet(decoder, bytes.data(), static_cast<DWORD>(split));
  DWORD second = ulo::os::DecodeTelnet(
      decoder, bytes.data() + split, static_cast<DWORD>(bytes.size() - split));
  std::vector<BYTE> data(bytes.begin(), bytes.begin() + first);
  data.insert(data.end(), bytes.begin() + static_cast<long>(split),
              bytes.begin() + static_cast<long>(split + second));
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using ulo::fuzzing::Require;
  if (size < 1) return 0;
  std::vector<BYTE> stream(data + 1, data + size);
  size_t split = stream.empty() ? 0 : data[0] % (stream.size() + 1);
  TelnetDecoder whole_decoder;
  TelnetDecoder split_decoder;
  std::vector<BYTE> whole = DecodeInTwo(stream, 0, whole_decoder);
  std::vector<BYTE> pieces = DecodeInTwo(stream, split, split_decoder);
  Require(whole == pieces, "the data does not depend on where reads split");
  Require(whole.size() <= stream.size(), "no more data than came in");
  Require(whole_decoder.reply_length % 3 == 0 &&
              whole_decoder.reply_length <= sizeof whole_decoder.replies,
          "refusals are whole commands within their buffer");
  std::vector<BYTE> escaped(2 * stream.size());
  DWORD length = ulo::os::EscapeIac(
      stream.data(), static_cast<DWORD>(stream.size()), escaped.data());
  TelnetDecoder fresh;
  DWORD back = ulo::os::DecodeTelnet(fresh, escaped.data(), length);
  Require(std::vector<BYTE>(escaped.begin(), escaped.begin() + back) == stream,
          "escaped data decodes back to itself");
  return 0;
}
