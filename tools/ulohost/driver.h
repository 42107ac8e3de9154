// The driver as the host sees it: a library loaded by path with one entry
// point, and instances, each a workspace the host owns, driven by numbered
// commands. These wrappers build the request records and call UloMain; they
// add no locking: the caller sends one instance's commands from one thread
// at a time.
#ifndef ULOPR1_TOOLS_ULOHOST_DRIVER_H
#define ULOPR1_TOOLS_ULOHOST_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ulopr1/ulo.h"

namespace ulohost {

// What command 14 announces.
struct Description {
  int32_t kind = 0;
  std::string name;
  std::string banner;  // code page 437 bytes
  int32_t workspace_size = 0;
  LineSettings line{};
};

class DriverLibrary {
 public:
  // Loads the library and finds UloMain; nullptr with error set on failure.
  static std::unique_ptr<DriverLibrary> Load(const std::string &path,
                                             std::string &error);
  // The library stays loaded: receiver threads may still run its code.
  ~DriverLibrary() = default;

  const std::string &path() const { return path_; }
  int32_t Call(UloRequest &request) const { return entry_(&request); }
  Description Describe() const;

 private:
  using Entry = int32_t (*)(UloRequest *);
  DriverLibrary(std::string path, Entry entry)
      : path_(std::move(path)), entry_(entry) {}

  std::string path_;
  Entry entry_;
};

// Settings of a port for command 1 (start) or 15 (port change).
struct PortSpec {
  std::string name;      // at most ULO_PORT_NAME_MAX characters
  int32_t read_timeout;  // units of 10 ms
  LineSettings line;
};

struct CheckedGate {
  int32_t result;  // ULO_DONE accepted, ULO_REFUSED refused
  GateDefinition definition;
};

struct ReadResult {
  int32_t result;  // ULO_DONE read, ULO_REFUSED not readable,
                   // ULO_COMM_FAILURE silent controller
  uint16_t value;  // as the driver wrote it into the value block
};

class DriverInstance {
 public:
  // A zero-filled workspace of the announced size.
  DriverInstance(const DriverLibrary &library, int32_t ulo,
                 std::size_t workspace_size);
  ~DriverInstance() = default;
  DriverInstance(const DriverInstance &) = delete;
  DriverInstance &operator=(const DriverInstance &) = delete;

  int32_t ulo() const { return ulo_; }

  int32_t Start(const PortSpec &port, bool enabled);                // command 1
  int32_t WarmStart();                                              // command 2
  CheckedGate CheckGate(const std::string &address, int32_t type);  // 3
  ReadResult Read(const std::string &address);                      // 5
  // Command 7: type 3 sends the value as a 32-bit float, type 6 as a 16-bit
  // unsigned value (the caller has checked the range).
  int32_t Write(const std::string &address, int32_t type, double value);
  int32_t ClosePort();                       // command 11
  int32_t ReopenPort();                      // command 13
  int32_t ChangePort(const PortSpec &port);  // command 15

  // Keeps the workspace allocated for ever: for an instance whose receiver
  // thread did not end, which may still use it.
  void Abandon();

 private:
  int32_t Call(int32_t command, void *args);

  const DriverLibrary &library_;
  int32_t ulo_;
  std::unique_ptr<std::byte[]> workspace_;
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_DRIVER_H
