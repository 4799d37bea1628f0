// SPDX-License-Identifier: GPL-3.0-or-later
// The profile (INI) module against real files in a temporary folder. Whole-file byte comparisons
// check that a write touches only the line it is about.
#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/roadeye-profile-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = (dir_ / "test.cfg").string();
  }

  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }

  void Put(const std::string& bytes) { Put(path_, bytes); }
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::string Bytes() const { return Bytes(path_); }
  static std::string Bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  std::string Get(const char* section, const char* key, const char* def = "<none>") const {
    char buf[256];
    const int n = GetProfileText(section, key, def, buf, sizeof buf, path_.c_str());
    EXPECT_EQ(n, static_cast<int>(std::string(buf).size()));
    return buf;
  }

  bool Set(const char* section, const char* key, const char* value) {
    return WriteProfileText(section, key, value, path_.c_str());
  }

  // The folder's entries other than the profile itself (left-over temporary files).
  std::vector<std::string> Strays() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (e.path() != fs::path(path_)) names.push_back(e.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
  std::string path_;
};

// A camera settings file as a card might carry it: CR LF, comments, a key the viewer does not
// know, a line the profile rules do not understand, an LF-only line and no final newline.
const char kCard[] =
    "; camera settings\r\n"
    "[capacity]\r\n"
    "const=40\r\n"
    "event=20\r\n"
    "manual=10\r\n"
    "park=30\r\n"
    "\r\n"
    "# blackbox options\r\n"
    "[BlackBox]\r\n"
    "Mic_Volume = 3\r\n"
    "unknown_key=keep me\n"
    "this line has no equals sign\r\n"
    "model=\"KA-700\"\r\n"
    "\r\n"
    "[time]\r\n"
    "set=0";

TEST_F(ProfileTest, ReadsValuesWithNamesInAnyCase) {
  Put(kCard);
  EXPECT_EQ(Get("capacity", "const"), "40");
  EXPECT_EQ(Get("CAPACITY", "Park"), "30");
  EXPECT_EQ(Get("blackbox", "mic_volume"), "3");  // blanks around '=' trimmed
  EXPECT_EQ(Get("blackbox", "MODEL"), "KA-700");  // one pair of quotes removed
  EXPECT_EQ(Get("time", "set"), "0");             // last line without a newline
  EXPECT_EQ(Get("blackbox", "osd_speed", "1"), "1");
  EXPECT_EQ(Get("nosuch", "const", "dflt  "), "dflt");  // default's trailing blanks dropped
  EXPECT_EQ(Get("blackbox", "this line has no equals sign"), "<none>");
  EXPECT_EQ(Get("capacity", "; camera settings"), "<none>");
}

TEST_F(ProfileTest, MissingOrUnreadableFileGivesTheDefault) {
  EXPECT_EQ(Get("config", "volume", "-200"), "-200");
  EXPECT_EQ(Get("config", "volume", nullptr), "");
  fs::create_directory(path_);  // a folder where the file should be
  EXPECT_EQ(Get("config", "volume", "-200"), "-200");
  EXPECT_FALSE(Set("config", "volume", "5"));
}

TEST_F(ProfileTest, FirstSectionAndFirstKeyWin) {
  Put("[a]\r\nk=1\r\nK=2\r\n[A]\r\nk=3\r\nother=4\r\n");
  EXPECT_EQ(Get("a", "k"), "1");
  EXPECT_EQ(Get("a", "other"), "<none>");  // only the first [a] is searched

  ASSERT_TRUE(Set("A", "K", "9"));
  EXPECT_EQ(Bytes(), "[a]\r\nk=9\r\nK=2\r\n[A]\r\nk=3\r\nother=4\r\n");
}

