// Entry-name rules and staging of real archives, including archives an attacker would craft.
#include "zip_staging.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/wide_text.h"
#include "updater_test_support.h"

namespace tallowmarch::updater {
namespace {

using test::Bytes;
using test::RawEntry;
using test::TempDir;
namespace fs = std::filesystem;

// ---- entry-name rules ----------------------------------------------------------------------

TEST(ResolveStagedPath, MapsSafeNamesInsideTheStagingFolder) {
  const std::wstring staging = L"/inst/pending";
  std::wstring out;
  ASSERT_TRUE(ResolveStagedPath("a/b.txt", staging, out));
  EXPECT_EQ(out, L"/inst/pending/a/b.txt");
  ASSERT_TRUE(ResolveStagedPath("a\\b.txt", staging, out));  // both separators
  EXPECT_EQ(out, L"/inst/pending/a/b.txt");
  for (const char* name : {"config.txt", "com0", "com10", "lpt0.txt", "conx", "x.con", "a.b.c",
                           "\xc3\xa9t\xc3\xa9.txt", "trailing/"}) {
    EXPECT_TRUE(ResolveStagedPath(name, staging, out)) << name;
  }
}

TEST(ResolveStagedPath, RejectsEveryUnsafeName) {
  const std::wstring staging = L"/inst/pending";
  const std::vector<std::string> unsafe = {
      "",
      "../x",
      "a/../b",
      "./a",
      "a//b",
      "/a",
      "\\a",
      "D:x",
      "C:/x",
      "C:\\x",
      "a\\con.txt",
      "con",
      "CON",
      "Prn.txt",
      "aux",
      "com1",
      "COM9.dat",
      "lpt9.log",
      "nul.tar.gz",
      "x/NUL",
      "name.",
      "name ",
      "dir./x",
      "dir /x",
      "..\\..\\evil",
      "a\\\\b",
      "a\\..\\..\\b",
      std::string("a\0b", 3),
      "\x01x",
      "\xff\xfe",
      "bad\xc3",
      "\xed\xa0\x80surrogate",
      "\xc0\xafoverlong",
      // the published zip-slip samples
      "../../../../../../../../../../../../../../../../../../../../../../../../../../../../../../"
      "../../../../../../../../../../tmp/evil.txt",
      "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\"
      "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\Temp\\evil.txt",
  };
  for (const std::string& name : unsafe) {
    std::wstring out = L"unchanged";
    EXPECT_FALSE(ResolveStagedPath(name, staging, out)) << name;
    EXPECT_EQ(out, L"unchanged");
  }
}

TEST(IsReservedDeviceName, StemsAndDigits) {
  EXPECT_TRUE(IsReservedDeviceName(L"con"));
  EXPECT_TRUE(IsReservedDeviceName(L"nul.tar.gz"));
  EXPECT_TRUE(IsReservedDeviceName(L"Com1"));
  EXPECT_TRUE(IsReservedDeviceName(L"lpt9.log"));
  EXPECT_FALSE(IsReservedDeviceName(L"com0"));
  EXPECT_FALSE(IsReservedDeviceName(L"com10"));
  EXPECT_FALSE(IsReservedDeviceName(L"console"));
  EXPECT_FALSE(IsReservedDeviceName(L".con"));
}

// ---- staging real archives -----------------------------------------------------------------

class StagingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(install());
    fs::create_directories(outside());
  }
  fs::path install() const { return dir_ / "install"; }
  fs::path outside() const { return dir_ / "outside"; }
  std::wstring Staging() const { return Widen((install() / "pending").string()); }
  bool Stage(const Bytes& zip) {
    entries_.clear();
    return ExtractToStaging(zip, Staging(), Widen(install().string()), entries_);
  }
  // Nothing may appear anywhere but in the staging folder.
  void ExpectOnlyStagingTouched() {
    EXPECT_TRUE(test::Snapshot(outside()).empty());
    for (const auto& [name, content] : test::Snapshot(install())) {
      EXPECT_EQ(name.rfind("pending", 0), 0u) << name;
    }
  }

  TempDir dir_;
  std::vector<StagedEntry> entries_;
};

