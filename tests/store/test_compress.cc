// The Compression site file (store/storecompress.h): every setting, the
// defaults, HTJ2K lossless taken, and the refusals (an unknown syntax, no
// quiet time, a malformed value).
#include <gtest/gtest.h>

#include <stdio.h>

#include "store/storecompress.h"
#include "storetest.h"

static std::string writeFile(const TempDir &d, const std::string &text)
{
    std::string path = d / "Compression";
    FILE *f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
    return path;
}

TEST(CompressSettings, ReadsEverySettingAndDefaults)
{
    TempDir d;
    compress_config cfg;
    char why[512] = "";
    ASSERT_EQ(compress_loadFile(writeFile(d, "syntax jpeg-ls-lossless  # the one\n"
                                             "quiet 2d\n"
                                             "modality CT  MR\tCR\n"
                                             "max-image 64M\n"
                                             "before-tier yes\n"
                                             "every 6h\n")
                                    .c_str(),
                                &cfg, why, sizeof why),
              0)
        << why;
    EXPECT_EQ(cfg.syntax, "jpeg-ls-lossless");
    EXPECT_EQ(cfg.quietSeconds, 2 * 86400);
    EXPECT_EQ(cfg.modalities, (std::vector<std::string>{"CT", "MR", "CR"}));
    EXPECT_EQ(cfg.maxImageBytes, 64ull << 20);
    EXPECT_TRUE(cfg.beforeTier);
    EXPECT_EQ(cfg.everySeconds, 6 * 3600);

    compress_config defaults;
    ASSERT_EQ(compress_loadFile(writeFile(d, "quiet 0s\n").c_str(), &defaults, why, sizeof why), 0)
        << why;
    EXPECT_EQ(defaults.quietSeconds, 0);
    EXPECT_TRUE(defaults.modalities.empty());
    EXPECT_EQ(defaults.maxImageBytes, 256ull << 20);
    EXPECT_FALSE(defaults.beforeTier);
    EXPECT_EQ(defaults.everySeconds, -1);
    EXPECT_EQ(defaults.syntax, "jpeg-ls-lossless");

    compress_config htj2k;
    ASSERT_EQ(compress_loadFile(writeFile(d, "syntax htj2k-lossless\nquiet 1d\n").c_str(), &htj2k,
                                why, sizeof why),
              0)
        << why;
    EXPECT_EQ(htj2k.syntax, "htj2k-lossless");
}

TEST(CompressSettings, Refusals)
{
    TempDir d;
    char why[512] = "";
    const struct {
        const char *text;
        const char *reason;
    } cases[] = {
        {"syntax htj2k-lossy\nquiet 1d\n", "bad setting \"syntax\""},
        {"syntax jpeg-lossy\nquiet 1d\n", "bad setting \"syntax\""},
        {"modality CT\n", "no \"quiet\" setting"},
        {"quiet soon\n", "bad setting \"quiet\""},
        {"quiet 1d\nevery 0\n", "bad setting \"every\""},
        {"quiet 1d\nbefore-tier maybe\n", "bad setting \"before-tier\""},
        {"quiet 1d\nmax-image lots\n", "bad setting \"max-image\""},
        {"quiet 1d\ncompress-harder yes\n", "bad setting \"compress-harder\""},
    };
    for (const auto &c : cases) {
        compress_config cfg;
        cfg.quietSeconds = 77;
        EXPECT_EQ(compress_loadFile(writeFile(d, c.text).c_str(), &cfg, why, sizeof why), -1)
            << c.text;
        EXPECT_NE(strstr(why, c.reason), nullptr) << c.text << ": " << why;
        // Nothing of a refused file is taken.
        EXPECT_EQ(cfg.quietSeconds, 77) << c.text;
    }
}
