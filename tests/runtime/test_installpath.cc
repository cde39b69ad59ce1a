// Tests of installation prefix detection, $(NAME) expansion and the
// configuration file search.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "runtime/installpath.h"
#include "runtime/process.h"
#include "runtime/test_tempdir.h"

TEST(DetectInstallPath, FromPathWithSlash)
{
    struct Case {
        const char *argv0;
        const char *name;
        const char *path;
    };
    const Case cases[] = {
        {"/opt/archive/bin/storeserver", "storeserver", "/opt/archive"},
        {"/opt/archive/bin//storeserver", "storeserver", "/opt/archive"},
        {"/opt/archive/sbin/storeserver", "storeserver", "/opt/archive/sbin"},
        {"/opt/robin/storeserver", "storeserver", "/opt/robin"},
        {"/bin/storeserver", "storeserver", "/bin"}, // exactly "/bin" stays
        {"/storeserver", "storeserver", ""},
        {"./storeserver", "storeserver", "."},
        {"build/bin/studywatch", "studywatch", "build"},
        {"bin/studywatch", "studywatch", "bin"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(detect_installpath(c.argv0), 0);
        EXPECT_STREQ(installpath_progName(), c.name) << c.argv0;
        EXPECT_STREQ(installpath_progPath(), c.path) << c.argv0;
    }
}

TEST(DetectInstallPath, BareNameFoundThroughPath)
{
    TempDir dir;
    std::string bin = dir.mkdirs("usr/local/bin");
    std::string other = dir.mkdirs("other");
    // Not executable in the earlier directory: skipped.
    ASSERT_TRUE(WriteFile(other + "/storeserver", "", 0644));
    ASSERT_TRUE(WriteFile(bin + "/storeserver", "#!/bin/sh\n", 0755));

    {
        ScopedEnv path("PATH", ("/nonexistent::" + other + ":" + bin + ":/usr/bin").c_str());
        detect_installpath("storeserver");
        EXPECT_STREQ(installpath_progName(), "storeserver");
        EXPECT_EQ(std::string(installpath_progPath()), dir.sub("usr/local"));
    }
    {
        ScopedEnv path("PATH", "/nonexistent");
        detect_installpath("storeserver");
        EXPECT_STREQ(installpath_progName(), "storeserver");
        EXPECT_STREQ(installpath_progPath(), "");
    }
    {
        ScopedEnv path("PATH", nullptr);
        detect_installpath("storeserver");
        EXPECT_STREQ(installpath_progPath(), "");
    }
}

// Puts the prefix back to a known value around tests that depend on it.
class ExpandTest : public ::testing::Test
{
protected:
    void SetUp() override { detect_installpath("/opt/archive/bin/storeserver"); }
    void TearDown() override { detect_installpath(nullptr); }
    ScopedEnv a_{"VT_A", "alpha"};
    ScopedEnv self_{"VT_SELF", "$(VT_A)"};
    ScopedEnv unset_{"VT_UNSET", nullptr};
    ScopedEnv progpath_{"progpath", nullptr};
};

TEST_F(ExpandTest, Table)
{
    struct Case {
        const char *text;
        size_t size;
        int result;
        const char *expect; // the text afterwards
    };
    const Case cases[] = {
        {"plain/dir", 64, 0, "plain/dir"},
        {"$(VT_A)/x", 64, 0, "alpha/x"},
        {"/a/$(VT_A)/$(VT_A)", 64, 0, "/a/alpha/alpha"},
        {"$(progpath)/share/velto/etc", 64, 0, "/opt/archive/share/velto/etc"},
        {"a$b$", 64, 0, "a$b$"}, // "$" without "(" stays
        {"$$(VT_A)", 64, 0, "$alpha"},
        {"$(VT_SELF)", 64, 0, "$(VT_A)"}, // values are not expanded again
        {"$(VT_UNSET)/x", 64, 1, "$(VT_UNSET)/x"},
        {"$(VT_A)/$(VT_UNSET)", 64, 1, "alpha/$(VT_UNSET)"}, // partly expanded
        {"$()", 64, 1, "$()"},
        // The expanded text and its NUL must fit in size bytes.
        {"$(VT_A)", 5, 1, "$(VT_A)"},
        {"$(VT_A)", 6, 0, "alpha"},
        {"$(VT_A)x", 6, 1, "$(VT_A)x"},
        {"$(VT_A)x", 7, 0, "alphax"},
    };
    for (const Case &c : cases) {
        char buf[64];
        strcpy(buf, c.text);
        EXPECT_EQ(VLPathExpandEnvironment(buf, c.size), c.result) << c.text;
        EXPECT_STREQ(buf, c.expect) << c.text;
    }
}

TEST_F(ExpandTest, MissingParenthesisIsReported)
{
    char buf[64] = "$(progpath/share";
    testing::internal::CaptureStderr();
    EXPECT_EQ(VLPathExpandEnvironment(buf, sizeof buf), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot correctly expand path:$(progpath/share.\n");
}

TEST_F(ExpandTest, EnvironmentProgpathWinsOverDetectedPrefix)
{
    ScopedEnv env("progpath", "/from/env");
    char buf[64] = "$(progpath)/etc";
    EXPECT_EQ(VLPathExpandEnvironment(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/from/env/etc");
}

// Regression: an unknown prefix made "$(progpath)/share/velto/etc" a
// directory below the root, searched for configuration files.
TEST_F(ExpandTest, UnknownPrefixFailsTheElement)
{
    detect_installpath("/storeserver");
    char buf[64] = "$(progpath)/share/velto/etc";
    EXPECT_EQ(VLPathExpandEnvironment(buf, sizeof buf), 1);
}

TEST(GetFilePath, FirstDirectoryHoldingTheFileWins)
{
    TempDir dir;
    std::string d1 = dir.mkdirs("one"), d2 = dir.mkdirs("two"), d3 = dir.mkdirs("three");
    ASSERT_TRUE(WriteFile(d2 + "/cfg", "2"));
    ASSERT_TRUE(WriteFile(d3 + "/cfg", "3"));
    ScopedEnv unset("VT_UNSET", nullptr);
    ScopedEnv base("VT_BASE", dir.path().c_str());
    char out[1024];

    struct Case {
        std::string searchpath;
        const char *name;
        int mode;
        std::string expect; // "" for null
    };
    const Case cases[] = {
        {d1 + "|" + d2 + "|" + d3, "cfg", R_OK, d2 + "/cfg"},
        {d3 + "|" + d2, "cfg", R_OK, d3 + "/cfg"},
        {"$(VT_UNSET)|$(VT_BASE)/three", "cfg", R_OK, d3 + "/cfg"},
        {"$(VT_BASE/one|" + d2, "cfg", F_OK, d2 + "/cfg"},
        {"||" + d2, "cfg", R_OK, d2 + "/cfg"}, // empty elements skipped
        {d1 + "|" + d2, "", R_OK, d1},         // empty name tests the directory
        {d1 + "|" + d2, nullptr, R_OK, d1},
        {d1, "cfg", R_OK, ""},
        {d1 + "|", "cfg", R_OK, ""},
        {"", "cfg", R_OK, ""},
        {d2, "cfg", X_OK, ""}, // not executable, even for root
    };
    testing::internal::CaptureStderr();
    for (const Case &c : cases) {
        char *r = getfilepath(c.searchpath.c_str(), c.name, c.mode, out, sizeof out);
        if (c.expect.empty()) {
            EXPECT_EQ(r, nullptr) << c.searchpath;
        } else {
            EXPECT_EQ(r, out) << c.searchpath;
            EXPECT_EQ(std::string(out), c.expect) << c.searchpath;
        }
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Cannot correctly expand path:$(VT_BASE/one.\n");
    EXPECT_EQ(getfilepath(nullptr, "cfg", R_OK, out, sizeof out), nullptr);
}

// Regression: a path cut to fit the output buffer was tested (and could
// name another file).
TEST(GetFilePath, PathTooLongForOutputIsSkipped)
{
    TempDir dir;
    std::string d1 = dir.mkdirs("a-rather-long-directory-name"), d2 = dir.mkdirs("b");
    ASSERT_TRUE(WriteFile(d1 + "/cfg", ""));
    ASSERT_TRUE(WriteFile(d1 + "/cf", ""));
    ASSERT_TRUE(WriteFile(d2 + "/cfg", ""));
    std::string sp = d1 + "|" + d2;
    char out[1024];
    size_t size = d1.size() + strlen("/cfg"); // one byte short for d1/cfg
    ASSERT_GE(sizeof out, size);
    ASSERT_LT(d2.size() + 4, size);
    EXPECT_EQ(getfilepath(sp.c_str(), "cfg", R_OK, out, size), out);
    EXPECT_EQ(std::string(out), d2 + "/cfg");
}

// The access mode decides: run as an unprivileged user, for whom
// permission bits count.
TEST(GetFilePath, AccessModeSelectsTheDirectory)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to nobody";
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string d1 = dir.mkdirs("ro"), d2 = dir.mkdirs("rw");
    ASSERT_TRUE(WriteFile(d1 + "/cfg", "", 0444));
    ASSERT_TRUE(WriteFile(d2 + "/cfg", "", 0666));
    std::string sp = d1 + "|" + d2;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (drop_to_group("nogroup") != 0 && drop_to_group("nobody") != 0)
            _exit(10);
        if (drop_to_user("nobody") != 0)
            _exit(11);
        char out[1024];
        char *r = getfilepath(sp.c_str(), "cfg", R_OK, out, sizeof out);
        if (r == nullptr || std::string(out) != d1 + "/cfg")
            _exit(12);
        r = getfilepath(sp.c_str(), "cfg", R_OK | W_OK, out, sizeof out);
        if (r == nullptr || std::string(out) != d2 + "/cfg")
            _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The configuration search path: override directories first, then the
// user's, then the installation's; an unset HOME is skipped silently.
TEST(GetFilePath, ConfigSearchPathOrder)
{
    if (access("/etc/velto/override/LocalStoreDir", F_OK) == 0)
        GTEST_SKIP() << "this host has a LocalStoreDir override";
    TempDir dir;
    std::string prefix = dir.mkdirs("prefix");
    std::string home = dir.mkdirs("home");
    std::string override_dir = dir.mkdirs("prefix/share/velto/override/etc");
    std::string user_dir = dir.mkdirs("home/.velto/etc");
    std::string install_dir = dir.mkdirs("prefix/share/velto/etc");
    detect_installpath((prefix + "/bin/storeserver").c_str());
    ScopedEnv progpath("progpath", nullptr);
    char out[1024];

    ASSERT_TRUE(WriteFile(install_dir + "/LocalStoreDir", "/i\n"));
    {
        ScopedEnv nohome("HOME", nullptr);
        testing::internal::CaptureStderr();
        EXPECT_NE(getfilepath(CONFIG_SEARCHPATH, "LocalStoreDir", R_OK, out, sizeof out), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(std::string(out), install_dir + "/LocalStoreDir");
    }
    ScopedEnv sethome("HOME", home.c_str());
    ASSERT_TRUE(WriteFile(user_dir + "/LocalStoreDir", "/u\n"));
    EXPECT_NE(getfilepath(CONFIG_SEARCHPATH, "LocalStoreDir", R_OK, out, sizeof out), nullptr);
    EXPECT_EQ(std::string(out), user_dir + "/LocalStoreDir");
    ASSERT_TRUE(WriteFile(override_dir + "/LocalStoreDir", "/o\n"));
    EXPECT_NE(getfilepath(CONFIG_SEARCHPATH, "LocalStoreDir", R_OK, out, sizeof out), nullptr);
    EXPECT_EQ(std::string(out), override_dir + "/LocalStoreDir");
    detect_installpath(nullptr);
}