TEST_F(StagingTest, StagesFilesWithTheirTargetsAndBackupNames) {
  test::WriteFile(install() / "Tallowmarch.exe", "old");
  fs::create_directories(install() / "plugins");
  const Bytes zip = test::MakeZip({{"Tallowmarch.exe", "new program", 0755},
                                   {"plugins/", "", 0, true},
                                   {"docs\\readme.txt", "read me"},
                                   {"plugins", "a file over a folder"}});
  ASSERT_TRUE(Stage(zip));
  ASSERT_EQ(entries_.size(), 3u);
  const std::wstring root = Widen(install().string());
  EXPECT_EQ(entries_[0].stagedPath, root + L"/pending/Tallowmarch.exe");
  EXPECT_EQ(entries_[0].targetPath, root + L"/Tallowmarch.exe");
  EXPECT_EQ(entries_[0].backupPath, root + L"/Tallowmarch.exe.old");
  EXPECT_TRUE(entries_[0].existed);
  EXPECT_EQ(entries_[1].targetPath, root + L"/docs/readme.txt");
  EXPECT_FALSE(entries_[1].existed);
  EXPECT_TRUE(entries_[2].existed);  // a folder of that name counts
  EXPECT_EQ(test::ReadFile(install() / "pending/docs/readme.txt"), "read me");
  EXPECT_NE(fs::status(install() / "pending/Tallowmarch.exe").permissions() & fs::perms::owner_exec,
            fs::perms::none);
  EXPECT_EQ(fs::status(install() / "pending/docs/readme.txt").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

TEST_F(StagingTest, EntryCountCapIsExactly4096) {
  std::vector<RawEntry> entries;
  for (int i = 0; i < 4095; ++i) {
    std::string name = std::to_string(i);
    name += '/';
    entries.emplace_back(name, Bytes{});
  }
  entries.push_back({"only.txt", test::ToBytes("x")});
  EXPECT_TRUE(Stage(test::MakeRawZip(entries)));
  EXPECT_EQ(entries_.size(), 1u);

  entries.insert(entries.begin(), RawEntry{"../unsafe-but-never-examined", test::ToBytes("x")});
  EXPECT_FALSE(Stage(test::MakeRawZip(entries)));
  EXPECT_TRUE(entries_.empty());
}

TEST_F(StagingTest, SizeCapCountsFileEntriesAndIsCheckedBeforeTheName) {
  // Declared sizes are what count: zeros deflate to almost nothing.
  RawEntry small{"a.txt", test::ToBytes("1"), false};
  RawEntry rest{"big.bin", Bytes(kMaxUncompressedBytes - 1, 0), true};
  RawEntry dir{"dir/", {}, false, 0x7FFFFFFFu};  // directories never count
  ASSERT_TRUE(Stage(test::MakeRawZip({dir, small, rest})));
  EXPECT_EQ(fs::file_size(install() / "pending/big.bin"), kMaxUncompressedBytes - 1);

  RawEntry over{"../over.bin", Bytes(kMaxUncompressedBytes, 0), true};
  EXPECT_FALSE(Stage(test::MakeRawZip({small, over})));
  ASSERT_EQ(entries_.size(), 1u);  // the entry before the cap was written
  EXPECT_TRUE(fs::exists(install() / "pending/a.txt"));
}

TEST_F(StagingTest, ArchivesWithoutFilesAndNamesThatCannotBeFiles) {
  EXPECT_FALSE(Stage(test::MakeRawZip({})));
  EXPECT_FALSE(Stage(test::MakeZip({{"only/", "", 0, true}, {"dirs/", "", 0, true}})));
  // A trailing backslash passes the rules but is no file name.
  EXPECT_FALSE(Stage(test::MakeRawZip({{"folder\\", test::ToBytes("x")}})));
}

TEST_F(StagingTest, SameNameTwiceStagesTwice) {
  ASSERT_TRUE(
      Stage(test::MakeRawZip({{"a.txt", test::ToBytes("1")}, {"a.txt", test::ToBytes("2")}})));
  ASSERT_EQ(entries_.size(), 2u);
  EXPECT_EQ(entries_[0].targetPath, entries_[1].targetPath);
  EXPECT_EQ(test::ReadFile(install() / "pending/a.txt"), "2");
}

TEST_F(StagingTest, HostileArchivesNeverWriteOutsideTheStagingFolder) {
  const Bytes payload = test::ToBytes("pwned");
  const std::string outsideName = outside().string() + "/evil.txt";
  const std::vector<std::vector<RawEntry>> hostile = {
      {{"good.txt", payload}, {"../../outside/evil.txt", payload}},
      {{outsideName, payload}},
      {{"C:" + outsideName, payload}},
      {{"..\\..\\outside\\evil.txt", payload}},
      {{std::string("ok\0/../../outside/evil.txt", 26), payload}},
      {{"bad\xff\xfe.txt", payload}},
      {{"sub/./../../outside/evil.txt", payload}},
  };
  for (const auto& archive : hostile) {
    EXPECT_FALSE(Stage(test::MakeRawZip(archive))) << archive.back().name;
    ExpectOnlyStagingTouched();
  }
}

TEST_F(StagingTest, LinkEntriesAreWrittenAsPlainFiles) {
  // A Unix symlink entry whose "data" is the link target.
  RawEntry link{"link", test::ToBytes(outside().string()), false};
  link.externalAttributes = (S_IFLNK | 0777u) << 16;
  RawEntry through{"link/evil.txt", test::ToBytes("pwned")};
  ASSERT_FALSE(Stage(test::MakeRawZip({link, through})));  // "link" is a file: no folder there
  EXPECT_FALSE(fs::is_symlink(install() / "pending/link"));
  EXPECT_EQ(test::ReadFile(install() / "pending/link"), outside().string());
  ExpectOnlyStagingTouched();
}

TEST_F(StagingTest, TargetsBehindALinkedInstallFolderAreRefused) {
  fs::create_directory_symlink(outside(), install() / "plugins");
  EXPECT_FALSE(Stage(test::MakeZip({{"plugins/evil.so", "pwned"}})));
  EXPECT_TRUE(test::Snapshot(outside()).empty());
}

TEST_F(StagingTest, EntriesThatWouldUndoTheUpdateOrItsBackupsAreRefused) {
  for (const std::vector<test::ZipItem>& items : std::vector<std::vector<test::ZipItem>>{
           {{"a.txt", "a"}, {"a.txt.old", "clobbers the backup of a.txt"}},
           {{"b.txt.old", "x"}, {"b.txt", "its backup would overwrite the entry before"}},
           {{".update-in-progress", "the marker"}},
           {{"pending/x.txt", "inside the staging folder"}},
           {{"pending", "the staging folder itself"}}}) {
    EXPECT_FALSE(Stage(test::MakeZip(items))) << items.back().name;
  }
  // Names that only look alike are fine.
  EXPECT_TRUE(Stage(test::MakeZip({{"a.txt", "a"}, {"a.old", "x"}, {"pending.txt", "p"}})));
}

TEST_F(StagingTest, BombsTruncatedAndCorruptedArchivesFail) {
  // Data that inflates to far more than the size the headers declare.
  RawEntry bomb{"bomb.bin", Bytes(64 << 20, 0), true, 16};
  EXPECT_FALSE(Stage(test::MakeRawZip({bomb})));
  // A checksum that does not match.
  RawEntry corrupt{"c.txt", test::ToBytes("hello world"), true, std::nullopt, 0x12345678u};
  EXPECT_FALSE(Stage(test::MakeRawZip({corrupt})));
  // Declared data longer than what is there.
  RawEntry shortData{"s.txt", test::ToBytes("abc"), false, 100};
  EXPECT_FALSE(Stage(test::MakeRawZip({shortData})));
  // An encrypted entry.
  RawEntry secret{"e.txt", test::ToBytes("abc")};
  secret.encrypted = true;
  EXPECT_FALSE(Stage(test::MakeRawZip({secret})));
  // More entries counted than present; a cut archive; noise.
  const Bytes good =
      test::MakeRawZip({{"a.txt", test::ToBytes("a")}, {"b.txt", test::ToBytes("b")}});
  EXPECT_FALSE(Stage(test::MakeRawZip({{"a.txt", test::ToBytes("a")}}, 40)));
  EXPECT_FALSE(Stage(Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2))));
  EXPECT_FALSE(Stage(test::ToBytes("PK\x03\x04 this is not an archive")));
  ExpectOnlyStagingTouched();
}

}  // namespace
}  // namespace tallowmarch::updater
