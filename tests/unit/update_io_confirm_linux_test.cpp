// The I/O update from the reboot request to the board's return, inside the
// test process: the simulated board on a pseudo-terminal, the simulated boot
// ROM with real drives (tmpfs, in this test's own mount namespace), and the
// update's clock sped up once the run has reached a long wait.
#include "board_sim.h"
#include "bootrom_sim.h"
#include "firmware_gen.h"
#include "options.h"
#include "speed_clock.h"
#include "update-io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <thread>

using orvtest::BoardScript;
using orvtest::BoardSim;
using orvtest::BootRom;
using orvtest::BootRomScript;
using orvtest::SpeedClock;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kFast = 1000;

const std::string kRebooting = "Rebooting I/O board into BOOTSEL...\n";
const std::string kWaitingDrive = "Waiting for the RPI-RP2 drive...\n";
const std::string kRestart = "Waiting for the board to restart...\n";
const std::string kSuccess = "Success: I/O board firmware written. The board is rebooting.\n";
const std::string kNoDrive = "ERROR: The RPI-RP2 drive did not appear. Is the I/O board connected and running "
                             "firmware new enough to accept the reboot command? (Its USB drive must auto-mount.)\n";

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string uf2(uint32_t blocks) {
  const orvtest::Bytes b = orvtest::uf2_file(orvtest::uf2_flash_blocks(blocks));
  return std::string(b.begin(), b.end());
}

std::string back_on(const std::string &port) {
  return "Waiting for the I/O board to come back on " + port + "...\nThe I/O board is back on " + port + ".\n";
}

std::string still_there(const std::string &drive) {
  return "ERROR: The board did not take the image: " + drive +
         " is still there 10 s after the copy, so its boot ROM did not complete the download and the board is "
         "still in BOOTSEL.\n";
}

using orvtest::Outcome;

class IoConfirm : public ::testing::Test {
protected:
  void SetUp() override {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      GTEST_SKIP() << "needs root to mount a drive in a private namespace: " << std::strerror(errno);
    char tmpl[] = "/tmp/orvup-confirm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const std::string &m : mounts_)
      umount2(m.c_str(), MNT_DETACH);
    if (!dir_.empty())
      fs::remove_all(dir_);
  }

  // A drive that is no boot ROM's: another board's, already there.
  std::string plain_drive(const std::string &parent, const std::string &file = {}, const std::string &bytes = {}) {
    const std::string folder = dir_ + "/" + parent + "/RPI-RP2";
    fs::create_directories(folder);
    EXPECT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1024k"), 0);
    mounts_.push_back(folder);
    if (!file.empty())
      std::ofstream(folder + "/" + file, std::ios::binary) << bytes;
    return folder;
  }
  std::string rom_folder(const std::string &parent) {
    fs::create_directories(dir_ + "/" + parent);
    return dir_ + "/" + parent + "/RPI-RP2";
  }

  std::string write_image(const std::string &bytes) {
    image_ = bytes;
    const std::string path = dir_ + "/fw.uf2";
    std::ofstream(path, std::ios::binary) << bytes;
    std::snprintf(options.io_fw, sizeof options.io_fw, "%s", path.c_str());
    return path;
  }
  std::string header(const std::string &port) {
    // Every image here is a flash download of whole 256-byte pages.
    const size_t blocks = image_.size() / 512;
    char download[96];
    std::snprintf(download, sizeof download, "  UF2 image:    %zu block%s for flash, 0x10000000-0x%08zx\n", blocks,
                  blocks == 1 ? "" : "s", 0x10000000 + 256 * blocks);
    return "I/O firmware:   " + std::string(options.io_fw) + " (" + std::to_string(image_.size()) + " bytes)\n" +
           download + "I/O board port: " + port + "\n";
  }

  Outcome run(const std::string &port, const std::function<void()> &meanwhile) {
    return run_action([] { return action_update_io(); }, port, meanwhile);
  }
  Outcome run_action(const std::function<int()> &action, const std::string &port,
                     const std::function<void()> &meanwhile) {
    return orvtest::run_in_process(clock_, action, port, meanwhile);
  }

  std::string dir_;
  std::string image_;
  std::vector<std::string> mounts_;
  SpeedClock clock_;
};

