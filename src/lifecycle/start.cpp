#include <cstdio>
#include <cstring>

#include "host/services.h"
#include "lifecycle/lifecycle.h"
#include "line/line_io.h"
#include "line/port_sharing.h"
#include "platform/handle_word.h"
#include "protocol/receiver.h"
#include "serial/serial_port.h"

namespace ulo {
namespace {

constexpr int kInitLineReads = ULO_LINE_MAX + 1;  // a line and its newline
constexpr int32_t kMinReadTimeout = 100;
constexpr uint16_t kStartControlFlags = 8;
constexpr unsigned kReceiverStack = 32768;

// Reads one character of a text file as text mode does: a CR directly
// before a newline is dropped. EOF at the end or on a read error.
int ReadTextChar(std::FILE *file) {
  int c = std::fgetc(file);
  if (c != '\r') return c;
  int next = std::fgetc(file);
  if (next == '\n') return next;
  if (next != EOF) std::ungetc(next, file);
  return c;
}

// Creates the event, registers the client and starts the receiver. A start
// on a workspace whose receiver already runs (after the port was closed and
// the instance started again) keeps that receiver, its event and its client;
// one after a failure keeps the event and client made before it.
// False after a failure, which is logged and undoes nothing.
bool StartReceiver(const UloRequest &request, InstanceWorkspace &ws) {
  if (Shared(ws.receiver_state).load() & kReceiverStarted) return true;
  if (ws.event == 0) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event || event == INVALID_HANDLE_VALUE) {
      err(kMessage, "ULOPR1: Failed to create Event!");
      return false;
    }
    Shared(ws.event).store(HandleWord(event));
  }
  // A client registered by a start whose thread then failed is used again:
  // the host would otherwise keep one client per retry.
  if (!(Shared(ws.receiver_state).load() & kClientMade)) {
    char name[32];
    std::snprintf(name, sizeof name, ULO_CLIENT_NAME_FORMAT, request.instance);
    if (Zem5MkClient(name, 1, 0, ws.client) != 0) {
      err(kMessage, "ULOPR1: Failed to Make Client. Ulo %d", request.instance);
      return false;
    }
    Shared(ws.receiver_state).fetch_or(kClientMade);
  }
  Shared(ws.receiver_state).fetch_or(kReceiverStarted);
  if (_beginthread(ReportByExceptionThread, kReceiverStack, &ws) ==
      uintptr_t(-1)) {
    Shared(ws.receiver_state).fetch_and(~kReceiverStarted);
    err(kMessage, "UloPR1: Failed to open thread !");
    return false;
  }
  return true;
}

}  // namespace

bool LoadInitFile(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  char name[32];
  std::snprintf(name, sizeof name, ULO_INIT_FILE_FORMAT, request.instance);
  std::FILE *file = OpenRegularFile(name);
  if (!file) {
    err(kMessage, "UloPR1: Init File %s not found!", name);
    return false;
  }
  char line[kInitLineReads + 1];
  std::memset(line, 0, sizeof line);
  bool found = false;
  for (int i = 0; i < kInitLineReads; ++i) {
    int c = ReadTextChar(file);
    if (c == EOF) break;
    if (c == '\n') {
      found = true;
      break;
    }
    line[i] = char(c);
  }
  std::fclose(file);
  if (found) std::strcpy(ws.restart_message, line);
  return found;
}

void SendRestartMessage(InstanceWorkspace &ws) {
  char text[sizeof ws.restart_message + 1];
  size_t length = strnlen(ws.restart_message, sizeof ws.restart_message - 1);
  std::memcpy(text, ws.restart_message, length);
  text[length] = '\r';
  SendPaced(ws, text, uint32_t(length + 1));
}

int32_t StartInstance(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  const StartParameters &start =
      *static_cast<const StartParameters *>(request.args);
  // The host knows instances by one byte: any other number would feed the
  // gates of the instance with the same low byte.
  if (request.instance < 0 || request.instance > ULO_INSTANCE_MAX) {
    err(kMessage, "ULOPR1: Instance number %d outside 0 to 255, not started",
        request.instance);
    return ULO_REFUSED;
  }
  if (!LoadInitFile(request)) {
    err(kMessage, "ULOPR1: Bad or Missing Init File!");
    std::strcpy(ws.restart_message, kDefaultRestartMessage);
  }
  err(kMessage, "ULOPR1: Restart Message is '%s'", ws.restart_message);
  ws.port_enabled = start.enabled;
  if (start.enabled == 0) return ULO_DONE;

  PortSettings settings;
  std::memcpy(settings.port, start.port, sizeof settings.port);
  settings.line = start.line;
  settings.control_flags = kStartControlFlags;
  uint32_t port = OpenFromSettings(settings);
  if (port == 0) {
    err(kMessage, "ULOPR1: Fail to open %.12s", start.port);
    return ULO_COMM_FAILURE;
  }
  ReplacePort(ws, port);
  SetReadTimeout(port, start.read_timeout);
  ws.settings = settings;
  ws.read_timeout = start.read_timeout < kMinReadTimeout ? kMinReadTimeout
                                                         : start.read_timeout;
  ws.instance = uint16_t(request.instance);
  if (!StartReceiver(request, ws)) return ULO_DONE;
  Shared(ws.port_use).fetch_and(~kWriteBusy);
  Shared(ws.comm_failed).store(0);
  SendRestartMessage(ws);
  err(kMessage, "ULOPR1: Special Unsolic. Driver loaded successfully.");
  return ULO_DONE;
}

int32_t WarmStart(const UloRequest &request) {
  InstanceWorkspace &ws = *static_cast<InstanceWorkspace *>(request.workspace);
  if (CurrentPort(ws) != 0) DrainInput(ws);
  Shared(ws.port_use).fetch_and(~kWriteBusy);
  SendRestartMessage(ws);
  err(kMessage, "ULOPR1: Warm Start.");
  return ULO_DONE;
}

}  // namespace ulo