TEST_F(ProfileTest, QuotesAndBlanks) {
  Put("[s]\r\n"
      "  spaced   =   a b c   \r\n"
      "quoted=\"  inner  \"\r\n"
      "single='x'\r\n"
      "half=\"open\r\n"
      "mixed=\"x'\r\n"
      "twice=\"\"y\"\"\r\n"
      "empty=\r\n"
      "\ttabbed\t=\tv\t\r\n");
  EXPECT_EQ(Get("s", "spaced"), "a b c");
  EXPECT_EQ(Get("s", "quoted"), "  inner  ");
  EXPECT_EQ(Get("s", "single"), "x");
  EXPECT_EQ(Get("s", "half"), "\"open");
  EXPECT_EQ(Get("s", "mixed"), "\"x'");
  EXPECT_EQ(Get("s", "twice"), "\"y\"");
  EXPECT_EQ(Get("s", "empty"), "");
  EXPECT_EQ(Get("s", "tabbed"), "v");
  EXPECT_EQ(Get(" s ", " tabbed "), "v");
}

TEST_F(ProfileTest, CopiesAreCutToTheBuffer) {
  Put("[s]\r\nk=abcdefghijklmnop\r\nko=\xEA\xB0\x80\xEA\xB0\x80\r\n");
  char buf[10];
  EXPECT_EQ(GetProfileText("s", "k", "", buf, sizeof buf, path_.c_str()), 9);
  EXPECT_STREQ(buf, "abcdefghi");
  EXPECT_EQ(GetProfileText("s", "k", "", buf, 1, path_.c_str()), 0);
  EXPECT_STREQ(buf, "");
  // Two three-byte Korean characters in a five-byte buffer: only the first one fits whole.
  char small[5];
  EXPECT_EQ(GetProfileText("s", "ko", "", small, sizeof small, path_.c_str()), 3);
  EXPECT_STREQ(small, "\xEA\xB0\x80");
  EXPECT_EQ(GetProfileText("s", "k", "", nullptr, 10, path_.c_str()), 0);
}

TEST_F(ProfileTest, ListsSectionAndKeyNames) {
  Put(kCard);
  char buf[256];
  int n = GetProfileText(nullptr, nullptr, "", buf, sizeof buf, path_.c_str());
  EXPECT_EQ(n, 23);
  EXPECT_EQ(std::string(buf, n + 1), std::string("capacity\0BlackBox\0time\0\0", 24));

  n = GetProfileText("blackbox", nullptr, "", buf, sizeof buf, path_.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("Mic_Volume\0unknown_key\0model\0\0", 30));

  n = GetProfileText("nosuch", nullptr, "dflt", buf, sizeof buf, path_.c_str());
  EXPECT_EQ(n, 0);
  EXPECT_EQ(buf[0], '\0');

  // A list that does not fit is cut and still ends in a double NUL.
  char small[12];
  n = GetProfileText(nullptr, nullptr, "", small, sizeof small, path_.c_str());
  EXPECT_EQ(n, 10);
  EXPECT_EQ(std::string(small, 12), std::string("capacity\0B\0\0", 12));

  // A key line with nothing before its '=' lists as an empty name (found by fuzzing: the copy of
  // a name with no characters was handed a null pointer).
  Put("[config]\r\n=5\r\nvolume=50\r\n");
  n = GetProfileText("config", nullptr, "", buf, sizeof buf, path_.c_str());
  EXPECT_EQ(std::string(buf, std::size_t(n) + 1), std::string("\0volume\0\0", 9));
}

TEST_F(ProfileTest, ReplacesAKeyWhereItStandsAndKeepsEveryOtherByte) {
  Put(kCard);
  ASSERT_TRUE(Set("blackbox", "mic_volume", "5"));
  std::string expected = kCard;
  expected.replace(expected.find("Mic_Volume = 3\r\n"), 16, "Mic_Volume=5\r\n");
  EXPECT_EQ(Bytes(), expected);
  EXPECT_EQ(Get("BLACKBOX", "mic_volume"), "5");

  // The LF-only line is replaced with a CR LF line; its neighbours keep their own ends.
  ASSERT_TRUE(Set("blackbox", "unknown_key", "new"));
  expected.replace(expected.find("unknown_key=keep me\n"), 20, "unknown_key=new\r\n");
  EXPECT_EQ(Bytes(), expected);
  EXPECT_TRUE(Strays().empty());
}

