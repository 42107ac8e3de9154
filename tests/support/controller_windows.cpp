// The controller on Windows: one COM port of a linked pair (under Wine, two
// pseudo-terminals joined by socat; see scripts/test-windows.sh). The
// environment variable ULO_TEST_PORT_PAIRS lists the pairs as
// "DRIVER:CONTROLLER,..." (e.g. "COM1:COM11,COM2:COM12"). Each controller
// takes the first pair that no other controller holds, in this process or
// another; the driver's side of that pair is Path().
#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "controller.h"

namespace ulo::testing {
namespace {

// How long one read waits for the first byte before the loop looks at
// whether it should stop.
constexpr DWORD kPollMs = 20;

struct PortPair {
  std::string driver;
  std::string controller;
};

std::vector<PortPair> PortPairs() {
  const char *text = std::getenv("ULO_TEST_PORT_PAIRS");
  std::vector<PortPair> pairs;
  for (std::string_view rest = text ? text : ""; !rest.empty();) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
    size_t colon = item.find(':');
    if (colon == std::string_view::npos)
      throw std::runtime_error("ULO_TEST_PORT_PAIRS: \"" + std::string(item) +
                               "\" is not DRIVER:CONTROLLER");
    pairs.push_back({std::string(item.substr(0, colon)),
                     std::string(item.substr(colon + 1))});
  }
  return pairs;
}

// By the device path: a plain name opens only COM1 to COM9.
HANDLE OpenCom(const std::string &name) {
  return CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                     0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Throws away what an earlier test left queued on the driver's side, so that
// the driver starts on a quiet line as it does on a new pseudo-terminal.
void PurgeDriverSide(const std::string &name) {
  HANDLE port = OpenCom(name);
  if (port == INVALID_HANDLE_VALUE)
    throw std::runtime_error("controller: cannot open " + name);
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  CloseHandle(port);
}

// Raw 8N1 without flow control; a read returns as soon as a byte has come,
// or after kPollMs with none.
bool Configure(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, kPollMs, 0, 0};
  return GetCommState(port, &dcb) &&
         BuildCommDCBA(
             "baud=9600 parity=n data=8 stop=1 xon=off odsr=off "
             "octs=off dtr=on rts=on idsr=off",
             &dcb) &&
         SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts) &&
         PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

}  // namespace

Controller::Controller() {
  for (const PortPair &pair : PortPairs()) {
    std::string claim_name = "ulopr1-test-port-" + pair.driver;
    HANDLE claim = CreateMutexA(nullptr, FALSE, claim_name.c_str());
    if (!claim) continue;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(claim);
      continue;
    }
    PurgeDriverSide(pair.driver);
    HANDLE port = OpenCom(pair.controller);
    if (port == INVALID_HANDLE_VALUE || !Configure(port)) {
      if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
      CloseHandle(claim);
      throw std::runtime_error("controller: cannot open " + pair.controller);
    }
    claim_ = claim;
    port_ = port;
    path_ = pair.driver;
    reader_ = std::thread([this] { ReadLoop(); });
    return;
  }
  throw std::runtime_error(
      "controller: no free port pair in ULO_TEST_PORT_PAIRS (the test "
      "harness, scripts/test-windows.sh, sets it)");
}

Controller::~Controller() {
  stopping_ = true;
  reader_.join();
  CloseHandle(port_);
  CloseHandle(claim_);
}

void Controller::WriteLocked(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    if (!WriteFile(port_, bytes.data() + done, DWORD(bytes.size() - done), &n,
                   nullptr) ||
        n == 0)
      return;
    done += n;
  }
}

void Controller::ReadLoop() {
  while (!stopping_) {
    char buffer[256];
    DWORD n = 0;
    if (!ReadFile(port_, buffer, sizeof buffer, &n, nullptr)) {
      Sleep(kPollMs);
      continue;
    }
    if (n > 0) Receive(buffer, n);
  }
}

}  // namespace ulo::testing
