#include "checksums.h"

#include "scratch.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <vector>
#include <sys/stat.h>

using namespace std::string_literals;

namespace {

// The packages' contents and their digests as sha256sum prints them; NEW differs from RAID in
// one byte.
const std::string RAID = "raid firmware 2.10\n";
const std::string RAID_SUM = "65b68079fb4217165d0f0b24d635b018d8d3836dc967d77898f35b08bec83c8e";
const std::string NEW = "raid firmware 2.11\n";
const std::string HBA = "hba firmware 1.07\n";
const std::string HBA_SUM = "25f14680997464400041c0fead3089012c8e3dda842d80b01db5b60efa285705";

std::string upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string error(const std::string &text)
{
    return "ERROR: " + text + "\n\n";
}

const std::string REFUSAL = error("The update packages do not match their checksums; no adapter is updated.");

// Every test works inside its scratch directory, where packages are named relative to it.
class ChecksumTest : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        home = cwd;
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }

    void TearDown() override
    {
        EXPECT_EQ(chdir(home.c_str()), 0);
        ScratchTest::TearDown();
    }

    std::string home;
};

// A file made in the scratch directory before a check.
enum class Kind { Regular, Directory, Fifo };
struct File {
    std::string name;
    std::string bytes;
    Kind kind = Kind::Regular;
};

struct Record {
    int lineNumber;
    const char *package;
};

struct SumsCase {
    const char *what;
    std::vector<File> files;         // the checksum file is SUMS, when there is one
    std::vector<Record> records;
    std::string printed;             // the whole output; none when every package matches
    std::vector<std::string> digests;  // each record's, when every package matches
};

TEST_F(ChecksumTest, DigestsArePublishedVectorsAndWhatSha256sumPrints)
{
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    char digest[SHA256_TEXT];
    for (const auto &[bytes, sum] : vectors) {
        SCOPED_TRACE(bytes);
        ASSERT_TRUE(digestFile(write("vector", bytes).c_str(), digest));
        EXPECT_EQ(digest, sum);
    }
    // Several read blocks, the last one partly filled.
    std::string big;
    for (int i = 0; big.size() < (5u << 20) + 12345; i++)
        big += std::to_string(i * 7919) + pattern(i % 97) + "\n";
    write("big", big);
    FILE *tool = popen("sha256sum big", "r");
    ASSERT_NE(tool, nullptr);
    char expected[SHA256_TEXT] = "";
    EXPECT_EQ(std::fread(expected, 1, SHA256_TEXT - 1, tool), static_cast<size_t>(SHA256_TEXT - 1));
    EXPECT_EQ(pclose(tool), 0);
    ASSERT_TRUE(digestFile("big", digest));
    EXPECT_STREQ(digest, expected);
}

