// The I/O firmware update as a technician runs it: the simulated board on
// its serial port, and a real BOOTSEL drive for the program to find and
// write to. The drive is a small tmpfs mounted in this test's own mount
// namespace, so parallel tests never see each other's drives. Natively it is
// found by its folder, named RPI-RP2 as desktops name it; under Wine a drive
// letter labelled RPI-RP2 leads to it through Wine's mount manager.
#include "board_sim.h"
#include "bootrom_sim.h"
#include "firmware_gen.h"
#include "target.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using orvtest::BoardScript;
using orvtest::BoardSim;
using orvtest::BootRom;
using orvtest::BootRomScript;
using orvtest::PortSlot;
using orvtest::ProcessOptions;
using orvtest::ProcessResult;
using orvtest::Target;

namespace fs = std::filesystem;

namespace {

const std::string kRebooting = "Rebooting I/O board into BOOTSEL...\n";
const std::string kWaiting = "Waiting for the RPI-RP2 drive...\n";
const std::string kRestart = "Waiting for the board to restart...\n";
const std::string kSuccess = "Success: I/O board firmware written. The board is rebooting.\n";
const std::string kNoDrive = "ERROR: The RPI-RP2 drive did not appear. Is the I/O board connected and running "
                             "firmware new enough to accept the reboot command? (Its USB drive must auto-mount.)\n";

// What a board that logs heavily says every millisecond: more lines than
// the program takes in while it has nothing else to do (one per pause of the
// link's read), so they pile up for as long as the board goes on.
const std::string kHeartbeats = "log: heartbeat\r\nlog: heartbeat\r\n";

std::string not_uf2(const std::string &path) {
  return "ERROR: '" + path +
         "' is not a UF2 file. Pass the I/O board's .uf2 (e.g. build/mirad-fw-io.uf2), not the "
         ".bin/.elf.\n";
}

std::string uf2_string(const std::vector<orvtest::Uf2Block> &blocks) {
  const orvtest::Bytes b = orvtest::uf2_file(blocks);
  return std::string(b.begin(), b.end());
}

// The line under "I/O firmware:" for an image of rp2040_image(blocks).
std::string flash_line(size_t blocks) {
  char line[96];
  std::snprintf(line, sizeof line, "  UF2 image:    %zu block%s for flash, 0x10000000-0x%08zx\n", blocks,
                blocks == 1 ? "" : "s", 0x10000000 + 256 * blocks);
  return line;
}

// A complete RP2040 download of n blocks for flash from 0x10000000, as the
// board's build makes it and the boot ROM flashes it. Its payload bytes
// (each block's number) include every byte a text-mode copy would mangle.
std::string rp2040_image(uint32_t blocks) {
  const orvtest::Bytes b = orvtest::uf2_file(orvtest::uf2_flash_blocks(blocks));
  return std::string(b.begin(), b.end());
}

std::string back_on(const std::string &port) {
  return "Waiting for the I/O board to come back on " + port + "...\nThe I/O board is back on " + port + ".\n";
}

// What a run that flashed the board prints after the drive was found.
std::string flashed(const std::string &drive, const std::string &port) {
  return "Copying firmware to " + drive + "...\n" + kRestart + kSuccess + back_on(port);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Wine's own chatter ("wine: Read access denied for device Z:\", asked when
// the program reads the Z: drive's label) is no part of the program's output.
std::string without_wine_lines(const std::string &text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text.compare(at, 6, "wine: ") != 0)
      out += text.substr(at, end - at);
    at = end;
  }
  return out;
}

// One BOOTSEL drive. attach() is the moment it shows up on the workstation,
// detach() the moment it goes.
class Drive {
public:
  struct Setup {
    std::string label = "RPI-RP2";
    char letter = 'R';     // under Wine
    long size_kib = 16384; // the tmpfs's size
    bool read_only = false;
  };

