// The updater's file operations on real folders, with faults injected at the file layer.
#include "long_path_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/wide_text.h"
#include "sim_os_scope.h"
#include "updater_test_support.h"

namespace tallowmarch::updater {
namespace {

namespace fs = std::filesystem;
using platform::FileOp;

class FilesTest : public ::testing::Test {
 protected:
  std::wstring W(const fs::path& path) const { return Widen(path.string()); }
  test::TempDir dir_;
  test::SimOsScope sim_{dir_ / "run"};
};

TEST_F(FilesTest, FullPathIsAbsoluteAndNormalised) {
  const std::wstring cwd = Widen(fs::current_path().string());
  EXPECT_EQ(FullPath(L"a/./b/../c"), cwd + L"/a/c");
  EXPECT_EQ(FullPath(L"/x//y/"), L"/x/y/");
  EXPECT_EQ(FullPath(L"/x/y/../../.."), L"/");
  EXPECT_EQ(LongPath(L"/already/absolute"), L"/already/absolute");
  const std::wstring tooLong = L"/" + std::wstring(40000, L'x') + L"/./y";
  EXPECT_EQ(FullPath(tooLong), tooLong);
  EXPECT_EQ(JoinPath(L"/d", L"n"), L"/d/n");
  EXPECT_EQ(JoinPath(L"/d/", L"n"), L"/d/n");
  EXPECT_EQ(JoinPath(L"d\\", L"n"), L"d\\n");
}

TEST_F(FilesTest, DeleteFileForce) {
  EXPECT_TRUE(DeleteFileForce(W(dir_ / "missing")));
  EXPECT_EQ(sim_.files.Calls(FileOp::kDelete), 0);

  const auto readOnly = dir_ / "ro.txt";
  test::WriteFile(readOnly, "x");
  chmod(readOnly.c_str(), 0444);
  EXPECT_TRUE(DeleteFileForce(W(readOnly)));
  EXPECT_FALSE(fs::exists(readOnly));

  // A link goes; the read-only file it points to keeps its contents and its mode.
  const auto target = dir_ / "outside.txt";
  test::WriteFile(target, "keep");
  chmod(target.c_str(), 0444);
  fs::create_symlink(target, dir_ / "link");
  EXPECT_TRUE(DeleteFileForce(W(dir_ / "link")));
  EXPECT_FALSE(fs::is_symlink(dir_ / "link"));
  EXPECT_EQ(test::ReadFile(target), "keep");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  fs::create_directory(dir_ / "folder");
  EXPECT_FALSE(DeleteFileForce(W(dir_ / "folder")));
}

TEST_F(FilesTest, RemoveTreeNeverLeavesTheTree) {
  RemoveTree(W(dir_ / "missing"));  // nothing happens

  const auto outside = dir_ / "outside";
  test::WriteFile(outside / "precious.txt", "keep");
  const auto tree = dir_ / "tree";
  test::WriteFile(tree / "a/b/c.txt", "c");
  test::WriteFile(tree / "ro.txt", "r");
  chmod((tree / "ro.txt").c_str(), 0444);
  fs::create_directory_symlink(outside, tree / "a/linked-folder");
  fs::create_symlink(outside / "precious.txt", tree / "linked-file");
  RemoveTree(W(tree));
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(test::ReadFile(outside / "precious.txt"), "keep");

  // A link in the place of the folder itself is removed as a link.
  fs::create_directory_symlink(outside, dir_ / "pending");
  RemoveTree(W(dir_ / "pending"));
  EXPECT_FALSE(fs::is_symlink(dir_ / "pending"));
  EXPECT_EQ(test::ReadFile(outside / "precious.txt"), "keep");
}

TEST_F(FilesTest, CreateDirectories) {
  EXPECT_TRUE(CreateDirectories(W(dir_ / "a/b/c")));
  EXPECT_TRUE(fs::is_directory(dir_ / "a/b/c"));
  EXPECT_TRUE(CreateDirectories(W(dir_ / "a/b")));  // existing
  test::WriteFile(dir_ / "file", "x");
  EXPECT_FALSE(CreateDirectories(W(dir_ / "file/sub")));
}

TEST_F(FilesTest, HasFreeSpaceAtTheBoundaryAndWithoutAnAnswer) {
  sim_.files.SetFreeSpace(1000);
  EXPECT_TRUE(HasFreeSpace(W(dir_.path()), 1000));
  EXPECT_FALSE(HasFreeSpace(W(dir_.path()), 1001));
  sim_.files.InjectFailure(FileOp::kFreeSpace, "", platform::kErrorInvalidParameter);
  EXPECT_TRUE(HasFreeSpace(W(dir_.path()), ~0ull));
}

TEST_F(FilesTest, ReadFileCappedAtTheCap) {
  const auto path = dir_ / "data.bin";
  test::WriteFile(path, std::string(3 * kFilePieceBytes + 5, 'z'));
  ByteBuffer out;
  EXPECT_TRUE(ReadFileCapped(W(path), out, 3 * kFilePieceBytes + 5));
  EXPECT_EQ(out.size(), 3 * kFilePieceBytes + 5);
  EXPECT_EQ(out.data()[out.size() - 1], 'z');
  EXPECT_FALSE(ReadFileCapped(W(path), out, 3 * kFilePieceBytes + 4));

  test::WriteFile(dir_ / "empty", "");
  EXPECT_TRUE(ReadFileCapped(W(dir_ / "empty"), out, 0));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ReadFileCapped(W(dir_ / "missing"), out, 100));
  EXPECT_FALSE(ReadFileCapped(W(dir_.path()), out, 1 << 20));  // a folder