TEST_F(ChecksumTest, EveryRecordIsCheckedAndEveryProblemNamed)
{
    const std::string good = RAID_SUM + "  raid.pkg\n" + HBA_SUM + "  hba.pkg\n";
    const std::string other = std::string(64, '0') + "  other.pkg\n";
    std::string many;
    while (many.size() < (600u << 10))
        many += std::string(64, '1') + "  unused-" + std::to_string(many.size()) + ".pkg\n";
    auto badLine = [](int k) { return error("Line " + std::to_string(k) + " of the checksum file SUMS is not a SHA-256 line."); };
    const std::string unreadable = error("Could not read the checksum file SUMS.") + REFUSAL;
    const std::vector<SumsCase> cases = {
        {"all listed and matching, one package named twice, blanks before the first word",
         {{"SUMS", good}, {"raid.pkg", RAID}, {"hba.pkg", HBA}},
         {{1, "raid.pkg"}, {4, " \thba.pkg -force"}, {9, "raid.pkg\tslot"}},
         "", {RAID_SUM, HBA_SUM, RAID_SUM}},
        {"upper-case digits, the binary mode '*', empty lines, no newline at the end, a name twice with one digest",
         {{"SUMS", "\n" + upper(RAID_SUM) + " *raid.pkg\n\n" + RAID_SUM + "  raid.pkg\n" + HBA_SUM + " *hba.pkg"},
          {"raid.pkg", RAID}, {"hba.pkg", HBA}},
         {{2, "raid.pkg"}, {3, "hba.pkg"}}, "", {RAID_SUM, HBA_SUM}},
        {"listed after lines that span several read blocks", {{"SUMS", many + good}, {"raid.pkg", RAID}},
         {{1, "raid.pkg"}}, "", {RAID_SUM}},
        {"no records", {{"SUMS", ""}}, {}, "", {}},
        {"a package changed by one byte", {{"SUMS", good}, {"raid.pkg", NEW}, {"hba.pkg", HBA}},
         {{1, "hba.pkg"}, {2, "raid.pkg"}},
         error("The update package raid.pkg of line 2 does not match its SHA-256 in SUMS.") + REFUSAL, {}},
        {"tagged lines, alone or among plain ones; ./NAME and NAME one file in either place; a ')' in a name",
         {{"SUMS", "SHA256 (./raid.pkg) = " + upper(RAID_SUM) + "\n" + HBA_SUM + "  ./hba.pkg\n" + "SHA256 (raid.pkg) = x) = " +
                       HBA_SUM + "\nSHA256 (" + std::string(PATH_MAX - 1, 'n') + ") = " + RAID_SUM + "\nSHA256 (hba.pkg) = " + HBA_SUM},
          {"raid.pkg", RAID}, {"hba.pkg", HBA}},
         {{1, "raid.pkg"}, {2, "./hba.pkg"}, {3, "./raid.pkg"}}, "", {RAID_SUM, HBA_SUM, RAID_SUM}},
        {"not listed by that name (only one ./ stands for none), or the checksum file empty",
         {{"SUMS", other}, {"raid.pkg", RAID}, {"other.pkg", RAID}},
         {{5, "././other.pkg"}, {6, "raid.pkg"}, {7, "\t"}},
         error("The update package ././other.pkg of line 5 is not listed in SUMS.") +
             error("The update package raid.pkg of line 6 is not listed in SUMS.") +
             error("The update package  of line 7 is not listed in SUMS.") + REFUSAL, {}},
        {"listed, but missing, a directory or a FIFO",
         {{"SUMS", good + RAID_SUM + "  dir.pkg\n" + RAID_SUM + "  fifo.pkg\n"},
          {"dir.pkg", "", Kind::Directory}, {"fifo.pkg", "", Kind::Fifo}},
         {{1, "raid.pkg"}, {2, "dir.pkg"}, {3, "fifo.pkg"}},
         error("The update package raid.pkg of line 1 cannot be read.") +
             error("The update package dir.pkg of line 2 cannot be read.") +
             error("The update package fifo.pkg of line 3 cannot be read.") + REFUSAL, {}},
        {"quotes removed as the shell removes them; words it would expand or cannot read are not checked",
         {{"SUMS", RAID_SUM + "  raid.pkg\n" + RAID_SUM + "  ~raid.pkg\n"}, {"raid.pkg", RAID}, {"~raid.pkg", RAID}},
         {{1, "'raid.pkg'"}, {2, "~raid.pkg"}, {3, "\"ra\"id'.pkg' x"}, {4, "'raid.pkg"}, {5, "raid.pkg 'x'"}},
         error("The update package of line 2 cannot be checked: its first word begins with a ~ or has a quote that is not closed.") +
             error("The update package of line 4 cannot be checked: its first word begins with a ~ or has a quote that is not closed.") +
             REFUSAL, {}},
        {"lines of other shapes, each named, and then no record checked",
         {{"SUMS", good + RAID_SUM.substr(1) + "  a\n" + RAID_SUM + "0  a\n" + RAID_SUM + " a\n" + RAID_SUM +
                       "\t a\n" + RAID_SUM + "  \n" + "g" + RAID_SUM.substr(1) + "  a\n   \n" + RAID_SUM + "  a\0b\n"s +
                       "\\" + RAID_SUM + "  a\n" + RAID_SUM + "  " + std::string(PATH_MAX, 'n') + "\n" + other},
          {"raid.pkg", RAID}},
         {{1, "missing.pkg"}},
         badLine(3) + badLine(4) + badLine(5) + badLine(6) + badLine(7) + badLine(8) + badLine(9) + badLine(10) +
             badLine(11) + badLine(12) + REFUSAL, {}},
        {"tagged lines of other algorithms or shapes, or escaped by a backslash",
         {{"SUMS", "MD5 (raid.pkg) = 0cc175b9c0f1b6a831c399e269772661\nSHA512 (raid.pkg) = " + RAID_SUM + HBA_SUM +
                       "\nSHA256 (raid.pkg) = " + RAID_SUM + "0\nSHA256 (raid.pkg)= " + RAID_SUM + "\nSHA256(raid.pkg) = " +
                       RAID_SUM + "\nsha256 (raid.pkg) = " + RAID_SUM + "\nSHA256 () = " + RAID_SUM + "\n\\SHA256 (a\\\\b) = " +
                       RAID_SUM + "\nSHA256 (raid.pkg) = " + RAID_SUM + "\r\nSHA256 (" + std::string(PATH_MAX, 'n') + ") = " +
                       RAID_SUM + "\n"}},
         {{1, "raid.pkg"}},
         badLine(1) + badLine(2) + badLine(3) + badLine(4) + badLine(5) + badLine(6) + badLine(7) + badLine(8) + badLine(9) +
             badLine(10) + REFUSAL, {}},
        {"CRLF line ends: every line", {{"SUMS", RAID_SUM + "  raid.pkg\r\n" + HBA_SUM + "  hba.pkg\r\n"}, {"raid.pkg", RAID}},
         {{1, "raid.pkg"}}, badLine(1) + badLine(2) + REFUSAL, {}},
        {"a name listed twice with two digests: the later line",
         {{"SUMS", good + HBA_SUM + "  raid.pkg\n" + RAID_SUM + "  raid.pkg\n"}, {"raid.pkg", RAID}, {"hba.pkg", HBA}},
         {{1, "raid.pkg"}}, badLine(3) + REFUSAL, {}},
        {"a name listed as NAME and as ./NAME, or tagged and plain, with two digests: the later line",
         {{"SUMS", good + "SHA256 (./raid.pkg) = " + HBA_SUM + "\n" + RAID_SUM + "  ./hba.pkg\n"}, {"raid.pkg", RAID}},
         {{1, "raid.pkg"}}, badLine(3) + badLine(4) + REFUSAL, {}},
        {"checksum file missing", {{"raid.pkg", RAID}}, {{1, "raid.pkg"}}, unreadable, {}},
        {"checksum file a directory", {{"SUMS", "", Kind::Directory}}, {{1, "raid.pkg"}}, unreadable, {}},
        {"checksum file a FIFO", {{"SUMS", "", Kind::Fifo}}, {{1, "raid.pkg"}}, unreadable, {}},
    };
    for (const SumsCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all("case");
        ASSERT_EQ(mkdir("case", 0700), 0);
        ASSERT_EQ(chdir("case"), 0);
        for (const File &f : c.files) {
            if (f.kind == Kind::Directory)
                ASSERT_EQ(mkdir(f.name.c_str(), 0700), 0);
            else if (f.kind == Kind::Fifo)
                ASSERT_EQ(mkfifo(f.name.c_str(), 0600), 0);
            else
                std::ofstream(f.name, std::ios::binary) << f.bytes;
        }
        std::vector<std::string> texts;
        for (const Record &r : c.records)
            texts.emplace_back(r.package);
        std::vector<adapterInfo> list;
        for (size_t i = 0; i < c.records.size(); i++)
            list.push_back({nullptr, nullptr, texts[i].data(), c.records[i].lineNumber});
        char digests[MAX_RECORDS][SHA256_TEXT] = {};
        bool matched = false;
        std::string printed = captureStdout(
            [&] { matched = verifyPackages("SUMS", list.data(), static_cast<int>(list.size()), digests); });
        ASSERT_EQ(chdir(".."), 0);
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(matched, c.printed.empty());
        for (size_t i = 0; matched && i < c.digests.size(); i++)
            EXPECT_EQ(digests[i], c.digests[i]) << "record " << i;
    }
}

}  // namespace
