#include "bootrom_sim.h"

#include "uf2.h"

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/mount.h>
#include <sys/stat.h>

namespace orvtest {
namespace {

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// How often the ROM looks at its drive: the real one sees each block as it
// is written; a look every few milliseconds is close enough.
constexpr int kLookMs = 5;

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

BootRom::BootRom(std::string folder, BoardSim *board, BootRomScript script)
    : folder_(std::move(folder)), board_(board), script_(std::move(script)) {
  mkdir(folder_.c_str(), 0755);
  thread_ = std::thread([this] { run(); });
}

BootRom::~BootRom() {
  {
    std::lock_guard lk(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.join();
  std::lock_guard lk(mu_);
  if (mounted_) {
    if (script_.before_unmount)
      script_.before_unmount();
    umount2(folder_.c_str(), MNT_DETACH);
  }
}

bool BootRom::enter_bootsel() {
  if (board_)
    board_->unplug();
  std::lock_guard lk(mu_);
  if (mounted_)
    return true;
  const std::string opts = "size=" + std::to_string(script_.size_kib) + "k,mode=0755";
  if (mount("tmpfs", folder_.c_str(), "tmpfs", 0, opts.c_str()) != 0)
    return false;
  std::ofstream(folder_ + "/.windows-label") << "RPI-RP2"; // what Wine reads as the volume label
  mounted_ = true;
  largest_file_ = 0;
  if (script_.after_mount && !script_.after_mount())
    return false;
  cv_.notify_all();
  return true;
}

bool BootRom::in_bootsel() const {
  std::lock_guard lk(mu_);
  return mounted_;
}

int BootRom::flashes() const {
  std::lock_guard lk(mu_);
  return flashes_;
}

bool BootRom::wait_flashes(int n, int timeout_ms) const {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return flashes_ >= n; });
}

bool BootRom::wait_file(long size, int timeout_ms) const {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return largest_file_ >= size; });
}

std::string BootRom::flashed_name() const {
  std::lock_guard lk(mu_);
  return flashed_name_;
}

std::string BootRom::flashed_bytes() const {
  std::lock_guard lk(mu_);
  return flashed_bytes_;
}

int64_t BootRom::completed_at_ms() const {
  std::lock_guard lk(mu_);
  return completed_at_ms_;
}

int64_t BootRom::left_at_ms() const {
  std::lock_guard lk(mu_);
  return left_at_ms_;
}

// Called with mu_ held.
bool BootRom::look_at_files() {
  DIR *d = opendir(folder_.c_str());
  if (!d)
    return false;
  bool complete = false;
  while (const dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == ".windows-label")
      continue;
    const std::string bytes = read_all(folder_ + "/" + name);
    if (static_cast<long>(bytes.size()) > largest_file_) {
      largest_file_ = static_cast<long>(bytes.size());
      cv_.notify_all();
    }
    uf2_report_t report;
    if (uf2_read(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &report) == UF2_COMPLETE) {
      pending_name_ = name;
      pending_bytes_ = bytes;
      complete = true;
      break;
    }
  }
  closedir(d);
  return complete;
}

// Called with mu_ held: the reboot after a flash.
void BootRom::leave_bootsel() {
  if (script_.before_unmount)
    script_.before_unmount();
  umount2(folder_.c_str(), MNT_DETACH);
  mounted_ = false;
  due_ms_ = -1;
  ++flashes_;
  flashed_name_ = pending_name_;
  flashed_bytes_ = pending_bytes_;
  left_at_ms_ = now_ms();
  cv_.notify_all();
}

void BootRom::run() {
  std::unique_lock lk(mu_);
  while (!stopping_) {
    if (!mounted_) {
      cv_.wait(lk, [&] { return stopping_ || mounted_; });
      continue;
    }
    if (due_ms_ < 0 && look_at_files() && !script_.hangs) {
      completed_at_ms_ = now_ms();
      due_ms_ = completed_at_ms_ + script_.reboot_ms;
    }
    if (due_ms_ >= 0 && now_ms() >= due_ms_) {
      leave_bootsel();
      if (board_ && script_.port_returns) {
        cv_.wait_for(lk, std::chrono::milliseconds(script_.port_return_ms), [&] { return stopping_; });
        if (stopping_)
          break;
        lk.unlock();
        board_->replug();
        lk.lock();
      }
      continue;
    }
    cv_.wait_for(lk, std::chrono::milliseconds(kLookMs), [&] { return stopping_; });
  }
}

} // namespace orvtest