TEST_F(ProfileTest, AppendsANewKeyToTheEndOfItsSection) {
  Put(kCard);
  ASSERT_TRUE(Set("capacity", "extra", "1"));
  std::string expected = kCard;
  // After the section's last key; the blank line and the comment heading the next section stay
  // with that section.
  expected.insert(expected.find("park=30\r\n") + 9, "extra=1\r\n");
  EXPECT_EQ(Bytes(), expected);

  ASSERT_TRUE(Set("blackbox", "osd_speed", "2"));
  expected.insert(expected.find("model=\"KA-700\"\r\n") + 16, "osd_speed=2\r\n");
  EXPECT_EQ(Bytes(), expected);
  EXPECT_EQ(Get("blackbox", "osd_speed"), "2");
}

TEST_F(ProfileTest, AppendingAfterALastLineWithoutNewlineEndsThatLine) {
  Put(kCard);
  ASSERT_TRUE(Set("time", "year", "2024"));
  EXPECT_EQ(Bytes(), std::string(kCard) + "\r\nyear=2024\r\n");
  EXPECT_EQ(Get("time", "set"), "0");
  EXPECT_EQ(Get("time", "year"), "2024");

  // A last line ending in a bare CR is ended too, so the new key stays a line of its own.
  Put("[s]\r\nk=1\r");
  ASSERT_TRUE(Set("s", "n", "2"));
  EXPECT_EQ(Get("s", "k"), "1");
  EXPECT_EQ(Get("s", "n"), "2");
  ASSERT_TRUE(Set("t", "m", "3"));
  EXPECT_EQ(Get("t", "m"), "3");
}

TEST_F(ProfileTest, AddsAMissingSectionAtTheEndOfTheFile) {
  Put(kCard);
  ASSERT_TRUE(Set("config", "volume", "50"));
  EXPECT_EQ(Bytes(), std::string(kCard) + "\r\n\r\n[config]\r\nvolume=50\r\n");

  ASSERT_TRUE(Set("other", "a", "b"));
  EXPECT_EQ(Bytes(),
            std::string(kCard) + "\r\n\r\n[config]\r\nvolume=50\r\n\r\n[other]\r\na=b\r\n");
  EXPECT_EQ(Get("config", "volume"), "50");
}

TEST_F(ProfileTest, CreatesAMissingFileWithCrLfLines) {
  ASSERT_TRUE(Set("config", "brightness", "-3"));
  ASSERT_TRUE(Set("config", "volume", "99"));
  EXPECT_EQ(Bytes(), "[config]\r\nbrightness=-3\r\nvolume=99\r\n");
  EXPECT_TRUE(Strays().empty());
}

TEST_F(ProfileTest, DeletesKeysAndSections) {
  Put(kCard);
  ASSERT_TRUE(Set("capacity", "EVENT", nullptr));
  std::string expected = kCard;
  expected.erase(expected.find("event=20\r\n"), 10);
  EXPECT_EQ(Bytes(), expected);
  EXPECT_EQ(Get("capacity", "event"), "<none>");

  ASSERT_TRUE(Set("blackbox", nullptr, nullptr));
  expected.erase(expected.find("[BlackBox]"),
                 expected.find("[time]") - expected.find("[BlackBox]"));
  EXPECT_EQ(Bytes(), expected);
  EXPECT_EQ(Get("blackbox", "model"), "<none>");

  // Deleting what is not there changes nothing and creates nothing.
  ASSERT_TRUE(Set("blackbox", "model", nullptr));
  ASSERT_TRUE(Set("nosuch", nullptr, nullptr));
  EXPECT_EQ(Bytes(), expected);
  const std::string absent = (dir_ / "absent.cfg").string();
  EXPECT_TRUE(WriteProfileText("s", "k", nullptr, absent.c_str()));
  EXPECT_FALSE(fs::exists(absent));
}

TEST_F(ProfileTest, KeysBeforeAnySectionBelongToNone) {
  Put("loose=1\r\n[s]\r\nk=2\r\n");
  EXPECT_EQ(Get("s", "loose"), "<none>");
  ASSERT_TRUE(Set("s", "loose", "3"));
  EXPECT_EQ(Bytes(), "loose=1\r\n[s]\r\nk=2\r\nloose=3\r\n");
}

