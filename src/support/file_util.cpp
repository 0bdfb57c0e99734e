#include "support/file_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/paths.h"
#include "support/text_util.h"

namespace {

using platform::SpecialFolder;

constexpr const char kDefaultBrand[] = "Veltrana";

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/')
    folder += '/';
  return folder;
}

std::string WithoutTrailingSlashes(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/')
    folder.pop_back();
  return folder;
}

// The temporary folder with "/", when it takes at most `max_units`.
std::string TempFolderWithin(size_t max_units) {
  const std::string temp = platform::GetSpecialFolder(SpecialFolder::kTemp);
  if (temp.empty())
    return {};
  std::string folder = WithSlash(temp);
  return Utf16Length(folder) <= max_units ? folder : std::string();
}

// `folder` + brand (or the maker's name) + "/", created.
std::string BrandFolderIn(const std::string& folder, const std::string& brand) {
  if (folder.empty())
    return {};
  std::string path = WithSlash(folder) + (brand.empty() ? kDefaultBrand : brand) + "/";
  CreateFolderTree(path);
  return path;
}

// ---- File versions ------------------------------------------------------

// Bounded reads from a file: every read checks that its bytes lie inside.
class FileBytes {
 public:
  bool Open(const std::string& path) {
    in_.open(path, std::ios::binary);
    if (!in_)
      return false;
    in_.seekg(0, std::ios::end);
    const std::streamoff end = in_.tellg();
    if (end < 0)
      return false;
    size_ = static_cast<uint64_t>(end);
    return true;
  }

  bool Read(uint64_t offset, uint64_t count, void* out) {
    if (offset > size_ || count > size_ - offset)
      return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
    return in_.gcount() == static_cast<std::streamsize>(count);
  }

  // Whether `count` bytes at `offset` lie inside the file.
  bool Holds(uint64_t offset, uint64_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }

  bool ReadBlock(uint64_t offset, uint64_t count, std::string* out) {
    if (offset > size_ || count > size_ - offset)
      return false;
    out->assign(count, '\0');
    return count == 0 || Read(offset, count, out->data());
  }

  // Little-endian unless `big_endian`.
  bool Number(uint64_t offset, int bytes, uint64_t* out, bool big_endian = false) {
    unsigned char raw[8];
    if (!Read(offset, static_cast<uint64_t>(bytes), raw))
      return false;
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      const int at = big_endian ? i : bytes - 1 - i;
      value = (value << 8) | raw[at];
    }
    *out = value;
    return true;
  }

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
};

uint64_t NumberIn(const std::string& block, uint64_t offset, int bytes, bool big_endian) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const uint64_t at = offset + static_cast<uint64_t>(big_endian ? i : bytes - 1 - i);
    value = (value << 8) | static_cast<unsigned char>(block[at]);
  }
  return value;
}

std::string FormatVersion(uint32_t ms, uint32_t ls) {
  char text[48];
  std::snprintf(text, sizeof(text), "%d.%d.%d.%d", static_cast<int>(ms >> 16),
                static_cast<int>(ms & 0xFFFF), static_cast<int>(ls >> 16),
                static_cast<int>(ls & 0xFFFF));
  return text;
}

// "a.b.c.d", each a decimal number up to 65535, as the two 32-bit halves of
// a fixed file version.
bool ParseFourNumbers(const std::string& text, uint32_t* ms, uint32_t* ls) {
  uint32_t parts[4] = {};
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.')
        return false;
      ++pos;
    }
    const size_t start = pos;
    uint32_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 6) {
      value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
      ++pos;
    }
    if (pos == start || value > 0xFFFF)
      return false;
    parts[i] = value;
  }
  if (pos != text.size())
    return false;
  *ms = (parts[0] << 16) | parts[1];
  *ls = (parts[2] << 16) | parts[3];
  return true;
}

// Windows programs: the RT_VERSION resource's VS_FIXEDFILEINFO.
class PeVersionReader {
 public:
  explicit PeVersionReader(FileBytes* file) : file_(*file) {}