TEST_F(IoConfirm, BoardThatTakesTheImageRestartsAndComesBack) {
  write_image(uf2(64));
  BoardScript script;
  std::atomic<BootRom *> rom_ptr{nullptr}; // set here, read on the board's thread
  script.on_iobootsel = [&] { EXPECT_TRUE(rom_ptr.load()->enter_bootsel()); };
  BoardSim board(script);
  BootRom rom(rom_folder("a"), &board);
  rom_ptr = &rom;
  const std::string port = board.device_path();
  const Outcome r = run(port, [] {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, header(port) + kRebooting + kWaitingDrive + "Copying firmware to " + rom.folder() + "...\n" +
                       kRestart + kSuccess + back_on(port));
  EXPECT_EQ(rom.flashes(), 1);
  EXPECT_EQ(rom.flashed_name(), "fw.uf2");
  EXPECT_TRUE(rom.flashed_bytes() == image_);
}

TEST_F(IoConfirm, BoardThatRestartsWithoutItsPortIsStillASuccess) {
  write_image(uf2(8));
  BoardScript script;
  std::atomic<BootRom *> rom_ptr{nullptr}; // set here, read on the board's thread
  script.on_iobootsel = [&] { EXPECT_TRUE(rom_ptr.load()->enter_bootsel()); };
  BoardSim board(script);
  BootRom rom(rom_folder("a"), &board, BootRomScript{.port_returns = false});
  rom_ptr = &rom;
  const std::string port = board.device_path();
  const Outcome r = run(port, [&] {
    ASSERT_TRUE(rom.wait_flashes(1, 20000));
    std::this_thread::sleep_for(100ms);
    clock_.speed_up(kFast);
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, header(port) + kRebooting + kWaitingDrive + "Copying firmware to " + rom.folder() + "...\n" +
                       kRestart + kSuccess + "Waiting for the I/O board to come back on " + port + "...\n");
  EXPECT_EQ(r.err, "WARNING: The I/O board has not come back on " + port +
                       " within 15 s. New firmware may take longer to start, or use another port.\n");
}

TEST_F(IoConfirm, DriveThatStaysAfterTheCopyIsAnError) {
  write_image(uf2(8));
  BoardScript script;
  std::atomic<BootRom *> rom_ptr{nullptr}; // set here, read on the board's thread
  script.on_iobootsel = [&] { EXPECT_TRUE(rom_ptr.load()->enter_bootsel()); };
  BoardSim board(script);
  BootRom rom(rom_folder("a"), &board, BootRomScript{.hangs = true});
  rom_ptr = &rom;
  const std::string port = board.device_path();
  const Outcome r = run(port, [&] {
    ASSERT_TRUE(rom.wait_file(static_cast<long>(image_.size()), 20000));
    std::this_thread::sleep_for(100ms);
    clock_.speed_up(kFast);
  });
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out,
            header(port) + kRebooting + kWaitingDrive + "Copying firmware to " + rom.folder() + "...\n" + kRestart);
  EXPECT_EQ(r.err, still_there(rom.folder()));
  EXPECT_TRUE(rom.in_bootsel());
}

TEST_F(IoConfirm, DriveThereBeforeTheRebootBelongsToAnotherBoard) {
  // The other board's drive sorts first, so the old rule would have taken it.
  const std::string old_bytes = uf2(3);
  const std::string other = plain_drive("a", "other.uf2", old_bytes);
  write_image(uf2(16));
  BoardScript script;
  std::atomic<BootRom *> rom_ptr{nullptr}; // set here, read on the board's thread
  script.on_iobootsel = [&] { EXPECT_TRUE(rom_ptr.load()->enter_bootsel()); };
  BoardSim board(script);
  BootRom rom(rom_folder("b"), &board);
  rom_ptr = &rom;
  const Outcome r = run(board.device_path(), [] {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Copying firmware to " + rom.folder() + "...\n"), std::string::npos) << r.out;
  EXPECT_TRUE(rom.flashed_bytes() == image_);
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(other))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"other.uf2"});
  EXPECT_TRUE(read_file(other + "/other.uf2") == old_bytes) << "the other board's drive was changed";
}

TEST_F(IoConfirm, OnlyAnotherBoardsDriveIsAnErrorNamingIt) {
  const std::string other = plain_drive("a");
  write_image(uf2(4));
  BoardScript script;
  BoardSim *self = nullptr;
  script.on_iobootsel = [&] { self->unplug(); }; // and no drive of its own comes
  BoardSim board(script);
  self = &board;
  const std::string port = board.device_path();
  const Outcome r = run(port, [&] {
    ASSERT_TRUE(board.wait_received(std::string("IOBOOTSEL\n").size(), 20000));
    std::this_thread::sleep_for(100ms);
    clock_.speed_up(kFast);
  });
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, header(port) + kRebooting + kWaitingDrive);
  EXPECT_EQ(r.err, kNoDrive + "ERROR: RPI-RP2 drive(s) " + other +
                       " were already there before this board rebooted: they belong to another board.\n");
  EXPECT_TRUE(fs::is_empty(other));
}

