#include "driver.h"

#include <algorithm>
#include <cstring>

#include "system.h"

namespace ulohost {
namespace {

template <std::size_t N>
void CopyName(char (&field)[N], const std::string &name) {
  std::size_t length = std::min(name.size(), N - 1);
  std::memcpy(field, name.data(), length);
  std::memset(field + length, 0, N - length);
}

}  // namespace

std::unique_ptr<DriverLibrary> DriverLibrary::Load(const std::string &path,
                                                   std::string &error) {
  void *handle = sys::OpenLibrary(path, error);
  if (!handle) return nullptr;
  auto entry = reinterpret_cast<Entry>(sys::FindSymbol(handle, "UloMain"));
  if (!entry) {
    error = path + " has no UloMain: not a ulo driver";
    sys::CloseLibrary(handle);
    return nullptr;
  }
  return std::unique_ptr<DriverLibrary>(new DriverLibrary(path, entry));
}

Description DriverLibrary::Describe() const {
  DriverDescription record{};
  UloRequest request{nullptr, ULO_CMD_DESCRIBE, 0, 0, &record};
  Description description;
  if (Call(request) != ULO_DONE) return description;
  description.kind = record.kind;
  description.name = record.name ? record.name : "";
  description.banner = record.banner ? record.banner : "";
  description.workspace_size = record.workspace_size;
  description.line = record.line;
  return description;
}

DriverInstance::DriverInstance(const DriverLibrary &library, int32_t ulo,
                               std::size_t workspace_size)
    : library_(library),
      ulo_(ulo),
      workspace_(new std::byte[workspace_size]()) {}

int32_t DriverInstance::Call(int32_t command, void *args) {
  UloRequest request{workspace_.get(), command, ulo_, 0, args};
  return library_.Call(request);
}

int32_t DriverInstance::Start(const PortSpec &port, bool enabled) {
  StartParameters start{};
  CopyName(start.port, port.name);
  start.enabled = enabled ? 1 : 0;
  start.read_timeout = port.read_timeout;
  start.line = port.line;
  return Call(ULO_CMD_START, &start);
}

int32_t DriverInstance::WarmStart() {
  return Call(ULO_CMD_WARM_START, nullptr);
}

CheckedGate DriverInstance::CheckGate(const std::string &address,
                                      int32_t type) {
  CheckedGate checked{};
  checked.definition.address = address.c_str();
  checked.definition.type = type;
  checked.result = Call(ULO_CMD_CHECK_GATE, &checked.definition);
  checked.definition.address = nullptr;
  return checked;
}

ReadResult DriverInstance::Read(const std::string &address) {
  alignas(8) std::byte block[8]{};
  GateAccess access{};
  access.address = address.c_str();
  access.type = ULO_TYPE_DIGITAL;
  access.value = block;
  ReadResult read{};
  read.result = Call(ULO_CMD_READ_GATE, &access);
  std::memcpy(&read.value, block + 2, sizeof read.value);
  return read;
}

int32_t DriverInstance::Write(const std::string &address, int32_t type,
                              double value) {
  alignas(8) std::byte block[8]{};
  if (type == ULO_TYPE_FLOAT) {
    float number = static_cast<float>(value);
    std::memcpy(block, &number, sizeof number);
  } else {
    uint16_t number = static_cast<uint16_t>(value);
    std::memcpy(block + 2, &number, sizeof number);
  }
  GateAccess access{};
  access.address = address.c_str();
  access.type = static_cast<uint16_t>(type);
  access.value = block;
  return Call(ULO_CMD_WRITE_GATE, &access);
}

int32_t DriverInstance::ClosePort() {
  return Call(ULO_CMD_CLOSE_PORT, nullptr);
}

int32_t DriverInstance::ReopenPort() {
  return Call(ULO_CMD_REOPEN_PORT, nullptr);
}

int32_t DriverInstance::ChangePort(const PortSpec &port) {
  PortChange change{};
  CopyName(change.port, port.name);
  change.read_timeout = port.read_timeout;
  change.line = port.line;
  return Call(ULO_CMD_PORT_CHANGE, &change);
}

void DriverInstance::Abandon() { static_cast<void>(workspace_.release()); }

}  // namespace ulohost
