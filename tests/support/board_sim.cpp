#include "board_sim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace orvtest {
namespace {

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The bridge's command lines are short; a runaway line without a line feed
// is cut so that garbage from a faulty program cannot grow without bound.
constexpr size_t kMaxCommandLine = 4096;
// Reads in command mode, and the largest paced read.
constexpr int kCommandRead = 256;
constexpr int kImageRead = 65536;
// While pacing, the board waits until it may take at least this much, so a
// slow rate does not wake it for every byte.
constexpr long kPaceChunk = 256;
// How long after its last write a board still takes to leave the bus.
constexpr int64_t kUnplugSettleMs = 100;

bool parse_fwup(const std::string &line, long *size) {
  static const char kPrefix[] = "FWUP ";
  if (line.compare(0, sizeof kPrefix - 1, kPrefix) != 0)
    return false;
  const std::string digits = line.substr(sizeof kPrefix - 1);
  if (digits.empty() || digits.size() > 10)
    return false;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  *size = std::stol(digits);
  return true;
}

} // namespace

BoardSim::BoardSim(BoardScript script, std::string link_path)
    : script_(std::move(script)), link_(std::move(link_path)) {
  if (link_.empty()) {
    char tmpl[] = "/tmp/orvup-board-XXXXXX";
    if (!mkdtemp(tmpl))
      throw std::runtime_error("board: cannot make a temporary folder");
    dir_ = tmpl;
    link_ = dir_ + "/ttyACM0";
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0)
    throw std::runtime_error("board: eventfd failed");
  {
    std::lock_guard lk(mu_);
    open_pty();
  }
  thread_ = std::thread([this] { run(); });
}

BoardSim::~BoardSim() {
  {
    std::lock_guard lk(mu_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  std::lock_guard lk(mu_);
  close_pty();
  close(wake_fd_);
  if (!dir_.empty())
    rmdir(dir_.c_str());
}

std::string BoardSim::device_path() const { return link_; }

std::string BoardSim::pty_path() const {
  std::lock_guard lk(mu_);
  return pty_path_;
}

// Called with mu_ held. A fresh pseudo-terminal, raw from the start so that
// nothing the board writes is echoed or translated before the program has
// configured the port, and a link to it that appears in one step.
void BoardSim::open_pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("board: cannot make a pseudo-terminal");
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0)
    throw std::runtime_error("board: ptsname failed");
  pty_path_ = name;
  // Termios requests on a master act on its slave. Opening and closing the
  // slave once also makes the master report a hang-up until the program opens
  // it, which is how a close is seen later.
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave < 0)
    throw std::runtime_error("board: cannot open the slave side");
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  // A speed the program never asks for, so wait_configured can tell when the
  // program has set the line up.
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  tcsetattr(slave, TCSANOW, &t);
  close(slave);
  // Every open of the slave, however short, is seen through inotify.
  notify_fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (notify_fd_ < 0 || inotify_add_watch(notify_fd_, name, IN_OPEN) < 0)
    throw std::runtime_error("board: cannot watch the slave side");
  const std::string tmp = link_ + ".new";
  unlink(tmp.c_str());
  if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), link_.c_str()) != 0)
    throw std::runtime_error("board: cannot link " + link_);
  slave_open_ = false;
  stale_sent_ = false;
  stalled_ = false;
  reset_session();
}

// Called with mu_ held.
void BoardSim::close_pty() {
  unlink(link_.c_str());
  if (master_ >= 0)
    close(master_);
  if (notify_fd_ >= 0)
    close(notify_fd_);
  master_ = -1;
  notify_fd_ = -1;
  slave_open_ = false;
  pending_.clear();
  reset_session();
}

void BoardSim::reset_session() {
  line_.clear();
  image_size_ = -1;
  chatter_out_.clear();
}

void BoardSim::unplug() {
  {
    std::unique_lock lk(mu_);
    // A board finishes sending what it queued before it leaves the bus; a
    // pseudo-terminal closed at once would throw away what the program has
    // not read yet.
    const int64_t settle = last_write_ms_ + kUnplugSettleMs - now_ms();
    if (settle > 0) {
      lk.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(settle));
      lk.lock();
    }
    close_pty();
  }
  wake();
}

void BoardSim::replug() {
  {
    std::lock_guard lk(mu_);
    if (master_ >= 0)
      close_pty();
    open_pty();
  }
  wake();
}

bool BoardSim::chatter_until_spoken_to(const std::string &burst, int give_up_ms) {
  if (!wait_configured(20000))
    return false;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(give_up_ms);
  while (received().empty()) {
    if (std::chrono::steady_clock::now() > give_up)
      return false;
    send(burst);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void BoardSim::send(const std::string &bytes) {
  {
    std::lock_guard lk(mu_);
    write_now(bytes);
  }
  wake();
}

std::string BoardSim::received() const {
  std::lock_guard lk(mu_);
  return received_;
}

bool BoardSim::wait_received(size_t n, int timeout_ms) const {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return received_.size() >= n; });
}

