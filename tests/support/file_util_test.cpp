#include "support/file_util.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "support/sandbox.h"

namespace {

using tavtest::ScopedEnv;

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// ---- Fixtures for file versions, assembled byte by byte ---------------------

class Bytes {
 public:
  explicit Bytes(bool big_endian = false) : big_endian_(big_endian) {}
  void Put(size_t at, uint64_t value, int width) {
    if (data_.size() < at + width)
      data_.resize(at + width, '\0');
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (big_endian_ ? width - 1 - i : i);
      data_[at + i] = static_cast<char>((value >> shift) & 0xFF);
    }
  }
  void PutText(size_t at, const std::string& text) {
    if (data_.size() < at + text.size())
      data_.resize(at + text.size(), '\0');
    data_.replace(at, text.size(), text);
  }
  size_t size() const { return data_.size(); }
  const std::string& data() const { return data_; }

 private:
  bool big_endian_;
  std::string data_;
};

// Where the pieces of the PE fixture lie, for the malformed variants.
struct PeLayout {
  size_t coff = 0x44;
  size_t optional = 0x58;
  size_t sections = 0;
  size_t rsrc = 0x200;  // file offset of the resource section
  size_t count_field = 0;
};

// A Windows program with one ".rsrc" section holding a version resource
// (type 16, name 1, language 0x409) whose VS_FIXEDFILEINFO is the file's
// last bytes, so any cut removes a part that is needed.
std::string MakePe(bool plus, uint32_t file_ms, uint32_t file_ls, PeLayout* layout_out = nullptr) {
  PeLayout layout;
  const size_t optional_size = plus ? 0xF0 : 0xE0;
  layout.sections = layout.optional + optional_size;
  layout.count_field = layout.optional + (plus ? 108 : 92);
  const size_t directories = layout.optional + (plus ? 112 : 96);
  const uint32_t rva = 0x1000;
  const size_t version_size = 92;
  const size_t rsrc_size = 0x58 + version_size;

  Bytes b;
  b.PutText(0, "MZ");
  b.Put(0x3C, 0x40, 4);
  b.PutText(0x40, std::string("PE\0\0", 4));
  b.Put(layout.coff, plus ? 0x8664 : 0x14C, 2);
  b.Put(layout.coff + 2, 1, 2);  // sections
  b.Put(layout.coff + 16, optional_size, 2);
  b.Put(layout.coff + 18, 0x0102, 2);
  b.Put(layout.optional, plus ? 0x20B : 0x10B, 2);
  b.Put(layout.count_field, 16, 4);
  b.Put(directories + 2 * 8, rva, 4);
  b.Put(directories + 2 * 8 + 4, rsrc_size, 4);
  b.PutText(layout.sections, ".rsrc");
  b.Put(layout.sections + 8, rsrc_size, 4);
  b.Put(layout.sections + 12, rva, 4);
  b.Put(layout.sections + 16, rsrc_size, 4);
  b.Put(layout.sections + 20, layout.rsrc, 4);

  const size_t r = layout.rsrc;
  b.Put(r + 0x0E, 1, 2);  // root: one id entry
  b.Put(r + 0x10, 16, 4);
  b.Put(r + 0x14, 0x80000000u | 0x18, 4);
  b.Put(r + 0x18 + 0x0E, 1, 2);  // names
  b.Put(r + 0x28, 1, 4);
  b.Put(r + 0x2C, 0x80000000u | 0x30, 4);
  b.Put(r + 0x30 + 0x0E, 1, 2);  // languages
  b.Put(r + 0x40, 0x409, 4);
  b.Put(r + 0x44, 0x48, 4);
  b.Put(r + 0x48, rva + 0x58, 4);  // data entry
  b.Put(r + 0x4C, version_size, 4);

  const size_t v = r + 0x58;
  b.Put(v, version_size, 2);
  b.Put(v + 2, 52, 2);
  const std::string key = "VS_VERSION_INFO";
  for (size_t i = 0; i < key.size(); ++i)
    b.Put(v + 6 + 2 * i, static_cast<unsigned char>(key[i]), 2);
  b.Put(v + 6 + 2 * key.size(), 0, 2);
  b.Put(v + 40, 0xFEEF04BD, 4);
  b.Put(v + 44, 0x00010000, 4);
  b.Put(v + 48, file_ms, 4);
  b.Put(v + 52, file_ls, 4);
  b.Put(v + 56, 0x00090009, 4);  // product version: not the one asked for
  b.Put(v + 60, 0x00090009, 4);
  b.Put(v + 40 + 51, 0, 1);  // the rest of the 52 bytes stays zero
  if (layout_out != nullptr)
    *layout_out = layout;
  return b.data();
}