  bool Read(std::string* version) {
    uint32_t resource_rva = 0;
    if (!ReadHeaders(&resource_rva))
      return false;
    uint32_t data_rva = 0;
    uint32_t data_size = 0;
    if (!FindVersionData(resource_rva, &data_rva, &data_size))
      return false;
    std::string data;
    uint64_t offset = 0;
    if (data_size > kMaxVersionData || !RvaToOffset(data_rva, data_size, &offset) ||
        !file_.ReadBlock(offset, data_size, &data)) {
      return false;
    }
    for (uint64_t pos = 0; pos + kFixedInfoSize <= data.size(); pos += 4) {
      if (NumberIn(data, pos, 4, false) != kFixedInfoSignature)
        continue;
      *version = FormatVersion(static_cast<uint32_t>(NumberIn(data, pos + 8, 4, false)),
                               static_cast<uint32_t>(NumberIn(data, pos + 12, 4, false)));
      return true;
    }
    return false;
  }

 private:
  struct Section {
    uint32_t virtual_address;
    uint32_t virtual_size;
    uint32_t raw_size;
    uint32_t raw_pointer;
  };

  static constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
  static constexpr uint64_t kFixedInfoSize = 52;
  static constexpr uint32_t kMaxVersionData = 1 << 20;
  static constexpr uint32_t kRtVersion = 16;
  static constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
  static constexpr uint32_t kMaxEntries = 4096;

  bool U(uint64_t offset, int bytes, uint64_t* out) { return file_.Number(offset, bytes, out); }

  bool ReadHeaders(uint32_t* resource_rva) {
    uint64_t mz = 0;
    uint64_t pe = 0;
    uint64_t signature = 0;
    if (!U(0, 2, &mz) || mz != 0x5A4D || !U(0x3C, 4, &pe) || !U(pe, 4, &signature) ||
        signature != 0x4550) {
      return false;
    }
    const uint64_t coff = pe + 4;
    uint64_t section_count = 0;
    uint64_t optional_size = 0;
    uint64_t magic = 0;
    if (!U(coff + 2, 2, &section_count) || !U(coff + 16, 2, &optional_size))
      return false;
    const uint64_t optional = coff + 20;
    if (!U(optional, 2, &magic))
      return false;
    uint64_t count_at = 0;
    if (magic == 0x10B) {
      count_at = 92;
    } else if (magic == 0x20B) {
      count_at = 108;
    } else {
      return false;
    }
    uint64_t directory_count = 0;
    // The resource directory is the third entry; it must lie inside the
    // optional header.
    const uint64_t resource_at = count_at + 4 + 2 * 8;
    if (!U(optional + count_at, 4, &directory_count) || directory_count < 3 ||
        resource_at + 8 > optional_size) {
      return false;
    }
    uint64_t rva = 0;
    if (!U(optional + resource_at, 4, &rva) || rva == 0)
      return false;
    *resource_rva = static_cast<uint32_t>(rva);
    return ReadSections(optional + optional_size, section_count);
  }

