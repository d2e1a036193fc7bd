#include "sorter/dir.h"

#include <sys/stat.h>

#include "sorter/dir_name.h"
#include "testing/helpers.h"

namespace lodestack::sorter {
namespace {

using namespace testing_helpers;
using DirTest = TmpDirTest;

bool dir_name(std::string_view s) {  // "lodestack-" and six ASCII letters or digits
  return s.size() == 16 && s.starts_with("lodestack-") &&
         std::all_of(s.begin() + 10, s.end(), [](char c) { return std::isalnum(c); });
}

TEST_F(DirTest, IsPrivateAndItsLastOwnerRemovesItWithNothingOutside) {
  fs::create_directory(tmp_ / "outside");
  const mode_t old_umask = ::umask(0);
  std::optional<TempDir> dir(TempDir::make(tmp_).value());
  ::umask(old_umask);
  const fs::path path = dir->path();
  EXPECT_TRUE(path.parent_path() == tmp_ && dir_name(path.filename().native())) << path;
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
  fs::create_directories(path / "a" / "b");
  std::ofstream(path / "a" / "b" / "run") << "records";
  fs::create_directory_symlink(tmp_ / "outside", path / "link");
  TempDir taken(std::move(*dir));
  dir.reset();  // a moved-from owner removes nothing
  EXPECT_TRUE(fs::exists(path / "a" / "b" / "run"));
  taken = TempDir::make(tmp_ / "outside").value();  // the directory `taken` held goes now
  EXPECT_EQ(tree(), (Tree{"outside", "outside/" + taken.path().filename().native()}));
}

// Errors name the parent as given, the system's error, and the path tried, made absolute.
TEST_F(DirTest, RelativeParentIsResolvedNowAndSpelledAsGivenInErrors) {
  const fs::path cwd = fs::current_path();
  fs::current_path(tmp_);
  const Result<TempDir> made = TempDir::make("."), missing = TempDir::make("gone/deeper");
  fs::current_path(cwd);
  EXPECT_EQ(made.value().path().parent_path(), tmp_ / ".");
  ASSERT_EQ(missing.error().kind(), kNotFound);
  const std::string head = "gone/deeper: No such file or directory (os error 2) at path \"" +
                           (tmp_ / "gone/deeper/").native();
  const std::string name = missing.error().text().substr(head.size(), 16);
  EXPECT_TRUE(dir_name(name));
  EXPECT_EQ(missing.error().text(), head + name + "\"");
}

TEST(MakeUniqueDirTest, RetriesOnlyTakenNamesAndAtMostSoOften) {
  std::vector<fs::path> tried;
  const auto attempt = [&](std::size_t n, int error) {  // n - 1 names taken, then `error`
    tried.clear();
    return make_unique_dir("/p \"q\"", [&](const fs::path& path) {
      tried.push_back(path);
      return tried.size() == n ? error : tried.size() % 2 ? EEXIST : EADDRINUSE;
    });
  };
  expect_error(attempt(0, 0), kIo, kAlreadyExists,
               R"(too many temporary files exist at path "/p \"q\"")");
  std::set<char> chars;
  for (const fs::path& path : tried) {
    const std::string name = path.filename();
    ASSERT_TRUE(path.parent_path() == "/p \"q\"" && dir_name(name)) << path;
    chars.insert(name.begin() + 10, name.end());
  }
  EXPECT_EQ(tried.size(), kDirAttempts);
  EXPECT_EQ(chars.size(), 62u);
  EXPECT_GT(std::set<fs::path>(tried.begin(), tried.end()).size(), kDirAttempts - 6);
  const auto refused = attempt(3, EACCES);
  expect_error(refused, kIo, kPermissionDenied,
               "Permission denied (os error 13) at path \"/p \\\"q\\\"/" +
                   tried.at(2).filename().native() + "\"");
  EXPECT_EQ(tried.size(), 3u);
  const auto made = attempt(5, 0);
  EXPECT_EQ(made.value(), tried.at(4));
}

TEST(QuoteTest, QuotesAnyTextUnambiguously) {
  const std::pair<std::string, std::string> cases[] = {
      {"/tmp/plain", R"("/tmp/plain")"},
      {R"(a"b\c'd)", R"("a\"b\\c'd")"},
      {"\n\r\t\0\x01\x1b\x7f"s, R"("\n\r\t\0\u{1}\u{1b}\u{7f}")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      // Not UTF-8: a stray byte, an overlong form, a surrogate, past U+10FFFF, cut short.
      {"\xff/\xc0\xaf/\xed\xa0\x80/\xf4\x90\x80\x80/\xe2\x82",
       R"("\xFF/\xC0\xAF/\xED\xA0\x80/\xF4\x90\x80\x80/\xE2\x82")"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(quote_for_message(in), out);
}

}  // namespace
}  // namespace lodestack::sorter
