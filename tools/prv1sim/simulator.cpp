#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "frame.h"

namespace prv1sim {
namespace {

// A line the driver is sending holds back new frames, so they cannot land
// in its echo read; a line that stalls this long no longer does.
constexpr std::chrono::seconds kLineStall{1};

// The longest wait of the loop, so a stop request is seen soon.
constexpr std::chrono::milliseconds kMaxWait{100};

std::chrono::nanoseconds Seconds(double seconds) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(seconds));
}

// Stray bytes a noisy line may carry: never a frame or line delimiter and
// never "$" or "@", which would start an echo.
constexpr char kNoiseBytes[] = {'\0', '\n',   'x',    '7',    ' ',
                                '#',  '\x7F', '\xFF', '\x15', 'Q'};

// An echo that differs from the line: its last character is changed.
std::string Garble(std::string text) {
  if (text.empty()) return "0";
  text.back() = text.back() == '0' ? '1' : '0';
  return text;
}

}  // namespace

Simulator::Simulator(Options options, std::vector<Point> points,
                     std::function<void(const std::string &)> announce,
                     std::ostream *verbose, std::ostream *timestamps)
    : options_(std::move(options)),
      points_(std::move(points)),
      announce_(std::move(announce)),
      verbose_(verbose),
      timestamps_(timestamps),
      random_(options_.seed),
      pacer_(options_.line.baud, BitsPerChar(options_.line)) {
  for (const Point &point : points_.points()) {
    stats_.addresses[point.address];
  }
}

Simulator::~Simulator() { CloseLine(); }

bool Simulator::Open(std::string &error) { return OpenLine(error); }

bool Simulator::OpenLine(std::string &error) {
  if (options_.device.empty()) {
    if (!ulo::tools::OpenPty(pty_, error)) return false;
    int flags = fcntl(pty_.master, F_GETFL);
    fcntl(pty_.master, F_SETFL, flags | O_NONBLOCK);
    fd_ = pty_.master;
    path_ = pty_.path;
  } else {
    device_fd_ = OpenDevice(options_.device, options_.line, error);
    if (device_fd_ < 0) return false;
    fd_ = device_fd_;
    path_ = options_.device;
  }
  if (!options_.link.empty() && !MakeLink(error)) {
    CloseLine();
    return false;
  }
  assembler_ = LineAssembler();
  announce_("prv1sim: listening on " + path_);
  return true;
}

void Simulator::CloseLine() {
  RemoveLink();
  ulo::tools::ClosePty(pty_);
  if (device_fd_ >= 0) close(device_fd_);
  device_fd_ = -1;
  fd_ = -1;
}