enum class ElfPlace { kSection, kSegment };

struct ElfShape {
  bool wide = true;
  bool big_endian = false;
  ElfPlace place = ElfPlace::kSection;
  std::string note_name = std::string("TAV\0", 4);
  uint32_t note_type = 1;
};

// A program of this project's kind with its version note; the headers that
// find the note come last.
std::string MakeElf(const std::string& version, const ElfShape& shape = {}) {
  Bytes b(shape.big_endian);
  const bool w = shape.wide;
  b.PutText(0,
            "\x7F"
            "ELF");
  b.Put(4, w ? 2 : 1, 1);
  b.Put(5, shape.big_endian ? 2 : 1, 1);
  b.Put(6, 1, 1);
  b.Put(0x10, 2, 2);
  b.Put(0x12, w ? 0x3E : 0x03, 2);
  b.Put(0x14, 1, 4);
  b.Put(w ? 0x34 : 0x28, w ? 64 : 52, 2);

  const std::string names = std::string("\0.shstrtab\0.note.tav.version\0", 29);
  const size_t names_at = 0x40;
  b.PutText(names_at, names);
  size_t note_at = (names_at + names.size() + 3) & ~size_t{3};
  const std::string desc = version + '\0';
  const auto pad = [](size_t n) { return (n + 3) & ~size_t{3}; };
  // A foreign note first, so the reader has to walk.
  b.Put(note_at, 4, 4);
  b.Put(note_at + 4, 4, 4);
  b.Put(note_at + 8, 3, 4);
  b.PutText(note_at + 12, std::string("GNU\0", 4));
  b.Put(note_at + 16, 0xABCD, 4);
  const size_t ours = note_at + 20;
  b.Put(ours, shape.note_name.size(), 4);
  b.Put(ours + 4, desc.size(), 4);
  b.Put(ours + 8, shape.note_type, 4);
  b.PutText(ours + 12, shape.note_name);
  b.PutText(ours + 12 + pad(shape.note_name.size()), desc);
  const size_t note_end = pad(ours + 12 + pad(shape.note_name.size()) + desc.size());
  const size_t note_size = note_end - note_at;
  b.Put(note_end - 1, 0, 1);

  const size_t table = note_end;
  if (shape.place == ElfPlace::kSegment) {
    const size_t entry = w ? 56 : 32;
    b.Put(w ? 0x20 : 0x1C, table, w ? 8 : 4);
    b.Put(w ? 0x36 : 0x2A, entry, 2);
    b.Put(w ? 0x38 : 0x2C, 1, 2);
    b.Put(table, 4, 4);  // PT_NOTE
    b.Put(table + (w ? 8 : 4), note_at, w ? 8 : 4);
    b.Put(table + (w ? 0x20 : 0x10), note_size, w ? 8 : 4);
    b.Put(table + entry - 1, 0, 1);
    return b.data();
  }
  const size_t entry = w ? 64 : 40;
  b.Put(w ? 0x28 : 0x20, table, w ? 8 : 4);
  b.Put(w ? 0x3A : 0x2E, entry, 2);
  b.Put(w ? 0x3C : 0x30, 3, 2);
  b.Put(w ? 0x3E : 0x32, 1, 2);
  const auto section = [&](size_t index, uint32_t name, uint32_t type, size_t offset, size_t size) {
    const size_t h = table + index * entry;
    b.Put(h, name, 4);
    b.Put(h + 4, type, 4);
    b.Put(h + (w ? 0x18 : 0x10), offset, w ? 8 : 4);
    b.Put(h + (w ? 0x20 : 0x14), size, w ? 8 : 4);
  };
  section(0, 0, 0, 0, 0);
  section(1, 1, 3, names_at, names.size());
  section(2, 11, 7, note_at, note_size);
  b.Put(table + 3 * entry - 1, 0, 1);
  return b.data();
}