  Drive(const std::string &dir, Setup setup) : setup_(std::move(setup)) {
    // Natively the folder's name is what makes it the drive.
    folder_ = dir + "/" + setup_.letter + "/" + setup_.label;
    fs::create_directories(folder_);
  }
  ~Drive() { detach(); }
  Drive(const Drive &) = delete;
  Drive &operator=(const Drive &) = delete;

  bool attach() {
    const std::string opts = "size=" + std::to_string(setup_.size_kib) + "k,mode=0755";
    if (mount("tmpfs", folder_.c_str(), "tmpfs", 0, opts.c_str()) != 0)
      return false;
    mounted_ = true;
    std::ofstream(folder_ + "/.windows-label") << setup_.label;
    if (setup_.read_only && mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
      return false;
    if (Target::get().wine()) {
      // The wine server lives outside this namespace; it reaches the tmpfs
      // through this process's view of the file system.
      const std::string seen_from_outside = "/proc/" + std::to_string(getpid()) + "/root" + folder_;
      if (winedrive({"define", letter(), seen_from_outside}) != 0)
        return false;
      lettered_ = true;
    }
    return true;
  }

  void detach() {
    if (lettered_)
      winedrive({"remove", letter()});
    lettered_ = false;
    if (mounted_)
      umount2(folder_.c_str(), MNT_DETACH);
    mounted_ = false;
  }

  // What the program is told to write to: "R:" under Wine, the folder natively.
  std::string name() const { return Target::get().wine() ? letter() : folder_; }
  std::string file(const std::string &name) const { return read_file(folder_ + "/" + name); }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(folder_))
      if (e.path().filename() != ".windows-label")
        names.push_back(e.path().filename().string());
    return names;
  }

  static int winedrive(const std::vector<std::string> &args) {
#ifdef ORVUP_WINEDRIVE_EXE
    ProcessOptions opts;
    Target::get().add_wine_env(opts);
    std::vector<std::string> argv = {"wine", ORVUP_WINEDRIVE_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult r = orvtest::run_process(argv, opts);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status;
#else
    (void)args;
    ADD_FAILURE() << "winedrive.exe was not built";
    return -1;
#endif
  }

private:
  std::string letter() const { return std::string(1, setup_.letter) + ":"; }

  Setup setup_;
  std::string folder_;
  bool mounted_ = false;
  bool lettered_ = false;
};