  // A file that shrinks while it is read.
  sim_.files.InjectFailure(FileOp::kRead, path.string(), 0, 1);
  EXPECT_FALSE(ReadFileCapped(W(path), out, 1 << 30));
}

TEST_F(FilesTest, WriteFileFlushed) {
  const auto path = dir_ / "new/folders/file.bin";
  const std::string data(2 * kFilePieceBytes + 1, 'q');
  ASSERT_TRUE(WriteFileFlushed(W(path), data.data(), data.size()));
  EXPECT_EQ(test::ReadFile(path), data);
  ASSERT_TRUE(WriteFileFlushed(W(path), "ab", 2));  // truncates
  EXPECT_EQ(test::ReadFile(path), "ab");
  ASSERT_TRUE(WriteFileFlushed(W(dir_ / "zero"), nullptr, 0));
  EXPECT_EQ(fs::file_size(dir_ / "zero"), 0u);

  // A link in the file's place is refused, and what it points to stays as it was.
  test::WriteFile(dir_ / "outside.txt", "keep");
  fs::create_symlink(dir_ / "outside.txt", dir_ / "link");
  EXPECT_FALSE(WriteFileFlushed(W(dir_ / "link"), "pwned", 5));
  EXPECT_EQ(test::ReadFile(dir_ / "outside.txt"), "keep");

  sim_.files.InjectFailure(FileOp::kFlush, (dir_ / "unflushed").string(),
                           platform::kErrorGenFailure);
  EXPECT_FALSE(WriteFileFlushed(W(dir_ / "unflushed"), "abc", 3));
  EXPECT_EQ(test::ReadFile(dir_ / "unflushed"), "abc");  // the partial file stays
  sim_.files.InjectFailure(FileOp::kWrite, (dir_ / "unwritten").string(), platform::kErrorDiskFull);
  EXPECT_FALSE(WriteFileFlushed(W(dir_ / "unwritten"), "abc", 3));
}

TEST(CaseComparisons, AsciiFoldingOnly) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase("ABCdef09", "abcDEF09"));
  EXPECT_TRUE(EqualsIgnoreAsciiCase("", ""));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("abc", "abcd"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xc4", "\xe4"));  // bytes above 127 are not folded
  EXPECT_TRUE(StartsWithIgnoreCase(L"/Inst/Pending/x", L"/inst/pending/"));
  EXPECT_FALSE(StartsWithIgnoreCase(L"/inst", L"/inst/"));
}

}  // namespace
}  // namespace tallowmarch::updater