TEST_F(IoConfirm, WithoutAPortTheFirstOfSeveralDrivesIsUsedAndTheChoiceSaid) {
  BootRom rom(rom_folder("a"), nullptr);
  ASSERT_TRUE(rom.enter_bootsel());
  const std::string later = plain_drive("b");
  write_image(uf2(4));
  const std::string port = dir_ + "/no-such-port";
  const Outcome r = run(port, [&] {
    ASSERT_TRUE(rom.wait_flashes(1, 20000));
    std::this_thread::sleep_for(100ms); // the update sees the drive go
    clock_.speed_up(kFast);             // the port never comes back
  });
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string warning = "WARNING: 2 RPI-RP2 drives are present (" + rom.folder() + ", " + later + "); using " +
                              rom.folder() +
                              ", the first. If that is another board's, unplug the other boards and run the update "
                              "again.\n";
  EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
  EXPECT_EQ(rom.flashed_name(), "fw.uf2");
  EXPECT_TRUE(fs::is_empty(later));
}

// A copy that ended in an error after its last byte: the drive's leaving
// tells a flash from a failure.
TEST_F(IoConfirm, CopyErrorAfterTheLastByteIsDecidedByTheDrive) {
  BoardSim board;
  const std::string port = board.device_path();
  for (const bool leaves : {true, false}) {
    const std::string drive = plain_drive(leaves ? "leaves" : "stays");
    const Outcome r = run_action([&] { return confirm_flash(drive.c_str(), port.c_str(), true); }, port,
                                 [&] {
                                   if (!leaves) {
                                     clock_.speed_up(kFast);
                                     return;
                                   }
                                   std::this_thread::sleep_for(300ms);
                                   umount2(drive.c_str(), MNT_DETACH);
                                 });
    if (leaves) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, kRestart +
                           "The drive left while the copy was being finished: that was the board restarting with "
                           "the image.\n" +
                           kSuccess + back_on(port));
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.status, -1);
      EXPECT_EQ(r.out, kRestart);
      EXPECT_EQ(r.err, still_there(drive));
    }
  }
}

TEST_F(IoConfirm, CopyLandsOnTheDriveOrNowhere) {
  // The drive was found, then unmounted: its folder is an ordinary one now.
  const std::string drive = plain_drive("a");
  umount2(drive.c_str(), MNT_DETACH);
  std::ofstream(drive + "/kept.uf2") << "kept";
  const std::string image = uf2(2);
  for (const std::string name : {"fw.uf2", "kept.uf2"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(copy_to_drive(drive.c_str(), name.c_str(), reinterpret_cast<const uint8_t *>(image.data()),
                            static_cast<int32_t>(image.size())),
              COPY_FAILED);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ERROR: " + drive +
                  " is no longer the RPI-RP2 drive (it went after it was found); nothing was written\n");
  }
  EXPECT_FALSE(fs::exists(drive + "/fw.uf2"));
  EXPECT_EQ(read_file(drive + "/kept.uf2"), "kept");
}

TEST_F(IoConfirm, CopyWritesTheImageByteForByteUnderItsOwnName) {
  const std::string drive = plain_drive("a");
  std::string image = uf2(129);
  image.resize(image.size() + 3);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<char>(i * 7 + (i >> 9)); // "\n", "\r\n", 0
  const auto *bytes = reinterpret_cast<const uint8_t *>(image.data());
  for (const char *path : {"io.uf2", "build/io-a.uf2", "C:\\work\\io-b.uf2", "..\\mixed/dir\\io-c.uf2"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(copy_to_drive(drive.c_str(), path, bytes, static_cast<int32_t>(image.size())), COPY_DONE) << path;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(read_file(drive + "/" + path_basename(path)) == image) << path;
  }
  // A longer image left on the drive before is replaced, not overwritten in part.
  EXPECT_EQ(copy_to_drive(drive.c_str(), "io.uf2", bytes, 512), COPY_DONE);
  EXPECT_EQ(read_file(drive + "/io.uf2").size(), 512u);
}

TEST_F(IoConfirm, NameTheDriveCannotHoldIsWrittenUnderASafeForm) {
  const std::string drive = plain_drive("a");
  const std::string image = uf2(2);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(copy_to_drive(drive.c_str(), "dl/io.uf2?X-Amz-Signature=a:b",
                          reinterpret_cast<const uint8_t *>(image.data()), static_cast<int32_t>(image.size())),
            COPY_DONE);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Writing it as 'io.uf2': the drive cannot hold the name 'io.uf2?X-Amz-Signature=a:b' (the board ignores "
            "file names).\n");
  EXPECT_TRUE(read_file(drive + "/io.uf2") == image);
}

} // namespace
