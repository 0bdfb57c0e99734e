// Folder and file helpers: the temporary folder, the maker's per-brand
// folders, folder trees, listing, path pieces, file versions, program files
// folders, protected system paths, drives and their free space.
//
// Paths use "/". Folders that the functions return end in "/" where the
// caller appends file names to them (the temporary folder, the brand
// folders, the program files folders, drive roots). Every folder lies under
// the machine root (platform/paths.h), so a test sandbox relocates them all.
//
// Stateless; any thread. Nothing logs; failures give "", false or 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The user's temporary folder with a trailing "/"; "" when it is longer than
// 259 characters.
std::string GetTempFolder();

// <common documents>/<brand>/ (brand "Veltrana" when empty), created with its
// parents; "" when the common documents folder is unknown.
std::string GetCommonDocsBrandFolder(const std::string& brand);
// <temporary folder>/<brand>/, created; "" without a temporary folder.
std::string GetTempBrandFolder(const std::string& brand);
// <folder of the program's own file>/<brand>/, created; "" when the program's
// folder cannot be derived.
std::string GetExeBrandFolder(const std::string& brand);

bool DirectoryExists(const std::string& path);
// The part before the last "/", "" when there is none.
std::string ParentFolder(const std::string& path);
// True when `path` is a folder afterwards (parents are created first).
bool CreateFolderTree(const std::string& path);
// Creates and removes the file "tav.tmp" in the folder; true when that works.
// An empty folder is not writable.
bool CanWriteFolder(const std::string& folder);

// Every entry of the folder, hidden ones included, as full paths, sorted by
// name. Sub-folders end in "/", are listed only when `with_folders` is set
// and descended into (their entries follow the folder's own place) only when
// `recursive` is set. Symbolic links are listed as what they point to but
// never descended into.
std::vector<std::string> ListFolder(const std::string& path, bool recursive, bool with_folders);

// The part after the last "/" (the whole text when there is none), cut before
// its last "." unless `keep_extension`.
std::string BaseName(const std::string& path, bool keep_extension);
// The part of the text from its last "." ("" when there is none).
std::string Extension(const std::string& path);

// The program's full path, and the part after its last "/".
std::string GetOwnPath();
std::string GetOwnFileName();

// The file version of a Windows program or installer (PE version resource,
// VS_FIXEDFILEINFO) or of one of this project's programs (ELF note
// ".note.tav.version"), as "%d.%d.%d.%d". False when the file has none or is
// not a well-formed file of either kind.
bool GetFileVersionString(const std::string& path, std::string* version);
// GetFileVersionString of the program itself, "" when it has none.
std::string GetOwnFileVersion();

// The local application-data folder of the user who owns the desktop session
// (SUDO_USER when run through sudo); "" when it cannot be had.
std::string GetShellUserLocalAppData();

// The 32-bit and the 64-bit program files folders, each with one trailing
// "/". This native program has one program files folder, so both are the
// same. The result says whether PROCESSOR_ARCHITEW6432 is set (the two-folder
// layout of a 32-bit process on a 64-bit system); without it the second
// folder is the first one.
bool GetProgramFilesFolders(std::string* folder32, std::string* folder64);

// True when `path` + "/" contains the system folder + "/" or a program files
// folder (with its "/") - plain case-sensitive substring tests, so a program
// files folder of another drive or machine root is not a system path.
bool IsSystemPath(const std::string& path);

// Bytes available to the caller on the volume of `folder`, 0 on failure.
int64_t GetFreeDiskSpace(const std::string& folder);

// The roots (mount points with a trailing "/") of the fixed drives: local,
// non-removable block-device file systems in /proc/mounts order. The root
// file system always counts (first when it is no block device, as in a
// container). Under a relocated machine root the drives are the machine root
// first, then mounts below it. Replaces `drives`; returns their count.
int ListFixedDrives(std::vector<std::string>* drives);

// The root of the fixed drive holding `path` (the longest drive root that is
// a prefix of it), "" when none does.
std::string GetDriveRoot(const std::string& path);
