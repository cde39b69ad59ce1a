// The DICOM over TLS settings file: the settings it reads, the reasons it
// gives for bad lines, and a file that is no regular file (a FIFO is
// refused at once, not waited on).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "dicomnet/tlsfile.h"
#include "runtime/test_tempdir.h"

namespace
{

int ReadText(const TempDir &dir, const std::string &text, tlsfile_settings *s, std::string *why)
{
    std::string path = dir.sub("DicomTLS");
    EXPECT_TRUE(WriteFile(path, text));
    return tlsfile_read(path.c_str(), s, why);
}

TEST(TlsFile, ReadsTheSettings)
{
    TempDir dir;
    tlsfile_settings s;
    std::string why;
    ASSERT_EQ(ReadText(dir,
                       "# TLS\r\nport 2762  # the TLS port\r\nplain off\ncertificate c.pem\n"
                       "private-key /k.pem\n\ntrusted-certificates a.pem\n"
                       "client-certificates required\n",
                       &s, &why),
              0)
        << why;
    EXPECT_EQ(s.port, 2762);
    EXPECT_EQ(s.plain, 0);
    EXPECT_EQ(s.certificate, dir.sub("c.pem"));
    EXPECT_EQ(s.key, "/k.pem");
    ASSERT_EQ(s.trusted.size(), 1u);
    EXPECT_EQ(s.trusted[0], dir.sub("a.pem"));
    EXPECT_EQ(s.clients, DICOMNET_TLS_CLIENT_REQUIRE);
}

TEST(TlsFile, GivesTheReason)
{
    TempDir dir;
    const std::string good = "certificate c.pem\nprivate-key k.pem\n";
    const struct {
        std::string text;
        const char *why;
    } cases[] = {
        {good + "port\n", "line 3: a setting is one keyword and one value"},
        {good + "port 104 105\n", "line 3: a setting is one keyword and one value"},
        {good + "port 70000\n", "line 3: bad port \"70000\""},
        {good + "colour blue\n", "line 3: unknown setting \"colour\""},
        {good, "no port"},
        {"port 2762\n", "certificate and private-key are required"},
        {"port 2762\n# " + std::string(1100, 'x') + "\n", "line 2: longer than 1023 characters"},
    };
    for (const auto &c : cases) {
        tlsfile_settings s;
        std::string why;
        EXPECT_EQ(ReadText(dir, c.text, &s, &why), -1) << c.text;
        EXPECT_EQ(why, c.why) << c.text;
    }
}

TEST(TlsFile, MissingFileOrFifo)
{
    TempDir dir;
    tlsfile_settings s;
    std::string why;
    EXPECT_EQ(tlsfile_read(dir.sub("absent").c_str(), &s, &why), -1);
    EXPECT_EQ(why, std::string("cannot read: ") + strerror(ENOENT));
    std::string fifo = dir.sub("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(tlsfile_read(fifo.c_str(), &s, &why), -1);
    EXPECT_EQ(why, "cannot read: not a regular file");
}

} // namespace
