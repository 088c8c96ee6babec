// fileLayerTest.cpp -- the file layer's operations and the host codes of their failures
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "store/fileLayer.h"
#include "store/filePath.h"
#include "storeTestSupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#endif

namespace {

constexpr OSType kCreator = fourCharCode("CREA");
constexpr OSType kType = fourCharCode("TYPE");
const char kName[] = "c:\\briselLayer.tmp";

using FileLayerTest = StoreDirectoryTest;

TEST_F(FileLayerTest, MissingFileIsNotFoundEverywhere) {
  FileHandle handle = 1234;
  EXPECT_EQ(fileOpen(kName, &handle), fnfErr);
  EXPECT_EQ(handle, kNoFile);
  handle = 1234;
  EXPECT_EQ(fileOpenTemporary(kName, &handle), fnfErr);
  EXPECT_EQ(handle, kNoFile);
  EXPECT_EQ(fileDelete(kName), fnfErr);
}

TEST_F(FileLayerTest, ReadsWritesAndPositions) {
  ASSERT_EQ(fileCreate(kName, kCreator, kType), noErr);
  FileHandle file = kNoFile;
  ASSERT_EQ(fileOpen(kName, &file), noErr);

  int32_t count = 11;
  EXPECT_EQ(fileWrite(file, &count, "hello world"), noErr);
  EXPECT_EQ(count, 11);
  char text[16] = {};
  ASSERT_EQ(fileSetPosition(file, kPositionFromStart, 6), noErr);
  count = 5;
  EXPECT_EQ(fileRead(file, &count, text), noErr);
  EXPECT_EQ(count, 5);
  EXPECT_STREQ(text, "world");

  // At the end a read is no error, it just brings nothing; mode 0 moves nothing.
  EXPECT_EQ(fileSetPosition(file, kPositionStay, 2), noErr);
  count = 4;
  EXPECT_EQ(fileRead(file, &count, text), noErr);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(fileSetPosition(file, kPositionFromEnd, -5), noErr);
  ASSERT_EQ(fileSetPosition(file, kPositionFromCurrent, 1), noErr);
  count = 4;
  EXPECT_EQ(fileRead(file, &count, text), noErr);
  EXPECT_EQ(std::string(text, 4), "orld");

  // Past the end (even past 4 GiB, which needs the high half) is allowed.
  for (int64_t position : {int64_t(1000), int64_t(5) << 30}) {
    EXPECT_EQ(fileSetPosition(file, kPositionFromStart, position), noErr);
    count = 4;
    EXPECT_EQ(fileRead(file, &count, text), noErr);
    EXPECT_EQ(count, 0);
  }
  EXPECT_EQ(fileSetPosition(file, kPositionFromStart, -1), posErr);
  EXPECT_EQ(fileSetPosition(file, 7, 0), posErr);
  EXPECT_EQ(fileClose(file), noErr);

  // Creating over an existing file empties it.
  EXPECT_EQ(readHostFile(kName).size(), 11u);
  EXPECT_EQ(fileCreate(kName, kCreator, kType), noErr);
  EXPECT_TRUE(exists(kName));
  EXPECT_TRUE(readHostFile(kName).empty());
  EXPECT_EQ(fileDelete(kName), noErr);
  EXPECT_FALSE(exists(kName));
}

TEST_F(FileLayerTest, BadHandlesAreRefused) {
  ASSERT_EQ(fileCreate(kName, kCreator, kType), noErr);
  FileHandle closed = kNoFile;
  ASSERT_EQ(fileOpen(kName, &closed), noErr);
  ASSERT_EQ(fileClose(closed), noErr);

  char byte = 0;
  for (FileHandle bad : {kNoFile, closed}) {
    EXPECT_EQ(fileClose(bad), rfNumErr);
    EXPECT_EQ(fileSetPosition(bad, kPositionFromStart, 0), rfNumErr);
    int32_t count = 1;
    EXPECT_EQ(fileRead(bad, &count, &byte), ioErr);
    EXPECT_EQ(count, 0);
    count = 1;
    EXPECT_EQ(fileWrite(bad, &count, &byte), ioErr);
    EXPECT_EQ(count, 0);
  }
}

TEST_F(FileLayerTest, MissingDirectoryIsNotFound) {
#ifdef _WIN32
  const char* name = "c:\\briselNoSuchDirectory\\file.tmp";
#else
  const char* name = kName;
  setenv("BRISEL_DIR", (directory_.path() + "/missing").c_str(), 1);
#endif
  EXPECT_EQ(fileCreate(name, kCreator, kType), fnfErr);
  FileHandle file = kNoFile;
  EXPECT_EQ(fileOpen(name, &file), fnfErr);
  EXPECT_EQ(file, kNoFile);
}

TEST_F(FileLayerTest, UnusableNamesAreBadNames) {
  FileHandle file = 1234;
  EXPECT_EQ(fileOpen(nullptr, &file), bdNamErr);
  EXPECT_EQ(file, kNoFile);
#ifndef _WIN32
  // Only "c:\NAME" with a plain NAME maps into the store directory.
  for (const char* name :
       {"BackingS.xxx", "c:\\", "c:\\..", "c:\\a/b", "c:\\sub\\x", "d:\\x", "c:/x", "c:\\..x"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(fileOpen(name, &file), bdNamErr);
    EXPECT_EQ(fileOpenTemporary(name, &file), bdNamErr);
    EXPECT_EQ(fileCreate(name, kCreator, kType), bdNamErr);
    EXPECT_EQ(fileDelete(name), bdNamErr);
  }
#endif
}

#ifndef _WIN32
// No sharing modes here: an exclusive lock keeps a second opener out, so two
// runs can never interleave their writes in one file.
TEST_F(FileLayerTest, FileHeldOpenCannotBeOpenedAgainUntilClosed) {
  ASSERT_EQ(fileCreate(kName, kCreator, kType), noErr);
  FileHandle held = kNoFile;
  ASSERT_EQ(fileOpenTemporary(kName, &held), noErr);
  FileHandle second = 1234;
  EXPECT_EQ(fileOpen(kName, &second), ioErr);
  EXPECT_EQ(second, kNoFile);
  EXPECT_EQ(fileOpenTemporary(kName, &second), ioErr);
  EXPECT_EQ(fileClose(held), noErr);
  EXPECT_EQ(fileOpen(kName, &second), noErr);
  EXPECT_EQ(fileClose(second), noErr);
}
#endif

#ifdef _WIN32

TEST_F(FileLayerTest, FileHeldOpenCannotBeOpenedOrDeleted) {
  ASSERT_EQ(fileCreate(kName, kCreator, kType), noErr);
  FileHandle held = kNoFile;
  ASSERT_EQ(fileOpenTemporary(kName, &held), noErr);
  FileHandle second = 1234;
  EXPECT_NE(fileOpen(kName, &second), noErr);
  EXPECT_EQ(second, kNoFile);
  EXPECT_EQ(fileDelete(kName), fLckdErr);
  EXPECT_EQ(fileCreate(kName, kCreator, kType), opWrErr);
  EXPECT_EQ(fileClose(held), noErr);
  EXPECT_EQ(fileDelete(kName), noErr);
}

// True when the platform really keeps writers out of path (wine run as root
// lets them into files that are merely marked read-only).
bool refusesWriters(const char* path) {
  HANDLE probe = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;
  CloseHandle(probe);
  return false;
}

TEST_F(FileLayerTest, ReadOnlyFileOpensForReadingOnly) {
  const char* name = "c:\\briselReadOnly.tmp";
  writeHostFile(name, {'a', 'b', 'c'});
  ASSERT_TRUE(SetFileAttributesA(name, FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(fileDelete(name), fLckdErr);

  // Under wine as root the attribute does not stop writers; a file of the
  // host's sysfs (seen through drive z:) does.
  std::vector<const char*> readOnly;
  for (const char* candidate : {name, "z:\\sys\\devices\\system\\cpu\\possible"})
    if (refusesWriters(candidate)) readOnly.push_back(candidate);
  for (const char* candidate : readOnly) {
    SCOPED_TRACE(candidate);
    FileHandle file = kNoFile;
    EXPECT_EQ(fileOpen(candidate, &file), noErr);
    char text[1] = {};
    int32_t count = 1;
    EXPECT_EQ(fileRead(file, &count, text), noErr);
    EXPECT_EQ(count, 1);
    count = 1;
    EXPECT_EQ(fileWrite(file, &count, "x"), ioErr);
    EXPECT_EQ(fileClose(file), noErr);
    EXPECT_EQ(fileCreate(candidate, kCreator, kType), opWrErr);
  }

  SetFileAttributesA(name, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(readHostFile(name).size(), 3u);
  if (readOnly.empty()) GTEST_SKIP() << "no file here keeps writers out";
}

TEST_F(FileLayerTest, DirectoryInTheWayRefusesAccess) {
  const char* name = "c:\\briselDirectory.tmp";
  ASSERT_TRUE(CreateDirectoryA(name, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  FileHandle file = 1234;
  EXPECT_EQ(fileOpen(name, &file), wrPermErr);
  EXPECT_EQ(file, kNoFile);
  EXPECT_EQ(fileOpenTemporary(name, &file), wrPermErr);
  EXPECT_EQ(fileCreate(name, kCreator, kType), opWrErr);
  EXPECT_EQ(fileDelete(name), fLckdErr);
  EXPECT_TRUE(RemoveDirectoryA(name));
}

#else  // POSIX

TEST_F(FileLayerTest, FullDiskIsDiskFull) {
  if (access("/dev/full", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  // fileOpen takes regular files only: the device is opened directly.
  const FileHandle file = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(file, 0);
  int32_t count = 16;
  EXPECT_EQ(fileWrite(file, &count, "sixteen bytes..."), dskFulErr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(fileClose(file), noErr);
}

TEST_F(FileLayerTest, PermissionsGiveReadOnlyHandlesAndRefusals) {
  writeHostFile("c:\\briselReadOnly.tmp", {'a', 'b', 'c'});
  writeHostFile("c:\\briselNoAccess.tmp", {'x'});
  ASSERT_EQ(chmod(hostPath("c:\\briselReadOnly.tmp").c_str(), 0444), 0);
  ASSERT_EQ(chmod(hostPath("c:\\briselNoAccess.tmp").c_str(), 0), 0);
  ASSERT_EQ(chmod(directory_.path().c_str(), 0555), 0);

  int failed = runInChild([] {
    if (!dropToUnprivilegedUser()) return 99;
    FileHandle file = kNoFile;
    if (fileOpen("c:\\briselReadOnly.tmp", &file) != noErr || file == kNoFile) return 1;
    char text[3] = {};
    int32_t count = 3;
    if (fileRead(file, &count, text) != noErr || count != 3 || text[2] != 'c') return 2;
    count = 3;
    if (fileWrite(file, &count, "xyz") != ioErr) return 3;
    fileClose(file);
    if (fileOpenTemporary("c:\\briselNoAccess.tmp", &file) != wrPermErr) return 4;
    if (file != kNoFile) return 5;
    if (fileCreate("c:\\briselReadOnly.tmp", kCreator, kType) != opWrErr) return 6;
    if (fileCreate("c:\\briselNewFile.tmp", kCreator, kType) != opWrErr) return 7;
    if (fileDelete("c:\\briselReadOnly.tmp") != fLckdErr) return 8;
    return 0;
  });
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(readHostFile("c:\\briselReadOnly.tmp").size(), 3u);
}

TEST_F(FileLayerTest, TooManyOpenFiles) {
  ASSERT_EQ(fileCreate(kName, kCreator, kType), noErr);
  int failed = runInChild([] {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 99;
    limit.rlim_cur = 32;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 99;
    while (dup(0) >= 0) {
    }
    FileHandle file = kNoFile;
    if (fileOpen(kName, &file) != tmfoErr) return 1;
    if (fileOpenTemporary(kName, &file) != tmfoErr) return 2;
    if (fileCreate(kName, kCreator, kType) != tmfoErr) return 3;
    return 0;
  });
  EXPECT_EQ(failed, 0);
}

TEST_F(FileLayerTest, LinksAtTheNameAreNeverFollowed) {
  std::string target = directory_.path() + "/outside";
  FILE* precious = std::fopen(target.c_str(), "wb");
  ASSERT_NE(precious, nullptr);
  std::fputs("precious", precious);
  std::fclose(precious);
  ASSERT_EQ(symlink(target.c_str(), hostPath(kName).c_str()), 0);

  FileHandle file = 1234;
  EXPECT_NE(fileOpen(kName, &file), noErr);
  EXPECT_EQ(file, kNoFile);
  EXPECT_NE(fileOpenTemporary(kName, &file), noErr);
  (void)fileCreate(kName, kCreator, kType);  // must not truncate through the link
  EXPECT_EQ(fileDelete(kName), noErr);       // removes the link, not its target

  struct stat info;
  EXPECT_NE(lstat(hostPath(kName).c_str(), &info), 0);
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 8);
}

// A pipe at a fixed name would stall an open forever; only regular files open.
TEST_F(FileLayerTest, PipesAreRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo(hostPath(kName).c_str(), 0600), 0);
  FileHandle file = 1234;
  EXPECT_EQ(fileOpen(kName, &file), ioErr);
  EXPECT_EQ(file, kNoFile);
  EXPECT_EQ(fileOpenTemporary(kName, &file), ioErr);
  EXPECT_EQ(fileCreate(kName, kCreator, kType), ioErr);
  // Not even with a reader waiting at the other end.
  const int reader = open(hostPath(kName).c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(fileCreate(kName, kCreator, kType), ioErr);
  EXPECT_EQ(fileOpen(kName, &file), ioErr);
  close(reader);
  struct stat info;
  ASSERT_EQ(lstat(hostPath(kName).c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// A delete that did not happen is never reported as done: a file in a sticky
// directory that belongs to someone else (EPERM) is busy, as access denied is.
TEST_F(FileLayerTest, DeleteRefusedForAnyReasonIsBusy) {
  writeHostFile(kName, {'x'});
  ASSERT_EQ(chmod(directory_.path().c_str(), 01777), 0);
  int failed = runInChild([] {
    if (geteuid() == 0 && !dropToUnprivilegedUser()) return 99;
    if (geteuid() == 0) return 99;
    return fileDelete(kName) == fLckdErr ? 0 : 1;
  });
  chmod(directory_.path().c_str(), 0755);
  if (failed == 99) GTEST_SKIP() << "needs a second user";
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(exists(kName));
}

TEST_F(FileLayerTest, PathsMapIntoTheChosenOrAPrivateDirectory) {
  char path[4096];
  ASSERT_TRUE(resolveFilePath("c:\\BackingS.xxx", path, sizeof path));
  EXPECT_EQ(std::string(path), directory_.path() + "/BackingS.xxx");
  char tiny[8] = "junk";
  EXPECT_FALSE(resolveFilePath("c:\\BackingS.xxx", tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "");

  // Without BRISEL_DIR the cache directory is made, parents too, mode 0700.
  std::string cache = directory_.path() + "/cache/deeper";
  unsetenv("BRISEL_DIR");
  setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  bool resolved = resolveFilePath("c:\\BackingS.xxx", path, sizeof path);
  std::string mapped = path;
  struct stat info;
  bool made = stat((cache + "/brisel").c_str(), &info) == 0;
  // A directory others may write to is refused.
  chmod((cache + "/brisel").c_str(), 0777);
  bool refused = !resolveFilePath("c:\\BackingS.xxx", path, sizeof path);
  unsetenv("XDG_CACHE_HOME");

  ASSERT_TRUE(resolved);
  EXPECT_EQ(mapped, cache + "/brisel/BackingS.xxx");
  EXPECT_STREQ(path, "");  // cleared by the refusal
  ASSERT_TRUE(made);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(refused);
}

#endif

}  // namespace