TEST_F(ProfileTest, AByteOrderMarkIsSkippedAndKept) {
  Put("\xEF\xBB\xBF[config]\r\nvolume=10\r\n");
  EXPECT_EQ(Get("config", "volume"), "10");
  ASSERT_TRUE(Set("config", "volume", "20"));
  EXPECT_EQ(Bytes(), "\xEF\xBB\xBF[config]\r\nvolume=20\r\n");

  Put("\xEF\xBB\xBF");
  ASSERT_TRUE(Set("config", "volume", "30"));
  EXPECT_EQ(Get("config", "volume"), "30");
}

TEST_F(ProfileTest, NulBytesInTheFileAreHandled) {
  Put(std::string("[s]\r\nk=ab\0cd\r\nna\0me=1\r\nz=2\r\n", 28));
  EXPECT_EQ(Get("s", "k"), "ab");  // the copy ends at the NUL, and says so
  EXPECT_EQ(Get("s", "z"), "2");
  ASSERT_TRUE(Set("s", "z", "3"));
  EXPECT_EQ(Bytes(), std::string("[s]\r\nk=ab\0cd\r\nna\0me=1\r\nz=3\r\n", 28));
}

TEST_F(ProfileTest, FilesOverTheBoundAreNeitherReadNorWritten) {
  std::string big = "[config]\r\nvolume=77\r\n";
  big.resize(kMaxProfileBytes + 1, ';');
  Put(big);
  EXPECT_EQ(Get("config", "volume", "-200"), "-200");
  EXPECT_FALSE(Set("config", "volume", "1"));
  EXPECT_EQ(Bytes(), big);

  big.resize(kMaxProfileBytes);  // exactly at the bound is fine
  Put(big);
  EXPECT_EQ(Get("config", "volume"), "77");

  // A write that would push the file over the bound is refused.
  const std::string longValue(kMaxProfileBytes, 'x');
  EXPECT_FALSE(Set("config", "other", longValue.c_str()));
  EXPECT_EQ(Bytes(), big);
}

TEST_F(ProfileTest, SpecialFilesAreNotRead) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(Get("config", "volume", "-200"), "-200");  // does not wait for a writer
  EXPECT_FALSE(Set("config", "volume", "1"));
}

TEST_F(ProfileTest, UnwritablePlacesGiveFalseAndLeaveNothing) {
  const std::string inMissingFolder = (dir_ / "SETTING" / "blackbox.cfg").string();
  EXPECT_FALSE(WriteProfileText("blackbox", "osd_speed", "2", inMissingFolder.c_str()));
  EXPECT_FALSE(fs::exists(dir_ / "SETTING"));
  EXPECT_TRUE(Strays().empty());
  EXPECT_FALSE(WriteProfileText("blackbox", "osd_speed", "2", ""));
  EXPECT_FALSE(WriteProfileText("blackbox", "osd_speed", "2", nullptr));

  Put("[s]\r\nk=1\r\n");
  fs::permissions(path_, fs::perms::owner_read, fs::perm_options::replace);
  EXPECT_FALSE(Set("s", "k", "2"));  // a read-only file stays read-only
  EXPECT_EQ(Bytes(), "[s]\r\nk=1\r\n");
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
  EXPECT_TRUE(Strays().empty());

  if (geteuid() == 0) GTEST_SKIP() << "folder permissions do not bind root";
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
  EXPECT_FALSE(Set("s", "k", "2"));  // a folder that takes no new file
  EXPECT_EQ(Bytes(), "[s]\r\nk=1\r\n");
  fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::replace);
  EXPECT_TRUE(Strays().empty());
}

TEST_F(ProfileTest, WritesThatWouldBreakTheFileAreRefused) {
  Put(kCard);
  EXPECT_FALSE(Set("time", "set", "1\r\n[time]\r\nyear=1999"));
  EXPECT_FALSE(Set("time", "a=b", "1"));
  EXPECT_FALSE(Set("time", ";k", "1"));
  EXPECT_FALSE(Set("time", "  ", "1"));
  EXPECT_FALSE(Set("ti]me", "k", "1"));
  EXPECT_FALSE(Set("", "k", "1"));
  EXPECT_FALSE(Set(nullptr, "k", "1"));
  EXPECT_EQ(Bytes(), kCard);
}