class IoUpdate : public testing::Test {
protected:
  void SetUp() override {
    // A mount namespace of this test's own: its drives stay invisible to
    // other tests and vanish with the process.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      GTEST_SKIP() << "needs root to mount a drive in a private namespace: " << std::strerror(errno);
    char tmpl[] = "/tmp/orvup-io-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    if (Target::get().wine()) {
      // Every Wine process of the shared prefix sees every drive letter, so
      // tests that make or look for a drive there take turns.
      lock_fd_ = open((Target::get().wine_root() + "/drives.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(lock_fd_, 0);
      ASSERT_EQ(flock(lock_fd_, LOCK_EX), 0);
    }
  }

  void TearDown() override {
    roms_.clear();
    drives_.clear();
    if (!dir_.empty())
      fs::remove_all(dir_);
    if (lock_fd_ >= 0)
      close(lock_fd_);
  }

  Drive &drive(Drive::Setup setup = {}) {
    drives_.push_back(std::make_unique<Drive>(dir_, std::move(setup)));
    return *drives_.back();
  }

  // The boot ROM of a board in BOOTSEL, its drive at `letter` (natively a
  // folder named RPI-RP2 under one named after the letter).
  BootRom &rom(BoardSim *board, char letter = 'R', BootRomScript script = {}) {
    fs::create_directories(dir_ + "/" + letter);
    const std::string folder = dir_ + "/" + letter + "/RPI-RP2";
    if (Target::get().wine()) {
      const std::string name = std::string(1, letter) + ":";
      const std::string seen_from_outside = "/proc/" + std::to_string(getpid()) + "/root" + folder;
      script.after_mount = [name, seen_from_outside] {
        return Drive::winedrive({"define", name, seen_from_outside}) == 0;
      };
      script.before_unmount = [name] { Drive::winedrive({"remove", name}); };
    }
    roms_.push_back(std::make_unique<BootRom>(folder, board, std::move(script)));
    return *roms_.back();
  }
  std::string rom_name(const BootRom &r, char letter = 'R') const {
    return Target::get().wine() ? std::string(1, letter) + ":" : r.folder();
  }

  std::string write_image(const std::string &name, const std::string &bytes) {
    fs::create_directories(fs::path(dir_ + "/" + name).parent_path());
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
    return name;
  }

  // Runs the update with the test folder as working directory, so image
  // paths read the same natively and under Wine.
  ProcessResult update(const std::string &image, const std::string &port, int timeout_ms = 60000,
                       bool merge_err = false) {
    ProcessOptions opts;
    opts.cwd = dir_;
    opts.timeout_ms = timeout_ms;
    opts.merge_err = merge_err;
    const auto start = std::chrono::steady_clock::now();
    ProcessResult r = Target::get().run({"--io-fw", image, "--port", port}, opts);
    elapsed_ms_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    r.err = without_wine_lines(r.err);
    EXPECT_FALSE(r.timed_out);
    return r;
  }

  // A port name that leads nowhere, as when the board is already in BOOTSEL.
  std::string dead_port() {
    slot_.point_at(dir_ + "/no-such-port");
    return slot_.name();
  }

  // For an image of rp2040_image(size / 512) unless `download` says otherwise.
  std::string header(const std::string &image, size_t size, const std::string &port, std::string download = "") {
    if (download.empty())
      download = flash_line(size / 512);
    return "orvup v1.00\nI/O firmware:   " + image + " (" + std::to_string(size) + " bytes)\n" + download +
           "I/O board port: " + port + "\n";
  }

  std::string dir_;
  PortSlot slot_;
  long elapsed_ms_ = 0;
  int lock_fd_ = -1;
  std::vector<std::unique_ptr<Drive>> drives_;
  std::vector<std::unique_ptr<BootRom>> roms_;
};

TEST_F(IoUpdate, RefusesFilesThatAreNotPlausibleUf2Images) {
  struct Row {
    std::string name;
    std::string bytes;
    std::string err;
  };
  const std::string big = rp2040_image(16384) + "\n";
  const orvtest::Bytes app = orvtest::esp_app_image_of_size(65536); // the screen board's image
  const std::vector<Row> rows = {
      {"short.uf2", rp2040_image(1).substr(0, 511), not_uf2("short.uf2")},
      {"app.bin", std::string(app.begin(), app.end()), not_uf2("app.bin")},
      {"big.uf2", big, "ERROR: 'big.uf2' is 8388609 bytes \xE2\x80\x94 that is not a plausible I/O .uf2\n"},
      {"big.bin", std::string(8388609, '\0'),
       "ERROR: 'big.bin' is 8388609 bytes \xE2\x80\x94 that is not a plausible I/O .uf2\n"},
      {"empty.uf2", "", "ERROR: Unable to read firmware file 'empty.uf2'\n"},
  };
  Drive &d = drive();
  ASSERT_TRUE(d.attach()); // a drive is there, and must stay untouched
  for (const Row &row : rows) {
    write_image(row.name, row.bytes);
    const auto r = update(row.name, dead_port());
    EXPECT_EQ(r.status, 255) << row.name;
    EXPECT_EQ(r.out, "orvup v1.00\n") << row.name;
    EXPECT_EQ(r.err, row.err) << row.name;
    // In one log the banner comes first.
    EXPECT_EQ(update(row.name, dead_port(), 60000, true).out, "orvup v1.00\n" + row.err) << row.name;
  }
  // Past 4 GiB a size cut to 32 bits would read as one byte; the whole size
  // is what refuses it, before a byte of it is read.
  std::ofstream(dir_ + "/disk.img").close();
  fs::resize_file(dir_ + "/disk.img", (1ULL << 32) + 1);
  const auto huge = update("disk.img", dead_port());
  EXPECT_EQ(huge.status, 255);
  EXPECT_EQ(huge.err, "ERROR: 'disk.img' is 4294967297 bytes \xE2\x80\x94 that is not a plausible I/O .uf2\n");
  const auto r = update("missing.uf2", dead_port());
  EXPECT_EQ(r.err, "ERROR: Unable to read firmware file 'missing.uf2'\n");
  EXPECT_TRUE(d.files().empty());
}

TEST_F(IoUpdate, FilesTheBootRomWouldNotCompleteAreRefusedBeforeTheBoardIsTouched) {
  using orvtest::Uf2Block;
  struct Row {
    std::string name;
    std::vector<Uf2Block> blocks;
    std::string reason;
  };
  std::vector<Uf2Block> gap = orvtest::uf2_flash_blocks(154);
  gap.erase(gap.begin() + 9);
  std::vector<Uf2Block> unflagged = orvtest::uf2_flash_blocks(4);
  for (Uf2Block &b : unflagged)
    b.flags = 0;
  std::vector<Uf2Block> stray = orvtest::uf2_flash_blocks(8);
  stray[3].address = 0x30000000;
  const std::vector<Row> rows = {
      {"rp2350.uf2", orvtest::uf2_flash_blocks(154, orvtest::kRp2040Flash, orvtest::kFamilyRp2350ArmS),
       "it is built for family 0xe48bff59 (RP2350 Arm secure), not for the RP2040 (family 0xe48bff56)"},
      {"gap.uf2", gap, "block 9 of 154 is missing or damaged"},
      {"unflagged.uf2", unflagged,
       "no block is marked with the RP2040 family 0xe48bff56; 4 of its blocks carry no "
       "family id"},
      {"stray.uf2", stray,
       "block index 3 in the file targets 0x30000000, not wholly inside flash or RAM; the boot ROM restarts the "
       "download there"},
  };
  Drive &d = drive();
  ASSERT_TRUE(d.attach());
  BoardSim board;
  slot_.point_at(board.device_path());
  for (const Row &row : rows) {
    write_image(row.name, uf2_string(row.blocks));
    const auto r = update(row.name, slot_.name());
    EXPECT_EQ(r.status, 255) << row.name;
    EXPECT_EQ(r.out, "orvup v1.00\n") << row.name;
    EXPECT_EQ(r.err, "ERROR: '" + row.name + "' would not flash an RP2040: " + row.reason + "\n");
  }
  EXPECT_EQ(board.opens(), 0);
  EXPECT_EQ(board.received(), "");
  EXPECT_TRUE(d.files().empty());
}

TEST_F(IoUpdate, ImageForRamIsCopiedWithAWarning) {
  // A utility that runs from RAM (a flash eraser, say): it works once.
  BoardScript script;
  BootRom *r0m = nullptr;
  script.on_iobootsel = [&] { EXPECT_TRUE(r0m->enter_bootsel()); };
  BoardSim board(script);
  BootRom &d = rom(&board);
  r0m = &d;
  slot_.point_at(board.device_path());
  const std::string image = uf2_string(orvtest::uf2_ram_blocks(4));
  write_image("erase.uf2", image);
  const auto r = update("erase.uf2", slot_.name());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "WARNING: 'erase.uf2' loads into the RP2040's RAM, not its flash: it runs once and is gone at the "
                   "next power-up\n");
  EXPECT_EQ(r.out,
            header("erase.uf2", 2048, slot_.name(), "  UF2 image:    4 blocks for RAM, 0x20000000-0x20000400\n") +
                kRebooting + kWaiting + flashed(rom_name(d), slot_.name()));
  EXPECT_TRUE(d.flashed_bytes() == image);
}