  bool ReadSections(uint64_t table, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      unsigned char raw[40];
      if (!file_.Read(table + 40 * i, sizeof(raw), raw))
        return false;
      const auto at = [&](int offset) {
        return static_cast<uint32_t>(raw[offset]) | static_cast<uint32_t>(raw[offset + 1]) << 8 |
               static_cast<uint32_t>(raw[offset + 2]) << 16 |
               static_cast<uint32_t>(raw[offset + 3]) << 24;
      };
      sections_.push_back(Section{at(12), at(8), at(16), at(20)});
    }
    return !sections_.empty();
  }

  // File offset of `size` bytes at `rva`, all inside one section's raw data.
  bool RvaToOffset(uint64_t rva, uint64_t size, uint64_t* offset) const {
    for (const Section& s : sections_) {
      if (rva < s.virtual_address)
        continue;
      const uint64_t inside = rva - s.virtual_address;
      if (inside >= s.raw_size || size > s.raw_size - inside)
        continue;
      *offset = static_cast<uint64_t>(s.raw_pointer) + inside;
      return true;
    }
    return false;
  }

  bool ResourceNumber(uint32_t resource_rva, uint64_t relative, int bytes, uint64_t* out) {
    uint64_t offset = 0;
    return RvaToOffset(static_cast<uint64_t>(resource_rva) + relative, bytes, &offset) &&
           U(offset, bytes, out);
  }

  // The data field of the directory entry with id `id` (any entry when
  // `id` is negative).
  bool FindEntry(uint32_t resource_rva, uint64_t directory, int64_t id, uint32_t* data) {
    uint64_t named = 0;
    uint64_t ids = 0;
    if (!ResourceNumber(resource_rva, directory + 12, 2, &named) ||
        !ResourceNumber(resource_rva, directory + 14, 2, &ids)) {
      return false;
    }
    // Named entries come first; an id is looked up among the id entries.
    const uint64_t first = id < 0 ? 0 : named;
    const uint64_t last = std::min<uint64_t>(named + ids, first + kMaxEntries);
    for (uint64_t i = first; i < last; ++i) {
      const uint64_t entry = directory + 16 + 8 * i;
      uint64_t name = 0;
      uint64_t field = 0;
      if (!ResourceNumber(resource_rva, entry, 4, &name) ||
          !ResourceNumber(resource_rva, entry + 4, 4, &field)) {
        return false;
      }
      if (id < 0 || name == static_cast<uint64_t>(id)) {
        *data = static_cast<uint32_t>(field);
        return true;
      }
    }
    return false;
  }

  // Type RT_VERSION, then its first name and first language.
  bool FindVersionData(uint32_t resource_rva, uint32_t* data_rva, uint32_t* data_size) {
    uint32_t by_type = 0;
    uint32_t by_name = 0;
    uint32_t by_language = 0;
    if (!FindEntry(resource_rva, 0, kRtVersion, &by_type) || !(by_type & kSubdirectoryFlag) ||
        !FindEntry(resource_rva, by_type & ~kSubdirectoryFlag, -1, &by_name) ||
        !(by_name & kSubdirectoryFlag) ||
        !FindEntry(resource_rva, by_name & ~kSubdirectoryFlag, -1, &by_language) ||
        (by_language & kSubdirectoryFlag)) {
      return false;
    }
    uint64_t rva = 0;
    uint64_t size = 0;
    if (!ResourceNumber(resource_rva, by_language, 4, &rva) ||
        !ResourceNumber(resource_rva, by_language + 4, 4, &size)) {
      return false;
    }
    *data_rva = static_cast<uint32_t>(rva);
    *data_size = static_cast<uint32_t>(size);
    return true;
  }

  FileBytes& file_;
  std::vector<Section> sections_;
};

// This project's programs: the note "TAV", type 1, in ".note.tav.version"
// (or, when section headers are gone, in a PT_NOTE segment).
class ElfVersionReader {
 public:
  explicit ElfVersionReader(FileBytes* file) : file_(*file) {}

  bool Read(std::string* version) {
    unsigned char ident[16];
    if (!file_.Read(0, sizeof(ident), ident) || ident[0] != 0x7F || ident[1] != 'E' ||
        ident[2] != 'L' || ident[3] != 'F') {
      return false;
    }
    if ((ident[4] != 1 && ident[4] != 2) || (ident[5] != 1 && ident[5] != 2))
      return false;
    wide_ = ident[4] == 2;
    big_endian_ = ident[5] == 2;
    std::string text;
    if (!FindInSections(&text) && !FindInSegments(&text))
      return false;
    uint32_t ms = 0;
    uint32_t ls = 0;
    if (!ParseFourNumbers(text, &ms, &ls))
      return false;
    *version = FormatVersion(ms, ls);
    return true;
  }