std::string VersionOf(const tavtest::Sandbox& sandbox, const std::string& content, bool* ok) {
  const std::string path = sandbox.Path("fixture.bin");
  EXPECT_TRUE(tavtest::WriteFile(path, content));
  std::string version = "untouched";
  *ok = GetFileVersionString(path, &version);
  return version;
}

// Cuts the file shorter one byte at a time: every cut loses a needed byte.
void ExpectEveryCutFails(const tavtest::Sandbox& sandbox, const std::string& good) {
  const std::string path = sandbox.Path("cut.bin");
  ASSERT_TRUE(tavtest::WriteFile(path, good));
  for (size_t size = good.size(); size-- > 0;) {
    SCOPED_TRACE("cut at " + std::to_string(size));
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
    std::string version;
    ASSERT_FALSE(GetFileVersionString(path, &version));
  }
}

// ---- Folders ----------------------------------------------------------------

TEST(FileUtilTest, TempFolderEndsInSlashAndHoldsBrandFolder) {
  tavtest::Sandbox sandbox;
  EXPECT_EQ(GetTempFolder(), sandbox.Path("tmp") + "/");
  const struct {
    const char* brand;
    const char* folder;
  } cases[] = {{"", "Veltrana"}, {"Corvenna", "Corvenna"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brand);
    const std::string temp = GetTempBrandFolder(c.brand);
    EXPECT_EQ(temp, sandbox.Path("tmp/") + c.folder + "/");
    EXPECT_TRUE(DirectoryExists(temp));
    const std::string docs = GetCommonDocsBrandFolder(c.brand);
    EXPECT_EQ(docs, sandbox.Path("var/lib/") + c.folder + "/");
    EXPECT_TRUE(DirectoryExists(docs));
  }
}

TEST(FileUtilTest, TempFolderLongerThanItsLimitIsEmpty) {
  tavtest::Sandbox sandbox;
  // Pad the machine root past 259 characters.
  const std::string part(100, 'r');
  const std::string deep = sandbox.Path(part + "/" + part + "/" + part);
  ASSERT_TRUE(platform::CreateDirectories(deep));
  ScopedEnv root("TAV_ROOT", deep);
  EXPECT_EQ(GetTempFolder(), "");
  EXPECT_EQ(GetTempBrandFolder("Corvenna"), "");
}

TEST(FileUtilTest, ExeBrandFolderIsNextToTheProgram) {
  const std::string own = GetOwnPath();
  ASSERT_FALSE(own.empty());
  const std::string folder = GetExeBrandFolder("TavTestExeBrand");
  EXPECT_EQ(folder, ParentFolder(own) + "/TavTestExeBrand/");
  EXPECT_TRUE(DirectoryExists(folder));
  std::error_code ec;
  fs::remove(folder, ec);
}

TEST(FileUtilTest, DirectoryExistsOnlyForFolders) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("dir/file.txt"), "x"));
  ASSERT_EQ(symlink(sandbox.Path("dir").c_str(), sandbox.Path("link").c_str()), 0);
  const struct {
    std::string path;
    bool exists;
  } cases[] = {
      {sandbox.Path("dir"), true},      {sandbox.Path("dir/"), true},
      {sandbox.Path("link"), true},     {sandbox.Path("dir/file.txt"), false},
      {sandbox.Path("missing"), false}, {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DirectoryExists(c.path), c.exists);
  }
}