TEST_F(IoUpdate, RunningBoardIsRebootedFlashedWithTheLargestImageAndComesBack) {
  BoardScript script;
  script.stale_lines = "boot: io v1.2\r\nBOOTSEL\r\n"; // said before the request: not its answer
  BootRom *r0m = nullptr;
  script.on_iobootsel = [&] { EXPECT_TRUE(r0m->enter_bootsel()); };
  BoardSim board(script);
  BootRom &d = rom(&board);
  r0m = &d;
  slot_.point_at(board.device_path());

  const std::string image = rp2040_image(16384); // 8 MiB
  write_image("build/io.uf2", image);
  const auto r = update("build/io.uf2", slot_.name());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            header("build/io.uf2", 8388608, slot_.name()) + kRebooting + kWaiting + flashed(rom_name(d), slot_.name()));
  EXPECT_EQ(board.received(), "IOBOOTSEL\n");
  EXPECT_EQ(d.flashes(), 1);
  EXPECT_EQ(d.flashed_name(), "io.uf2");
  EXPECT_TRUE(d.flashed_bytes() == image) << "the file on the drive differs from the image";
}

TEST_F(IoUpdate, BoardAlreadyInBootselIsFlashedThroughItsDrive) {
  // The port cannot be opened; the drive is there from the start. Image
  // paths with either separator give the name on the drive.
  BoardSim board;
  board.unplug();
  BootRom &d = rom(&board);
  const std::string image = rp2040_image(1);
  // Names outside any one legacy code page reach the file system whole.
  std::vector<std::pair<std::string, std::string>> paths = {
      {"fw.uf2", "fw.uf2"},
      {"sub/dir/a.uf2", "a.uf2"},
      {"\xd0\xbf\xd1\x80\xd0\xbe/\xe5\x9b\xba\xe4\xbb\xb6-\xc3\xa9.uf2", "\xe5\x9b\xba\xe4\xbb\xb6-\xc3\xa9.uf2"}};
  if (Target::get().wine()) {
    paths.push_back({"sub\\dir\\b.uf2", "b.uf2"});
    paths.push_back({"sub/dir\\c.uf2", "c.uf2"});
  } else {
    paths.push_back({"odd\\name\\b.uf2", "b.uf2"}); // one file name with backslashes in it
  }
  for (const auto &[path, on_drive] : paths) {
    std::string file = path;
    if (Target::get().wine()) // Windows takes either separator; the file is the same
      for (char &c : file)
        if (c == '\\')
          c = '/';
    write_image(file, image);
    ASSERT_TRUE(d.enter_bootsel());
    slot_.point_at(board.device_path());
    const std::string port = slot_.name();
    const auto r = update(path, port);
    EXPECT_EQ(r.status, 0) << path << "\n" << r.err;
    EXPECT_EQ(r.out, header(path, 512, port) + kWaiting + flashed(rom_name(d), port));
    const std::string warning = "WARNING: Could not open " + port +
                                ". If the board is already in BOOTSEL this is expected; looking for the drive...\n";
    ASSERT_GE(r.err.size(), warning.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - warning.size()), warning) << "the warning comes last";
    // Right before it: the failed open, and the line that says why.
    const std::string unable = "ERROR: Unable to open serial port " + port + "\n  ";
    const size_t at = r.err.find(unable);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n', at + unable.size()) + 1, r.err.size() - warning.size()) << r.err;
    EXPECT_EQ(d.flashed_name(), on_drive) << path;
    EXPECT_TRUE(d.flashed_bytes() == image) << path;
  }
}

