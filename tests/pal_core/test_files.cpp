// Path mapping under the drive root, the Win32 file calls and their error
// codes, and the C runtime streams with text mode.
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

using pal::host::MapPath;

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/palcore-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        pal::host::SetDriveRoot(m_root + "/drive/");
    }
    void TearDown() override { std::system(("rm -rf '" + m_root + "'").c_str()); }

    std::string Root() const { return m_root + "/drive"; }

    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    static DWORD ErrorAfterCreate(const char16_t* path, DWORD access, DWORD disposition, DWORD flags = 0) {
        SetLastError(0xDEAD);
        HANDLE h = CreateFileW(path, access, 0, nullptr, disposition, flags, nullptr);
        DWORD err = GetLastError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return err;
    }

    std::string m_root;
};

TEST_F(Files, PathMapping) {
    EXPECT_EQ(pal::host::DriveRoot(), Root());
    EXPECT_EQ(MapPath(u"C:\\a\\b.txt"), Root() + "/a/b.txt");
    EXPECT_EQ(MapPath(u"c:\\a\\b.txt"), Root() + "/a/b.txt");
    EXPECT_EQ(MapPath(u"D:\\x"), Root() + "/d/x");
    EXPECT_EQ(MapPath(u"\\a\\b"), Root() + "/a/b");
    EXPECT_EQ(MapPath(u"rel\\x.txt"), "rel/x.txt");
    EXPECT_EQ(MapPath(u"C:\\"), Root());
    // Existing entries are found whatever the case of the Windows path (the
    // drive comes with the standard spool directory).
    EXPECT_EQ(MapPath(u"C:\\WINDOWS\\new.txt"), Root() + "/Windows/new.txt");
    EXPECT_EQ(MapPath(u"C:\\WINDOWS\\SYSTEM32\\SPOOL\\PRINTERS"), Root() + "/Windows/System32/spool/PRINTERS");
}

