// Durable files: a replacement puts the new content in place whole or
// leaves the old file as it was, never a temporary file behind; the
// self-closing descriptor.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/durablefile.h"

namespace
{

struct Dir {
    std::string path;
    Dir()
    {
        char tmpl[] = "/tmp/velto-durable-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Dir()
    {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        DIR *d = opendir(path.c_str());
        for (dirent *e; d != nullptr && (e = readdir(d)) != nullptr;)
            if (e->d_name[0] != '.')
                out.push_back(e->d_name);
        if (d != nullptr)
            closedir(d);
        return out;
    }
};

std::string slurp(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "<missing>";
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void put(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

} // namespace

TEST(DurableFile, CommitReplacesAndAbandonKeepsTheOld)
{
    Dir d;
    std::string path = d.path + "/map";
    put(path, "old\n");
    {
        durable_file f;
        ASSERT_EQ(0, f.create(path, 0640));
        EXPECT_EQ(path + "." + std::to_string((long)getpid()) + ".tmp", f.tempPath());
        ASSERT_EQ(0, f.write("new\n", 4));
        ASSERT_EQ(0, f.write("", 0));
        // Not committed: the old file stays, the temporary one goes.
    }
    EXPECT_EQ("old\n", slurp(path));
    EXPECT_EQ(std::vector<std::string>{"map"}, d.names());

    durable_file f;
    ASSERT_EQ(0, f.create(path, 0640, path + ".aside"));
    ASSERT_EQ(0, f.write("new\n", 4));
    ASSERT_EQ(0, f.commit());
    EXPECT_EQ("new\n", slurp(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(std::vector<std::string>{"map"}, d.names());
}

TEST(DurableFile, FailedRenameLeavesNothingBehind)
{
    Dir d;
    // A directory in the way: the rename fails.
    std::string path = d.path + "/busy";
    ASSERT_EQ(0, mkdir(path.c_str(), 0755));
    put(path + "/inside", "x");
    durable_file f;
    ASSERT_EQ(0, f.create(path, 0644));
    ASSERT_EQ(0, f.write("data", 4));
    EXPECT_EQ(-1, f.commit());
    EXPECT_NE(0, errno);
    f.abandon();
    EXPECT_EQ(std::vector<std::string>{"busy"}, d.names());
    // Nothing to write into: create fails with errno set.
    durable_file g;
    EXPECT_EQ(-1, g.create(d.path + "/none/file", 0644));
    EXPECT_EQ(ENOENT, errno);
}

TEST(DurableFile, RenameAndParentsAndDescriptors)
{
    Dir d;
    ASSERT_EQ(0, mkdir((d.path + "/a").c_str(), 0755));
    ASSERT_EQ(0, mkdir((d.path + "/b").c_str(), 0755));
    put(d.path + "/a/f", "f");
    EXPECT_EQ(0, durable_rename((d.path + "/a/f").c_str(), (d.path + "/b/f").c_str()));
    EXPECT_EQ("f", slurp(d.path + "/b/f"));
    EXPECT_EQ(-1, durable_rename((d.path + "/a/f").c_str(), (d.path + "/b/g").c_str()));
    EXPECT_EQ(0, durable_flushDir(d.path.c_str()));
    EXPECT_EQ(-1, durable_flushDir((d.path + "/b/f").c_str()));
    EXPECT_EQ(0, durable_flushParent("relative-name"));
    EXPECT_EQ(".", durable_parent("name"));
    EXPECT_EQ("/", durable_parent("/name"));
    EXPECT_EQ("/x/y", durable_parent("/x/y/z"));

    int raw = open(d.path.c_str(), O_RDONLY);
    ASSERT_GE(raw, 0);
    {
        durable_fd fd(raw);
        durable_fd moved(std::move(fd));
        EXPECT_FALSE(fd.valid());
        EXPECT_EQ(raw, moved.get());
    }
    // Closed when it went.
    EXPECT_EQ(-1, fcntl(raw, F_GETFD));
}
