#include "desktop/program_launcher.h"

#include <gtest/gtest.h>

#include "desktop/message_box.h"
#include "tests/support/process_sockets.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

TEST(DetachedLauncher, StartsAProgramWithItsArgumentsAndReportsAMissingOne) {
  test::TempRoot dir;
  const auto marker = dir.Path() / "started";
  DetachedLauncher launcher;
  std::string error;
  ASSERT_EQ(launcher.Start("/bin/sh", {"-c", "echo \"$0\" > \"$1\"", "hello", marker.string()},
                           error),
            LaunchResult::Started)
      << error;
  EXPECT_TRUE(test::WaitUntil([&] { return test::TempRoot::Read(marker) == "hello\n"; }));

  EXPECT_EQ(launcher.Start((dir.Path() / "no-such-program").string(), {}, error),
            LaunchResult::Failed);
  EXPECT_NE(error.find("no-such-program"), std::string::npos);
}

TEST(Launcher, SiblingsGetTheSameRootAndFilesGoToXdgOpen) {
  RecordingLauncher launcher;
  std::string error;
  ASSERT_EQ(StartSibling(launcher, "/opt/th/bin", "thqueue", "/srv/root", error),
            LaunchResult::Started);
  ASSERT_EQ(OpenWithDesktop(launcher, "/srv/root/logs", error), LaunchResult::Started);
  ASSERT_EQ(launcher.calls.size(), 2u);
  EXPECT_EQ(launcher.calls[0].program, "/opt/th/bin/thqueue");
  EXPECT_EQ(launcher.calls[0].args, (std::vector<std::string>{"--root", "/srv/root"}));
  EXPECT_EQ(launcher.calls[1].program, "xdg-open");
  EXPECT_EQ(launcher.calls[1].args, (std::vector<std::string>{"/srv/root/logs"}));
  EXPECT_FALSE(OwnProgramFolder().empty());
}

TEST(RecordingMessageBox, AnswersAsQueuedThenAffirmatively) {
  RecordingMessageBox box;
  box.QueueAnswer(BoxAnswer::No);
  EXPECT_FALSE(box.AskYesNo("Confirm", "Are you sure to remove this account?"));
  EXPECT_TRUE(box.AskYesNo("Confirm", "again"));
  box.Error("Error", "File Read Error");
  ASSERT_EQ(box.Shown().size(), 3u);
  EXPECT_EQ(box.Shown()[0].buttons, BoxButtons::YesNo);
  EXPECT_EQ(box.Shown()[2].icon, BoxIcon::Error);
  EXPECT_EQ(box.LastText(), "File Read Error");
}

}  // namespace
}  // namespace tarnhold