int BoardSim::opens() const {
  std::lock_guard lk(mu_);
  return opens_;
}

bool BoardSim::wait_opens(int n, int timeout_ms) const {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return opens_ >= n; });
}

bool BoardSim::wait_configured(int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    {
      std::lock_guard lk(mu_);
      termios t{};
      if (master_ >= 0 && tcgetattr(master_, &t) == 0 && cfgetospeed(&t) == B115200)
        return true;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool BoardSim::in_use() const {
  std::lock_guard lk(mu_);
  return slave_open_;
}

long BoardSim::image_received() const {
  std::lock_guard lk(mu_);
  return image_count_;
}

std::string BoardSim::sent() const {
  std::lock_guard lk(mu_);
  return sent_;
}

void BoardSim::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
}

// Called with mu_ held. Queues bytes for a later moment, after everything
// already queued for the same moment or earlier.
void BoardSim::schedule(int64_t due_ms, const std::string &bytes, bool hook) {
  auto at = std::find_if(pending_.begin(), pending_.end(), [&](const Pending &p) { return p.due_ms > due_ms; });
  pending_.insert(at, Pending{due_ms, bytes, hook});
}

// Called with mu_ held. The program reads the port all the time, so a full
// buffer is only a brief wait; a program that stopped reading loses what did
// not fit, as it would with a real board.
void BoardSim::write_now(const std::string &text) {
  // Chatter not yet out goes first, so no line is written into another.
  const std::string bytes = chatter_out_ + text;
  chatter_out_.clear();
  if (master_ < 0 || bytes.empty())
    return;
  size_t done = 0;
  const int64_t give_up = now_ms() + 500;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN)
      break;
    if (now_ms() >= give_up)
      break;
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 10);
  }
  sent_.append(bytes, 0, done);
  last_write_ms_ = now_ms();
}

// Called with mu_ held. Writes the chatter that is due, as much as the
// pseudo-terminal takes now; returns how long until the next line is due.
int BoardSim::chatter(int64_t now) {
  const long rate = script_.chatter_bytes_per_sec;
  const long line = static_cast<long>(script_.chatter.size());
  const bool talking = rate > 0 && line > 0 && image_size_ >= 0;
  if (talking) {
    const int64_t elapsed = std::max<int64_t>(0, now - image_start_ms_);
    while (chatter_made_ + line <= elapsed * rate / 1000) {
      chatter_out_ += script_.chatter;
      chatter_made_ += line;
    }
  }
  if (!chatter_out_.empty()) {
    const ssize_t n = write(master_, chatter_out_.data(), chatter_out_.size());
    if (n > 0) {
      sent_.append(chatter_out_, 0, static_cast<size_t>(n));
      chatter_out_.erase(0, static_cast<size_t>(n));
      last_write_ms_ = now;
    }
  }
  if (!talking)
    return INT_MAX;
  const int64_t due = image_start_ms_ + (chatter_made_ + line) * 1000 / rate + 1;
  return static_cast<int>(std::clamp<int64_t>(due - now, 1, 1000));
}

// Called with mu_ held. How many bytes the board may read now: a command
// line's worth outside an image; inside one, what is left of the image, no
// more than the stall point, and no more than the rate allows so far.
long BoardSim::read_budget(int64_t now, int *wait_ms) const {
  *wait_ms = INT_MAX;
  if (stalled_)
    return 0;
  if (image_size_ < 0)
    return kCommandRead;
  long limit = image_size_ - image_count_;
  if (script_.stall_after >= 0)
    limit = std::min(limit, script_.stall_after - image_count_);
  limit = std::min<long>(limit, kImageRead);
  if (script_.bytes_per_sec <= 0 || limit <= 0)
    return limit;
  const int64_t elapsed = std::max<int64_t>(0, now - image_start_ms_);
  const long allowed = static_cast<long>(elapsed * script_.bytes_per_sec / 1000) - image_count_;
  const long want = std::min(limit, kPaceChunk);
  if (allowed >= want)
    return std::min(limit, allowed);
  // Sleep until the rate allows a chunk.
  const int64_t due = image_start_ms_ + (image_count_ + want) * 1000 / script_.bytes_per_sec + 1;
  *wait_ms = static_cast<int>(std::clamp<int64_t>(due - now, 1, 1000));
  return 0;
}

void BoardSim::take_bytes(const char *data, size_t n, int64_t now) {
  received_.append(data, n);
  cv_.notify_all();
  while (n > 0) {
    if (image_size_ >= 0) {
      const size_t k = std::min<size_t>(n, static_cast<size_t>(image_size_ - image_count_));
      take_image_bytes(static_cast<long>(k), now);
      data += k;
      n -= k;
      continue;
    }
    const char c = *data++;
    --n;
    if (c != '\n') {
      if (line_.size() < kMaxCommandLine)
        line_.push_back(c);
      continue;
    }
    std::string line;
    line.swap(line_);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    take_command(line, now);
  }
}

