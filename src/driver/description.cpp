#include "driver/description.h"

#include <array>
#include <string_view>

#include "instance/workspace.h"

namespace ulo {
namespace {

// Box-drawing and shade characters of code page 437.
constexpr char kTopLeft = char(0xDA), kTopRight = char(0xBF);
constexpr char kBottomLeft = char(0xC0), kBottomRight = char(0xD9);
constexpr char kHorizontal = char(0xC4), kVertical = char(0xB3);
constexpr char kFull = char(0xDB), kDark = char(0xB2), kMedium = char(0xB1),
               kLight = char(0xB0);

struct BannerText {
  std::array<char, kBannerLength + 1> bytes{};
  size_t size = 0;

  constexpr BannerText &Add(char c, size_t count = 1) {
    for (size_t i = 0; i < count; ++i) bytes[size++] = c;
    return *this;
  }
  constexpr BannerText &Add(std::string_view text) {
    for (char c : text) bytes[size++] = c;
    return *this;
  }
  // A framed line: a vertical bar, text padded left and right, a bar.
  constexpr BannerText &Line(size_t left, std::string_view text, size_t right) {
    return Add(kVertical)
        .Add(' ', left)
        .Add(text)
        .Add(' ', right)
        .Add(kVertical)
        .Add('\n');
  }
  constexpr BannerText &Shades(bool rising) {
    const char order[] = {kFull, kDark, kMedium, kLight};
    const size_t counts[] = {5, 6, 6, 5};
    for (int i = 0; i < 4; ++i) {
      int k = rising ? 3 - i : i;
      Add(order[k], counts[k]);
    }
    return *this;
  }
};

constexpr BannerText MakeBanner() {
  BannerText b;
  b.Add('\n').Add(kTopLeft).Add(kHorizontal, 60).Add(kTopRight).Add('\n');
  b.Add(kVertical)
      .Add(' ')
      .Shades(false)
      .Add(" U L O P R 1 ")
      .Shades(true)
      .Add("  ")
      .Add(kVertical)
      .Add('\n');
  b.Line(11, "LANDIS & GYR PRV1 BUILDING CONTROLLERS.", 10);
  b.Line(13, "Unsolicited Driver. Ascii Protocol.", 12);
  b.Line(7, "Copyright (c) ulopr1 developers - Version 7.03", 7);
  b.Add(kBottomLeft).Add(kHorizontal, 60).Add(kBottomRight).Add('\n');
  return b;
}

constexpr BannerText kBanner = MakeBanner();
static_assert(kBanner.size == kBannerLength);

}  // namespace

const char *Banner() { return kBanner.bytes.data(); }

int32_t Describe(const UloRequest &request) {
  auto &d = *static_cast<DriverDescription *>(request.args);
  d.kind = 70;
  d.name = kDriverName;
  d.banner = Banner();
  d.workspace_size = sizeof(InstanceWorkspace);
  d.four = 4;
  d.line = LineSettings{9600, 8, 0, 0};
  d.three = 3;
  return ULO_DONE;
}

}  // namespace ulo