TEST_F(ProfileTest, AnUnchangedValueLeavesTheFileAlone) {
  Put("[s]\r\nk=1\r\n");
  struct stat st1 {};
  ASSERT_EQ(stat(path_.c_str(), &st1), 0);
  ASSERT_TRUE(Set("s", "k", "1"));
  struct stat st2 {};
  ASSERT_EQ(stat(path_.c_str(), &st2), 0);
  EXPECT_EQ(st1.st_ino, st2.st_ino);  // not replaced by a new file
}

TEST_F(ProfileTest, AWriteThroughALinkKeepsTheLink) {
  const std::string real = (dir_ / "real.cfg").string();
  Put(real, "[s]\r\nk=1\r\n");
  fs::create_symlink(real, path_);
  ASSERT_TRUE(Set("s", "k", "2"));
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(Bytes(real), "[s]\r\nk=2\r\n");
}

TEST_F(ProfileTest, ConcurrentWritersDoNotLoseKeys) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < 20; ++i) {
        const std::string key = "k" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_TRUE(Set("s", key.c_str(), "v"));
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 20; ++i) {
      const std::string key = "k" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_EQ(Get("s", key.c_str()), "v") << key;
    }
  }
  EXPECT_TRUE(Strays().empty());
}

TEST_F(ProfileTest, IntegerValues) {
  Put("[config]\r\n"
      "volume=150\r\n"
      "brightness=-200\r\n"
      "text=abc\r\n"
      "lead=12abc\r\n"
      "plus= +7\r\n"
      "empty=\r\n"
      "huge=99999999999999999999\r\n"
      "tiny=-99999999999999999999\r\n"
      "quoted=\"42\"\r\n");
  const char* p = path_.c_str();
  EXPECT_EQ(GetProfileInt("config", "volume", 50, p), 150);
  EXPECT_EQ(GetProfileInt("config", "brightness", 0, p), -200);
  EXPECT_EQ(GetProfileInt("config", "text", 5, p), 0);
  EXPECT_EQ(GetProfileInt("config", "lead", 5, p), 12);
  EXPECT_EQ(GetProfileInt("config", "plus", 5, p), 7);
  EXPECT_EQ(GetProfileInt("config", "empty", 5, p), 5);
  EXPECT_EQ(GetProfileInt("config", "huge", 5, p), 2147483647);
  EXPECT_EQ(GetProfileInt("config", "tiny", 5, p), -2147483647 - 1);
  EXPECT_EQ(GetProfileInt("config", "quoted", 5, p), 42);
  EXPECT_EQ(GetProfileInt("config", "missing", 50, p), 50);
  EXPECT_EQ(GetProfileInt("nosuch", "volume", 50, p), 50);
}

// Sets or clears an environment variable for one test and puts it back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

TEST_F(ProfileTest, UserConfigDirFollowsTheEnvironmentAndTheOverride) {
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/somewhere/cfg");
    EXPECT_EQ(UserConfigDir(), "/somewhere/cfg/roadeye");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/cfg");  // not absolute: ignored
    ScopedEnv home("HOME", "/home/driver");
    EXPECT_EQ(UserConfigDir(), "/home/driver/.config/roadeye");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    const std::string dir = UserConfigDir();  // from the password database
    EXPECT_NE(dir.find("/.config/roadeye"), std::string::npos);
  }
  const std::string chosen = (dir_ / "a" / "b" / "roadeye").string();
  SetUserConfigDir(chosen);
  EXPECT_EQ(UserConfigDir(), chosen);
  EXPECT_TRUE(EnsureUserConfigDir());
  EXPECT_TRUE(fs::is_directory(chosen));
  EXPECT_TRUE(EnsureUserConfigDir());  // already there

  Put((dir_ / "file").string(), "x");
  SetUserConfigDir((dir_ / "file" / "sub").string());
  EXPECT_FALSE(EnsureUserConfigDir());
  SetUserConfigDir("");
  EXPECT_NE(UserConfigDir(), (dir_ / "file" / "sub").string());
}

}  // namespace