 private:
  static constexpr uint64_t kMaxNotes = 1 << 20;
  static constexpr uint32_t kShtNote = 7;
  static constexpr uint32_t kPtNote = 4;

  bool U(uint64_t offset, int bytes, uint64_t* out) {
    return file_.Number(offset, bytes, out, big_endian_);
  }
  // An address-sized field.
  bool A(uint64_t offset, uint64_t* out) { return U(offset, wide_ ? 8 : 4, out); }

  bool FindInSections(std::string* text) {
    uint64_t table = 0;
    uint64_t entry_size = 0;
    uint64_t count = 0;
    uint64_t names_index = 0;
    if (!A(wide_ ? 0x28 : 0x20, &table) || !U(wide_ ? 0x3A : 0x2E, 2, &entry_size) ||
        !U(wide_ ? 0x3C : 0x30, 2, &count) || !U(wide_ ? 0x3E : 0x32, 2, &names_index)) {
      return false;
    }
    if (table == 0 || entry_size < (wide_ ? 0x40u : 0x28u) || names_index >= count ||
        !file_.Holds(table, count * entry_size)) {
      return false;
    }
    uint64_t names_offset = 0;
    uint64_t names_size = 0;
    if (!SectionPlace(table + names_index * entry_size, &names_offset, &names_size))
      return false;
    static constexpr std::string_view kName = ".note.tav.version";
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t header = table + i * entry_size;
      uint64_t name = 0;
      uint64_t type = 0;
      if (!U(header, 4, &name) || !U(header + 4, 4, &type))
        return false;
      if (type != kShtNote || name > names_size || names_size - name < kName.size() + 1)
        continue;
      std::string found;
      if (!file_.ReadBlock(names_offset + name, kName.size() + 1, &found))
        return false;
      if (found != std::string(kName) + '\0')
        continue;
      uint64_t offset = 0;
      uint64_t size = 0;
      return SectionPlace(header, &offset, &size) && FindNote(offset, size, text);
    }
    return false;
  }

  bool SectionPlace(uint64_t header, uint64_t* offset, uint64_t* size) {
    return A(header + (wide_ ? 0x18 : 0x10), offset) && A(header + (wide_ ? 0x20 : 0x14), size);
  }

  bool FindInSegments(std::string* text) {
    uint64_t table = 0;
    uint64_t entry_size = 0;
    uint64_t count = 0;
    if (!A(wide_ ? 0x20 : 0x1C, &table) || !U(wide_ ? 0x36 : 0x2A, 2, &entry_size) ||
        !U(wide_ ? 0x38 : 0x2C, 2, &count)) {
      return false;
    }
    if (table == 0 || entry_size < (wide_ ? 0x38u : 0x20u) ||
        !file_.Holds(table, count * entry_size)) {
      return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t header = table + i * entry_size;
      uint64_t type = 0;
      uint64_t offset = 0;
      uint64_t size = 0;
      if (!U(header, 4, &type) || !A(header + (wide_ ? 8 : 4), &offset) ||
          !A(header + (wide_ ? 0x20 : 0x10), &size)) {
        return false;
      }
      if (type == kPtNote && FindNote(offset, size, text))
        return true;
    }
    return false;
  }

  bool FindNote(uint64_t offset, uint64_t size, std::string* text) {
    std::string notes;
    if (size > kMaxNotes || !file_.ReadBlock(offset, size, &notes))
      return false;
    const auto padded = [](uint64_t n) { return (n + 3) & ~uint64_t{3}; };
    for (uint64_t pos = 0; pos + 12 <= notes.size();) {
      const uint64_t name_size = NumberIn(notes, pos, 4, big_endian_);
      const uint64_t desc_size = NumberIn(notes, pos + 4, 4, big_endian_);
      const uint64_t type = NumberIn(notes, pos + 8, 4, big_endian_);
      const uint64_t name_at = pos + 12;
      const uint64_t desc_at = name_at + padded(name_size);
      if (desc_at > notes.size() || desc_size > notes.size() - desc_at)
        return false;
      if (type == 1 && name_size == 4 && notes.compare(name_at, 4, std::string("TAV\0", 4)) == 0) {
        const std::string desc = notes.substr(desc_at, desc_size);
        *text = desc.substr(0, desc.find('\0'));
        return true;
      }
      pos = desc_at + padded(desc_size);
    }
    return false;
  }

  FileBytes& file_;
  bool wide_ = false;
  bool big_endian_ = false;
};