TEST_F(IoUpdate, EarliestMatchingDriveWinsAndNearMissesAreIgnored) {
  // Natively the drives' folders sort by their parent's letter; under Wine
  // the letters themselves decide.
  // With no port to ask, nothing tells the boards apart: the choice is said.
  Drive &lower = drive({.label = "rpi-rp2", .letter = 'M'});
  Drive &later = drive({.label = "RPI-RP2", .letter = 'S'});
  BoardSim board;
  BootRom &chosen = rom(&board, 'P');
  ASSERT_TRUE(chosen.enter_bootsel());
  for (Drive *d : {&lower, &later})
    ASSERT_TRUE(d->attach());
  if (!Target::get().wine()) { // Wine trims a label's trailing blanks, as FAT pads them
    Drive &b = drive({.label = "RPI-RP2 ", .letter = 'N'});
    ASSERT_TRUE(b.attach());
  }
  // A universal file: the RP2040's blocks, then the RP2350's, which the
  // RP2040 skips.
  write_image("fw.uf2", uf2_string(orvtest::uf2_universal_blocks(8, 6)));
  slot_.point_at(board.device_path());
  const auto r = update("fw.uf2", slot_.name());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Copying firmware to " + rom_name(chosen, 'P') + "...\n"), std::string::npos) << r.out;
  const std::string warning = "WARNING: 2 RPI-RP2 drives are present (" + rom_name(chosen, 'P') + ", " + later.name() +
                              "); using " + rom_name(chosen, 'P') + ", the first.";
  EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
  EXPECT_EQ(chosen.flashed_name(), "fw.uf2");
  EXPECT_TRUE(lower.files().empty());
  EXPECT_TRUE(later.files().empty());
}

