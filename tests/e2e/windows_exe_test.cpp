// What a technician's Windows laptop sees of orvup.exe before running it: the
// version resource in Explorer's properties, and no MinGW DLLs to go missing.
#include "process.h"
#include "target.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using orvtest::run_process;
using orvtest::Target;

TEST(WindowsExe, CarriesTheVersionResource) {
  if (!Target::get().wine())
    GTEST_SKIP() << "only the Windows build carries a version resource";
  const auto r = run_process({"x86_64-w64-mingw32-windres", "-i", Target::get().exe(), "-O", "rc"});
  ASSERT_EQ(r.status, 0) << r.err;
  const char *expected[] = {
      "LANGUAGE 9, 1", // English (United States), 0409
      "FILEVERSION 1, 0, 0, 0",
      "PRODUCTVERSION 1, 0, 0, 0",
      "BLOCK \"040904E4\"", // 0409 with code page 1252
      "VALUE \"FileDescription\", \"Orvane command-line updater\"",
      "VALUE \"FileVersion\", \"1.0.0.0\"",
      "VALUE \"ProductVersion\", \"1.0.0.0\"",
      "VALUE \"ProductName\", \"orvup\"",
      "VALUE \"InternalName\", \"orvup.exe\"",
      "VALUE \"OriginalFilename\", \"orvup.exe\"",
      "VALUE \"Translation\", 0x409, 1252",
  };
  for (const char *line : expected)
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

TEST(WindowsExe, CarriesItsApplicationManifest) {
  if (!Target::get().wine())
    GTEST_SKIP() << "only the Windows build carries a manifest";
  const auto r = run_process({"x86_64-w64-mingw32-windres", "-i", Target::get().exe(), "-O", "rc"});
  ASSERT_EQ(r.status, 0) << r.err;
  // One manifest, the one Windows reads when it starts the program; windres
  // shows the XML's quotes doubled.
  const size_t at = r.out.find("\n1 24 /* RT_MANIFEST */");
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("RT_MANIFEST", at + 20), std::string::npos) << "a second manifest";
  const std::string manifest = r.out.substr(at);
  for (const char *part : {"<requestedExecutionLevel level=\"\"asInvoker\"\" uiAccess=\"\"false\"\"/>",
                           "<activeCodePage xmlns=\"\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\"\">UTF-8"
                           "</activeCodePage>",
                           "<longPathAware xmlns=\"\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\"\">true"
                           "</longPathAware>"})
    EXPECT_NE(manifest.find(part), std::string::npos) << part << "\n" << manifest;
}

TEST(WindowsExe, NeedsOnlySystemDlls) {
  if (!Target::get().wine())
    GTEST_SKIP() << "Windows build only";
  const auto r = run_process({"x86_64-w64-mingw32-objdump", "-p", Target::get().exe()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("DLL Name: KERNEL32.dll"), std::string::npos);
  for (const char *dll : {"libstdc++", "libgcc", "libwinpthread"})
    EXPECT_EQ(r.out.find(dll), std::string::npos) << dll;
}

} // namespace
