#pragma once
// A simulated I/O board on a pseudo-terminal. The program under test opens the
// slave side as if it were the board's USB serial port; this object plays the
// board's update bridge on the master side from a script, in a thread of the
// test process, and records every byte the program sent.
//
//   orvtest::BoardScript script;            // answers START, takes the image, says DONE
//   script.bytes_per_sec = 46080;           // as fast as the RS485 relay takes it
//   orvtest::BoardSim board(script);
//   orvtest::PortSlot slot;
//   slot.point_at(board.device_path());
//   Target::get().run({"--screen-fw", image, "--port", slot.name()});
//   EXPECT_EQ(board.received(), "FWUP 4097\n" + image_bytes);
//
// Lines the board sends are given as raw bytes ("START\r\n"): the script says
// exactly what goes on the wire, including malformed endings.
#include "board_text.h"
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orvtest {

struct BoardScript {
  // Answer to "FWUP <n>": written fwup_answer_delay_ms after the command's
  // line feed arrived. Empty: the board never answers.
  std::string fwup_answer = "START\r\n";
  int fwup_answer_delay_ms = 0;

  // After the answer the board takes exactly n bytes as the image. Zero rate:
  // as fast as the program sends; otherwise reads are paced to that rate.
  long bytes_per_sec = 0;
  // The board stops reading after this many image bytes and never reads
  // again on this port (the program's writes then block). -1: never stalls.
  long stall_after = -1;
  // Raw bytes written once the image count reaches the given number of
  // bytes (0: right after the answer to FWUP). Several may share a count.
  std::vector<std::pair<long, std::string>> lines_at;
  // A board that talks all through the image (a log left on, an echoing
  // bridge): `chatter` again and again, at chatter_bytes_per_sec from the
  // answer to FWUP until the last image byte. Like a bridge with one loop,
  // it takes no image byte while its own output is backed up. 0: quiet.
  long chatter_bytes_per_sec = 0;
  std::string chatter = "log: relay frame ok, 4096 bytes forwarded\r\n";
  // Written final_delay_ms after the last image byte. Empty: silence.
  std::string final_answer = "DONE\r\n";
  int final_delay_ms = 0;

  // Answer to "IOBOOTSEL" (empty: none), then the hook runs on the board's
  // thread (the BOOTSEL drive appears, the board leaves the bus, ...). The
  // hook may call unplug().
  std::string iobootsel_answer = "BOOTSEL\r\n";
  int iobootsel_answer_delay_ms = 0;
  std::function<void()> on_iobootsel;

  // Raw bytes the board writes stale_delay_ms after the program first opens
  // the port, before its command: the program purges its input as it opens,
  // so earlier bytes would never reach it.
  std::string stale_lines;
  int stale_delay_ms = 60;
};

class BoardSim {
public:
  // The port's stable path is link_path, or a link in a temporary folder.
  explicit BoardSim(BoardScript script = {}, std::string link_path = {});
  ~BoardSim();
  BoardSim(const BoardSim &) = delete;
  BoardSim &operator=(const BoardSim &) = delete;

  // The stable path of the port: a link to the current pseudo-terminal,
  // absent while the board is unplugged.
  std::string device_path() const;
  // The slave path of the current pseudo-terminal.
  std::string pty_path() const;

  // The board leaves the bus: the link goes and the pseudo-terminal closes
  // under the program (its reads and writes fail). Bytes the board wrote in
  // the last 100 ms are given that long to reach the program first.
  void unplug();
  // The board comes back on a fresh pseudo-terminal behind the same link,
  // in the same state as a board that has just started.
  void replug();

  // Writes raw bytes to the program now, whatever the script says.
  void send(const std::string &bytes);
  // A board that logs without pause: `burst` every millisecond from the
  // moment the program has set the port up until its first byte arrives.
  // False when give_up_ms of that did not let the program get a word in.
  bool chatter_until_spoken_to(const std::string &burst, int give_up_ms = 10000);

  // Every byte the program sent since the board was made, across replugs.
  std::string received() const;
  // Waits until at least n bytes were received; false on time-out.
  bool wait_received(size_t n, int timeout_ms) const;
  // How many times the program opened the port (each first open after the
  // port had no user). Opens and closes within a few milliseconds may be
  // missed.
  int opens() const;
  bool wait_opens(int n, int timeout_ms) const;
  // Waits until the program has set the line to 115200 baud (the board makes
  // its pty at another speed); false on time-out.
  bool wait_configured(int timeout_ms) const;
  // True while the program holds the port open.
  bool in_use() const;
  // Image bytes taken since the last FWUP.
  long image_received() const;
  // Everything the board wrote, in order, for assertions on the board side.
  std::string sent() const;

private:
  struct Pending {
    int64_t due_ms;
    std::string bytes;
    bool hook; // run the IOBOOTSEL hook once written
  };

  void open_pty();
  void close_pty();
  void run();
  long read_budget(int64_t now, int *wait_ms) const;
  void take_bytes(const char *data, size_t n, int64_t now);
  void take_command(const std::string &line, int64_t now);
  void take_image_bytes(long n, int64_t now);
  void take_opens(int64_t now);
  void take_close(int64_t now);
  void schedule(int64_t due_ms, const std::string &bytes, bool hook);
  void write_now(const std::string &bytes);
  int chatter(int64_t now);
  void reset_session();
  void wake();

  const BoardScript script_;
  std::string dir_;  // temporary folder that holds the link
  std::string link_; // device_path()

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  int master_ = -1;
  std::string pty_path_;
  std::string received_;
  std::string sent_;
  int opens_ = 0;
  int64_t last_write_ms_ = 0;
  std::vector<Pending> pending_;
  bool stopping_ = false;

  // Owned by the board's thread (guarded by mu_ as well, for the accessors).
  bool slave_open_ = false;
  bool stale_sent_ = false;
  std::string line_;
  long image_size_ = -1; // -1: not taking an image
  long image_count_ = 0;
  int64_t image_start_ms_ = 0;
  bool stalled_ = false;
  std::vector<bool> lines_done_;
  long chatter_made_ = 0;   // chatter bytes due so far in this image
  std::string chatter_out_; // chatter due but not yet taken by the pseudo-terminal

  int notify_fd_ = -1; // inotify on the slave side: every open of the port
  int wake_fd_ = -1;   // eventfd that interrupts the board's poll
  std::thread thread_;
};

} // namespace orvtest