// ---- Drives ----------------------------------------------------------------

// A /proc/mounts field with its octal escapes ("\040" for a blank) undone.
std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

bool ReadsOne(const std::string& path) {
  std::ifstream in(path);
  char c = 0;
  return in.get(c) && c == '1';
}

// Removable media (USB sticks, card readers, optical drives) as the kernel
// flags them, for the disk or for the disk a partition belongs to.
bool IsRemovableDevice(const std::string& device) {
  char resolved[PATH_MAX];
  if (realpath(device.c_str(), resolved) == nullptr)
    return false;
  const std::string name = BaseName(resolved, true);
  const std::string sys = "/sys/class/block/" + name;
  return ReadsOne(sys + "/removable") || ReadsOne(sys + "/../removable");
}

bool IsFixedDriveMount(const std::string& source, const std::string& type) {
  if (type == "zfs")
    return true;
  if (!source.starts_with("/dev/") || source.starts_with("/dev/loop"))
    return false;
  if (type == "squashfs" || type == "iso9660" || type == "udf")
    return false;
  return !IsRemovableDevice(source);
}

// Mount points of fixed drives in /proc/mounts order, each once, without a
// trailing "/" ("/" itself stays "/").
std::vector<std::string> FixedMountPoints() {
  std::vector<std::string> points;
  std::ifstream in("/proc/mounts");
  std::string source;
  std::string target;
  std::string type;
  std::string rest;
  while (in >> source >> target >> type && std::getline(in, rest)) {
    target = UnescapeMountField(target);
    if (!IsFixedDriveMount(UnescapeMountField(source), type) || !DirectoryExists(target))
      continue;
    if (std::find(points.begin(), points.end(), target) == points.end())
      points.push_back(target);
  }
  if (std::find(points.begin(), points.end(), "/") == points.end())
    points.insert(points.begin(), "/");
  return points;
}

}  // namespace

std::string GetTempFolder() {
  return TempFolderWithin(259);
}

std::string GetCommonDocsBrandFolder(const std::string& brand) {
  return BrandFolderIn(platform::GetSpecialFolder(SpecialFolder::kCommonDocuments), brand);
}

std::string GetTempBrandFolder(const std::string& brand) {
  return BrandFolderIn(TempFolderWithin(260), brand);
}