bool Simulator::MakeLink(std::string &error) {
  const std::string &link = options_.link;
  struct stat info;
  if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
    error = link + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  // Made under a temporary name and renamed over the old link, so the name
  // never dangles or goes missing while it moves to the new line.
  std::string temporary = link + ".prv1sim-new";
  unlink(temporary.c_str());
  if (symlink(path_.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    error =
        "cannot link " + link + " to " + path_ + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  link_made_ = true;
  return true;
}

void Simulator::RemoveLink() {
  if (!link_made_) return;
  link_made_ = false;
  // Only our own link: someone may have pointed the name elsewhere.
  char target[4096];
  ssize_t size = readlink(options_.link.c_str(), target, sizeof target);
  if (size >= 0 &&
      std::string(target, static_cast<std::size_t>(size)) == path_) {
    unlink(options_.link.c_str());
  }
}

void Simulator::Vanish() {
  queue_.clear();
  CloseLine();
  ++stats_.vanished;
  announce_("prv1sim: vanished " + path_);
}

bool Simulator::Run(const std::atomic<bool> &stop, std::string &error) {
  using std::chrono::nanoseconds;
  Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> end_at, vanish_at, return_at, next_tick;
  if (options_.duration >= 0) end_at = start + Seconds(options_.duration);
  if (options_.vanish_after >= 0) {
    vanish_at = start + Seconds(options_.vanish_after);
  }
  nanoseconds period{0};
  if (options_.rate > 0) {
    period = Seconds(1.0 / options_.rate);
    next_tick = start + period;
  }
  while (!stop.load()) {
    Clock::time_point now = Clock::now();
    if (end_at && now >= *end_at) break;
    if (vanish_at && now >= *vanish_at) {
      Vanish();
      vanish_at.reset();
      if (options_.return_after >= 0) {
        return_at = now + Seconds(options_.return_after);
      }
    }
    if (return_at && now >= *return_at) {
      return_at.reset();
      if (!OpenLine(error)) return false;
    }
    if (next_tick && now >= *next_tick) {
      if (fd_ >= 0) Tick(now);
      *next_tick += period;
      if (*next_tick <= now) *next_tick = now + period;
    }
    if (fd_ >= 0 && !Send(now, error)) return false;

    Clock::time_point wake = now + kMaxWait;
    for (const auto &at : {end_at, vanish_at, return_at, next_tick}) {
      if (at) wake = std::min(wake, *at);
    }
    if (fd_ >= 0 && !queue_.empty()) wake = std::min(wake, pacer_.Next());
    nanoseconds wait = std::max(nanoseconds{0}, wake - now);
    timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                     static_cast<long>(wait.count() % 1000000000)};
    pollfd watch{fd_, POLLIN, 0};
    int ready = ppoll(&watch, fd_ >= 0 ? 1 : 0, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) {
      error =
          std::string("waiting on the line failed: ") + std::strerror(errno);
      return false;
    }
    if (ready > 0 && !Receive(Clock::now(), error)) return false;
  }
  return true;
}

bool Simulator::Receive(Clock::time_point now, std::string &error) {
  char buffer[512];
  ssize_t got = read(fd_, buffer, sizeof buffer);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (got <= 0) {
    error = "the line " + path_ + " failed: " +
            (got == 0 ? std::string("end of file") : std::strerror(errno));
    return false;
  }
  stats_.bytes_in += static_cast<std::uint64_t>(got);
  last_received_ = now;
  for (const ReceivedLine &line : assembler_.Feed(
           std::string_view(buffer, static_cast<std::size_t>(got)))) {
    Handle(line);
  }
  return true;
}

void Simulator::Handle(const ReceivedLine &line) {
  Trace("<", line.text + kCr);
  if (line.kind == ReceivedLine::Kind::kOther) {
    if (options_.restart_message && line.text != *options_.restart_message) {
      ++stats_.other_lines;
      return;
    }
    ++stats_.restart_messages;
    if (options_.silent) return;
    for (const Point &point : points_.points()) {
      QueueFrame(Item::kRestart, ReportText(point), point.address);
    }
    return;
  }
  ++stats_.writes_received;
  if (options_.silent) return;
  if (options_.echo != EchoMode::kFaithful &&
      (options_.echo_fail_count == 0 ||
       faulty_echoes_ < options_.echo_fail_count)) {
    // The controller did not take the line: no value is applied.
    ++faulty_echoes_;
    if (options_.echo == EchoMode::kGarble) {
      QueueEcho(Item::kGarbled, Garble(line.text) + kCr);
    } else {
      ++stats_.echoes_withheld;
    }
    return;
  }
  QueueEcho(Item::kEcho, line.text + kCr);
  switch (points_.Apply(line.address, line.value)) {
    case PointSet::WriteResult::kUnknownPoint:
      ++stats_.writes_unknown_point;
      return;
    case PointSet::WriteResult::kBadValue:
      ++stats_.writes_bad_value;
      return;
    case PointSet::WriteResult::kUnchanged:
      ++stats_.writes_applied;
      return;
    case PointSet::WriteResult::kChanged:
      ++stats_.writes_applied;
      if (options_.report_writes) {
        const Point &point = *points_.Find(line.address);
        QueueFrame(Item::kWrite, ReportText(point), point.address);
      }
      return;
  }
}

bool Simulator::LineInProgress(Clock::time_point now) const {
  return assembler_.InProgress() && now - last_received_ < kLineStall;
}

void Simulator::Tick(Clock::time_point now) {
  if (options_.silent || !queue_.empty() || LineInProgress(now)) return;
  const Point *point = points_.Drift(random_);
  if (point == nullptr) return;
  ++report_count_;
  bool drop_etx =
      options_.no_etx_every > 0 && report_count_ % options_.no_etx_every == 0;
  QueueFrame(drop_etx ? Item::kNoEtx : Item::kReport, ReportText(*point),
             point->address, !drop_etx);
  if (options_.error_every > 0 && report_count_ % options_.error_every == 0) {
    QueueFrame(Item::kError, ErrorText(options_.error_code), "");
  }
}

void Simulator::QueueFrame(Item item, const std::string &text,
                           const std::string &address, bool with_etx) {
  if (options_.noise) {
    std::string noise;
    int count = std::uniform_int_distribution<int>(1, 3)(random_);
    for (int i = 0; i < count; ++i) {
      noise += kNoiseBytes[std::uniform_int_distribution<std::size_t>(
          0, sizeof kNoiseBytes - 1)(random_)];
    }
    queue_.push_back({noise, Item::kNoise, ""});
  }
  queue_.push_back(
      {BuildFrame(options_.header, text, with_etx), item, address});
}

void Simulator::QueueEcho(Item item, std::string bytes) {
  // Echoes go out in the order the lines came, ahead of every frame not yet
  // started, so the driver's echo read does not meet a report first.
  auto at = std::find_if(queue_.begin(), queue_.end(), [](const Outgoing &o) {
    return o.sent == 0 && !o.IsEcho();
  });
  queue_.insert(at, {std::move(bytes), item, ""});
}

bool Simulator::Send(Clock::time_point now, std::string &error) {
  while (!queue_.empty()) {
    Outgoing &out = queue_.front();
    if (out.sent == 0 && !out.IsEcho() && LineInProgress(now)) break;
    std::size_t slots = pacer_.Take(now, out.bytes.size() - out.sent);
    if (slots == 0) return true;
    out.written = Clock::now();
    ssize_t wrote = write(fd_, out.bytes.data() + out.sent, slots);
    if (wrote < 0) {
      if (errno == EAGAIN || errno == EINTR) return true;
      error = "writing to " + path_ + " failed: " + std::strerror(errno);
      return false;
    }
    out.sent += static_cast<std::size_t>(wrote);
    stats_.bytes_out += static_cast<std::uint64_t>(wrote);
    if (out.sent < out.bytes.size()) return true;
    Complete(out);
    queue_.pop_front();
  }
  pacer_.Take(now, 0);
  return true;
}

void Simulator::Complete(const Outgoing &out) {
  Trace(">", out.bytes);
  switch (out.item) {
    case Item::kReport:
      ++stats_.report_frames;
      break;
    case Item::kRestart:
      ++stats_.restart_frames;
      break;
    case Item::kWrite:
      ++stats_.write_frames;
      break;
    case Item::kError:
      ++stats_.error_frames;
      return;
    case Item::kNoEtx:
      ++stats_.no_etx_frames;
      ++stats_.addresses[out.address].lost;
      return;
    case Item::kEcho:
      ++stats_.writes_echoed;
      return;
    case Item::kGarbled:
      ++stats_.echoes_garbled;
      return;
    case Item::kNoise:
      stats_.noise_bytes += out.bytes.size();
      return;
  }
  ++stats_.addresses[out.address].reports;
  Stamp(out);
}

void Simulator::Stamp(const Outgoing &out) {
  if (timestamps_ == nullptr) return;
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
      out.written.time_since_epoch());
  // The frame is STX, two header characters, the text and CR ETX.
  std::string_view text(out.bytes);
  text = text.substr(3, text.find(kCr) - 3);
  *timestamps_ << nanos.count() << ' ' << text << '\n';
}

void Simulator::Trace(std::string_view direction, std::string_view bytes) {
  if (verbose_ == nullptr) return;
  *verbose_ << "prv1sim: " << direction << ' ' << Show(bytes) << std::endl;
}

}  // namespace prv1sim
