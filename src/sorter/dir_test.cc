#include "sorter/dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sorter/dir_name.h"

namespace lodestack::sorter {
namespace {

namespace fs = std::filesystem;

// Six ASCII letters or digits, then `rest`. (No std::regex: it trips -Wmaybe-uninitialized
// under the sanitizer builds.)
bool random_part(std::string_view s, std::string_view rest = "") {
  if (s.size() != 6 + rest.size() || s.substr(6) != rest) return false;
  for (const char c : s.substr(0, 6)) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
      return false;
    }
  }
  return true;
}

// "lodestack-" plus six letters or digits.
bool dir_name(std::string_view s) {
  return s.starts_with("lodestack-") && random_part(s.substr(10));
}

// A fresh scratch directory for each test, removed afterwards.
class DirTest : public testing::Test {
 protected:
  void SetUp() override {
    auto made = TempDir::make(fs::temp_directory_path());
    ASSERT_TRUE(made.has_value()) << made.error().text();
    scratch_ = std::make_unique<TempDir>(*std::move(made));
  }

  const fs::path& scratch() const { return scratch_->path(); }

  std::unique_ptr<TempDir> scratch_;
};

TEST_F(DirTest, MakesANewPrivateDirectoryInsideTheParent) {
  // Whatever the umask lets through, the directory is the owner's alone.
  const mode_t old_umask = umask(0);
  auto made = TempDir::make(scratch());
  umask(old_umask);
  ASSERT_TRUE(made.has_value()) << made.error().text();
  const fs::path& path = made->path();
  EXPECT_EQ(path.parent_path(), scratch());
  EXPECT_TRUE(dir_name(path.filename().native())) << path;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(DirTest, RelativeParentIsResolvedNow) {
  fs::create_directory(scratch() / "sub");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(scratch());
  auto made = TempDir::make("sub");
  fs::current_path(old_cwd);
  ASSERT_TRUE(made.has_value()) << made.error().text();
  EXPECT_TRUE(made->path().is_absolute());
  EXPECT_EQ(made->path().parent_path(), scratch() / "sub");
  EXPECT_TRUE(fs::is_directory(made->path()));
}

TEST_F(DirTest, RemovesTheWholeTreeButNothingOutsideIt) {
  const fs::path outside = scratch() / "outside";
  fs::create_directory(outside);
  std::ofstream(outside / "keep") << "kept";
  fs::path path;
  {
    auto made = TempDir::make(scratch());
    ASSERT_TRUE(made.has_value());
    path = made->path();
    fs::create_directories(path / "a" / "b");
    std::ofstream(path / "run-000000") << "records";
    std::ofstream(path / "a" / "b" / "deep") << "records";
    fs::permissions(path / "run-000000", fs::perms::owner_read);
    fs::create_directory_symlink(outside, path / "link");
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::exists(outside / "keep")) << "a symbolic link is removed, not followed";
}

TEST_F(DirTest, MovedOwnershipRemovesOnce) {
  auto first_made = TempDir::make(scratch());
  auto second_made = TempDir::make(scratch());
  ASSERT_TRUE(first_made.has_value() && second_made.has_value());
  std::optional<TempDir> first(*std::move(first_made));
  const fs::path first_path = first->path();
  const fs::path second_path = second_made->path();
  EXPECT_NE(first_path, second_path);

  TempDir taken(std::move(*first));
  EXPECT_TRUE(first->path().empty());
  first.reset();
  EXPECT_TRUE(fs::exists(first_path)) << "a moved-from owner removes nothing";

  taken = *std::move(second_made);  // the directory `taken` held goes now
  EXPECT_FALSE(fs::exists(first_path));
  EXPECT_EQ(taken.path(), second_path);
  EXPECT_TRUE(fs::exists(second_path));
}

// The errors: the parent as given, a colon, the system's text, and the attempted path.
struct ErrorCase {
  const char* name;
  std::string parent;  // relative to the scratch directory
  ErrorKind kind;
  std::string system_text;
};

class DirErrorTest : public DirTest, public testing::WithParamInterface<ErrorCase> {};

TEST_P(DirErrorTest, NamesParentErrorAndAttemptedPath) {
  std::ofstream(scratch() / "file") << "not a directory";
  const ErrorCase& c = GetParam();
  const fs::path parent = scratch() / c.parent;
  const auto made = TempDir::make(parent);
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().type(), Error::Type::kIo);
  EXPECT_EQ(made.error().kind(), c.kind);
  const std::string prefix =
      parent.native() + ": " + c.system_text + " at path \"" + parent.native() + "/lodestack-";
  const std::string text = made.error().text();
  ASSERT_EQ(text.substr(0, prefix.size()), prefix);
  EXPECT_TRUE(random_part(std::string_view(text).substr(prefix.size()), "\"")) << text;
}