TEST_F(IoUpdate, SilentBoardIsGivenThreeSecondsThenTheDriveIsUsed) {
  BoardScript script;
  script.iobootsel_answer = "";
  script.stale_lines = "noise\r\n";
  BootRom *r0m = nullptr;
  script.on_iobootsel = [&] { EXPECT_TRUE(r0m->enter_bootsel()); };
  BoardSim board(script);
  BootRom &d = rom(&board);
  r0m = &d;
  slot_.point_at(board.device_path());
  write_image("fw.uf2", rp2040_image(2));
  const auto r = update("fw.uf2", slot_.name());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, header("fw.uf2", 1024, slot_.name()) + kRebooting + kWaiting + flashed(rom_name(d), slot_.name()));
  EXPECT_EQ(board.received(), "IOBOOTSEL\n");
  EXPECT_GE(elapsed_ms_, 3000);
}

TEST_F(IoUpdate, BoardThatNeverStopsTalkingStillGetsTheRebootRequest) {
  BoardScript script;
  script.iobootsel_answer_delay_ms = 300; // after the last of the chatter
  BootRom *r0m = nullptr;
  script.on_iobootsel = [&] { EXPECT_TRUE(r0m->enter_bootsel()); };
  BoardSim board(script);
  BootRom &d = rom(&board);
  r0m = &d;
  slot_.point_at(board.device_path());
  // 10 s of chatter without the program's first byte means it never spoke.
  auto spoken_to = std::async(std::launch::async, [&] { return board.chatter_until_spoken_to(kHeartbeats); });
  write_image("fw.uf2", rp2040_image(1));
  const auto r = update("fw.uf2", slot_.name());
  EXPECT_TRUE(spoken_to.get()) << "the program kept reading the board's log and never asked it to reboot";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, header("fw.uf2", 512, slot_.name()) + kRebooting + kWaiting + flashed(rom_name(d), slot_.name()));
  EXPECT_EQ(board.received(), "IOBOOTSEL\n");
}

TEST_F(IoUpdate, DriveThatShowsUpLateIsWaitedFor) {
  // The board leaves the bus as soon as it has answered, as a real one
  // does; its drive takes a while longer to mount.
  std::atomic<BoardSim *> self{nullptr};
  BoardScript script;
  script.on_iobootsel = [&] {
    if (BoardSim *b = self.load())
      b->unplug();
  };
  BoardSim board(script);
  self = &board;
  BootRom &d = rom(&board);
  slot_.point_at(board.device_path());
  auto shown = std::async(std::launch::async, [&] {
    if (!board.wait_received(10, 20000))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    return d.enter_bootsel();
  });
  const std::string image = rp2040_image(200);
  write_image("fw.uf2", image);
  const auto r = update("fw.uf2", slot_.name());
  EXPECT_TRUE(shown.get());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            header("fw.uf2", image.size(), slot_.name()) + kRebooting + kWaiting + flashed(rom_name(d), slot_.name()));
  EXPECT_TRUE(d.flashed_bytes() == image);
}

