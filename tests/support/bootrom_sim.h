#pragma once
// The RP2040's boot ROM in BOOTSEL, for the I/O update's tests and checks by
// hand. In BOOTSEL it offers a drive: a small tmpfs mounted on a folder
// named RPI-RP2 (in the caller's mount namespace; mounting needs root). Once
// a file on it forms a complete RP2040 download, as uf2_read judges it, the
// ROM flashes it: about reboot_ms later the drive goes and, after
// port_return_ms, the board's serial port comes back (BoardSim::replug). A
// file it would not complete leaves the drive where it is.
//
//   orvtest::BoardSim board;
//   orvtest::BootRom rom(dir + "/RPI-RP2", &board);
//   script.on_iobootsel = [&] { rom.enter_bootsel(); };
#include "board_sim.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace orvtest {

struct BootRomScript {
  int reboot_ms = 1000;     // from the completing block to the drive leaving
  bool port_returns = true; // the new firmware offers the serial port again
  int port_return_ms = 300; // from the drive leaving to the port's return
  long size_kib = 16384;    // the drive's size
  bool hangs = false;       // a faulty board: no download ever completes
  // Run right after the drive is mounted and right before it is unmounted:
  // under Wine, where a drive letter has to follow.
  std::function<bool()> after_mount;
  std::function<void()> before_unmount;
};

class BootRom {
public:
  // `board` (may be null) leaves the bus as the ROM takes over and comes
  // back after a flash.
  BootRom(std::string folder, BoardSim *board, BootRomScript script = {});
  ~BootRom();
  BootRom(const BootRom &) = delete;
  BootRom &operator=(const BootRom &) = delete;

  // The board reboots into BOOTSEL: its port leaves, the drive appears.
  // False when the drive could not be mounted. Safe on the board's thread.
  bool enter_bootsel();
  // Whether the drive is offered now.
  bool in_bootsel() const;
  // Waits until `n` flashes have happened (drive gone); false on time-out.
  bool wait_flashes(int n, int timeout_ms) const;
  int flashes() const;
  // Waits until a file of `size` bytes sits on the drive (complete or not).
  bool wait_file(long size, int timeout_ms) const;
  // The file names the ROM flashed, in order, and their bytes, last one.
  std::string flashed_name() const;
  std::string flashed_bytes() const;
  // Monotonic milliseconds (steady_clock) when the last flash's completing
  // bytes were seen and when its drive went.
  int64_t completed_at_ms() const;
  int64_t left_at_ms() const;

  const std::string &folder() const { return folder_; }

private:
  void run();
  void leave_bootsel();
  bool look_at_files(); // true when a file completes a download

  const std::string folder_;
  BoardSim *const board_;
  const BootRomScript script_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool mounted_ = false;
  bool stopping_ = false;
  int flashes_ = 0;
  long largest_file_ = 0;
  int64_t due_ms_ = -1; // when the pending reboot happens; -1: none
  std::string flashed_name_, flashed_bytes_, pending_name_, pending_bytes_;
  int64_t completed_at_ms_ = 0, left_at_ms_ = 0;
  std::thread thread_;
};

} // namespace orvtest
