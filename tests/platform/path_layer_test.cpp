#include "platform/path_layer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "support/scoped_root.h"

namespace fs = std::filesystem;
using namespace qn::path;

namespace {

class FakeDevices : public DeviceMap {
 public:
  std::optional<std::string> Target(const std::string& device) const override {
    for (const auto& [name, target] : entries)
      if (strcasecmp(name.c_str(), device.c_str()) == 0) return target;
    return std::nullopt;
  }
  std::map<std::string, std::string> entries;
};

class PathLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ + "/data/Sub Dir");
    fs::create_directories(root_ + "/srv/share1");
    std::ofstream(root_ + "/data/Sub Dir/ReadMe.TXT") << "x";
    devices_.entries["D:"] = root_ + "/data";
    devices_.entries["S:"] = "\\\\fileserver\\public";
    devices_.entries["T:"] = "\\\\fileserver\\public\\inner";
    devices_.entries["U:"] = "\\\\nobody\\nothing";
    devices_.entries["\\\\FileServer\\Public"] = "srv/share1";  // relative to the root
  }
  qn::test::ScopedRoot scoped_;
  const std::string root_ = scoped_.path().string();
  FakeDevices devices_;
};

}  // namespace

TEST_F(PathLayer, DriveLettersMapThroughTheDevices) {
  EXPECT_EQ(ToNativePath(devices_, "D:\\Sub Dir\\ReadMe.TXT"), root_ + "/data/Sub Dir/ReadMe.TXT");
  EXPECT_EQ(ToNativePath(devices_, "d:/Sub Dir"), root_ + "/data/Sub Dir");
  EXPECT_EQ(ToNativePath(devices_, "D:"), root_ + "/data");
  EXPECT_EQ(ToNativePath(devices_, "D:file"), root_ + "/data/file");
  EXPECT_EQ(ToNativePath(devices_, "\\\\?\\D:\\a\\b"), root_ + "/data/a/b");
  EXPECT_EQ(DriveType(devices_, "D:\\"), kDriveFixed);
  EXPECT_EQ(DriveType(devices_, "d:"), kDriveFixed);
  // Not a root.
  EXPECT_EQ(DriveType(devices_, "D:\\Sub Dir\\"), kDriveNoRootDir);

  devices_.entries["M:"] = root_ + "/missing";
  EXPECT_EQ(DriveType(devices_, "M:\\"), kDriveNoRootDir);
}

TEST_F(PathLayer, UnmappedLettersAndTheCurrentRootAreQnRoot) {
  EXPECT_EQ(ToNativePath(devices_, "C:\\var\\x.txt"), root_ + "/var/x.txt");
  EXPECT_EQ(ToNativePath(devices_, "\\var\\x.txt"), root_ + "/var/x.txt");
  EXPECT_EQ(DriveType(devices_, "C:\\"), kDriveFixed);
  EXPECT_EQ(DriveType(devices_, "\\"), kDriveFixed);
}

TEST_F(PathLayer, SharesAndLettersConnectedToThemAreRemote) {
  const std::string share = root_ + "/srv/share1";
  EXPECT_EQ(ToNativePath(devices_, "\\\\fileserver\\public\\dir\\a.txt"), share + "/dir/a.txt");
  EXPECT_EQ(ToNativePath(devices_, "\\\\FILESERVER/PUBLIC/a.txt"), share + "/a.txt");
  // The form the service base builds from a drive connection.
  EXPECT_EQ(ToNativePath(devices_, "\\\\?\\UNC\\fileserver\\public\\dir\\a.txt"),
            share + "/dir/a.txt");
  EXPECT_EQ(ToNativePath(devices_, "S:\\dir\\a.txt"), share + "/dir/a.txt");
  EXPECT_EQ(ToNativePath(devices_, "T:\\a.txt"), share + "/inner/a.txt");
  EXPECT_EQ(DriveType(devices_, "S:\\"), kDriveRemote);
  EXPECT_EQ(DriveType(devices_, "\\\\fileserver\\public\\"), kDriveRemote);

  // A share nobody maps leads nowhere; the letter connected to it stays remote.
  EXPECT_EQ(ToNativePath(devices_, "\\\\nobody\\nothing\\a.txt"), "");
  EXPECT_EQ(ToNativePath(devices_, "U:\\a.txt"), "");
  EXPECT_EQ(DriveType(devices_, "U:\\"), kDriveRemote);
  EXPECT_EQ(DriveType(devices_, "\\\\nobody\\nothing\\"), kDriveNoRootDir);
  // Server without share, device names, zero bytes.
  EXPECT_EQ(ToNativePath(devices_, "\\\\fileserver"), "");
  EXPECT_EQ(ToNativePath(devices_, "\\\\.\\pipe\\x"), "");
  EXPECT_EQ(ToNativePath(devices_, std::string_view("D:\\a\0b", 6)), "");
}

TEST_F(PathLayer, DotDotStopsAtTheMappedRoot) {
  EXPECT_EQ(ToNativePath(devices_, "D:\\..\\..\\etc\\passwd"), root_ + "/data/etc/passwd");
  EXPECT_EQ(ToNativePath(devices_, "D:\\a\\.\\..\\b"), root_ + "/data/b");
  EXPECT_EQ(ToNativePath(devices_, "\\\\fileserver\\public\\..\\x"), root_ + "/srv/share1/x");
  EXPECT_EQ(ToNativePath(devices_, "C:\\..\\x"), root_ + "/x");
}

TEST_F(PathLayer, LinuxAndRelativePathsOnlyTurnTheirBackslashes) {
  EXPECT_EQ(ToNativePath(devices_, "/var/lib/quillnet/WIP\\page.htm"),
            "/var/lib/quillnet/WIP/page.htm");
  EXPECT_EQ(ToNativePath(devices_, "dir\\file"), "dir/file");
  EXPECT_EQ(DriveType(devices_, "/va"), kDriveFixed);
  EXPECT_EQ(DriveType(devices_, "rel"), kDriveNoRootDir);
}

TEST_F(PathLayer, ExistingFilesAreFoundWithoutRegardToCase) {
  const std::string exact = root_ + "/data/Sub Dir/ReadMe.TXT";
  EXPECT_EQ(FindExistingNoCase(root_ + "/DATA/sub dir/readme.txt"), exact);
  EXPECT_EQ(FindExistingNoCase(exact), exact);
  // A new file in an existing directory keeps its own name.
  EXPECT_EQ(FindExistingNoCase(root_ + "/Data/SUB DIR/New.txt"), root_ + "/data/Sub Dir/New.txt");
  EXPECT_EQ(FindExistingNoCase(root_ + "/nothere/Sub/"), root_ + "/nothere/Sub/");

  // An exact match wins; among other candidates the choice is stable.
  std::ofstream(root_ + "/data/readme.txt") << "y";
  std::ofstream(root_ + "/data/README.txt") << "z";
  EXPECT_EQ(FindExistingNoCase(root_ + "/data/readme.txt"), root_ + "/data/readme.txt");
  EXPECT_EQ(FindExistingNoCase(root_ + "/data/ReadMe.txt"), root_ + "/data/README.txt");

  // Relative to the working directory.
  const auto cwd = fs::current_path();
  fs::current_path(root_);
  EXPECT_EQ(FindExistingNoCase("DATA/sub dir/README.txt"), "data/Sub Dir/ReadMe.TXT");
  fs::current_path(cwd);
}
