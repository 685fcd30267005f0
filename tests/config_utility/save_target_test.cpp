// Saving through symbolic and hard links, into read-only folders and onto a
// full disk: the names keep what they are and no file is left cut short.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "config_utility/model/utility_settings.h"
#include "utility_test_files.h"

namespace qm::utility {
namespace {

namespace fs = std::filesystem;
using test::Folder;
using test::ReadAll;

const std::string kOld = test::IniText({"[Quarrymark]", "regexcount=1", "regex1=old"});

bool IsLink(const fs::path& path) { return fs::is_symlink(fs::symlink_status(path)); }

// A link in one folder to Quarrymark.ini in another; saving through the
// loaded link writes the target and keeps the link.
void ExpectSaveThroughLinkKeepsIt(bool relative) {
  Folder links, targets;
  const fs::path target = targets / "Quarrymark.ini";
  targets.Write("Quarrymark.ini", kOld);
  const fs::path link = links / "Quarrymark.ini";
  fs::create_symlink(relative ? fs::relative(target, links.path()) : target, link);
  UtilitySettings settings;
  ASSERT_TRUE(LoadSettings(link.u16string(), &settings));
  settings.current.fields[0].expression = u"new";
  ASSERT_TRUE(SaveSettings(&settings, false));
  EXPECT_TRUE(IsLink(link));
  EXPECT_NE(ReadAll(target).find("regex1=new"), std::string::npos);
  EXPECT_EQ(links.EntryCount(), 1u);
  EXPECT_EQ(targets.EntryCount(), 1u);
}

TEST(SaveTarget, RelativeAndAbsoluteLinksStayLinks) {
  ExpectSaveThroughLinkKeepsIt(true);
  ExpectSaveThroughLinkKeepsIt(false);
}

TEST(SaveTarget, DanglingLinkCreatesItsTargetAndChainsAreFollowed) {
  Folder folder;
  fs::create_symlink("sub/real.ini", folder / "first.ini");
  fs::create_symlink("first.ini", folder / "second.ini");
  fs::create_directory(folder / "sub");
  ASSERT_TRUE(ReplaceFileContents((folder / "second.ini").u16string(), "content"));
  EXPECT_TRUE(IsLink(folder / "first.ini"));
  EXPECT_TRUE(IsLink(folder / "second.ini"));
  EXPECT_EQ(ReadAll(folder / "sub" / "real.ini"), "content");
  // A loop of links is refused, and nothing is created.
  fs::create_symlink("loop-b", folder / "loop-a");
  fs::create_symlink("loop-a", folder / "loop-b");
  EXPECT_FALSE(ReplaceFileContents((folder / "loop-a").u16string(), "x"));
  EXPECT_EQ(folder.EntryCount(), 5u);
}

TEST(SaveTarget, HardLinkedFileIsRewrittenInPlaceAndKeptWholeOnFailure) {
  Folder folder;
  const fs::path a = folder / "a.ini";
  const fs::path b = folder / "b.ini";
  folder.Write("a.ini", kOld);
  fs::create_hard_link(a, b);
  ASSERT_TRUE(ReplaceFileContents(a.u16string(), "new"));
  EXPECT_EQ(ReadAll(b), "new");
  EXPECT_EQ(fs::hard_link_count(a), 2u);
  // A write that fails part-way: the old content comes back, in both names.
  const bool written = ReplaceFileContents(a.u16string(), "a much longer new content",
                                           [](platform::File& file, std::string_view bytes) {
                                             file.WriteAll(bytes.data(), 5);
                                             return false;
                                           });
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadAll(a), "new");
  EXPECT_EQ(ReadAll(b), "new");
  EXPECT_EQ(folder.EntryCount(), 2u);
}

TEST(SaveTarget, LinkInAReadOnlyFolderSavesIntoTheTargetsFolder) {
  Folder links, targets;
  targets.Write("Quarrymark.ini", kOld);
  fs::create_symlink(targets / "Quarrymark.ini", links / "Quarrymark.ini");
  fs::permissions(links.path(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_TRUE(ReplaceFileContents((links / "Quarrymark.ini").u16string(), "saved"));
  fs::permissions(links.path(), fs::perms::owner_all);
  EXPECT_TRUE(IsLink(links / "Quarrymark.ini"));
  EXPECT_EQ(ReadAll(targets / "Quarrymark.ini"), "saved");
}

constexpr uid_t kNobody = 65534;

// Runs body as an ordinary user: in this process, or, when it is root (whom
// permissions do not stop), in a child process that becomes "nobody".
bool AsUnprivileged(const std::function<bool()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child == 0) {
    const bool ok = ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && body();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// A writable file in a folder that takes no new file: no file can replace
// it, so it is rewritten in place after a durable copy made elsewhere, and
// a write failing part-way still leaves its old content.
TEST(SaveTarget, WritableFileInAReadOnlyFolderIsRewrittenInPlace) {
  Folder folder;
  const fs::path file = folder / "Quarrymark.ini";
  folder.Write("Quarrymark.ini", kOld);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
  }
  fs::permissions(folder.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  const bool saved = AsUnprivileged([&] { return ReplaceFileContents(file.u16string(), "saved"); });
  const bool failed = !AsUnprivileged([&] {
    return ReplaceFileContents(file.u16string(), "a much longer new content",
                               [](platform::File& f, std::string_view bytes) {
                                 f.WriteAll(bytes.data(), 5);
                                 return false;
                               });
  });
  fs::permissions(folder.path(), fs::perms::owner_all);
  EXPECT_TRUE(saved);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ReadAll(file), "saved");
  EXPECT_EQ(folder.EntryCount(), 1u);
}

// A file saved by root stays its owner's, with its group and permissions.
TEST(SaveTarget, ReplacedFileKeepsItsOwnerGroupAndPermissions) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can save another user's file";
  Folder folder;
  const fs::path file = folder / "Quarrymark.ini";
  folder.Write("Quarrymark.ini", kOld);
  ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(ReplaceFileContents(file.u16string(), "saved"));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadAll(file), "saved");
}

TEST(SaveTarget, FullDiskLeavesEveryFileWhole) {
  Folder folder;
  const fs::path mountPoint = folder / "small";
  fs::create_directory(mountPoint);
  if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  const std::string old(20000, 'o');
  const std::string huge(200000, 'n');
  {
    std::ofstream(mountPoint / "plain.ini", std::ios::binary) << old;
    std::ofstream(mountPoint / "linked.ini", std::ios::binary) << old;
  }
  fs::create_hard_link(mountPoint / "linked.ini", mountPoint / "other.ini");
  EXPECT_FALSE(ReplaceFileContents((mountPoint / "plain.ini").u16string(), huge));
  EXPECT_FALSE(ReplaceFileContents((mountPoint / "linked.ini").u16string(), huge));
  EXPECT_EQ(ReadAll(mountPoint / "plain.ini"), old);
  EXPECT_EQ(ReadAll(mountPoint / "other.ini"), old);
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(mountPoint)) entries += entry.exists() ? 1 : 0;
  EXPECT_EQ(entries, 3u);
  ::umount(mountPoint.c_str());
}

}  // namespace
}  // namespace qm::utility
