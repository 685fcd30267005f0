// Mapped views through the POSIX backend: the content and the zero bytes
// behind it, the sizes that are not mapped, and a file that shrinks under
// its view.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/mapped_file.h"
#include "support/test_files.h"

namespace qm::platform {
namespace {

File OpenForReading(const std::string& path) {
  return OpenFile(FileName{path.c_str(), nullptr}, OpenMode::kReadShared);
}

std::string Pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

TEST(MappedFile, ViewHoldsTheContentFollowedByZeros) {
  test::TempFolder folder;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  for (const std::size_t size : {std::size_t{1}, page - 2, 3 * page + 17}) {
    const std::string bytes = Pattern(size);
    File file = OpenForReading(folder.Write("f.bin", bytes));
    ASSERT_TRUE(file.IsOpen());
    MappedFile view;
    ASSERT_TRUE(view.Map(file, size)) << size;
    file.Close();  // the view outlives the descriptor
    ASSERT_EQ(view.Size(), size);
    EXPECT_EQ(std::string(view.Data(), size), bytes);
    EXPECT_EQ(view.Data()[size], 0);
    EXPECT_EQ(view.Data()[size + 1], 0);
    EXPECT_FALSE(view.Faulted());
  }
}

TEST(MappedFile, SizesWithoutRoomForTerminatorsAreRead) {
  test::TempFolder folder;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::string path = folder.Write("f.bin", Pattern(2 * page));
  File file = OpenForReading(path);
  MappedFile view;
  EXPECT_FALSE(view.Map(file, 2 * page));
  EXPECT_FALSE(view.Map(file, page - 1));
  EXPECT_FALSE(view.Map(file, 0));
  EXPECT_EQ(view.Data(), nullptr);
  File closed;
  EXPECT_FALSE(view.Map(closed, 100));
}

// Pages past the new end of a truncated file read as zeros instead of
// ending the process, and the view says it cannot be trusted.
TEST(MappedFile, ShrunkFileFaultsTheViewNotTheProcess) {
  test::TempFolder folder;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t size = 8 * page + 100;
  const std::string path = folder.Write("f.bin", Pattern(size));
  File file = OpenForReading(path);
  MappedFile view;
  ASSERT_TRUE(view.Map(file, size));
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(page)), 0);
  std::size_t nonZero = 0;
  for (std::size_t i = 0; i < size; ++i) nonZero += view.Data()[i] != 0 ? 1 : 0;
  EXPECT_EQ(nonZero, page);
  EXPECT_TRUE(view.Faulted());
  // A fresh view of the same slot starts clean.
  view.Unmap();
  const std::string other = folder.Write("g.bin", Pattern(page + 9));
  File second = OpenForReading(other);
  ASSERT_TRUE(view.Map(second, page + 9));
  EXPECT_EQ(std::string(view.Data(), page + 9), Pattern(page + 9));
  EXPECT_FALSE(view.Faulted());
}

}  // namespace
}  // namespace qm::platform
