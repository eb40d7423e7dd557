#include "Platform/Win32/FileLock.h"
#include "Platform/Win32/Files.h"
#include "Platform/Win32/Utf.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <fstream>
#include <string>

namespace
{
std::u16string W(const std::string& s)
{
    return Utf8ToUtf16(s);
}
} // namespace

TEST(Paths, RootsSeparatorsAndFolders)
{
    struct Row
    {
        const char16_t* path;
        const char16_t* withoutFileSpec;
        const char16_t* afterRoot; // null: relative
    } rows[] = {
        {u"C:\\Logs\\App.log.txt", u"C:\\Logs", u"Logs\\App.log.txt"},
        {u"C:\\Logs\\", u"C:\\Logs", u"Logs\\"},
        {u"C:\\", u"C:\\", u""},
        {u"/var/log/backup\\", u"/var/log/backup", u"var/log/backup\\"},
        {u"/var/log/x.txt", u"/var/log", u"var/log/x.txt"},
        {u"/x", u"/", u"x"},
        {u"/", u"/", u""},
        {u"\\\\server\\share\\dir\\f", u"\\\\server\\share\\dir", u"dir\\f"},
        {u"relative\\f.txt", u"relative", nullptr},
        {u"f.txt", u"", nullptr},
        {u"", u"", nullptr},
    };
    for (const Row& r : rows)
    {
        WCHAR buffer[MAX_PATH];
        std::memcpy(buffer, r.path, (std::char_traits<char16_t>::length(r.path) + 1) * sizeof(WCHAR));
        PathRemoveFileSpecW(buffer);
        EXPECT_EQ(std::u16string(buffer), r.withoutFileSpec) << Utf16ToUtf8(r.path);
        LPCWSTR after = PathSkipRootW(r.path);
        if (r.afterRoot == nullptr)
            EXPECT_EQ(after, nullptr) << Utf16ToUtf8(r.path);
        else
        {
            ASSERT_NE(after, nullptr) << Utf16ToUtf8(r.path);
            EXPECT_EQ(std::u16string(after), r.afterRoot);
        }
    }
    WCHAR folder[MAX_PATH] = u"/var/log";
    EXPECT_EQ(PathAddBackslashW(folder), folder + 9);
    EXPECT_EQ(std::u16string(folder), u"/var/log\\");
    PathAddBackslashW(folder); // already ends in a separator
    EXPECT_EQ(std::u16string(folder), u"/var/log\\");
    WCHAR empty[MAX_PATH] = u"";
    PathAddBackslashW(empty);
    EXPECT_EQ(std::u16string(empty), u"");
    EXPECT_TRUE(PathIsDirectoryW(u"/tmp\\"));
    EXPECT_FALSE(PathIsDirectoryW(u"/no/such/folder"));
}

TEST(Files, CreationShareModesAndMoves)
{
    TempDir dir;
    const std::u16string file = W(dir.Path() + "\\a.txt"); // "\" reaches the file system as "/"
    SetLastError(0);
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)); // created
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(GetFileSize(h, nullptr), 3u);

    // A second writer that does not share, or that shares but meets an exclusive one, is refused.
    EXPECT_EQ(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    // CREATE_ALWAYS is refused before anything is truncated.
    EXPECT_EQ(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 3u);
    ASSERT_TRUE(CloseHandle(h));

    // Writers that share writing coexist.
    HANDLE a = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                           nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    HANDLE b = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at;
    at.QuadPart = 1;
    ASSERT_TRUE(SetFilePointerEx(a, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(a));
    EXPECT_EQ(GetFileSize(b, nullptr), 1u);
    CloseHandle(a);
    CloseHandle(b);

    // Missing file or folder, existing target, folders.
    EXPECT_EQ(CreateFileW(W(dir.Path() + "/none.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(W(dir.Path() + "/no/none.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    const std::u16string other = W(dir.Path() + "/b.txt");
    std::ofstream(dir.Path() + "/b.txt") << "b";
    EXPECT_FALSE(MoveFileExW(file.c_str(), other.c_str(), 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileExW(file.c_str(), other.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_TRUE(DeleteFileW(other.c_str()));
    EXPECT_TRUE(CreateDirectoryW(W(dir.Path() + "/sub").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(W(dir.Path() + "/sub").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(W(dir.Path() + "/x/y").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(FileLock, OneProcessTakesALockFileOnce)
{
    TempDir dir;
    const std::string path = dir.Path() + "/p.xml.lock";
    const FileLock held(path, std::chrono::milliseconds(100));
    ASSERT_TRUE(held.Held());
    // The holding thread takes it again, however the path is spelled (relative, once the file exists).
    {
        const FileLock again(dir.Path() + "/./p.xml.lock", std::chrono::milliseconds(100));
        EXPECT_TRUE(again.Held());
        const std::filesystem::path folder = std::filesystem::current_path();
        std::filesystem::current_path(dir.Path());
        const FileLock relative("p.xml.lock", std::chrono::milliseconds(100));
        std::filesystem::current_path(folder);
        EXPECT_TRUE(relative.Held());
    }
    // Another thread waits for it, and another process too.
    std::thread other([&] { EXPECT_FALSE(FileLock(path, std::chrono::milliseconds(200)).Held()); });
    other.join();
    const pid_t child = fork();
    if (child == 0)
    {
        const int fd = open(path.c_str(), O_RDWR);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(FileLock, AReleasedLockIsFreeForOthers)
{
    TempDir dir;
    const std::string path = dir.Path() + "/p.xml.lock";
    {
        const FileLock first(path, std::chrono::milliseconds(100));
        ASSERT_TRUE(first.Held());
    }
    std::thread other([&] { EXPECT_TRUE(FileLock(path, std::chrono::milliseconds(200)).Held()); });
    other.join();
}
