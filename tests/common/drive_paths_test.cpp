#include "common/drive_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/registry_store.h"
#include "support/scoped_root.h"

namespace fs = std::filesystem;

// The path layer as the system reaches it: devices from the registry.
TEST(DrivePaths, DevicesComeFromTheDosDevicesKey) {
  qn::test::ScopedRoot scoped;
  const std::string root = scoped.path().string();
  fs::create_directories(root + "/shares/Public/Docs");
  std::ofstream(root + "/shares/Public/Docs/Notes.TXT") << "x";

  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  ASSERT_EQ(store.CreateKey(qn::reg::KeyHandle::Root(qn::reg::Hive::LocalMachine), kDosDevicesKey,
                            key),
            qn::reg::kOk);
  ASSERT_EQ(store.SetValue(key, qn::reg::MakeString("\\\\files\\public", "shares/Public")),
            qn::reg::kOk);
  ASSERT_EQ(store.SetValue(key, qn::reg::MakeString("P:", "\\\\files\\public")), qn::reg::kOk);

  EXPECT_EQ(DriveType("P:\\"), qn::path::kDriveRemote);
  EXPECT_EQ(DriveType("C:\\"), qn::path::kDriveFixed);
  EXPECT_EQ(ToNativePath("p:\\docs\\notes.txt"), root + "/shares/Public/Docs/Notes.TXT");
  EXPECT_EQ(ToNativePath("\\\\?\\UNC\\FILES\\PUBLIC\\docs\\new.txt"),
            root + "/shares/Public/Docs/new.txt");
  EXPECT_EQ(ToNativePath("\\\\other\\share\\x"), "");
}