TEST(FileUtilTest, PathPieces) {
  const struct {
    const char* path;
    const char* parent;
    const char* base;
    const char* base_with_extension;
    const char* extension;
  } cases[] = {
      {"/opt/App/setup.exe", "/opt/App", "setup", "setup.exe", ".exe"},
      {"/opt/App/archive.tar.gz", "/opt/App", "archive.tar", "archive.tar.gz", ".gz"},
      {"setup.exe", "", "setup", "setup.exe", ".exe"},
      {"/opt/App/", "/opt/App", "", "", ""},
      {"/a.b/c", "/a.b", "c", "c", ".b/c"},  // the text's last "."
      {"/noext", "", "noext", "noext", ""},
      {".hidden", "", "", ".hidden", ".hidden"},
      {"", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ParentFolder(c.path), c.parent);
    EXPECT_EQ(BaseName(c.path, false), c.base);
    EXPECT_EQ(BaseName(c.path, true), c.base_with_extension);
    EXPECT_EQ(Extension(c.path), c.extension);
  }
}

TEST(FileUtilTest, CreateFolderTreeMakesParentsFirst) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("file"), "x"));
  const struct {
    std::string path;
    bool created;
  } cases[] = {
      {sandbox.Path("a/b/c/d"), true}, {sandbox.Path("a/b"), true},  // exists already
      {sandbox.Path("x/y/"), true},    {sandbox.Path("file/sub"), false},
      {sandbox.Path("file"), false},   {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(CreateFolderTree(c.path), c.created);
    EXPECT_EQ(DirectoryExists(c.path), c.created);
  }
}

TEST(FileUtilTest, CanWriteFolderLeavesNoFileBehind) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(CreateFolderTree(sandbox.Path("open")));
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("file"), "x"));
  const struct {
    std::string folder;
    bool writable;
  } cases[] = {
      {sandbox.Path("open"), true},
      {sandbox.Path("open/"), true},
      {sandbox.Path("missing"), false},
      {sandbox.Path("file"), false},  // not a folder
      {"/proc/self", false},          // no new files there, not even for root
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_EQ(CanWriteFolder(c.folder), c.writable);
    EXPECT_FALSE(Exists(sandbox.Path("open/tav.tmp")));
  }
  EXPECT_FALSE(Exists(sandbox.Path("tav.tmp")));
}

TEST(FileUtilTest, CanWriteFolderOfReadOnlyFolderIsFalse) {
  tavtest::Sandbox sandbox;
  const std::string folder = sandbox.Path("readonly");
  ASSERT_TRUE(CreateFolderTree(folder));
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    EXPECT_FALSE(CanWriteFolder(folder));
    chmod(folder.c_str(), 0755);
    EXPECT_FALSE(Exists(folder + "/tav.tmp"));
    return;
  }
  // Root writes through permissions: make the folder a read-only mount in a
  // private mount namespace of a child, which takes the mount with it.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) ||
        mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)) {
      _exit(77);
    }
    _exit(CanWriteFolder(folder) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "running as root without the right to mount: a read-only folder cannot be made";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the read-only folder was reported writable";
  EXPECT_FALSE(Exists(folder + "/tav.tmp"));
}

TEST(FileUtilTest, ListFolderFlags) {
  tavtest::Sandbox sandbox;
  const std::string top = sandbox.Path("top");
  for (const char* file : {"a.txt", ".hidden", "sub/b.txt", "sub/deep/c.txt"}) {
    ASSERT_TRUE(tavtest::WriteFile(top + "/" + file, "x"));
  }
  ASSERT_TRUE(CreateFolderTree(top + "/empty"));
  // A link back up must not be followed.
  ASSERT_EQ(symlink(top.c_str(), (top + "/sub/loop").c_str()), 0);
  const std::string t = top + "/";
  const struct {
    bool recursive;
    bool with_folders;
    std::vector<std::string> entries;
  } cases[] = {
      {false, false, {t + ".hidden", t + "a.txt"}},
      {false, true, {t + ".hidden", t + "a.txt", t + "empty/", t + "sub/"}},
      {true, false, {t + ".hidden", t + "a.txt", t + "sub/b.txt", t + "sub/deep/c.txt"}},
      {true,
       true,
       {t + ".hidden", t + "a.txt", t + "empty/", t + "sub/", t + "sub/b.txt", t + "sub/deep/",
        t + "sub/deep/c.txt", t + "sub/loop/"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.recursive) + std::to_string(c.with_folders));
    EXPECT_EQ(ListFolder(top, c.recursive, c.with_folders), c.entries);
    EXPECT_EQ(ListFolder(t, c.recursive, c.with_folders), c.entries);
  }
  EXPECT_TRUE(ListFolder(sandbox.Path("missing"), true, true).empty());
  EXPECT_TRUE(ListFolder(top + "/a.txt", true, true).empty());
}

