// Choosing the program folder: a ready folder, an installed program, a folder that cannot be
// written; the per-user folder made ready with the defaults and the empty tables.
#include "app/Install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "support/TempDir.h"

using namespace quellor;
using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_DATA_HOME", (home.path() + "data").c_str(), 1); }
  void TearDown() override {
    unsetenv("XDG_DATA_HOME");
    std::filesystem::permissions(root.path(), std::filesystem::perms::owner_all);
  }
  std::string UserFolder() const { return home.path() + "data/quellor/"; }

  TempDir root;  // where the "executables" live
  TempDir home;
};

}  // namespace

TEST_F(InstallTest, ChoosesTheFolderByWhatTheExecutableSitsIn) {
  // A ready program folder (tables beside the executable) is used as it is, even read-only.
  std::string ready = root.file("ready/");
  std::filesystem::create_directories(ready);
  WriteFileBytes(ready + "Cracks.dat", "");
  chmod(ready.c_str(), 0555);
  EXPECT_EQ(ChooseProgramFolder(ready), ready);
  chmod(ready.c_str(), 0755);

  // A plain writable folder without tables stays the program folder (the missing tables are
  // reported at start, as they always were).
  std::string plain = root.file("plain/");
  std::filesystem::create_directories(plain);
  EXPECT_EQ(ChooseProgramFolder(plain), plain);
  EXPECT_FALSE(Exists(UserProgramFolder()));

  // A folder that cannot be written: the person's own folder.
  std::string locked = root.file("locked/");
  std::filesystem::create_directories(locked);
  chmod(locked.c_str(), 0555);
  EXPECT_FALSE(FolderWritable(locked));
  EXPECT_EQ(ChooseProgramFolder(locked), UserFolder());
  EXPECT_TRUE(Exists(UserFolder() + "cracks.DAT"));
  EXPECT_TRUE(Exists(UserFolder() + "isps.DAT"));
  chmod(locked.c_str(), 0755);
}

TEST_F(InstallTest, AnInstalledProgramUsesAPerUserFolderWithTheDefaults) {
  std::string prefix = root.file("usr/");
  std::filesystem::create_directories(prefix + "bin");
  std::filesystem::create_directories(prefix + "share/quellor/help");
  WriteFileBytes(prefix + "share/quellor/noticeFooter.txt", "footer\r\n");
  WriteFileBytes(prefix + "share/quellor/dmca-template.txt", "template\r\n");
  WriteFileBytes(prefix + "share/quellor/help/index.html", "<html></html>");
  EXPECT_EQ(InstalledDataFolder(prefix + "bin/"), prefix + "share/quellor/");
  EXPECT_EQ(InstalledDataFolder(root.path()), "");

  // Installed: the per-user folder even though bin/ is writable here.
  EXPECT_EQ(ChooseProgramFolder(prefix + "bin/"), UserFolder());
  EXPECT_EQ(ReadFileBytes(UserFolder() + "noticeFooter.txt"), "footer\r\n");
  EXPECT_EQ(ReadFileBytes(UserFolder() + "help/index.html"), "<html></html>");
  EXPECT_TRUE(Exists(UserFolder() + "cracks.DAT"));
  EXPECT_FALSE(Exists(prefix + "bin/cracks.DAT"));

  // A second start keeps what the person changed.
  WriteFileBytes(UserFolder() + "noticeFooter.txt", "edited\r\n");
  EXPECT_EQ(ChooseProgramFolder(prefix + "bin/"), UserFolder());
  EXPECT_EQ(ReadFileBytes(UserFolder() + "noticeFooter.txt"), "edited\r\n");
}

TEST_F(InstallTest, APerUserFolderThatCannotBeMadeIsAnError) {
  WriteFileBytes(home.path() + "data", "a file where the folder should be");
  std::string locked = root.file("locked/");
  std::filesystem::create_directories(locked);
  chmod(locked.c_str(), 0555);
  EXPECT_THROW(ChooseProgramFolder(locked), std::runtime_error);
  chmod(locked.c_str(), 0755);
}
