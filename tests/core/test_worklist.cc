// The worklist entry files (core/worklist.h): an entry is written whole
// under its id and read back; marking done matches whole values only (an
// accession that is a prefix of another's, or a value found only in some
// other attribute, marks nothing), takes padded values from the peer, and
// leaves entries alone under the modes that do not look at that key.
#include <gtest/gtest.h>

#include "core/worklist.h"
#include "tests/store/storetest.h"

static worklistfields fields(const char *accession, const char *study = nullptr)
{
    worklistfields f = {{"PatientName", "DOE^JANE"},
                        {"PatientID", "P1"},
                        {"Modality", "CT"},
                        {"ScheduledStationAETitle", "CT1"},
                        {"ScheduledProcedureStepStartDate", "20250110"},
                        {"AccessionNumber", accession}};
    if (study != nullptr)
        f.emplace_back("StudyInstanceUID", study);
    return f;
}

static std::vector<std::string> names(const std::string &dir)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 3 && n.compare(n.size() - 3, 3, ".wl") == 0)
            out.push_back(n.substr(0, n.size() - 3));
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Worklist, EntryWrittenWholeAndListed)
{
    TempDir base;
    std::string id, error;
    ASSERT_EQ(Worklist_Create(base.c_str(), fields("A1"), &id, &error, nullptr), 0) << error;
    EXPECT_EQ(names(base / "worklist"), std::vector<std::string>{id});
    struct stat st;
    EXPECT_EQ(stat((base / "worklist/lockfile").c_str(), &st), 0);
    EXPECT_EQ(stat((base / "worklist/done").c_str(), &st), 0);
    std::vector<worklistentry> all;
    ASSERT_EQ(Worklist_List(base.c_str(), &all, nullptr), 0);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all[0].complete);
    std::map<std::string, std::string> v(all[0].fields.begin(), all[0].fields.end());
    EXPECT_EQ(v["PatientName"], "DOE^JANE");
    EXPECT_EQ(v["RequestedProcedureID"], "A1");
    EXPECT_EQ(v["ScheduledProcedureStepStartTime"], "000000");
    EXPECT_EQ(v["ScheduledProcedureStepDescription"], "CT");
    EXPECT_FALSE(v["StudyInstanceUID"].empty());

    EXPECT_EQ(Worklist_Remove(base.c_str(), "../" + id, nullptr), 1);
    EXPECT_EQ(Worklist_Remove(base.c_str(), id, nullptr), 0);
    EXPECT_EQ(Worklist_Remove(base.c_str(), id, nullptr), 1);
    EXPECT_TRUE(names(base / "worklist").empty());
}

TEST(Worklist, MissingDirectoryIsAnEmptyWorklist)
{
    TempDir base;
    std::vector<worklistentry> all;
    EXPECT_EQ(Worklist_List(base.c_str(), &all, nullptr), 0);
    EXPECT_TRUE(all.empty());
    EXPECT_EQ(Worklist_MarkDone(base.c_str(), "A1", "1.2.3", WORKLIST_DONE_BOTH, nullptr), 0);
}

TEST(Worklist, DoneMatchesWholeValuesOnly)
{
    TempDir base;
    std::string a1, a10, s, error;
    ASSERT_EQ(Worklist_Create(base.c_str(), fields("A1"), &a1, &error, nullptr), 0);
    ASSERT_EQ(Worklist_Create(base.c_str(), fields("A10"), &a10, &error, nullptr), 0);
    ASSERT_EQ(Worklist_Create(base.c_str(), fields("B7", "1.2.826.99.5"), &s, &error, nullptr), 0);

    // Modes that do not look at the key leave the entry.
    EXPECT_EQ(Worklist_MarkDone(base.c_str(), "A1", "9.9", WORKLIST_DONE_STUDY, nullptr), 0);
    EXPECT_EQ(Worklist_MarkDone(base.c_str(), "", "1.2.826.99.5", WORKLIST_DONE_ACCESSION, nullptr),
              0);
    // "P1" is in every file (the patient ID), but not as an accession.
    EXPECT_EQ(Worklist_MarkDone(base.c_str(), "P1", "", WORKLIST_DONE_BOTH, nullptr), 0);
    // A prefix of the study UID is no match either.
    EXPECT_EQ(Worklist_MarkDone(base.c_str(), "", "1.2.826.99", WORKLIST_DONE_BOTH, nullptr), 0);
    EXPECT_EQ(names(base / "worklist").size(), 3u);

    // Padded as it may come from a peer; only the whole value's entry.
    EXPECT_EQ(Worklist_MarkDone(base.c_str(), "A1 ", "9.9", WORKLIST_DONE_ACCESSION, nullptr), 1);
    EXPECT_EQ(Worklist_MarkDone(base.c_str(), "", "1.2.826.99.5", WORKLIST_DONE_STUDY, nullptr), 1);
    std::vector<std::string> left = names(base / "worklist");
    EXPECT_EQ(left, std::vector<std::string>{a10});
    std::vector<std::string> done = names(base / "worklist/done"), want = {a1, s};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(done, want);
}

TEST(Worklist, DoneEntryStaysListedUntilRemoved)
{
    TempDir base;
    std::string a1, a2, error;
    ASSERT_EQ(Worklist_Create(base.c_str(), fields("A1"), &a1, &error, nullptr), 0) << error;
    ASSERT_EQ(Worklist_Create(base.c_str(), fields("A2"), &a2, &error, nullptr), 0) << error;
    ASSERT_EQ(Worklist_MarkDone(base.c_str(), "A1", "", WORKLIST_DONE_ACCESSION, nullptr), 1);
    // The worklist served is the open entries only.
    std::vector<worklistentry> open;
    ASSERT_EQ(Worklist_List(base.c_str(), &open, nullptr), 0);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].id, a2);
    EXPECT_FALSE(open[0].done);
    // With the done ones: after the open, marked, with their values.
    std::vector<worklistentry> all;
    ASSERT_EQ(Worklist_List(base.c_str(), &all, nullptr, true), 0);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, a2);
    EXPECT_EQ(all[1].id, a1);
    EXPECT_TRUE(all[1].done);
    std::map<std::string, std::string> v(all[1].fields.begin(), all[1].fields.end());
    EXPECT_EQ(v["AccessionNumber"], "A1");
    // A done entry is removed as an open one is; then it is gone.
    EXPECT_EQ(Worklist_Remove(base.c_str(), a1, nullptr), 0);
    EXPECT_EQ(Worklist_Remove(base.c_str(), a1, nullptr), 1);
    all.clear();
    ASSERT_EQ(Worklist_List(base.c_str(), &all, nullptr, true), 0);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].id, a2);
}