TEST(FileUtilTest, OwnPathAndName) {
  const std::string own = GetOwnPath();
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(own.front(), '/');
  EXPECT_EQ(GetOwnFileName(), "tav_support_tests");
  EXPECT_EQ(own.substr(own.size() - GetOwnFileName().size() - 1), "/tav_support_tests");
}

// ---- File versions ------------------------------------------------------------

TEST(FileUtilTest, FileVersionOfPeFixture) {
  tavtest::Sandbox sandbox;
  const struct {
    bool plus;
    uint32_t ms;
    uint32_t ls;
    const char* version;
  } cases[] = {
      {false, 0x00010002, 0x00030004, "1.2.3.4"},
      {true, 0x00010002, 0x00030004, "1.2.3.4"},
      {false, 0xFFFF0000, 0x0000FFFF, "65535.0.0.65535"},
      {true, 0, 0, "0.0.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    bool ok = false;
    EXPECT_EQ(VersionOf(sandbox, MakePe(c.plus, c.ms, c.ls), &ok), c.version);
    EXPECT_TRUE(ok);
  }
}

TEST(FileUtilTest, FileVersionOfMalformedPeIsFalse) {
  tavtest::Sandbox sandbox;
  PeLayout l;
  const std::string good = MakePe(false, 0x00010002, 0x00030004, &l);
  const size_t r = l.rsrc;
  struct Patch {
    size_t at;
    uint64_t value;
    int width;
  };
  const struct {
    const char* what;
    std::vector<Patch> patches;
  } cases[] = {
      {"no MZ", {{0, 'X', 1}}},
      {"header offset past the end", {{0x3C, 0xFFFFFFF0u, 4}}},
      {"no PE signature", {{0x40, 'X', 1}}},
      {"unknown optional magic", {{l.optional, 0x107, 2}}},
      {"too few data directories", {{l.count_field, 2, 4}}},
      {"optional header too short for the resource entry", {{l.coff + 16, 0x60, 2}}},
      {"no sections", {{l.coff + 2, 0, 2}}},
      {"section table past the end", {{l.coff + 2, 0xFFFF, 2}}},
      {"no resource directory", {{l.optional + 96 + 16, 0, 4}}},
      {"resource address in no section", {{l.optional + 96 + 16, 0x5000, 4}}},
      {"section data past the end", {{l.sections + 20, 0xFFFFFF00u, 4}}},
      {"version data past the end of a large section",
       {{l.sections + 8, 0x7FFFFFFF, 4},
        {l.sections + 16, 0x7FFFFFFF, 4},
        {r + 0x48, 0x1000 + 0x100000, 4}}},
      {"named entries run past the section", {{r + 0x0C, 0xFFFF, 2}}},
      {"many id entries, none of version type", {{r + 0x0E, 0xFFFF, 2}, {r + 0x10, 15, 4}}},
      {"no version type", {{r + 0x10, 15, 4}}},
      {"version type only as a name", {{r + 0x10, 0x80000010u, 4}}},
      {"type entry without a subdirectory", {{r + 0x14, 0x18, 4}}},
      {"language entry is a subdirectory", {{r + 0x44, 0x80000000u | 0x30, 4}}},
      {"name directory points back at the root", {{r + 0x2C, 0x80000000u, 4}}},
      {"subdirectory past the section", {{r + 0x14, 0x80001000u, 4}}},
      {"huge version data", {{r + 0x4C, 0x7FFFFFFF, 4}}},
      {"version data address outside", {{r + 0x48, 0x9000, 4}}},
      {"version data too short", {{r + 0x4C, 40, 4}}},
      {"no fixed-info signature", {{r + 0x58 + 40, 0x12345678, 4}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes;
    bytes.PutText(0, good);
    for (const Patch& patch : c.patches)
      bytes.Put(patch.at, patch.value, patch.width);
    bool ok = true;
    EXPECT_EQ(VersionOf(sandbox, bytes.data(), &ok), "untouched");
    EXPECT_FALSE(ok);
  }
  ExpectEveryCutFails(sandbox, good);
}

TEST(FileUtilTest, FileVersionOfElfNote) {
  tavtest::Sandbox sandbox;
  const struct {
    const char* what;
    ElfShape shape;
  } cases[] = {
      {"64-bit section", {}},
      {"64-bit segment", {true, false, ElfPlace::kSegment}},
      {"32-bit section", {false, false, ElfPlace::kSection}},
      {"32-bit big-endian segment", {false, true, ElfPlace::kSegment}},
      {"64-bit big-endian section", {true, true, ElfPlace::kSection}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool ok = false;
    EXPECT_EQ(VersionOf(sandbox, MakeElf("2.10.300.04", c.shape), &ok), "2.10.300.4");
    EXPECT_TRUE(ok);
  }
}

TEST(FileUtilTest, FileVersionOfMalformedElfIsFalse) {
  tavtest::Sandbox sandbox;
  ElfShape other_name;
  other_name.note_name = std::string("TAX\0", 4);
  ElfShape other_type;
  other_type.note_type = 2;
  const struct {
    const char* what;
    std::string content;
  } cases[] = {
      {"three numbers", MakeElf("1.2.3")},
      {"five numbers", MakeElf("1.2.3.4.5")},
      {"not a number", MakeElf("1.2.3.x")},
      {"number too large", MakeElf("1.2.3.70000")},
      {"empty text", MakeElf("")},
      {"other note name", MakeElf("1.2.3.4", other_name)},
      {"other note type", MakeElf("1.2.3.4", other_type)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool ok = true;
    EXPECT_EQ(VersionOf(sandbox, c.content, &ok), "untouched");
    EXPECT_FALSE(ok);
  }
  for (const ElfPlace place : {ElfPlace::kSection, ElfPlace::kSegment}) {
    ElfShape shape;
    shape.place = place;
    ExpectEveryCutFails(sandbox, MakeElf("1.2.3.4", shape));
  }
}

TEST(FileUtilTest, FileVersionOfOtherFilesIsFalse) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("text.txt"), "just some text\n"));
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("empty"), ""));
  ASSERT_TRUE(CreateFolderTree(sandbox.Path("folder")));
  for (const std::string& path : {sandbox.Path("text.txt"), sandbox.Path("empty"),
                                  sandbox.Path("folder"), sandbox.Path("missing"), std::string()}) {
    SCOPED_TRACE(path);
    std::string version = "untouched";
    EXPECT_FALSE(GetFileVersionString(path, &version));
    EXPECT_EQ(version, "untouched");
  }
}

