// The instance's init file with any content: command 1 with the port
// disabled loads it and keeps a restart message that fits its field, or
// falls back to "RESTART 100".
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fake_line.h"
#include "instance/workspace.h"
#include "lifecycle/lifecycle.h"
#include "zempro/control.h"

namespace {

constexpr int32_t kInstance = 7;
constexpr char kInitFile[] = "uloPR107.int";

// The init file lives in a folder of its own, the current directory while
// an input runs; the fuzzer's own paths may be relative to the one before.
class Folder {
 public:
  // In memory where it can be: a file written per input is slow on disk.
  Folder() {
    for (const char *base : {"/dev/shm", "/tmp"}) {
      path_ = std::string(base) + "/ulopr1-fuzz-XXXXXX";
      if (mkdtemp(path_.data())) break;
      path_.clear();
    }
    ulo::fuzzing::Require(!path_.empty() && getcwd(home_, sizeof home_),
                          "a folder for the init file");
  }
  ~Folder() {
    unlink((path_ + "/" + kInitFile).c_str());
    rmdir(path_.c_str());
  }
  void Enter() const {
    ulo::fuzzing::Require(chdir(path_.c_str()) == 0, "into the folder");
  }
  void Leave() const {
    ulo::fuzzing::Require(chdir(home_) == 0, "back from the folder");
  }

 private:
  std::string path_;
  char home_[4096] = "";
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ulo;
  using ulo::fuzzing::Require;
  static Folder folder;
  folder.Enter();
  std::FILE *file = std::fopen(kInitFile, "wb");
  Require(file && std::fwrite(data, 1, size, file) == size &&
              std::fclose(file) == 0,
          "the init file is written");
  InstanceWorkspace ws{};
  StartParameters start{};
  std::strcpy(start.port, "COM1");
  UloRequest request{&ws, ULO_CMD_START, kInstance, 0, &start};
  Require(UloMain(&request) == ULO_DONE, "a start without a port answers 0");
  Require(ws.port == 0 && ws.event == 0, "nothing is opened");

  const char *message = ws.restart_message;
  size_t length = strnlen(message, sizeof ws.restart_message);
  Require(length < sizeof ws.restart_message, "the message is terminated");
  Require(std::memchr(message, '\n', length) == nullptr,
          "the message is one line");
  std::string_view text(reinterpret_cast<const char *>(data), size);
  std::string_view kept(message, length);
  // Taken from the file's start (a CR dropped before the newline is past
  // its end), or the default.
  Require(kept == kDefaultRestartMessage || text.substr(0, length) == kept,
          "the message is the file's first line");
  // A first line of at most 49 plain characters is always taken.
  size_t newline = text.find('\n');
  if (newline != std::string_view::npos &&
      newline < sizeof ws.restart_message &&
      text.substr(0, newline).find_first_of(std::string_view("\r\0", 2)) ==
          std::string_view::npos) {
    Require(kept == text.substr(0, newline), "a short first line is taken");
  }
  folder.Leave();
  return 0;
}