TEST_F(Files, CreateDispositionsSetWin32Errors) {
    const char16_t* f = u"C:\\f.bin";
    EXPECT_EQ(ErrorAfterCreate(f, GENERIC_READ, OPEN_EXISTING), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ErrorAfterCreate(u"C:\\nodir\\f.bin", GENERIC_READ, OPEN_EXISTING), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(ErrorAfterCreate(u"C:\\nodir\\f.bin", GENERIC_WRITE, CREATE_ALWAYS), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(ErrorAfterCreate(f, GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ErrorAfterCreate(f, GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ErrorAfterCreate(f, GENERIC_WRITE, CREATE_ALWAYS), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ErrorAfterCreate(f, GENERIC_WRITE, OPEN_ALWAYS), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ErrorAfterCreate(u"C:\\g.bin", GENERIC_WRITE, OPEN_ALWAYS), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ErrorAfterCreate(u"C:\\", GENERIC_READ, OPEN_EXISTING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ErrorAfterCreate(u"C:\\bad?name", GENERIC_READ, OPEN_EXISTING), static_cast<DWORD>(ERROR_INVALID_NAME));
    // A read-only file cannot be opened for writing or deleted, even by root.
    EXPECT_EQ(ErrorAfterCreate(u"C:\\ro.txt", GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_READONLY), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetFileAttributesW(u"C:\\ro.txt") & FILE_ATTRIBUTE_READONLY, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ErrorAfterCreate(u"C:\\ro.txt", GENERIC_WRITE, OPEN_EXISTING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(u"C:\\ro.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Files, ReadWriteSeekAndSize) {
    HANDLE h = CreateFileW(u"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 11u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof(buf), &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(ReadFile(h, buf, sizeof(buf), &n, nullptr)); // at the end: success, nothing read
    EXPECT_EQ(n, 0u);
    SetLastError(0);
    EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    LARGE_INTEGER to{}, now{};
    to.QuadPart = 5;
    ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_BEGIN));
    EXPECT_EQ(now.QuadPart, 5);
    ASSERT_TRUE(SetEndOfFile(h));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 5);
    EXPECT_TRUE(FlushFileBuffers(h));
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Slurp(Root() + "/data.bin"), "hello");

    // Access rights of the handle are enforced.
    h = CreateFileW(u"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Files, DeleteOnCloseAndHandleList) {
    HANDLE h = CreateFileW(u"C:\\Temp.spl", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(GetFileAttributesW(u"C:\\Temp.spl"), INVALID_FILE_ATTRIBUTES);
    bool listed = false;
    for (const std::string& d : pal::host::OpenHandles()) listed |= d == "file C:\\Temp.spl";
    EXPECT_TRUE(listed);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(u"C:\\Temp.spl"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    for (const std::string& d : pal::host::OpenHandles()) EXPECT_NE(d, "file C:\\Temp.spl");
}

TEST_F(Files, TextModeWritesCrLf) {
    FILE* f = _wfopen(u"C:\\log.txt", u"w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "line one\nline two\n");
    fputs("x\n", f);
    // ftell reports the position in the file, after the added carriage returns.
    EXPECT_EQ(ftell(f), 23L);
    fclose(f);
    EXPECT_EQ(Slurp(Root() + "/log.txt"), "line one\r\nline two\r\nx\r\n");

    f = _wfopen(u"C:\\LOG.TXT", u"at");
    ASSERT_NE(f, nullptr);
    fwrite("end\n", 1, 4, f);
    fclose(f);
    EXPECT_EQ(Slurp(Root() + "/log.txt"), "line one\r\nline two\r\nx\r\nend\r\n");

    f = _wfopen(u"C:\\log.txt", u"r");
    ASSERT_NE(f, nullptr);
    char line[64];
    ASSERT_NE(fgets(line, sizeof(line), f), nullptr);
    EXPECT_STREQ(line, "line one\n");
    fclose(f);

    f = _wfopen(u"C:\\bin.dat", u"wb");
    ASSERT_NE(f, nullptr);
    fwrite("a\nb", 1, 3, f);
    fclose(f);
    EXPECT_EQ(Slurp(Root() + "/bin.dat"), "a\nb");

    EXPECT_EQ(_wfopen(u"C:\\missing\\x.txt", u"r"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, SystemDirectoriesAndEnvironment) {
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(buf, MAX_PATH), 19u);
    EXPECT_EQ(std::u16string(buf), u"C:\\Windows\\System32");
    EXPECT_EQ(GetWindowsDirectoryW(buf, MAX_PATH), 10u);
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), 16u);
    EXPECT_EQ(std::u16string(buf), u"C:\\Windows\\Temp\\");
    EXPECT_EQ(GetTempPathW(5, buf), 17u); // too small: the size needed, with the terminator
    struct stat st;
    EXPECT_EQ(stat((Root() + "/Windows/Temp").c_str(), &st), 0);

    EXPECT_EQ(ExpandEnvironmentStringsW(u"%SystemRoot%\\x;%windir%", buf, MAX_PATH), 24u);
    EXPECT_EQ(std::u16string(buf), u"C:\\Windows\\x;C:\\Windows");
    setenv("PALCORE_TEST_VAR", "val", 1);
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%palcore_test_var%|%NO_SUCH_VAR%|50%", buf, MAX_PATH), 22u);
    EXPECT_EQ(std::u16string(buf), u"val|%NO_SUCH_VAR%|50%");
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%TEMP%", buf, 3), 16u);

    EXPECT_EQ(GetEnvironmentVariableW(u"PALCORE_TEST_VAR", buf, MAX_PATH), 3u);
    EXPECT_EQ(GetEnvironmentVariableW(u"PALCORE_TEST_VAR", buf, 3), 4u);
    EXPECT_EQ(GetEnvironmentVariableW(u"NO_SUCH_VAR", buf, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

} // namespace