// "a.b.c.d" with decimal numbers.
bool IsFourNumbers(const std::string& text) {
  int parts = 1;
  bool digit_seen = false;
  for (char c : text) {
    if (c == '.') {
      if (!digit_seen)
        return false;
      ++parts;
      digit_seen = false;
    } else if (c >= '0' && c <= '9') {
      digit_seen = true;
    } else {
      return false;
    }
  }
  return parts == 4 && digit_seen;
}

TEST(FileUtilTest, FileVersionOfThisProgram) {
  std::string version;
  ASSERT_TRUE(GetFileVersionString(GetOwnPath(), &version));
  EXPECT_TRUE(IsFourNumbers(version)) << version;
  EXPECT_EQ(GetOwnFileVersion(), version);
}

// ---- Program files, system paths, drives -------------------------------------

TEST(FileUtilTest, ShellUserLocalAppDataIsUnderTheMachineRoot) {
  tavtest::Sandbox sandbox;
  const std::string folder = GetShellUserLocalAppData();
  EXPECT_EQ(folder, platform::GetSpecialFolder(platform::SpecialFolder::kLocalAppData));
  EXPECT_EQ(folder.compare(0, sandbox.root().size() + 1, sandbox.root() + "/"), 0) << folder;
}

TEST(FileUtilTest, ProgramFilesFoldersFollowTheEnvironment) {
  tavtest::Sandbox sandbox;
  const struct {
    std::optional<std::string> wow64;
    bool result;
  } cases[] = {{std::nullopt, false}, {"AMD64", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wow64.value_or("(unset)"));
    ScopedEnv env("PROCESSOR_ARCHITEW6432", c.wow64);
    std::string folder32;
    std::string folder64;
    EXPECT_EQ(GetProgramFilesFolders(&folder32, &folder64), c.result);
    EXPECT_EQ(folder32, sandbox.Path("opt/"));
    EXPECT_EQ(folder64, sandbox.Path("opt/"));
  }
}