TEST_F(IoUpdate, NoDriveWithinThirtySecondsIsAnError) {
  if (!Target::get().wine())
    GTEST_SKIP()
        << "natively: unit.UpdateWaits.NoDriveWithinThirtySecondsIsAnError, in the test process on a fast clock";
  // A plain folder named like the drive is not a drive.
  fs::create_directories(dir_ + "/media/RPI-RP2");
  BoardSim board;
  slot_.point_at(board.device_path());
  write_image("fw.uf2", rp2040_image(1));
  const auto r = update("fw.uf2", slot_.name(), 90000);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header("fw.uf2", 512, slot_.name()) + kRebooting + kWaiting);
  EXPECT_EQ(r.err, kNoDrive);
  EXPECT_GE(elapsed_ms_, 30000);
  EXPECT_TRUE(fs::is_empty(dir_ + "/media/RPI-RP2"));
}

TEST_F(IoUpdate, ReadOnlyDriveIsAnError) {
  Drive &d = drive({.read_only = true});
  ASSERT_TRUE(d.attach());
  write_image("fw.uf2", rp2040_image(1));
  const std::string port = dead_port();
  const auto r = update("fw.uf2", port);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header("fw.uf2", 512, port) + kWaiting + "Copying firmware to " + d.name() + "...\n");
  const std::string want = "ERROR: Cannot open '" + d.name() + "/fw.uf2' for writing\n";
  ASSERT_GE(r.err.size(), want.size()) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - want.size()), want);
}

TEST_F(IoUpdate, FullDriveIsAnErrorNeverASuccess) {
  Drive &d = drive({.size_kib = 64});
  ASSERT_TRUE(d.attach());
  write_image("fw.uf2", rp2040_image(512));
  const std::string port = dead_port();
  const auto r = update("fw.uf2", port);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, header("fw.uf2", 256 * 1024, port) + kWaiting + "Copying firmware to " + d.name() + "...\n");
  const size_t at = r.err.find("ERROR: Only wrote ");
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" of 262144 bytes to the RPI-RP2 drive\n", at), std::string::npos) << r.err;
}

TEST_F(IoUpdate, DriveThereBeforeTheRebootIsAnotherBoardsAndLeftAlone) {
  // The other board's drive has the earlier letter (natively: folder).
  Drive &other = drive({.letter = 'G'});
  ASSERT_TRUE(other.attach());
  const std::string other_image = rp2040_image(4);
  std::ofstream(Target::get().wine() ? dir_ + "/G/RPI-RP2/other.uf2" : other.name() + "/other.uf2", std::ios::binary)
      << other_image;
  BoardScript script;
  BootRom *r0m = nullptr;
  script.on_iobootsel = [&] { EXPECT_TRUE(r0m->enter_bootsel()); };
  BoardSim board(script);
  BootRom &d = rom(&board, 'R');
  r0m = &d;
  slot_.point_at(board.device_path());
  const std::string image = rp2040_image(32);
  write_image("fw.uf2", image);
  const auto r = update("fw.uf2", slot_.name());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, header("fw.uf2", image.size(), slot_.name()) + kRebooting + kWaiting +
                       flashed(rom_name(d, 'R'), slot_.name()));
  EXPECT_TRUE(d.flashed_bytes() == image);
  EXPECT_EQ(other.files(), std::vector<std::string>{"other.uf2"});
  EXPECT_TRUE(other.file("other.uf2") == other_image) << "the other board's drive was changed";
}

TEST_F(IoUpdate, DriveThatStaysAfterTheCopyIsAnError) {
  if (!Target::get().wine())
    GTEST_SKIP() << "natively: unit.IoConfirm.DriveThatStaysAfterTheCopyIsAnError, in the test process on a fast clock";
  BoardScript script;
  BootRom *r0m = nullptr;
  script.on_iobootsel = [&] { EXPECT_TRUE(r0m->enter_bootsel()); };
  BoardSim board(script);
  BootRom &d = rom(&board, 'R', BootRomScript{.hangs = true});
  r0m = &d;
  slot_.point_at(board.device_path());
  write_image("fw.uf2", rp2040_image(2));
  const auto r = update("fw.uf2", slot_.name(), 90000);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out,
            header("fw.uf2", 1024, slot_.name()) + kRebooting + kWaiting + "Copying firmware to R:...\n" + kRestart);
  EXPECT_EQ(r.err, "ERROR: The board did not take the image: R: is still there 10 s after the copy, so its boot ROM "
                   "did not complete the download and the board is still in BOOTSEL.\n");
  EXPECT_GE(elapsed_ms_, 10000);
}

