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
    // Existing entries are found whatever the case of the Windows path (the
    // drive comes with the standard spool directory).
    const struct {
        const char16_t* windows;
        std::string host;
    } cases[] = {
        {u"C:\\a\\b.txt", Root() + "/a/b.txt"},
        {u"c:\\a\\b.txt", Root() + "/a/b.txt"},
        {u"D:\\x", Root() + "/d/x"},
        {u"\\a\\b", Root() + "/a/b"},
        {u"rel\\x.txt", "rel/x.txt"},
        {u"C:\\", Root()},
        {u"C:\\WINDOWS\\new.txt", Root() + "/Windows/new.txt"},
        {u"C:\\WINDOWS\\SYSTEM32\\SPOOL\\PRINTERS", Root() + "/Windows/System32/spool/PRINTERS"},
    };
    for (const auto& c : cases) EXPECT_EQ(MapPath(c.windows), c.host) << pal::host::ToUtf8(c.windows);
}

TEST_F(Files, CreateDispositionsSetWin32Errors) {
    const struct {
        const char16_t* path;
        DWORD access, disposition, flags, error;
    } cases[] = {
        {u"C:\\f.bin", GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
        {u"C:\\nodir\\f.bin", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
        {u"C:\\nodir\\f.bin", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_PATH_NOT_FOUND},
        {u"C:\\f.bin", GENERIC_WRITE, CREATE_NEW, 0, ERROR_SUCCESS},
        {u"C:\\f.bin", GENERIC_WRITE, CREATE_NEW, 0, ERROR_FILE_EXISTS},
        {u"C:\\f.bin", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ALREADY_EXISTS},
        {u"C:\\f.bin", GENERIC_WRITE, OPEN_ALWAYS, 0, ERROR_ALREADY_EXISTS},
        {u"C:\\g.bin", GENERIC_WRITE, OPEN_ALWAYS, 0, ERROR_SUCCESS},
        {u"C:\\", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
        {u"C:\\bad?name", GENERIC_READ, OPEN_EXISTING, 0, ERROR_INVALID_NAME},
        // A read-only file cannot be opened for writing or deleted, even by root.
        {u"C:\\ro.txt", GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_READONLY, ERROR_SUCCESS},
        {u"C:\\ro.txt", GENERIC_WRITE, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorAfterCreate(c.path, c.access, c.disposition, c.flags), c.error) << pal::host::ToUtf8(c.path);
    EXPECT_FALSE(DeleteFileW(u"C:\\ro.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Files, ReadWriteSeekAndSize) {
    HANDLE h = CreateFileW(u"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    LARGE_INTEGER to{}, now{};
    to.QuadPart = -5;
    ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_END));
    EXPECT_EQ(now.QuadPart, 6);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof(buf), &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(ReadFile(h, buf, sizeof(buf), &n, nullptr)); // at the end: success, nothing read
    EXPECT_EQ(n, 0u);
    to.QuadPart = -100;
    EXPECT_FALSE(SetFilePointerEx(h, to, &now, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 11);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Slurp(Root() + "/data.bin"), "hello world");

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
    struct stat st;
    EXPECT_EQ(stat((Root() + "/Temp.spl").c_str(), &st), 0);
    bool listed = false;
    for (const std::string& d : pal::host::OpenHandles()) listed |= d == "file C:\\Temp.spl";
    EXPECT_TRUE(listed);
    CloseHandle(h);
    EXPECT_NE(stat((Root() + "/Temp.spl").c_str(), &st), 0);
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

TEST_F(Files, SystemDirectories) {
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(buf, MAX_PATH), 19u);
    EXPECT_EQ(std::u16string(buf), u"C:\\Windows\\System32");
    EXPECT_EQ(GetWindowsDirectoryW(buf, MAX_PATH), 10u);
    EXPECT_EQ(GetWindowsDirectoryW(buf, 5), 11u); // too small: the size needed, with the terminator
}

} // namespace