INSTANTIATE_TEST_SUITE_P(Parents, DirErrorTest,
                         testing::Values(ErrorCase{"Missing", "missing", ErrorKind::kNotFound,
                                                   "No such file or directory (os error 2)"},
                                         ErrorCase{"MissingDeeper", "missing/deeper",
                                                   ErrorKind::kNotFound,
                                                   "No such file or directory (os error 2)"},
                                         ErrorCase{"File", "file", ErrorKind::kNotADirectory,
                                                   "Not a directory (os error 20)"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DirTest, RelativeParentKeepsItsSpellingInTheError) {
  const fs::path old_cwd = fs::current_path();
  fs::current_path(scratch());
  const auto made = TempDir::make("gone");
  fs::current_path(old_cwd);
  ASSERT_FALSE(made.has_value());
  const std::string prefix = "gone: No such file or directory (os error 2) at path \"" +
                             scratch().native() + "/gone/lodestack-";
  EXPECT_EQ(made.error().text().substr(0, prefix.size()), prefix);
}

// ---------------------------------------------------------------------------------------
// The attempts, with a stand-in for mkdir.

TEST(MakeUniqueDirTest, RetriesTakenNamesThenGivesUp) {
  std::vector<std::string> names;
  const auto made = make_unique_dir("/parent \"x\"", [&](const fs::path& path) {
    EXPECT_EQ(path.parent_path(), "/parent \"x\"");
    names.push_back(path.filename());
    return names.size() % 2 ? EEXIST : EADDRINUSE;
  });
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().kind(), ErrorKind::kAlreadyExists);
  EXPECT_EQ(made.error().text(), R"(too many temporary files exist at path "/parent \"x\"")");
  EXPECT_EQ(names.size(), 65536u);
  // The names: all well formed, every letter and digit in use, practically no repeats.
  std::set<char> chars;
  for (const std::string& name : names) {
    ASSERT_TRUE(dir_name(name)) << name;
    chars.insert(name.begin() + 10, name.end());
  }
  EXPECT_EQ(chars.size(), 62u);
  EXPECT_GT(std::set<std::string>(names.begin(), names.end()).size(), 65530u);
}

TEST(MakeUniqueDirTest, ReturnsTheFirstNewName) {
  int calls = 0;
  fs::path created;
  const auto made = make_unique_dir("/p", [&](const fs::path& path) {
    if (++calls < 5) return EEXIST;
    created = path;
    return 0;
  });
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(*made, created);
}

TEST(MakeUniqueDirTest, AnyOtherFailureEndsTheAttempts) {
  int calls = 0;
  fs::path attempted;
  const auto made = make_unique_dir("/p", [&](const fs::path& path) {
    ++calls;
    attempted = path;
    return EACCES;
  });
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(made.error().kind(), ErrorKind::kPermissionDenied);
  EXPECT_EQ(made.error().text(),
            "Permission denied (os error 13) at path \"" + attempted.native() + "\"");
}

TEST(QuoteTest, EscapesLikeADebugString) {
  EXPECT_EQ(quote_for_message("/tmp/plain"), "\"/tmp/plain\"");
  EXPECT_EQ(quote_for_message(R"(a"b\c'd)"), R"("a\"b\\c'd")");
  EXPECT_EQ(quote_for_message(std::string("\n\r\t\0\x01\x1b\x7f", 7)),
            R"("\n\r\t\0\u{1}\u{1b}\u{7f}")");
  EXPECT_EQ(quote_for_message("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
  // Bytes that are not UTF-8: stray, overlong, truncated.
  EXPECT_EQ(quote_for_message("\xff/\xc0\xaf/\xe2\x82"), R"("\xFF/\xC0\xAF/\xE2\x82")");
}

}  // namespace
}  // namespace lodestack::sorter