void BoardSim::take_command(const std::string &line, int64_t now) {
  long size = 0;
  if (parse_fwup(line, &size)) {
    const int64_t ready = now + script_.fwup_answer_delay_ms;
    schedule(ready, script_.fwup_answer, false);
    image_size_ = size;
    image_count_ = 0;
    image_start_ms_ = ready;
    chatter_made_ = 0;
    lines_done_.assign(script_.lines_at.size(), false);
    take_image_bytes(0, ready);
  } else if (line == "IOBOOTSEL") {
    schedule(now + script_.iobootsel_answer_delay_ms, script_.iobootsel_answer, true);
  }
  // Anything else is not a command of the bridge: recorded, not answered.
}

void BoardSim::take_image_bytes(long n, int64_t now) {
  image_count_ += n;
  for (size_t i = 0; i < script_.lines_at.size(); ++i) {
    if (!lines_done_[i] && script_.lines_at[i].first <= image_count_) {
      lines_done_[i] = true;
      schedule(now, script_.lines_at[i].second, false);
    }
  }
  if (image_count_ == image_size_) {
    schedule(now + script_.final_delay_ms, script_.final_answer, false);
    image_size_ = -1; // back to commands; image_count_ stays for image_received()
  } else if (script_.stall_after >= 0 && image_count_ >= script_.stall_after) {
    stalled_ = true;
  }
}

// Called with mu_ held. The program has opened the port: count it, and queue
// the stale lines a board left in its output before the program's command.
void BoardSim::take_opens(int64_t now) {
  char buf[4096] __attribute__((aligned(__alignof__(inotify_event))));
  for (;;) {
    const ssize_t n = read(notify_fd_, buf, sizeof buf);
    if (n <= 0)
      return;
    for (ssize_t off = 0; off < n;) {
      const auto *ev = reinterpret_cast<const inotify_event *>(buf + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (!(ev->mask & IN_OPEN))
        continue;
      ++opens_;
      cv_.notify_all();
      slave_open_ = true;
      if (!stale_sent_ && !script_.stale_lines.empty())
        schedule(now + script_.stale_delay_ms, script_.stale_lines, false);
      stale_sent_ = true;
    }
  }
}

// Called with mu_ held. The program closed the port: take what it wrote
// before closing (unless the board had stopped reading), and start afresh.
void BoardSim::take_close(int64_t now) {
  char buf[kImageRead];
  while (!stalled_) {
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0)
      break;
    take_bytes(buf, static_cast<size_t>(n), now);
  }
  // The program may already have opened the port again.
  pollfd p{master_, 0, 0};
  poll(&p, 1, 0);
  slave_open_ = !(p.revents & POLLHUP);
  reset_session();
}

void BoardSim::run() {
  std::unique_lock lk(mu_);
  char buf[kImageRead];
  while (!stopping_) {
    int64_t now = now_ms();
    // Writes that are due, in order; the BOOTSEL hook runs outside the lock.
    std::vector<std::function<void()>> hooks;
    while (!pending_.empty() && pending_.front().due_ms <= now) {
      Pending p = std::move(pending_.front());
      pending_.erase(pending_.begin());
      write_now(p.bytes);
      if (p.hook && script_.on_iobootsel)
        hooks.push_back(script_.on_iobootsel);
    }
    if (!hooks.empty()) {
      lk.unlock();
      for (auto &h : hooks)
        h();
      lk.lock();
      continue;
    }

    int wait = pending_.empty() ? 1000 : static_cast<int>(std::clamp<int64_t>(pending_.front().due_ms - now, 0, 1000));
    pollfd fds[3] = {{wake_fd_, POLLIN, 0}, {notify_fd_, POLLIN, 0}, {-1, 0, 0}};
    long budget = 0;
    const int master = master_;
    if (master >= 0 && slave_open_) {
      wait = std::min(wait, chatter(now));
      int pace_wait = INT_MAX;
      // A board whose own output is backed up reads nothing meanwhile.
      budget = chatter_out_.empty() ? read_budget(now, &pace_wait) : 0;
      wait = std::min(wait, pace_wait);
      // Polled even when the board does not read, so that a close is seen.
      const short events = static_cast<short>((budget > 0 ? POLLIN : 0) | (chatter_out_.empty() ? 0 : POLLOUT));
      fds[2] = {master, events, 0};
    }
    lk.unlock();
    poll(fds, 3, wait);
    lk.lock();
    if (stopping_)
      break;
    uint64_t count;
    [[maybe_unused]] ssize_t drained = read(wake_fd_, &count, sizeof count);
    if (master != master_)
      continue; // unplugged or replugged meanwhile
    now = now_ms();
    if (fds[1].revents & POLLIN)
      take_opens(now);
    if (fds[2].fd < 0)
      continue;
    if (fds[2].revents & POLLIN) {
      const ssize_t n = read(master_, buf, static_cast<size_t>(std::min<long>(budget, sizeof buf)));
      if (n > 0)
        take_bytes(buf, static_cast<size_t>(n), now);
      else if (n == 0 || errno == EIO)
        take_close(now);
    } else if (fds[2].revents & (POLLHUP | POLLERR)) {
      take_close(now);
    }
  }
}

} // namespace orvtest