TEST_F(IoUpdate, BoardThatRestartsWithoutItsPortIsStillASuccess) {
  if (!Target::get().wine())
    GTEST_SKIP() << "natively: unit.IoConfirm.BoardThatRestartsWithoutItsPortIsStillASuccess, in the test process on a "
                    "fast clock";
  BoardScript script;
  BootRom *r0m = nullptr;
  script.on_iobootsel = [&] { EXPECT_TRUE(r0m->enter_bootsel()); };
  BoardSim board(script);
  BootRom &d = rom(&board, 'R', BootRomScript{.port_returns = false});
  r0m = &d;
  slot_.point_at(board.device_path());
  write_image("fw.uf2", rp2040_image(2));
  const auto r = update("fw.uf2", slot_.name(), 90000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, header("fw.uf2", 1024, slot_.name()) + kRebooting + kWaiting + "Copying firmware to R:...\n" +
                       kRestart + kSuccess + "Waiting for the I/O board to come back on " + slot_.name() + "...\n");
  EXPECT_EQ(r.err, "WARNING: The I/O board has not come back on " + slot_.name() +
                       " within 15 s. New firmware may take longer to start, or use another port.\n");
  EXPECT_EQ(d.flashes(), 1);
}

} // namespace

// SIGTERM while the run waits for the drive, and while its copy waits on a
// drive that takes no more (a pipe in the file's place, never read): the
// run stops within a moment, says what state the board is left in, and
// exits -1.
TEST_F(IoUpdate, AStopEndsTheWaitAndTheCopyAndSaysTheBoardsState) {
  // Wine turns only SIGINT into a console event (Ctrl-C), and its drive is
  // a letter: there, only the wait for the drive is stopped.
  const bool wine = Target::get().wine();
  struct Case {
    bool drive;
    std::string said;
  };
  const Case cases[] = {
      {false, "ERROR: Interrupted before the copy: nothing was written to the I/O board\nThe board may already be "
              "in BOOTSEL (its RPI-RP2 drive showing). Run the update again.\n"},
      {true, "ERROR: Interrupted during the copy: the I/O board is left in BOOTSEL\nIt runs nothing new until a "
             "full copy reaches its drive. Run the update again.\n"},
  };
  write_image("fw.uf2", rp2040_image(1024)); // 512 KiB: more than the pipe holds
  const std::string port = dead_port();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.drive ? "during the copy" : "waiting for the drive");
    if (wine && c.drive)
      continue;
    std::unique_ptr<Drive> d;
    int reader = -1;
    if (c.drive) {
      d = std::make_unique<Drive>(dir_, Drive::Setup{});
      ASSERT_TRUE(d->attach());
      const std::string fifo = d->name() + "/fw.uf2";
      ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
      reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(reader, 0);
    }
    ProcessOptions opts;
    opts.cwd = dir_;
    auto p = Target::get().start({"--io-fw", "fw.uf2", "--port", port}, opts);
    ASSERT_TRUE(p->wait_for(c.drive ? "Copying firmware to" : "Waiting for the RPI-RP2 drive", 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    p->signal(wine ? SIGINT : SIGTERM);
    // Not a speed claim: left alone, the drive wait ends only after 30 s and
    // the copy into a pipe nobody reads never; the stop ends both well before.
    const bool ended_by_the_stop = !p->running_after(20000);
    ProcessResult r = p->finish(10000);
    r.err = orvtest::crlf_to_lf(without_wine_lines(r.err));
    EXPECT_TRUE(ended_by_the_stop) << "still running 20 s after the signal";
    EXPECT_EQ(r.status, 255);
    ASSERT_GE(r.err.size(), c.said.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - c.said.size()), c.said);
    if (reader >= 0)
      close(reader);
  }
}
