// Wine runs the Windows build's tests, and in a few places it does not do
// what Windows does (it lets a second CreateFileA open a COM port that is
// already open, for one). A test that depends on such a place skips itself
// under Wine, and only there, saying why:
//   if (RunningUnderWine()) GTEST_SKIP() << kWineOpensHeldPorts;
#ifndef ULOPR1_TESTS_SUPPORT_WINE_H
#define ULOPR1_TESTS_SUPPORT_WINE_H

namespace ulo::testing {

// True when this program is a Windows program running under Wine.
bool RunningUnderWine();

// Why a test that needs a second open of a held port to fail skips itself.
inline constexpr char kWineOpensHeldPorts[] =
    "Wine opens a COM port that is already open; Windows refuses it";

}  // namespace ulo::testing

#endif  // ULOPR1_TESTS_SUPPORT_WINE_H