TEST(FileUtilTest, IsSystemPathFindsTheSystemAndProgramFilesFolders) {
  tavtest::Sandbox sandbox;
  const struct {
    std::string path;
    bool system;
  } cases[] = {
      {sandbox.Path("usr"), true},
      {sandbox.Path("usr/lib/app"), true},
      {sandbox.Path("opt"), true},
      {sandbox.Path("opt/Corvenna/Nodorra"), true},
      {sandbox.Path("opt/Corvenna/Nodorra/"), true},
      {sandbox.Path("usr2"), false},
      {sandbox.Path("optional/app"), false},
      {sandbox.Path("home/user/apps"), false},
      // The program files folder of another drive.
      {sandbox.Path("mnt/data/opt/Corvenna"), false},
      {"/somewhere/else/opt/Corvenna", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsSystemPath(c.path), c.system);
  }
}

TEST(FileUtilTest, FreeDiskSpaceIsWhatTheCallerMayUse) {
  tavtest::Sandbox sandbox;
  struct statvfs info;
  ASSERT_EQ(statvfs(sandbox.root().c_str(), &info), 0);
  const int64_t total = static_cast<int64_t>(info.f_blocks) * static_cast<int64_t>(info.f_frsize);
  const int64_t free_space = GetFreeDiskSpace(sandbox.root());
  EXPECT_GT(free_space, 0);
  EXPECT_LE(free_space, total);
  EXPECT_EQ(GetFreeDiskSpace(sandbox.Path("missing")), 0);
  EXPECT_EQ(GetFreeDiskSpace(""), 0);
}

TEST(FileUtilTest, FixedDrivesOfARelocatedMachineStartWithItsRoot) {
  tavtest::Sandbox sandbox;
  std::vector<std::string> drives = {"stale"};
  const int count = ListFixedDrives(&drives);
  ASSERT_EQ(count, static_cast<int>(drives.size()));
  ASSERT_GE(count, 1);
  EXPECT_EQ(drives[0], sandbox.root() + "/");
  for (const std::string& drive : drives) {
    SCOPED_TRACE(drive);
    EXPECT_EQ(drive.compare(0, drives[0].size(), drives[0]), 0);
  }
  EXPECT_EQ(GetDriveRoot(sandbox.Path("a/b")), sandbox.root() + "/");
  EXPECT_EQ(GetDriveRoot(sandbox.root()), sandbox.root() + "/");
  EXPECT_EQ(GetDriveRoot("/elsewhere"), "");
}

TEST(FileUtilTest, FixedDrivesOfTheRealMachineIncludeTheRootFileSystem) {
  ScopedEnv root("TAV_ROOT", std::nullopt);
  std::vector<std::string> drives;
  const int count = ListFixedDrives(&drives);
  ASSERT_EQ(count, static_cast<int>(drives.size()));
  int roots = 0;
  for (const std::string& drive : drives) {
    SCOPED_TRACE(drive);
    EXPECT_TRUE(DirectoryExists(drive));
    EXPECT_EQ(drive.back(), '/');
    roots += drive == "/" ? 1 : 0;
    EXPECT_EQ(std::count(drives.begin(), drives.end(), drive), 1);
  }
  EXPECT_EQ(roots, 1);
  EXPECT_EQ(GetDriveRoot("/"), "/");
  const std::string own_drive = GetDriveRoot(GetOwnPath());
  EXPECT_FALSE(own_drive.empty());
  EXPECT_EQ(GetOwnPath().compare(0, own_drive.size(), own_drive), 0);
}

}  // namespace