std::string GetExeBrandFolder(const std::string& brand) {
  return BrandFolderIn(ParentFolder(GetOwnPath()), brand);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool CreateFolderTree(const std::string& path) {
  return platform::CreateDirectories(path);
}

bool CanWriteFolder(const std::string& folder) {
  if (folder.empty())
    return false;
  const std::string probe = WithSlash(folder) + "tav.tmp";
  std::FILE* file = std::fopen(probe.c_str(), "wb");
  if (file == nullptr)
    return false;
  std::fclose(file);
  std::remove(probe.c_str());
  return true;
}

std::vector<std::string> ListFolder(const std::string& path, bool recursive, bool with_folders) {
  std::vector<std::string> result;
  if (path.empty())
    return result;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr)
    return result;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  const std::string prefix = WithSlash(path);
  for (const std::string& name : names) {
    const std::string full = prefix + name;
    if (!DirectoryExists(full)) {
      result.push_back(full);
      continue;
    }
    if (with_folders)
      result.push_back(full + "/");
    struct stat st;
    if (!recursive || lstat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      continue;
    std::vector<std::string> inner = ListFolder(full, recursive, with_folders);
    result.insert(result.end(), inner.begin(), inner.end());
  }
  return result;
}

std::string BaseName(const std::string& path, bool keep_extension) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (keep_extension)
    return name;
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string Extension(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string GetOwnPath() {
  return platform::OwnExePath();
}

std::string GetOwnFileName() {
  return BaseName(GetOwnPath(), true);
}

bool GetFileVersionString(const std::string& path, std::string* version) {
  if (path.empty())
    return false;
  std::string text;
  {
    FileBytes file;
    if (!file.Open(path))
      return false;
    if (!PeVersionReader(&file).Read(&text) && !ElfVersionReader(&file).Read(&text))
      return false;
  }
  if (version != nullptr)
    *version = text;
  return true;
}

std::string GetOwnFileVersion() {
  std::string version;
  return GetFileVersionString(GetOwnPath(), &version) ? version : std::string();
}

std::string GetShellUserLocalAppData() {
  return platform::GetSpecialFolder(SpecialFolder::kLocalAppData);
}

bool GetProgramFilesFolders(std::string* folder32, std::string* folder64) {
  const auto folder = [](SpecialFolder which) {
    return WithSlash(WithoutTrailingSlashes(platform::GetSpecialFolder(which)));
  };
  // With the two-folder layout the first is the 32-bit folder and the second
  // the 64-bit one; otherwise the program's own (native) folder serves as
  // both. Here they are one folder either way.
  const bool two_folder_layout = std::getenv("PROCESSOR_ARCHITEW6432") != nullptr;
  const std::string native = folder(SpecialFolder::kProgramFiles64);
  if (folder32 != nullptr)
    *folder32 = two_folder_layout ? folder(SpecialFolder::kProgramFiles32) : native;
  if (folder64 != nullptr)
    *folder64 = native;
  return two_folder_layout;
}

bool IsSystemPath(const std::string& path) {
  const std::string windows = platform::GetSpecialFolder(SpecialFolder::kWindows);
  if (windows.empty())
    return false;
  const std::string probe = path + "/";
  if (probe.find(WithSlash(windows)) != std::string::npos)
    return true;
  std::string folder32;
  std::string folder64;
  GetProgramFilesFolders(&folder32, &folder64);
  for (const std::string& folder : {folder32, folder64}) {
    if (!folder.empty() && probe.find(folder) != std::string::npos)
      return true;
  }
  return false;
}

int64_t GetFreeDiskSpace(const std::string& folder) {
  struct statvfs info;
  if (folder.empty() || statvfs(folder.c_str(), &info) != 0)
    return 0;
  const uint64_t unit = info.f_frsize;
  const uint64_t blocks = info.f_bavail;
  if (unit != 0 && blocks > static_cast<uint64_t>(INT64_MAX) / unit)
    return INT64_MAX;
  return static_cast<int64_t>(blocks * unit);
}

int ListFixedDrives(std::vector<std::string>* drives) {
  std::vector<std::string> found;
  const std::string root = platform::MachineRoot();
  if (root.empty()) {
    for (const std::string& point : FixedMountPoints())
      found.push_back(WithSlash(point));
  } else if (DirectoryExists(root)) {
    // A relocated machine is its own drive; the real ones are outside it.
    const std::string inside = WithSlash(root);
    found.push_back(inside);
    for (const std::string& point : FixedMountPoints()) {
      if (point.size() > inside.size() && point.starts_with(inside))
        found.push_back(WithSlash(point));
    }
  }
  const int count = static_cast<int>(found.size());
  if (drives != nullptr)
    *drives = std::move(found);
  return count;
}

std::string GetDriveRoot(const std::string& path) {
  if (path.empty())
    return {};
  std::vector<std::string> drives;
  ListFixedDrives(&drives);
  const std::string probe = WithSlash(path);
  std::string best;
  for (const std::string& drive : drives) {
    if (probe.starts_with(drive) && drive.size() > best.size())
      best = drive;
  }
  return best;
}
