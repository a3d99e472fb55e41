// The serial link's Windows half where no port is needed: a COM name with
// nothing behind it, and a link's life without a port.
#include "serial.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SerialWin32, APortThatIsNotThereFailsQuietlyUntilInitSpeaks) {
  const std::string long_name = "COM" + std::string(300, '7');
  for (const std::string &name : {std::string("COM249"), long_name}) {
    serial_t s;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(serial_init(&s, name.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // Then one line that says why.
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string unable = "ERROR: Unable to open serial port " + name + "\n";
    EXPECT_EQ(err.substr(0, unable.size() + 2), unable + "  ") << err;
    EXPECT_EQ(err.find('\n', unable.size()), err.size() - 1) << err;
    if (name == "COM249") {
      EXPECT_EQ(err.substr(unable.size()).rfind("  No such port: COM249 does not exist. ", 0), 0u) << err;
    }
    EXPECT_EQ(std::string(s.port_name), name);
    EXPECT_EQ(s.running, 0);
    EXPECT_FALSE(serial_tx(&s, "FWUP 1\n"));
    char line[256];
    EXPECT_FALSE(serial_rx_pop(&s, line, sizeof(line)));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(serial_connect(&s));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a reconnection attempt stays quiet";
    serial_free(&s);
    EXPECT_EQ(s.transport, nullptr);
    serial_free(&s);
  }
}

} // namespace
